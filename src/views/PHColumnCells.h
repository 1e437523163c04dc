#pragma once

#include "model/PHItemModel.h"

#include <QAbstractItemView>

/// The cell that draws and edits a column of the given kind, owned by `view`.
/// A Button column's cell is a PHImageButtonCell.
QAbstractItemDelegate *PHNewCellForColumnKind(PHItemModel::ColumnKind kind, QAbstractItemView *view);

/// Gives column `column` its own cell, owned by `view`; a negative column
/// (an identifier not among the columns) changes nothing.
void PHSetCellForColumn(QAbstractItemView *view, int column, QAbstractItemDelegate *cell);
