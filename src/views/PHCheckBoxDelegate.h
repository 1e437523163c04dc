#pragma once

#include <QStyledItemDelegate>

/// A small check box centred in its cell. Drawn disabled when the model
/// says the cell is not enabled, not drawn at all when it is hidden; a click
/// or Space toggles it only when it is enabled.
class PHCheckBoxDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    /// The check box's frame in a cell.
    static QRect checkFrame(const QStyleOptionViewItem &option);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;
};
