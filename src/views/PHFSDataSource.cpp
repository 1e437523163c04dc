#include "views/PHFSDataSource.h"

#include "model/PHFSItem.h"
#include "platform/PHImage.h"
#include "platform/PanelContext.h"
#include "support/PHExtensions.h"
#include "support/PHFileName.h"
#include "support/PHTextFile.h"
#include "views/PHOutlineView.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMenu>

namespace {
const QString kDir = QStringLiteral("dir");
const QString kProtect = QStringLiteral("protect");

QIcon bundleImage(const QString &name) {
    PanelContext *context = PanelContext::sharedInstance();
    if (!context || context->bundlePath().isEmpty())
        return {};
    const QString path = QDir(context->bundlePath()).filePath(QStringLiteral("Resources/%1.png").arg(name));
    return QFileInfo::exists(path) ? QIcon(path) : QIcon();
}
} // namespace

PHFSDataSource::PHFSDataSource(QObject *parent) : PHFSDataSource(QStringLiteral("/"), parent) {
}

PHFSDataSource::PHFSDataSource(const QString &rootPath, QObject *parent)
    : QObject(parent), m_deleteIdle(bundleImage(QStringLiteral("delete_idle"))),
      m_deletePressed(bundleImage(QStringLiteral("delete_pressed"))),
      m_watcher(new QFileSystemWatcher(this)) {
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &PHFSDataSource::folderChangedOnDisk);
    setRootPath(rootPath);
}

PHFSDataSource::~PHFSDataSource() = default;

void PHFSDataSource::setRootPath(const QString &path) {
    m_pendingExpansions.clear();
    if (const QStringList watched = m_watcher->directories(); !watched.isEmpty())
        m_watcher->removePaths(watched);
    m_watched.clear();
    m_rootItem = std::make_unique<PHFSItem>(path, nullptr);
    watch(m_rootItem.get());
}

void PHFSDataSource::watch(PHFSItem *node) {
    // Asked for every cell drawn: the folders asked for are kept in a set (the
    // watcher's own list is copied and searched through on every call).
    const QString path = node->fullPath();
    if (path.isEmpty() || m_watched.contains(path))
        return;
    m_watched.insert(path);
    if (QFileInfo(path).isDir())
        m_watcher->addPath(path);
}

