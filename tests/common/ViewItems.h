#pragma once

// The rows of the panel's outlines by their folders and group nodes, as a
// test names them.

#include "model/PHFSItem.h"
#include "model/PHGroupsModel.h"
#include "model/PHUserItem.h"
#include "views/PHFolderModel.h"
#include "views/PHOutlineView.h"

#include <memory>

inline QModelIndex indexOf(const PHOutlineView *view, const PHFSItem *folder, int column = 0) {
    const auto *files = qobject_cast<const PHFolderModel *>(view->model());
    return files ? files->indexForFolder(folder, column) : QModelIndex();
}
inline QModelIndex indexOf(const PHOutlineView *view, const PHUserItem *node, int column = 0) {
    const auto *groups = qobject_cast<const PHGroupsModel *>(view->model());
    return groups ? groups->indexForNode(node, column) : QModelIndex();
}
inline QModelIndex indexOf(const PHOutlineView *view, const PHUserItem::Ptr &node, int column = 0) {
    return indexOf(view, node.get(), column);
}
template <class Item> bool selectItem(PHOutlineView *view, const Item &item, bool extend = false) {
    return view->selectIndex(indexOf(view, item), extend);
}
template <class Item> void expandItem(PHOutlineView *view, const Item &item) {
    view->expand(indexOf(view, item));
}
template <class Item> bool isItemExpanded(const PHOutlineView *view, const Item &item) {
    const QModelIndex index = indexOf(view, item);
    return index.isValid() && view->isExpanded(index);
}
/// The folder of the selected row, or null.
inline PHFSItem *selectedFolder(const PHOutlineView *view) {
    const auto *files = qobject_cast<const PHFolderModel *>(view->model());
    return files ? files->folderForIndex(view->selectedIndex()) : nullptr;
}
/// The group node of the selected row, or null.
inline PHUserItem *selectedNode(const PHOutlineView *view) {
    const auto *groups = qobject_cast<const PHGroupsModel *>(view->model());
    return groups ? groups->nodeForIndex(view->selectedIndex()) : nullptr;
}
