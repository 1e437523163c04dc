#pragma once

#include "views/PHItemModelAdapter.h"

#include <QPersistentModelIndex>
#include <QTreeView>

/// The panel's outline: items come from a `PHOutlineViewDataSource` through
/// the item-model adapter. Its delegate may hold a new selection back (the
/// veto lives in the selection model, so clicks, keys and programmatic
/// selection all pass it), is told about expansion and collapse, and may
/// refuse the text of an in-place edit. The delete key asks the panel to
/// delete the selected row; Return ends an edit without moving on.
class PHOutlineView : public QTreeView {
    Q_OBJECT
public:
    explicit PHOutlineView(QWidget *parent = nullptr);

    /// A data source that asks for selection, expansion, the action or a
    /// beep through signals (the groups) is answered when it names this outline.
    void setDataSource(PHOutlineViewDataSource *dataSource, PHOutlineViewDelegate *delegate);
    PHOutlineViewDataSource *dataSource() const { return m_adapter->outlineDataSource(); }
    PHOutlineViewDelegate *delegate() const { return m_adapter->outlineDelegate(); }
    PHItemModelAdapter *adapter() const { return m_adapter; }
    void setColumns(const QList<PHItemModelAdapter::Column> &columns);
    void setCellForColumn(const QString &identifier, QAbstractItemDelegate *cell);
    /// Makes a column the one that shows the tree's indentation.
    void setOutlineColumn(const QString &identifier);
    int columnForIdentifier(const QString &identifier) const;

    /// The row selected last (counted over the visible rows), or -1.
    qint32 selectedRow() const;
    /// The item of the row selected last, or nullptr.
    void *selectedItem() const;
    /// The item shown at a visible row, or nullptr.
    void *itemAtRow(qint32 row) const;
    qint32 rowForItem(void *item) const;
    /// Selects an item's row (through the delegate's veto); false when held back.
    bool selectItem(void *item, bool extend = false);
    bool isItemExpanded(void *item) const;
    void expandItem(void *item);
    void editColumnItem(const QString &identifier, void *item);
    /// Whether a cell is being typed into (the current index's).
    bool isEditing() const { return state() == QAbstractItemView::EditingState; }

    void reloadData();
    void reloadItem(void *item, bool reloadChildren = false);

    /// Sends the outline's action to its target (the `action` signal).
    void sendAction();

signals:
    void action();
    void doubleAction();
    /// A click completed on the button of a button column.
    void buttonClicked(const QString &column, void *item);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint) override;
    void commitData(QWidget *editor) override;
    void selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    friend class PHGuardedSelectionModel;
    bool mayBecomeSelected(const QModelIndex &index);

    PHItemModelAdapter *m_adapter;
    QPersistentModelIndex m_lastSelected;
    QWidget *m_refusedEditor = nullptr;              // an editor whose text the delegate refused
    QList<QMetaObject::Connection> m_sourceRequests; // what the data source asks of this outline
};
