#include "platform/PHOtherWindowsUndrawn.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

PHOtherWindowsUndrawn::PHOtherWindowsUndrawn(const QWidget *pictured) : m_pictured(pictured) {
    QCoreApplication::instance()->installEventFilter(this);
}

PHOtherWindowsUndrawn::~PHOtherWindowsUndrawn() {
    if (QCoreApplication *app = QCoreApplication::instance())
        app->removeEventFilter(this);
}

bool PHOtherWindowsUndrawn::eventFilter(QObject *watched, QEvent *event) {
    // A window is told it is shown before it is mapped and first exposed.
    if (event->type() == QEvent::Show && watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        if (widget->isWindow() && widget != m_pictured)
            widget->setUpdatesEnabled(false);
    }
    return false;
}
