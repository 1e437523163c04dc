#include "views/PHItemModelAdapter.h"

#include "model/PHXDataSource.h"

#include <QIcon>
#include <QMimeData>

PHItemModelAdapter::PHItemModelAdapter(QObject *view, PHXDataSource *dataSource,
                                       PHTableViewDelegate *delegate, QObject *parent)
    : QAbstractItemModel(parent), m_view(view), m_outline(false) {
    setTableDataSource(dataSource, delegate);
}

PHItemModelAdapter::PHItemModelAdapter(QObject *view, PHOutlineViewDataSource *dataSource,
                                       PHOutlineViewDelegate *delegate, QObject *parent)
    : QAbstractItemModel(parent), m_view(view), m_outline(true) {
    setOutlineDataSource(dataSource, delegate);
}

void PHItemModelAdapter::setTableDataSource(PHXDataSource *dataSource, PHTableViewDelegate *delegate) {
    beginResetModel();
    disconnect(m_reloadConnection);
    m_outline = false;
    m_tableSource = dataSource;
    m_tableDelegate = delegate;
    m_places.clear();
    if (dataSource) {
        m_reloadConnection =
            connect(dataSource, &PHXDataSource::reloadRequested, this, [this](QObject *view) {
                if (!view || view == m_view)
                    reloadData();
            });
    }
    endResetModel();
}

void PHItemModelAdapter::setOutlineDataSource(PHOutlineViewDataSource *dataSource,
                                              PHOutlineViewDelegate *delegate) {
    beginResetModel();
    disconnect(m_reloadConnection);
    m_outline = true;
    m_outlineSource = dataSource;
    m_outlineDelegate = delegate;
    m_sourceKnowsParents = dataSource && dataSource->outlineViewKnowsParents(m_view);
    m_places.clear();
    endResetModel();
}

void PHItemModelAdapter::setColumns(const QList<Column> &columns) {
    beginResetModel();
    m_columns = columns;
    m_places.clear();
    endResetModel();
}

int PHItemModelAdapter::columnForIdentifier(const QString &identifier) const {
    for (int i = 0; i < m_columns.size(); ++i)
        if (m_columns.at(i).identifier == identifier)
            return i;
    return -1;
}

QString PHItemModelAdapter::identifierForColumn(int column) const {
    return column >= 0 && column < m_columns.size() ? m_columns.at(column).identifier : QString();
}

PHItemModelAdapter::ColumnKind PHItemModelAdapter::kindOfColumn(int column) const {
    return column >= 0 && column < m_columns.size() ? m_columns.at(column).kind : ColumnKind::Text;
}

void *PHItemModelAdapter::childOf(void *parentItem, int row, int rows) const {
    if (!m_outlineSource || row < 0)
        return nullptr;
    void *child = m_outlineSource->outlineViewChildOfItem(m_view, row, parentItem);
    // A data source that knows each item's parent is asked for it instead:
    // ten thousand rows need no ten thousand notes.
    if (!child || m_sourceKnowsParents)
        return child;
    // The view asks for every row of a folder it opens, in order: the first
    // new one makes room for all, rather than the table growing step by step.
    if (row == 0 && rows > 1 && !m_places.contains(child))
        m_places.reserve(m_places.size() + rows);
    m_places.insert(child, Place{parentItem, row});
    return child;
}

void *PHItemModelAdapter::itemForIndex(const QModelIndex &index) const {
    return m_outline && index.isValid() ? index.internalPointer() : nullptr;
}

QModelIndex PHItemModelAdapter::indexForItem(void *item, int column) const {
    if (!m_outline || !item)
        return {};
    auto place = m_places.constFind(item);
    if (place == m_places.constEnd() && m_outlineSource) {
        // Not shown yet: find it below its parent.
        bool known = false;
        void *parentItem = m_outlineSource->outlineViewParentOfItem(m_view, item, &known);
        if (!known)
            return {};
        const QModelIndex parentIndex = parentItem ? indexForItem(parentItem, 0) : QModelIndex();
        if (parentItem && !parentIndex.isValid())
            return {};
        const int rows = rowCount(parentIndex);
        for (int row = 0; row < rows; ++row)
            if (childOf(parentItem, row, rows) == item) {
                m_places.insert(item, Place{parentItem, row});
                break;
            }
        place = m_places.constFind(item);
        if (place == m_places.constEnd())
            return {};
    } else if (place == m_places.constEnd()) {
        return {};
    }
    return createIndex(place->row, column, item);
}

