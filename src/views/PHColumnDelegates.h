#pragma once

#include "model/PHItemModel.h"

#include <QAbstractItemView>

/// The cell that draws and edits a column of the given kind, owned by `view`.
/// A Button column's cell is a PHImageButtonDelegate.
QAbstractItemDelegate *PHNewDelegateForColumnKind(PHItemModel::ColumnKind kind, QAbstractItemView *view);

/// Gives column `column` its own cell, owned by `view`; a negative column
/// (an identifier not among the columns) changes nothing.
void PHSetDelegateForColumn(QAbstractItemView *view, int column, QAbstractItemDelegate *cell);

/// How both views begin setModel(): the connections made to the previous
/// model are dropped, the last selection is forgotten, and an item model is
/// given the view's columns. The new model as an item model, or null.
PHItemModel *PHBeginModelChange(QAbstractItemModel *model, const QList<PHItemModel::Column> &columns,
                                QList<QMetaObject::Connection> &requests,
                                QPersistentModelIndex &lastSelected);