PHFSItem *PHFSDataSource::loadedNodeForPath(const QString &path) const {
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

void PHFSDataSource::folderChangedOnDisk(const QString &path) {
    // A folder that went is no longer watched: watched again should it return.
    if (!m_watcher->directories().contains(path))
        m_watched.remove(path);
    PHFSItem *node = loadedNodeForPath(path);
    if (!node)
        return;
    // An edit in progress is the user's: it is not replaced behind their back.
    PanelContext *context = PanelContext::sharedInstance();
    if (context && context->hasBeenManuallyEdited() && context->selectedItem() == node)
        return;
    const PHTextFile file = PHTextFile::readBelow(node->treeRootPath(), node->accessPath());
    if (file.status == PHTextFile::Status::Unreadable || file.status == PHTextFile::Status::Undecodable)
        return; // the node says what it knows; writing over it stays refused by the model
    const QString text = file.ok() ? file.text : QString();
    if (text == node->stringValue())
        return; // another file of the folder, or this panel's own write
    node->setStringValue(text);
    emit accessFileChangedOnDisk(node);
}

QString PHFSDataSource::rootPath() const {
    return m_rootItem ? m_rootItem->fullPath() : QString();
}

void PHFSDataSource::refresh(QObject *view) {
    if (auto *outline = qobject_cast<PHOutlineView *>(view))
        outline->viewport()->update();
}

PHFSItem *PHFSDataSource::nodeFor(void *item) const {
    return item ? static_cast<PHFSItem *>(item) : m_rootItem.get();
}

qint32 PHFSDataSource::modeIndexForItem(const PHFSItem *item) {
    if (!item || item->isAuthenticationDisabled())
        return 0;
    const qint32 status = item->authStatus();
    return status > 3 ? 4 : status;
}

qint32 PHFSDataSource::outlineViewNumberOfChildrenOfItem(QObject *outline, void *item) {
    if (!item)
        return m_rootItem ? 1 : 0;
    auto *node = static_cast<PHFSItem *>(item);
    const bool wasListed = node->isListed();
    const qint32 count = node->numberOfChildren();
    if (!wasListed && count == -1) {
        // Opened and found empty: its arrow goes, once the view has finished
        // the question it is asking now.
        QPointer<PHOutlineView> view(qobject_cast<PHOutlineView *>(outline));
        QPointer<PHFSItem> target(node);
        if (view)
            QMetaObject::invokeMethod(
                view,
                [view, target] {
                    if (view && target)
                        view->reloadItem(target);
                },
                Qt::QueuedConnection);
    }
    return count;
}

bool PHFSDataSource::outlineViewIsItemExpandable(QObject *, void *item) {
    PHFSItem *node = nodeFor(item);
    if (!node)
        return false;
    // A folder below the top row is taken to open until it is listed, when
    // it is first expanded (an empty one then loses its arrow): the view asks
    // every row of an open folder, and listing each of thousands of folders
    // only to draw its arrow would cost a directory read per row.
    if (node != m_rootItem.get() && !node->isListed())
        return true;
    return node->numberOfChildren() != -1;
}

void *PHFSDataSource::outlineViewChildOfItem(QObject *, qint32 index, void *item) {
    if (!item)
        return m_rootItem.get();
    return static_cast<PHFSItem *>(item)->childAtIndex(index);
}

QVariant PHFSDataSource::outlineViewObjectValueForTableColumnByItem(QObject *outline, const QString &column,
                                                                    void *item) {
    PHFSItem *node = nodeFor(item);
    if (!node)
        return QString();
    watch(node); // a row in view: its access file is followed
    if (column == kDir)
        return PHFileName::readable(node->name());
    if (column == kProtect)
        return modeIndexForItem(node);
    // The other column is asked as rows come into view: the moment to reopen
    // a folder that was open before the tree was rebuilt.
    if (item)
        restoreExpansion(qobject_cast<PHOutlineView *>(outline), node);
    return QString();
}

void PHFSDataSource::restoreExpansion(PHOutlineView *outline, PHFSItem *node) {
    if (!outline || !PHFSItem::expansionStateForItem(node) || outline->isItemExpanded(node) ||
        m_pendingExpansions.contains(node))
        return;
    // Never expand inside the view's own question: queue it.
    m_pendingExpansions.insert(node);
    QPointer<PHOutlineView> view(outline);
    QPointer<PHFSItem> target(node);
    QPointer<PHFSDataSource> self(this);
    QMetaObject::invokeMethod(
        outline,
        [self, view, target, node] {
            if (!self)
                return;
            self->m_pendingExpansions.remove(node);
            if (!view || !target || !PHFSItem::expansionStateForItem(target))
                return;
            view->expandItem(target);
            self->refresh(view);
        },
        Qt::QueuedConnection);
}

void PHFSDataSource::outlineViewSetObjectValueForTableColumnByItem(QObject *outline, const QVariant &value,
                                                                   const QString &column, void *item) {
    if (column != kProtect || !item)
        return;
    PanelContext *context = PanelContext::sharedInstance();
    auto *node = static_cast<PHFSItem *>(item);
    const qint32 mode = value.toInt();
    // The mode the folder has already: its file stays as it is.
    if (mode == 4 ? node->authStatus() == 7 : mode == node->authStatus())
        return;
    const QPointer<QObject> view(outline);
    const QPointer<PHFSItem> target(node);
    if (context && context->holdBackForManualEdits(
                       QStringLiteral("outlineView:setObjectValue:forTableColumn:byItem:"), this,
                       [this, view, target, value, column] {
                           if (target)
                               outlineViewSetObjectValueForTableColumnByItem(view, value, column, target);
                       }))
        return;
    if (mode == 4)
        node->setAuthStatusDisable(7, false);
    else if (mode >= 1 && mode <= 3)
        node->setAuthStatusDisable(mode, false);
    else if (mode == 0)
        node->setAuthStatusDisable(node->authStatus(), true);
    else
        return;
    if (auto *view = qobject_cast<PHOutlineView *>(outline))
        view->reloadItem(node);
    if (context)
        context->webOutlineClick(nullptr);
}

void *PHFSDataSource::outlineViewParentOfItem(QObject *, void *item, bool *known) {
    *known = item != nullptr;
    return item ? static_cast<PHFSItem *>(item)->parent() : nullptr;
}

bool PHFSDataSource::outlineViewShouldEditTableColumnItem(QObject *, const QString &column, void *item) {
    if (column == kDir)
        return false;
    PHFSItem *node = nodeFor(item);
    return node && node->isAuthenticationDisabled();
}

QIcon PHFSDataSource::iconForPath(const QString &path) {
    auto found = m_icons.constFind(path);
    if (found != m_icons.constEnd())
        return *found;
    QIcon icon(PHImage::imageForFileWidthHeight(path, 16, 16));
    if (icon.isNull()) // no icon theme: the style's folder
        icon = PHImage::folderImage();
    m_icons.insert(path, icon);
    return icon;
}

void PHFSDataSource::outlineViewWillDisplayCellForTableColumnItem(QObject *, PHCell &cell,
                                                                  const QString &column, void *item) {
    PHFSItem *node = nodeFor(item);
    if (!node)
        return;
    if (column == kDir) {
        cell.image = iconForPath(node->fullPath());
    } else if (column == kProtect) {
        cell.menu = m_popup;
        const qint32 status = node->authStatus();
        cell.selectedItem = status > 3 ? 4 : status;
        // Protection that comes from a folder above is marked beside the
        // folder's own mode and named in the tooltip.
        const PHEffectiveAccess access = node->effectiveAccess();
        const QString inherited = access.inheritedNote();
        QStringList tips;
        if (!m_changeRefusal.isEmpty()) {
            cell.enabled = false;
            tips.append(m_changeRefusal);
        }
        if (!inherited.isEmpty()) {
            cell.mark = inheritedMark;
            tips.append(inherited);
        }
        if (node->isHandManaged())
            tips.append(PHFSItem::handManagedMessage);
        // Where the server does otherwise than the mode says, the row says so.
        if (const QString note = node->modeNote(access); !note.isEmpty()) {
            cell.mark = noteMark;
            tips.append(QStringLiteral("Not what the server does: %1").arg(note));
        }
        cell.toolTip = tips.join(QLatin1Char('\n'));
    } else if (node->hasAccessFile()) {
        cell.image = m_deleteIdle;
        cell.pressedImage = m_deletePressed;
        cell.enabled = m_changeRefusal.isEmpty();
        cell.toolTip = QStringLiteral("Remove protection");
    } else {
        cell.image = QIcon();
        cell.pressedImage = QIcon();
        cell.enabled = false;
    }
}

bool PHFSDataSource::outlineViewShouldSelectItem(QObject *outline, void *item) {
    PanelContext *context = PanelContext::sharedInstance();
    if (!context)
        return true;
    // Held back: the confirmed prompt selects this folder (not a row number,
    // which the intervening actions may have moved).
    QPointer<PHOutlineView> view(qobject_cast<PHOutlineView *>(outline));
    QPointer<PHFSItem> target(nodeFor(item));
    return !context->holdBackForManualEdits(QStringLiteral("selectRowIndexes:byExtendingSelection:"), outline,
                                            [view, target] {
                                                if (view && target)
                                                    view->selectItem(target, false);
                                            });
}

void PHFSDataSource::outlineViewSelectionDidChange(QObject *outline) {
    if (auto *view = qobject_cast<PHOutlineView *>(outline))
        view->sendAction();
}

void PHFSDataSource::outlineViewItemWillExpand(QObject *, void *item) {
    if (PHFSItem *node = nodeFor(item))
        PHFSItem::saveStateForItem(true, node);
}

void PHFSDataSource::outlineViewItemWillCollapse(QObject *, void *item) {
    if (PHFSItem *node = nodeFor(item))
        PHFSItem::saveStateForItem(false, node);
}
