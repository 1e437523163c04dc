#pragma once

#include <QMenu>
#include <QPointer>
#include <QStyledItemDelegate>

class QAbstractItemView;
class QKeyEvent;

/// A pop-up button in a cell. It shows the title of the menu item the cell's
/// EditRole selects and the model's mark after it; a click opens the menu at
/// the cell, and choosing an item hands its index to the model (EditRole).
class PHPopUpDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;

    /// Opens the cell's menu under the cell, as a click does.
    bool popUp(QAbstractItemModel *model, const QModelIndex &index, QAbstractItemView *view);
    /// The keys that open a pop-up: Space, Return, Enter, F2 and Alt+Down.
    static bool isPopUpKey(const QKeyEvent *event);
    /// Opens the pop-up of the row of `index` (the first pop-up column); false
    /// when the row has none or it is disabled.
    static bool popUpInRow(QAbstractItemView *view, const QModelIndex &index);

    /// The menu of the column's choices.
    void setMenu(QMenu *menu);
    QMenu *menu() const;
    /// The menu shown for the last click, while it is open.
    QMenu *openMenu() const { return m_openMenu; }

private:
    QPointer<QMenu> m_menu;
    QPointer<QMenu> m_openMenu;
    QMetaObject::Connection m_chosen;
};
