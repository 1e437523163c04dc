#include "pane/PHPaneSupport.h"

#include "platform/PHAction.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QPointer>

#include <thread>

void PHPaneSupport::askServerInBackground(QObject *owner, const PHAccessCheck::Plan &plan, const char *action,
                                          std::function<void(const PHAccessCheck::Report &)> done) {
    QPointer<QObject> guard(owner);
    std::thread([plan, action, guard, done = std::move(done)] {
        const PHAccessCheck::Report report = PHAccessCheck::execute(plan);
        QObject *application = QCoreApplication::instance();
        if (!application)
            return;
        QMetaObject::invokeMethod(
            application,
            [guard, action, done, report] {
                if (guard)
                    PHAction::run(action, [&] { done(report); });
            },
            Qt::QueuedConnection);
    }).detach();
}

QPoint PHPaneSupport::menuPosition(QAbstractItemView *view, const QPoint &at) {
    const QModelIndex index = view->indexAt(at);
    if (index.isValid() || view->viewport()->rect().contains(at))
        return view->viewport()->mapToGlobal(at);
    return view->viewport()->mapToGlobal(view->visualRect(view->currentIndex()).center());
}

QAction *PHPaneSupport::addMenuEntry(QMenu *menu, const QString &title, const char *name,
                                     std::function<void()> action) {
    QAction *entry = menu->addAction(title);
    QObject::connect(entry, &QAction::triggered, menu,
                     [name, action = std::move(action)] { PHAction::run(name, [&] { action(); }); });
    return entry;
}

void PHPaneSupport::popUpMenu(QMenu *menu, const QPoint &global) {
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(global);
    for (QAction *entry : menu->actions()) {
        if (entry->isEnabled() && !entry->isSeparator()) {
            menu->setActiveAction(entry);
            break;
        }
    }
}
