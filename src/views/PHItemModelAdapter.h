#pragma once

#include "model/PHViewProtocols.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QMenu>
#include <QPointer>

#include "model/PHXDataSource.h"

/// The one item model behind every table and outline of the panel. It keeps
/// no data of its own: each question the view asks is forwarded to the data
/// source (rows, children, values) and its delegate (edit permission, cell
/// preparation), so the data sources stay free of item-model bookkeeping.
///
/// A table adapter shows the rows of a `PHXDataSource`; an outline adapter
/// shows the item tree of a `PHOutlineViewDataSource`. Columns are named by
/// their identifiers and have a kind that decides how their values show.
class PHItemModelAdapter : public QAbstractItemModel {
    Q_OBJECT
public:
    enum class ColumnKind { Text, Check, PopUp, Button };
    struct Column {
        QString identifier;
        QString title;
        ColumnKind kind = ColumnKind::Text;
    };

    /// A table over `dataSource`, asked as `view`.
    PHItemModelAdapter(QObject *view, PHXDataSource *dataSource, PHTableViewDelegate *delegate,
                       QObject *parent = nullptr);
    /// An outline over `dataSource`, asked as `view`.
    PHItemModelAdapter(QObject *view, PHOutlineViewDataSource *dataSource, PHOutlineViewDelegate *delegate,
                       QObject *parent = nullptr);

    bool isOutline() const { return m_outline; }
    void setTableDataSource(PHXDataSource *dataSource, PHTableViewDelegate *delegate);
    void setOutlineDataSource(PHOutlineViewDataSource *dataSource, PHOutlineViewDelegate *delegate);
    PHXDataSource *tableDataSource() const { return m_tableSource; }
    PHOutlineViewDataSource *outlineDataSource() const { return m_outlineSource; }
    PHTableViewDelegate *tableDelegate() const { return m_tableDelegate; }
    PHOutlineViewDelegate *outlineDelegate() const { return m_outlineDelegate; }

    void setColumns(const QList<Column> &columns);
    const QList<Column> &columns() const { return m_columns; }
    int columnForIdentifier(const QString &identifier) const;
    QString identifierForColumn(int column) const;
    ColumnKind kindOfColumn(int column) const;

    /// The data source's item behind an outline index (nullptr for none).
    void *itemForIndex(const QModelIndex &index) const;
    /// The index of an item the view has already been shown (invalid otherwise).
    QModelIndex indexForItem(void *item, int column = 0) const;

    /// The cell as the delegate prepares it for the index.
    PHCell cellForIndex(const QModelIndex &index) const;
    /// The raw value the data source gives for the index.
    QVariant objectValue(const QModelIndex &index) const;
    /// Hands a value to the data source, as a finished edit or a click does.
    void setObjectValue(const QModelIndex &index, const QVariant &value);

    /// Forgets every row and asks again (the tree may have been replaced).
    void reloadData();
    /// Shows an item's values again, and those of its loaded children.
    void reloadItem(void *item, bool reloadChildren);
    /// The outline's data source is about to re-order items it has shown,
    /// adding and removing none; after `endReorder` the view finds its rows,
    /// selection and expansion on the items' new places.
    void beginReorder();
    void endReorder();

    // QAbstractItemModel
    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    bool hasChildren(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    bool canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                         const QModelIndex &parent) const override;
    bool dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                      const QModelIndex &parent) override;
    Qt::DropActions supportedDropActions() const override;
    Qt::DropActions supportedDragActions() const override;

private:
    struct Place {
        void *parent;
        int row;
    };
    /// The item at `row` of the `rows` below `parentItem`, its place noted.
    void *childOf(void *parentItem, int row, int rows) const;

    QPointer<QObject> m_view;
    bool m_outline;
    QPointer<PHXDataSource> m_tableSource;
    PHTableViewDelegate *m_tableDelegate = nullptr;
    PHOutlineViewDataSource *m_outlineSource = nullptr;
    PHOutlineViewDelegate *m_outlineDelegate = nullptr;
    // The outline's data source answers for every item's parent.
    bool m_sourceKnowsParents = false;
    QList<Column> m_columns;
    QString accessibleText(const QModelIndex &index) const;
    QMetaObject::Connection m_reloadConnection;
    // Between beginReorder and endReorder: the view's indexes and their items.
    QModelIndexList m_reorderedIndexes;
    QList<void *> m_reorderedItems;
    // Where each item the view has been given sits, its parent and row (with
    // a data source that knows parents: each item looked up).
    mutable QHash<void *, Place> m_places;
};
