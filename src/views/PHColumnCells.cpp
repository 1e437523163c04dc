#include "views/PHColumnCells.h"

#include "views/PHCheckBoxCell.h"
#include "views/PHIconTextDelegate.h"
#include "views/PHImageButtonCell.h"
#include "views/PHPopUpButtonCell.h"

QAbstractItemDelegate *PHNewCellForColumnKind(PHItemModelAdapter::ColumnKind kind, QAbstractItemView *view) {
    switch (kind) {
    case PHItemModelAdapter::ColumnKind::Text:
        return new PHIconTextDelegate(view);
    case PHItemModelAdapter::ColumnKind::Check:
        return new PHCheckBoxCell(view);
    case PHItemModelAdapter::ColumnKind::PopUp:
        return new PHPopUpButtonCell(view);
    case PHItemModelAdapter::ColumnKind::Button:
        return new PHImageButtonCell(view);
    }
    return nullptr;
}

void PHSetCellForColumn(QAbstractItemView *view, const PHItemModelAdapter *adapter, const QString &identifier,
                        QAbstractItemDelegate *cell) {
    const int column = adapter->columnForIdentifier(identifier);
    if (column < 0)
        return;
    cell->setParent(view);
    view->setItemDelegateForColumn(column, cell);
}
