#include "views/PHIconTextDelegate.h"

#include <QApplication>
#include <QPainter>

#include <cmath>

PHIconTextDelegate::PHIconTextDelegate(QObject *parent) : QStyledItemDelegate(parent) {
}

void PHIconTextDelegate::setImage(const QIcon &image) {
    if (image.cacheKey() == m_image.cacheKey())
        return;
    m_image = image;
}

QRect PHIconTextDelegate::imageFrameForCellFrame(const QRect &frame, const QSize &imageSize) {
    if (imageSize.isEmpty())
        return {};
    const int top = int(std::ceil((frame.height() - imageSize.height()) / 2.0));
    return QRect(QPoint(frame.x() + kMargin, frame.y() + top), imageSize);
}

QRect PHIconTextDelegate::textFrameForCellFrame(const QRect &frame, const QSize &imageSize) {
    const int strip = kMargin + (imageSize.isEmpty() ? 0 : imageSize.width());
    return frame.adjusted(strip, 0, 0, 0);
}

QIcon PHIconTextDelegate::iconFor(const QModelIndex &index) const {
    const QVariant decoration = index.data(Qt::DecorationRole);
    if (decoration.canConvert<QIcon>()) {
        QIcon icon = decoration.value<QIcon>();
        if (!icon.isNull())
            return icon;
    }
    return m_image;
}

QStyleOptionViewItem PHIconTextDelegate::textOnlyOption(const QStyleOptionViewItem &option,
                                                        const QModelIndex &index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.icon = QIcon();
    opt.features &= ~QStyleOptionViewItem::HasDecoration;
    if (m_font) {
        opt.font = *m_font;
        opt.fontMetrics = QFontMetrics(*m_font);
    }
    return opt;
}

void PHIconTextDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                               const QModelIndex &index) const {
    QStyleOptionViewItem opt = textOnlyOption(option, index);
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();

    const QIcon icon = iconFor(index);
    const QSize iconSize = icon.isNull() ? QSize() : m_imageSize;

    // The background (and selection) spans the whole cell, icon strip included.
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);
    if (!icon.isNull()) {
        const QIcon::Mode mode = !(option.state & QStyle::State_Enabled)   ? QIcon::Disabled
                                 : (option.state & QStyle::State_Selected) ? QIcon::Selected
                                                                           : QIcon::Normal;
        icon.paint(painter, imageFrameForCellFrame(option.rect, iconSize), Qt::AlignCenter, mode);
    }
    opt.rect = textFrameForCellFrame(option.rect, iconSize);
    opt.backgroundBrush = Qt::NoBrush;
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
}

QSize PHIconTextDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const {
    QStyleOptionViewItem opt = textOnlyOption(option, index);
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    QSize size = style->sizeFromContents(QStyle::CT_ItemViewItem, &opt, QSize(), widget);
    const bool hasImage = !iconFor(index).isNull();
    size.rwidth() += kMargin + (hasImage ? m_imageSize.width() : 0);
    if (hasImage)
        size.setHeight(qMax(size.height(), m_imageSize.height()));
    return size;
}

void PHIconTextDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                              const QModelIndex &index) const {
    const QSize iconSize = iconFor(index).isNull() ? QSize() : m_imageSize;
    editor->setGeometry(textFrameForCellFrame(option.rect, iconSize));
}
