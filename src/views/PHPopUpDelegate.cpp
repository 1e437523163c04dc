#include "views/PHPopUpDelegate.h"

#include "model/PHItemModel.h"
#include "platform/PHAction.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

namespace {
int selectedItemOf(const QModelIndex &index) {
    const QVariant value = index.data(Qt::EditRole);
    return value.isValid() ? value.toInt() : -1;
}
QString titleOf(const QMenu *menu, int item) {
    if (!menu || item < 0 || item >= menu->actions().size())
        return {};
    return menu->actions().at(item)->text();
}
bool acts(const QModelIndex &index) {
    return PHItemModel::isEnabled(index) && !PHItemModel::isHidden(index);
}
} // namespace

void PHPopUpDelegate::setMenu(QMenu *menu) {
    m_menu = menu;
}

QMenu *PHPopUpDelegate::menu() const {
    return m_menu;
}

void PHPopUpDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                            const QModelIndex &index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    QStyle *style = option.widget ? option.widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, option.widget);

    if (PHItemModel::isHidden(index))
        return;
    QStyleOptionComboBox combo;
    combo.initFrom(option.widget);
    combo.rect = option.rect.adjusted(2, 1, -2, -1);
    combo.currentText = titleOf(m_menu, selectedItemOf(index));
    if (const QString mark = index.data(PHItemModel::MarkRole).toString(); !mark.isEmpty())
        combo.currentText += QStringLiteral("  ") + mark;
    combo.state = option.state & ~(QStyle::State_Selected | QStyle::State_HasFocus);
    if (!PHItemModel::isEnabled(index))
        combo.state &= ~QStyle::State_Enabled;
    combo.frame = true;
    style->drawComplexControl(QStyle::CC_ComboBox, &combo, painter, option.widget);
    style->drawControl(QStyle::CE_ComboBoxLabel, &combo, painter, option.widget);
}

QSize PHPopUpDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const {
    int widest = 0;
    if (m_menu)
        for (const QAction *action : m_menu->actions())
            widest = qMax(widest, option.fontMetrics.horizontalAdvance(action->text()));
    QStyleOptionComboBox combo;
    combo.initFrom(option.widget);
    QStyle *style = option.widget ? option.widget->style() : QApplication::style();
    return style->sizeFromContents(QStyle::CT_ComboBox, &combo, QSize(widest, option.fontMetrics.height()),
                                   option.widget);
}

bool PHPopUpDelegate::editorEvent(QEvent *event, QAbstractItemModel *model,
                                  const QStyleOptionViewItem &option, const QModelIndex &index) {
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease &&
        event->type() != QEvent::MouseButtonDblClick)
        return false;
    const auto *mouse = static_cast<QMouseEvent *>(event);
    if (mouse->button() != Qt::LeftButton || !acts(index) || !m_menu)
        return false;
    if (event->type() != QEvent::MouseButtonRelease)
        return true; // the click belongs to the pop-up, not to the row selection
    return popUp(model, index, qobject_cast<QAbstractItemView *>(const_cast<QWidget *>(option.widget)));
}

bool PHPopUpDelegate::isPopUpKey(const QKeyEvent *event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_F2:
        return modifiers == Qt::NoModifier;
    case Qt::Key_Down:
        return modifiers == Qt::AltModifier;
    default:
        return false;
    }
}

bool PHPopUpDelegate::popUpInRow(QAbstractItemView *view, const QModelIndex &index) {
    if (!view || !index.isValid() || !view->model())
        return false;
    QAbstractItemModel *model = view->model();
    for (int column = 0; column < model->columnCount(index.parent()); ++column) {
        auto *cell = qobject_cast<PHPopUpDelegate *>(view->itemDelegateForColumn(column));
        if (!cell)
            continue;
        const QModelIndex target = model->index(index.row(), column, index.parent());
        return cell->popUp(model, target, view);
    }
    return false;
}

bool PHPopUpDelegate::popUp(QAbstractItemModel *model, const QModelIndex &index, QAbstractItemView *view) {
    if (!model || !acts(index) || !m_menu)
        return false;
    QMenu *menu = m_menu;
    const int current = selectedItemOf(index);
    const QList<QAction *> actions = menu->actions();
    for (int i = 0; i < actions.size(); ++i) {
        actions[i]->setCheckable(true);
        actions[i]->setChecked(i == current);
    }
    disconnect(m_chosen);
    const QPersistentModelIndex target(index);
    QPointer<QAbstractItemModel> targetModel(model);
    m_chosen = connect(menu, &QMenu::triggered, this, [this, menu, target, targetModel](QAction *action) {
        disconnect(m_chosen);
        const int chosen = int(menu->actions().indexOf(action));
        if (!targetModel || !target.isValid() || chosen < 0)
            return;
        PHAction::run("pop-up choice", [&] { targetModel->setData(target, chosen, Qt::EditRole); });
    });
    connect(
        menu, &QMenu::aboutToHide, this,
        [this] {
            // A menu closed without a choice must not act on a later, unrelated one.
            QMetaObject::invokeMethod(
                this, [this] { disconnect(m_chosen); }, Qt::QueuedConnection);
        },
        Qt::SingleShotConnection);
    m_openMenu = menu;
    const QPoint at =
        view ? view->viewport()->mapToGlobal(view->visualRect(index).bottomLeft()) : QCursor::pos();
    QAction *active = current >= 0 && current < actions.size() ? actions.at(current) : nullptr;
    menu->popup(at, active);
    // From the keyboard, the arrows start on the current choice.
    if (active)
        menu->setActiveAction(active);
    return true;
}
