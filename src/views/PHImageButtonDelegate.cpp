#include "views/PHImageButtonDelegate.h"

#include "model/PHItemModel.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QIcon>
#include <QMouseEvent>
#include <QPainter>

namespace {
constexpr QSize kImageSize(16, 16);
bool acts(const QModelIndex &index) {
    return PHItemModel::isEnabled(index) && !PHItemModel::isHidden(index);
}
} // namespace

QRect PHImageButtonDelegate::imageFrame(const QStyleOptionViewItem &option, const QSize &size) {
    return QStyle::alignedRect(option.direction, Qt::AlignCenter, size, option.rect);
}

void PHImageButtonDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                  const QModelIndex &index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    opt.icon = QIcon();
    QStyle *style = option.widget ? option.widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, option.widget);
    if (!acts(index))
        return;
    const QIcon pressedImage = index.data(PHItemModel::PressedDecorationRole).value<QIcon>();
    const bool pressed = m_pressed.isValid() && m_pressed == index && !pressedImage.isNull();
    const QIcon image = pressed ? pressedImage : index.data(Qt::DecorationRole).value<QIcon>();
    image.paint(painter, imageFrame(option, kImageSize));
}

QSize PHImageButtonDelegate::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const {
    return kImageSize + QSize(8, 4);
}

bool PHImageButtonDelegate::editorEvent(QEvent *event, QAbstractItemModel *,
                                        const QStyleOptionViewItem &option, const QModelIndex &index) {
    const auto type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease &&
        type != QEvent::MouseButtonDblClick)
        return false;
    const auto *mouse = static_cast<QMouseEvent *>(event);
    const bool inside = imageFrame(option, kImageSize).contains(mouse->position().toPoint());
    if (mouse->button() != Qt::LeftButton || !acts(index))
        return false;
    auto *view = qobject_cast<QAbstractItemView *>(const_cast<QWidget *>(option.widget));
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
        if (!inside)
            return false;
        m_pressed = index;
        if (view)
            view->viewport()->update(option.rect);
        return true;
    }
    const bool wasPressed = m_pressed.isValid() && m_pressed == index;
    m_pressed = QPersistentModelIndex();
    if (view)
        view->viewport()->update(option.rect);
    if (wasPressed && inside)
        emit clicked(index);
    return wasPressed;
}
