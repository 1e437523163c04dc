#include "views/PHFolderModel.h"

#include "model/PHFSItem.h"
#include "platform/PHFolderWatcher.h"
#include "platform/PHImage.h"
#include "support/PHExtensions.h"
#include "support/PHFileName.h"
#include "support/PHTextFile.h"

#include <QDir>
#include <QFileInfo>

#include <utility>

namespace {
const QString kDir = QStringLiteral("dir");
const QString kProtect = QStringLiteral("protect");

QIcon bundleImage(const QString &bundlePath, const QString &name) {
    if (bundlePath.isEmpty())
        return {};
    const QString path = QDir(bundlePath).filePath(QStringLiteral("Resources/%1.png").arg(name));
    return QFileInfo::exists(path) ? QIcon(path) : QIcon();
}
} // namespace

PHFolderModel::PHFolderModel(QObject *parent) : PHFolderModel(QStringLiteral("/"), parent) {
}

PHFolderModel::PHFolderModel(const QString &rootPath, QObject *parent)
    : PHItemModel(parent), m_watcher(new PHFolderWatcher(this)) {
    connect(m_watcher, &PHFolderWatcher::directoryChanged, this, &PHFolderModel::folderChangedOnDisk);
    // A reset closes every row, and the rows may be other nodes afterwards.
    connect(this, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        m_parentRows.clear();
        m_expanded.clear();
    });
    setRootPath(rootPath);
}

PHFolderModel::~PHFolderModel() = default;

void PHFolderModel::setContext(const PHModelContext &context) {
    m_context = context;
    if (m_rootItem)
        m_rootItem->setContext(m_context);
}

void PHFolderModel::setBundlePath(const QString &bundlePath) {
    m_deleteIdle = bundleImage(bundlePath, QStringLiteral("delete_idle"));
    m_deletePressed = bundleImage(bundlePath, QStringLiteral("delete_pressed"));
}

void PHFolderModel::setRootPath(const QString &path) {
    beginResetModel();
    m_pendingExpansions.clear();
    m_watcher->removeAll();
    m_lapsed.clear();
    // The old tree lives until the view has let go of it.
    const std::unique_ptr<PHFSItem> old =
        std::exchange(m_rootItem, std::make_unique<PHFSItem>(path, nullptr));
    m_rootItem->setContext(m_context);
    watch(m_rootItem.get());
    endReset();
}

void PHFolderModel::watch(PHFSItem *node) const {
    // Asked for every cell drawn: the node says whether it is followed.
    if (node->isFollowed())
        return;
    node->setFollowed(true);
    const QString path = node->fullPath();
    if (path.isEmpty())
        return;
    m_watcher->addPath(path); // or not a folder, or left to the watcher's refresh on activation
    // Not followed while its row was hidden: what changed meanwhile is read
    // now, outside the view's question.
    if (m_lapsed.remove(path)) {
        auto *self = const_cast<PHFolderModel *>(this);
        QMetaObject::invokeMethod(
            self, [self, path] { self->folderChangedOnDisk(path); }, Qt::QueuedConnection);
    }
}

void PHFolderModel::unwatchBelow(PHFSItem *folder) {
    // Rows a closed folder hides are not followed until they show again; the
    // selected folder, whose editor may still show, stays followed.
    const PHFSItem *selected = m_context.selectedItem();
    QList<PHFSItem *> pending{folder};
    while (!pending.isEmpty()) {
        PHFSItem *node = pending.takeLast();
        if (!node->isListed())
            continue;
        for (PHFSItem *child : node->children()) {
            pending.append(child);
            if (!child->isFollowed() || child == selected)
                continue;
            child->setFollowed(false);
            const QString path = child->fullPath();
            if (m_watcher->isWatched(path) || m_watcher->isUnwatched(path)) {
                m_watcher->removePath(path);
                m_lapsed.insert(path);
            }
        }
    }
}

