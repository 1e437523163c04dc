#pragma once

#include "views/PHItemModelAdapter.h"

#include <QAbstractItemView>

/// The cell that draws and edits a column of the given kind, owned by `view`.
/// A Button column's cell is a PHImageButtonCell.
QAbstractItemDelegate *PHNewCellForColumnKind(PHItemModelAdapter::ColumnKind kind, QAbstractItemView *view);

/// Gives the column named `identifier` its own cell, owned by `view`; an
/// identifier the adapter does not know changes nothing.
void PHSetCellForColumn(QAbstractItemView *view, const PHItemModelAdapter *adapter, const QString &identifier,
                        QAbstractItemDelegate *cell);