QModelIndex PHItemModelAdapter::index(int row, int column, const QModelIndex &parent) const {
    if (row < 0 || column < 0 || column >= m_columns.size())
        return {};
    if (!m_outline) {
        if (parent.isValid() || row >= rowCount())
            return {};
        return createIndex(row, column);
    }
    void *parentItem = itemForIndex(parent);
    const int rows = rowCount(parent);
    if (row >= rows)
        return {};
    void *child = childOf(parentItem, row, rows);
    return child ? createIndex(row, column, child) : QModelIndex();
}

QModelIndex PHItemModelAdapter::parent(const QModelIndex &child) const {
    if (!m_outline || !child.isValid())
        return {};
    void *item = child.internalPointer();
    if (const auto place = m_places.constFind(item); place != m_places.constEnd())
        return place->parent ? indexForItem(place->parent, 0) : QModelIndex();
    if (!m_sourceKnowsParents || !m_outlineSource)
        return {};
    bool known = false;
    void *parentItem = m_outlineSource->outlineViewParentOfItem(m_view, item, &known);
    return known && parentItem ? indexForItem(parentItem, 0) : QModelIndex();
}

int PHItemModelAdapter::rowCount(const QModelIndex &parent) const {
    if (parent.isValid() && parent.column() != 0)
        return 0;
    if (!m_outline) {
        if (parent.isValid() || !m_tableSource)
            return 0;
        return qMax(0, int(m_tableSource->numberOfRowsInTableView(m_view)));
    }
    if (!m_outlineSource)
        return 0;
    void *item = itemForIndex(parent);
    if (item && !m_outlineSource->outlineViewIsItemExpandable(m_view, item))
        return 0; // a leaf has no rows below it
    return qMax(0, int(m_outlineSource->outlineViewNumberOfChildrenOfItem(m_view, item)));
}

int PHItemModelAdapter::columnCount(const QModelIndex &) const {
    return int(m_columns.size());
}

bool PHItemModelAdapter::hasChildren(const QModelIndex &parent) const {
    if (!m_outline)
        return !parent.isValid() && rowCount(parent) > 0;
    if (!m_outlineSource || (parent.isValid() && parent.column() != 0))
        return false;
    void *item = itemForIndex(parent);
    return item ? m_outlineSource->outlineViewIsItemExpandable(m_view, item) : rowCount(parent) > 0;
}

QVariant PHItemModelAdapter::objectValue(const QModelIndex &index) const {
    if (!index.isValid())
        return {};
    const QString identifier = identifierForColumn(index.column());
    if (!m_outline)
        return m_tableSource
                   ? m_tableSource->tableViewObjectValueForTableColumnRow(m_view, identifier, index.row())
                   : QVariant();
    return m_outlineSource ? m_outlineSource->outlineViewObjectValueForTableColumnByItem(
                                 m_view, identifier, index.internalPointer())
                           : QVariant();
}

PHCell PHItemModelAdapter::cellForIndex(const QModelIndex &index) const {
    PHCell cell;
    if (!index.isValid())
        return cell;
    const QString identifier = identifierForColumn(index.column());
    if (!m_outline) {
        if (m_tableDelegate)
            m_tableDelegate->tableViewWillDisplayCellForTableColumnRow(m_view, cell, identifier, index.row());
    } else if (m_outlineDelegate) {
        m_outlineDelegate->outlineViewWillDisplayCellForTableColumnItem(m_view, cell, identifier,
                                                                        index.internalPointer());
    }
    return cell;
}

void PHItemModelAdapter::setObjectValue(const QModelIndex &index, const QVariant &value) {
    if (!index.isValid())
        return;
    const QString identifier = identifierForColumn(index.column());
    // Keep what we need: the data source may reload (and so invalidate the index).
    const QPersistentModelIndex keep(index);
    if (!m_outline) {
        if (m_tableSource)
            m_tableSource->tableViewSetObjectValueForTableColumnRow(m_view, value, identifier, index.row());
    } else if (m_outlineSource) {
        m_outlineSource->outlineViewSetObjectValueForTableColumnByItem(m_view, value, identifier,
                                                                       index.internalPointer());
    }
    if (keep.isValid())
        emit dataChanged(this->index(keep.row(), 0, keep.parent()),
                         this->index(keep.row(), columnCount() - 1, keep.parent()));
}

