#pragma once

#include <QPointer>
#include <QStyledItemDelegate>

class QMenu;

/// A pop-up button in a cell. It shows the title of the menu item the row's
/// value selects; a click opens the cell's menu at the cell, and choosing an
/// item hands its index to the data source as the row's new value.
class PHPopUpButtonCell : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;

    /// The menu shown for the last click, while it is open.
    QMenu *openMenu() const { return m_openMenu; }

private:
    QPointer<QMenu> m_openMenu;
    QMetaObject::Connection m_chosen;
};
