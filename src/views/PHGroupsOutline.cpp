#include "views/PHGroupsOutline.h"

#include "model/PHFSItem.h"
#include "model/PHGroupsDataSource.h"
#include "views/PHOutlineView.h"

PHGroupsOutline::PHGroupsOutline(PHGroupsDataSource *groups, QObject *parent)
    : QObject(parent), m_groups(groups) {
}

qint32 PHGroupsOutline::outlineViewNumberOfChildrenOfItem(QObject *, void *item) {
    if (!m_groups)
        return 0;
    const PHUserItem *node = item ? static_cast<PHUserItem *>(item) : m_groups->rootItem();
    return node && node->hasChildren() ? qint32(node->children().size()) : 0;
}

bool PHGroupsOutline::outlineViewIsItemExpandable(QObject *, void *item) {
    return item && static_cast<PHUserItem *>(item)->hasChildren();
}

void *PHGroupsOutline::outlineViewChildOfItem(QObject *, qint32 index, void *item) {
    if (!m_groups)
        return nullptr;
    const PHUserItem *node = item ? static_cast<PHUserItem *>(item) : m_groups->rootItem();
    if (!node || index < 0 || index >= node->children().size())
        return nullptr;
    return node->children().at(index).get();
}

QVariant PHGroupsOutline::outlineViewObjectValueForTableColumnByItem(QObject *, const QString &column,
                                                                     void *item) {
    if (!item || !m_groups)
        return QString();
    const auto *node = static_cast<PHUserItem *>(item);
    if (column == QLatin1String("group"))
        return node->value();
    if (!node->hasChildren())
        return false;
    const PHFSItem *folder = m_groups->activeDirectory();
    return folder && folder->listForKey(PHFSItem::RequireGroupKey).contains(node->value());
}

bool PHGroupsOutline::outlineViewShouldEditTableColumnItem(QObject *, const QString &, void *) {
    return false;
}

void PHGroupsOutline::outlineViewWillDisplayCellForTableColumnItem(QObject *, PHCell &cell,
                                                                   const QString &column, void *item) {
    if (column != QLatin1String("active") || !item)
        return;
    // Presented, not edited here: the check boxes show the folder's groups.
    cell.enabled = false;
    cell.transparent = !static_cast<PHUserItem *>(item)->hasChildren();
}

void PHGroupsOutline::outlineViewSelectionDidChange(QObject *outline) {
    if (auto *view = qobject_cast<PHOutlineView *>(outline))
        view->sendAction();
}
