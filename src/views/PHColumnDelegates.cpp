#include "views/PHColumnDelegates.h"

#include "views/PHCheckBoxDelegate.h"
#include "views/PHIconTextDelegate.h"
#include "views/PHImageButtonDelegate.h"
#include "views/PHPopUpDelegate.h"

QAbstractItemDelegate *PHNewDelegateForColumnKind(PHItemModel::ColumnKind kind, QAbstractItemView *view) {
    switch (kind) {
    case PHItemModel::ColumnKind::Text:
        return new PHIconTextDelegate(view);
    case PHItemModel::ColumnKind::Check:
        return new PHCheckBoxDelegate(view);
    case PHItemModel::ColumnKind::PopUp:
        return new PHPopUpDelegate(view);
    case PHItemModel::ColumnKind::Button:
        return new PHImageButtonDelegate(view);
    }
    return nullptr;
}

void PHSetDelegateForColumn(QAbstractItemView *view, int column, QAbstractItemDelegate *cell) {
    if (column < 0)
        return;
    cell->setParent(view);
    view->setItemDelegateForColumn(column, cell);
}

PHItemModel *PHBeginModelChange(QAbstractItemModel *model, const QList<PHItemModel::Column> &columns,
                                QList<QMetaObject::Connection> &requests,
                                QPersistentModelIndex &lastSelected) {
    for (const QMetaObject::Connection &connection : std::as_const(requests))
        QObject::disconnect(connection);
    requests.clear();
    lastSelected = QPersistentModelIndex();
    auto *itemModel = qobject_cast<PHItemModel *>(model);
    if (itemModel && !columns.isEmpty())
        itemModel->setColumns(columns);
    return itemModel;
}
