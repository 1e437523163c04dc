#pragma once

#include <QPersistentModelIndex>
#include <QStyledItemDelegate>

/// An image button in a cell: shows the cell's image (its pressed image while
/// the mouse is held on it) only when the cell is enabled, and reports a
/// completed click on it with `clicked`.
class PHImageButtonDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static QRect imageFrame(const QStyleOptionViewItem &option, const QSize &size);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;

signals:
    void clicked(const QModelIndex &index);

private:
    QPersistentModelIndex m_pressed;
};