QVariant PHItemModelAdapter::data(const QModelIndex &index, int role) const {
    if (!index.isValid())
        return {};
    const ColumnKind kind = kindOfColumn(index.column());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole: {
        if (role == Qt::DisplayRole && kind == ColumnKind::Text)
            if (const QString title = cellForIndex(index).title; !title.isEmpty())
                return title;
        const QVariant value = objectValue(index);
        if (kind == ColumnKind::Text)
            return value.typeId() == QMetaType::QString ? value
                                                        : QVariant(PHXDataSource::descriptionOfValue(value));
        if (kind == ColumnKind::PopUp)
            return value.isValid() ? QVariant(value.toInt()) : QVariant();
        return {};
    }
    case Qt::CheckStateRole: {
        if (kind != ColumnKind::Check || cellForIndex(index).transparent)
            return {};
        return objectValue(index).toBool() ? Qt::Checked : Qt::Unchecked;
    }
    case Qt::DecorationRole:
        if (kind == ColumnKind::Text)
            return cellForIndex(index).image.value<QIcon>();
        return {};
    case Qt::AccessibleTextRole:
        return accessibleText(index);
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole: {
        const QString tip = cellForIndex(index).toolTip;
        return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    default:
        return {};
    }
}

QString PHItemModelAdapter::accessibleText(const QModelIndex &index) const {
    const ColumnKind kind = kindOfColumn(index.column());
    const PHCell cell = cellForIndex(index);
    if (cell.transparent)
        return {};
    const QString title = index.column() < m_columns.size() ? m_columns.at(index.column()).title : QString();
    QString text;
    switch (kind) {
    case ColumnKind::Text: {
        const QVariant value = objectValue(index);
        return value.typeId() == QMetaType::QString ? value.toString()
                                                    : PHXDataSource::descriptionOfValue(value);
    }
    case ColumnKind::Check:
        text = objectValue(index).toBool() ? QStringLiteral("checked") : QStringLiteral("not checked");
        break;
    case ColumnKind::PopUp: {
        const QVariant value = objectValue(index);
        const int item = cell.selectedItem >= 0 ? cell.selectedItem : (value.isValid() ? value.toInt() : -1);
        if (cell.menu && item >= 0 && item < cell.menu->actions().size())
            text = cell.menu->actions().at(item)->text();
        break;
    }
    case ColumnKind::Button:
        text = cell.toolTip.isEmpty() ? QStringLiteral("button") : cell.toolTip;
        break;
    }
    // A check box without a title speaks for its row ("alice: checked").
    QString label = title;
    if (label.isEmpty() && kind == ColumnKind::Check) {
        for (int column = 0; column < m_columns.size(); ++column)
            if (m_columns.at(column).kind == ColumnKind::Text) {
                label = accessibleText(index.siblingAtColumn(column));
                break;
            }
    }
    if (!label.isEmpty())
        text = label + QStringLiteral(": ") + text;
    if (!cell.enabled)
        text += QStringLiteral(" (unavailable)");
    return text;
}

bool PHItemModelAdapter::setData(const QModelIndex &index, const QVariant &value, int role) {
    if (!index.isValid())
        return false;
    const ColumnKind kind = kindOfColumn(index.column());
    if (kind == ColumnKind::Check && role == Qt::CheckStateRole) {
        const PHCell cell = cellForIndex(index);
        if (!cell.enabled || cell.transparent)
            return false;
        setObjectValue(index, value.toInt() == Qt::Checked);
        return true;
    }
    if (role != Qt::EditRole)
        return false;
    if (kind == ColumnKind::Text && !(flags(index) & Qt::ItemIsEditable))
        return false;
    setObjectValue(index, value);
    return true;
}

Qt::ItemFlags PHItemModelAdapter::flags(const QModelIndex &index) const {
    if (!index.isValid())
        return m_outline ? Qt::ItemIsDropEnabled : Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    const QString identifier = identifierForColumn(index.column());
    switch (kindOfColumn(index.column())) {
    case ColumnKind::Text: {
        // The edit answers govern typing only; the other kinds follow their cell.
        const bool editable =
            m_outline ? (m_outlineDelegate && m_outlineDelegate->outlineViewShouldEditTableColumnItem(
                                                  m_view, identifier, index.internalPointer()))
                      : (m_tableDelegate &&
                         m_tableDelegate->tableViewShouldEditTableColumnRow(m_view, identifier, index.row()));
        if (editable)
            flags |= Qt::ItemIsEditable;
        break;
    }
    case ColumnKind::Check: {
        const PHCell cell = cellForIndex(index);
        if (cell.enabled && !cell.transparent)
            flags |= Qt::ItemIsUserCheckable;
        break;
    }
    case ColumnKind::PopUp:
    case ColumnKind::Button:
        break;
    }
    if (m_outline) {
        if (m_outlineDelegate && !m_outlineDelegate->outlineViewPasteboardTypes(m_view).isEmpty())
            flags |= Qt::ItemIsDropEnabled;
    } else if (m_tableDelegate && !m_tableDelegate->tableViewPasteboardTypes(m_view).isEmpty()) {
        flags |= Qt::ItemIsDragEnabled;
    }
    return flags;
}

