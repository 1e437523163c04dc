#pragma once

#include "model/PHItemModel.h"

#include <QPersistentModelIndex>
#include <QTreeView>

class QMenu;

/// The panel's outline over a `PHItemModel`. The model may hold a new
/// selection back (the veto lives in the selection model, so clicks, keys and
/// programmatic selection all pass it), hears of rows opened and closed, and
/// may refuse the text of an in-place edit. Its requests to select or open a
/// row, send the action or beep are answered. The delete key says which row
/// is selected (`deleteKeyPressed`); Return ends an edit without moving on.
class PHOutlineView : public QTreeView {
    Q_OBJECT
public:
    explicit PHOutlineView(QWidget *parent = nullptr);

    /// Shows the model with this outline's columns, and answers its requests.
    void setModel(QAbstractItemModel *model) override;
    /// The model as the panel's, or null.
    PHItemModel *itemModel() const;
    /// Sets the columns (on the model, now and later ones) and gives each the cell of its kind.
    void setColumns(const QList<PHItemModel::Column> &columns);
    void setCellForColumn(const QString &identifier, QAbstractItemDelegate *cell);
    /// The menu of a pop-up column's choices.
    void setPopUpMenu(const QString &identifier, QMenu *menu);
    /// Makes a column the one that shows the tree's indentation.
    void setOutlineColumn(const QString &identifier);
    int columnForIdentifier(const QString &identifier) const;

    /// The row selected last (counted over the visible rows), or -1.
    qint32 selectedRow() const;
    /// The first column's index of the row selected last, or an invalid one.
    QModelIndex selectedIndex() const;
    /// The first column's index of a visible row, or an invalid one.
    QModelIndex indexAtRow(qint32 row) const;
    qint32 rowForIndex(const QModelIndex &index) const;
    /// Selects an index's row (through the model's veto); false when held back.
    bool selectIndex(const QModelIndex &index, bool extend = false);
    /// Starts typing into a cell.
    void editCell(const QModelIndex &index);
    /// Whether a cell is being typed into (the current index's).
    bool isEditing() const { return state() == QAbstractItemView::EditingState; }

    void reloadData();

    /// Sends the outline's action to its target (the `action` signal).
    void sendAction();

signals:
    void action();
    void doubleAction();
    /// Delete or Backspace outside an edit, with the selected row (-1 for none).
    void deleteKeyPressed(qint32 row);
    /// The model showed every row again (a reset forgets the selection).
    void rowsReloaded();
    /// A click completed on the button of a button column.
    void buttonClicked(const QString &column, const QModelIndex &index);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint) override;
    void commitData(QWidget *editor) override;
    void selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    friend class PHGuardedSelectionModel;
    bool mayBecomeSelected(const QModelIndex &index);

    QList<PHItemModel::Column> m_columns;
    QPersistentModelIndex m_lastSelected;
    QWidget *m_refusedEditor = nullptr;             // an editor whose text the model refused
    QList<QMetaObject::Connection> m_modelRequests; // what the model asks of this outline
};
