#include "views/PHCheckBoxDelegate.h"

#include "model/PHItemModel.h"
#include "platform/PHThemeColors.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace {
QStyle *styleOf(const QStyleOptionViewItem &option) {
    return option.widget ? option.widget->style() : QApplication::style();
}
} // namespace

QRect PHCheckBoxDelegate::checkFrame(const QStyleOptionViewItem &option) {
    QStyle *style = styleOf(option);
    const QSize size(style->pixelMetric(QStyle::PM_IndicatorWidth, &option, option.widget),
                     style->pixelMetric(QStyle::PM_IndicatorHeight, &option, option.widget));
    return QStyle::alignedRect(option.direction, Qt::AlignCenter, size, option.rect);
}

void PHCheckBoxDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                               const QModelIndex &index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    QStyle *style = styleOf(option);
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, option.widget);
    const QVariant state = index.data(Qt::CheckStateRole);
    if (PHItemModel::isHidden(index) || !state.isValid())
        return;
    QStyleOptionViewItem check = opt;
    check.rect = checkFrame(option);
    check.state &= ~(QStyle::State_On | QStyle::State_Off | QStyle::State_NoChange | QStyle::State_HasFocus);
    check.state |= state.toInt() == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
    if (!PHItemModel::isEnabled(index))
        check.state &= ~QStyle::State_Enabled;
    style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &check, painter, option.widget);
    // Some styles outline the box in a shade of the window colour, which
    // vanishes on a dark list; a frame from the text colour always shows.
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(PHThemeColors::frameColor(
        opt.palette, (check.state & QStyle::State_Enabled) ? QPalette::Active : QPalette::Disabled));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(check.rect.adjusted(0, 0, -1, -1));
    painter->restore();
}

QSize PHCheckBoxDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const {
    QStyle *style = styleOf(option);
    return QSize(style->pixelMetric(QStyle::PM_IndicatorWidth, &option, option.widget) + 8,
                 style->pixelMetric(QStyle::PM_IndicatorHeight, &option, option.widget) + 2);
}

bool PHCheckBoxDelegate::editorEvent(QEvent *event, QAbstractItemModel *model,
                                     const QStyleOptionViewItem &option, const QModelIndex &index) {
    const Qt::ItemFlags flags = model->flags(index);
    if (!(flags & Qt::ItemIsUserCheckable) || !(flags & Qt::ItemIsEnabled))
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        // Keep the press from starting a selection drag or an edit.
        const auto *mouse = static_cast<QMouseEvent *>(event);
        return mouse->button() == Qt::LeftButton && checkFrame(option).contains(mouse->position().toPoint());
    }
    case QEvent::MouseButtonRelease: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton || !checkFrame(option).contains(mouse->position().toPoint()))
            return false;
        break;
    }
    case QEvent::KeyPress: {
        const auto key = static_cast<QKeyEvent *>(event)->key();
        if (key != Qt::Key_Space && key != Qt::Key_Select)
            return false;
        break;
    }
    default:
        return false;
    }
    const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    return model->setData(index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}