PHFSItem *PHFolderModel::loadedNodeForPath(const QString &path) const {
    if (!m_rootItem)
        return nullptr;
    const QString root = QDir::cleanPath(m_rootItem->fullPath());
    const QString wanted = QDir::cleanPath(path);
    if (wanted == root)
        return m_rootItem.get();
    if (!wanted.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/')))
        return nullptr;
    // Only the folders on the way are asked for their children: they are
    // loaded already, since the watched folder was shown.
    PHFSItem *node = m_rootItem.get();
    for (const QString &part : wanted.mid(root.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        PHFSItem *next = nullptr;
        for (PHFSItem *child : node->children())
            if (child->name() == part)
                next = child;
        if (!next)
            return nullptr;
        node = next;
    }
    return node;
}

void PHFolderModel::folderChangedOnDisk(const QString &path) {
    PHFSItem *node = loadedNodeForPath(path);
    if (!node)
        return;
    // A folder that went is no longer watched: watched again should it return.
    if (!m_watcher->isWatched(path) && !m_watcher->isUnwatched(path))
        node->setFollowed(false);
    // Whether the file is there is looked for again, whatever else happens.
    const bool hadFile = node->accessFileSeen();
    node->forgetAccessFileSeen();
    // An edit in progress is the user's: it is not replaced behind their back.
    if (m_context.hasUnsavedEdits() && m_context.selectedItem() == node)
        return;
    const PHTextFile file = PHTextFile::readBelow(node->treeRootPath(), node->accessPath());
    if (file.status == PHTextFile::Status::Unreadable || file.status == PHTextFile::Status::Undecodable)
        return; // the node says what it knows; writing over it stays refused by the model
    const QString text = file.ok() ? file.text : QString();
    if (text == node->stringValue()) {
        // Another file of the folder, or this panel's own write; or an empty
        // file made or removed, which only the delete button shows.
        if (node->accessFileSeen() != hadFile)
            refreshFolder(node);
        return;
    }
    node->setStringValue(text);
    emit accessFileChangedOnDisk(node);
}

QString PHFolderModel::rootPath() const {
    return m_rootItem ? m_rootItem->fullPath() : QString();
}

qint32 PHFolderModel::modeIndexForItem(const PHFSItem *item) {
    return item ? item->modeIndex() : 0;
}

// ---------------------------------------------------------------- shape

PHFSItem *PHFolderModel::folderForIndex(const QModelIndex &index) const {
    return index.isValid() && index.model() == this ? static_cast<PHFSItem *>(index.internalPointer())
                                                    : nullptr;
}

QModelIndex PHFolderModel::indexForFolder(const PHFSItem *folder, int column) const {
    if (!folder || column < 0 || column >= columnCount())
        return {};
    if (folder == m_rootItem.get())
        return createIndex(0, column, m_rootItem.get());
    PHFSItem *above = folder->parent();
    if (!above || !above->isListed() || above == m_listing)
        return {};
    // Only a folder's parent is ever asked where it sits, and the folders
    // that have children shown are few: the places are noted for those.
    const qsizetype row = above->children().indexOf(const_cast<PHFSItem *>(folder));
    return row < 0 ? QModelIndex() : createIndex(int(row), column, const_cast<PHFSItem *>(folder));
}

QModelIndex PHFolderModel::index(int row, int column, const QModelIndex &parent) const {
    if (row < 0 || column < 0 || column >= columnCount() || (parent.isValid() && parent.column() != 0))
        return {};
    if (!parent.isValid())
        return row == 0 && m_rootItem ? createIndex(0, column, m_rootItem.get()) : QModelIndex();
    PHFSItem *node = folderForIndex(parent);
    if (!node || row >= rowCount(parent))
        return {};
    PHFSItem *child = node->childAtIndex(row);
    return child ? createIndex(row, column, child) : QModelIndex();
}

QModelIndex PHFolderModel::parent(const QModelIndex &child) const {
    const PHFSItem *node = folderForIndex(child);
    if (!node || node == m_rootItem.get())
        return {};
    PHFSItem *above = node->parent();
    if (!above)
        return {};
    if (above == m_rootItem.get())
        return createIndex(0, 0, above);
    auto place = m_parentRows.constFind(above);
    if (place == m_parentRows.constEnd()) {
        const QModelIndex found = indexForFolder(above, 0);
        if (!found.isValid())
            return {};
        place = m_parentRows.insert(above, found.row());
    }
    return createIndex(*place, 0, above);
}

int PHFolderModel::rowCount(const QModelIndex &parent) const {
    if (!parent.isValid())
        return m_rootItem ? 1 : 0;
    PHFSItem *node = folderForIndex(parent);
    if (!node || parent.column() != 0 || !node->isListed() || node == m_listing)
        return 0;
    return qMax(0, int(node->numberOfChildren()));
}

bool PHFolderModel::hasChildren(const QModelIndex &parent) const {
    if (!parent.isValid())
        return bool(m_rootItem);
    PHFSItem *node = folderForIndex(parent);
    if (!node || parent.column() != 0)
        return false;
    // A folder below the top row is taken to open until it is listed, when
    // it is first expanded (an empty one then loses its arrow): the view asks
    // every row of an open folder, and listing each of thousands of folders
    // only to draw its arrow would cost a directory read per row.
    if (node != m_rootItem.get() && !node->isListed())
        return true;
    return node->numberOfChildren() != -1;
}

bool PHFolderModel::canFetchMore(const QModelIndex &parent) const {
    const PHFSItem *node = folderForIndex(parent);
    return node && parent.column() == 0 && !node->isListed();
}

void PHFolderModel::fetchMore(const QModelIndex &parent) {
    PHFSItem *node = folderForIndex(parent);
    if (!node || parent.column() != 0 || node->isListed())
        return;
    if (isAnnouncingReset()) {
        node->numberOfChildren(); // its rows come with the reset
        return;
    }
    // The rows are announced before they count: until then the folder shows none.
    m_listing = node;
    const qint32 count = node->numberOfChildren();
    if (count > 0) {
        beginInsertRows(parent, 0, count - 1);
        m_listing = nullptr;
        endInsertRows();
        return;
    }
    m_listing = nullptr;
    // Opened and found empty: its arrow goes, once the view has finished
    // what it is doing now.
    const QPersistentModelIndex target(parent);
    QMetaObject::invokeMethod(
        this,
        [this, target] {
            if (target.isValid())
                rowChanged(target);
        },
        Qt::QueuedConnection);
}

void PHFolderModel::refreshFolder(const PHFSItem *folder, bool children) {
    const QModelIndex first = indexForFolder(folder, 0);
    if (!first.isValid())
        return;
    rowChanged(first);
    if (children) {
        const int rows = rowCount(first);
        if (rows > 0)
            emit dataChanged(index(0, 0, first), index(rows - 1, columnCount() - 1, first));
    }
}

// ---------------------------------------------------------------- values

QIcon PHFolderModel::iconForPath(const QString &path) const {
    auto found = m_icons.constFind(path);
    if (found != m_icons.constEnd())
        return *found;
    QIcon icon(PHImage::imageForFileWidthHeight(path, 16, 16));
    if (icon.isNull()) // no icon theme: the style's folder
        icon = PHImage::folderImage();
    m_icons.insert(path, icon);
    return icon;
}

QVariant PHFolderModel::data(const QModelIndex &index, int role) const {
    PHFSItem *node = folderForIndex(index);
    if (!node)
        return {};
    watch(node); // a row in view: its access file is followed
    const QString column = identifierForColumn(index.column());
    if (column == kDir) {
        switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return PHFileName::readable(node->name());
        case Qt::DecorationRole:
            return iconForPath(node->fullPath());
        default:
            return PHItemModel::data(index, role);
        }
    }
    if (column == kProtect) {
        const qint32 shown = node->modeIndex();
        switch (role) {
        case Qt::EditRole:
            return shown;
        case Qt::DisplayRole:
            return PHFSItem::modeName(shown);
        case EnabledRole:
            return m_changeRefusal.isEmpty();
        case MarkRole:
        case Qt::ToolTipRole: {
            // Protection that comes from a folder above is marked beside the
            // folder's own mode and named in the tooltip.
            const PHEffectiveAccess access = node->effectiveAccess();
            const QString inherited = access.inheritedNote();
            const QString note = node->modeNote(access);
            if (role == MarkRole)
                return !note.isEmpty() ? noteMark : !inherited.isEmpty() ? inheritedMark : QString();
            QStringList tips;
            if (!m_changeRefusal.isEmpty())
                tips.append(m_changeRefusal);
            if (!inherited.isEmpty())
                tips.append(inherited);
            if (node->isHandManaged())
                tips.append(PHFSItem::handManagedMessage);
            // Where the server does otherwise than the mode says, the row says so.
            if (!note.isEmpty())
                tips.append(QStringLiteral("Not what the server does: %1").arg(note));
            return tips.isEmpty() ? QVariant() : QVariant(tips.join(QLatin1Char('\n')));
        }
        default:
            return PHItemModel::data(index, role);
        }
    }
    // The other column is asked as rows come into view: the moment to reopen
    // a folder that was open before the tree was rebuilt.
    if (role == Qt::DisplayRole)
        restoreExpansion(node);
    // Asked several times for every row drawn: the file is looked for once.
    switch (role) {
    case Qt::DecorationRole:
        return node->accessFileSeen() ? m_deleteIdle : QIcon();
    case PressedDecorationRole:
        return node->accessFileSeen() ? m_deletePressed : QIcon();
    case EnabledRole:
        return node->accessFileSeen() && m_changeRefusal.isEmpty();
    case Qt::ToolTipRole:
        return node->accessFileSeen() ? QVariant(QStringLiteral("Remove protection")) : QVariant();
    default:
        return PHItemModel::data(index, role);
    }
}

void PHFolderModel::restoreExpansion(PHFSItem *node) const {
    if (node == m_rootItem.get() || !PHFSItem::expansionStateForItem(node) || m_expanded.contains(node) ||
        m_pendingExpansions.contains(node))
        return;
    // Never expand inside the view's own question: queue it.
    m_pendingExpansions.insert(node);
    PHFSItemPointer target(node);
    auto *self = const_cast<PHFolderModel *>(this);
    QMetaObject::invokeMethod(
        self,
        [self, target, node] {
            self->m_pendingExpansions.remove(node);
            if (!target || !PHFSItem::expansionStateForItem(target) || self->m_expanded.contains(node))
                return;
            if (const QModelIndex index = self->indexForFolder(target); index.isValid())
                emit self->expansionRequested(index);
        },
        Qt::QueuedConnection);
}

bool PHFolderModel::setData(const QModelIndex &index, const QVariant &value, int role) {
    PHFSItem *node = folderForIndex(index);
    if (!node || role != Qt::EditRole || identifierForColumn(index.column()) != kProtect)
        return false;
    chooseMode(node, value.toInt());
    return true;
}

void PHFolderModel::chooseMode(PHFSItem *node, qint32 mode) {
    const std::optional<PHMode> chosen = PHProtection::modeAt(mode);
    // The mode the folder has already: its file stays as it is.
    if (!chosen || *chosen == node->mode())
        return;
    const PHFSItemPointer target(node);
    if (m_context.holdBackForUnsavedEdits(QStringLiteral("change the folder's protection"), this,
                                          [this, target, mode] {
                                              if (target)
                                                  chooseMode(target, mode);
                                          }))
        return;
    node->setMode(*chosen);
    refreshFolder(node);
    emit modeChanged(node);
}

Qt::ItemFlags PHFolderModel::flags(const QModelIndex &index) const {
    const PHFSItem *node = folderForIndex(index);
    if (!node)
        return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
}

bool PHFolderModel::maySelect(const QModelIndex &index) {
    // Held back: the confirmed prompt selects this folder (not a row number,
    // which the intervening actions may have moved).
    PHFSItemPointer target(folderForIndex(index));
    return !m_context.holdBackForUnsavedEdits(QStringLiteral("select another folder"), this, [this, target] {
        if (const QModelIndex again = indexForFolder(target); target && again.isValid())
            emit selectionRequested(again);
    });
}

void PHFolderModel::expansionChanged(const QModelIndex &index, bool expanded) {
    PHFSItem *node = folderForIndex(index);
    if (!node)
        return;
    if (expanded) {
        m_expanded.insert(node);
    } else {
        m_expanded.remove(node);
        unwatchBelow(node);
    }
    PHFSItem::saveStateForItem(expanded, node);
}