QVariant PHItemModelAdapter::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= m_columns.size())
        return {};
    return m_columns.at(section).title;
}

void PHItemModelAdapter::reloadData() {
    beginResetModel();
    m_places.clear();
    endResetModel();
}

void PHItemModelAdapter::reloadItem(void *item, bool reloadChildren) {
    if (!m_outline || columnCount() == 0)
        return;
    const QModelIndex first = indexForItem(item, 0);
    if (!first.isValid())
        return;
    emit dataChanged(first, first.siblingAtColumn(columnCount() - 1));
    if (reloadChildren) {
        const int rows = rowCount(first);
        if (rows > 0)
            emit dataChanged(index(0, 0, first), index(rows - 1, columnCount() - 1, first));
    }
}

void PHItemModelAdapter::beginReorder() {
    emit layoutAboutToBeChanged();
    m_reorderedIndexes = persistentIndexList();
    m_reorderedItems.clear();
    for (const QModelIndex &index : std::as_const(m_reorderedIndexes))
        m_reorderedItems.append(itemForIndex(index));
}

void PHItemModelAdapter::endReorder() {
    // Every row may have moved: find each item again below its parent.
    m_places.clear();
    QModelIndexList moved;
    moved.reserve(m_reorderedIndexes.size());
    for (qsizetype i = 0; i < m_reorderedIndexes.size(); ++i) {
        void *item = m_reorderedItems.at(i);
        moved.append(m_outline && item ? indexForItem(item, m_reorderedIndexes.at(i).column())
                                       : m_reorderedIndexes.at(i));
    }
    changePersistentIndexList(m_reorderedIndexes, moved);
    m_reorderedIndexes.clear();
    m_reorderedItems.clear();
    emit layoutChanged();
}

QStringList PHItemModelAdapter::mimeTypes() const {
    if (m_outline)
        return m_outlineDelegate ? m_outlineDelegate->outlineViewPasteboardTypes(m_view) : QStringList();
    return m_tableDelegate ? m_tableDelegate->tableViewPasteboardTypes(m_view) : QStringList();
}

QMimeData *PHItemModelAdapter::mimeData(const QModelIndexList &indexes) const {
    if (m_outline || !m_tableDelegate || indexes.isEmpty())
        return nullptr;
    QList<qint32> rows;
    for (const QModelIndex &index : indexes)
        if (!rows.contains(index.row()))
            rows.append(index.row());
    auto data = std::make_unique<QMimeData>();
    if (!m_tableDelegate->tableViewWriteRowsToPasteboard(m_view, rows, data.get()))
        return nullptr;
    return data.release();
}

bool PHItemModelAdapter::canDropMimeData(const QMimeData *data, Qt::DropAction, int row, int,
                                         const QModelIndex &parent) const {
    if (!m_outline || !m_outlineDelegate || !data)
        return false;
    void *item = itemForIndex(parent);
    qint32 childIndex = row;
    return m_outlineDelegate->outlineViewValidateDrop(m_view, data, item, childIndex);
}

bool PHItemModelAdapter::dropMimeData(const QMimeData *data, Qt::DropAction, int row, int,
                                      const QModelIndex &parent) {
    if (!m_outline || !m_outlineDelegate || !data)
        return false;
    void *item = itemForIndex(parent);
    qint32 childIndex = row;
    if (!m_outlineDelegate->outlineViewValidateDrop(m_view, data, item, childIndex))
        return false;
    return m_outlineDelegate->outlineViewAcceptDrop(m_view, data, item, childIndex);
}

Qt::DropActions PHItemModelAdapter::supportedDropActions() const {
    return Qt::CopyAction;
}

Qt::DropActions PHItemModelAdapter::supportedDragActions() const {
    return Qt::CopyAction;
}
