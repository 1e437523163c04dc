#pragma once

#include "model/PHItemModel.h"

#include <QPersistentModelIndex>
#include <QTableView>

class PHListModel;

/// The panel's table over a `PHListModel`. The delete key says which row is selected (`deleteKeyPressed`);
/// Return ends an edit without moving to the next row; a drag shows the row's summary text. `action` follows
/// every click and selection change, `doubleAction` a double click outside an edit. A reload forgets the
/// selection but keeps the keyboard's place (the current cell), so ticking
/// row after row with Space does not start over at the top.
class PHTableView : public QTableView {
    Q_OBJECT
public:
    explicit PHTableView(QWidget *parent = nullptr);

    /// Shows the model with this table's columns; a user list gets the
    /// icons beside its names, and its beeps are answered.
    void setModel(QAbstractItemModel *model) override;
    /// The model as the panel's table model, or null.
    PHListModel *tableModel() const;
    /// The panel's bundle, whose Resources hold the icon beside user names.
    void setBundlePath(const QString &bundlePath);
    /// Sets the columns (on the model, now and later ones) and gives each the cell of its kind.
    void setColumns(const QList<PHItemModel::Column> &columns);
    /// Replaces the cell (delegate) of a column; the view owns it.
    void setCellForColumn(const QString &identifier, QAbstractItemDelegate *cell);
    int columnForIdentifier(const QString &identifier) const;

    /// The row selected last, or -1 when nothing is selected.
    qint32 selectedRow() const;
    /// Every selected row, ascending.
    QList<qint32> selectedRows() const;
    void selectRowByExtendingSelection(qint32 row, bool extend);
    /// Starts typing into a cell, its text selected.
    void editColumnRow(const QString &identifier, qint32 row);
    void reloadData();
    /// Whether a cell is being typed into.
    bool isEditing() const { return state() == QAbstractItemView::EditingState; }

signals:
    /// Delete or Backspace outside an edit, with the selected row (-1 for none).
    void deleteKeyPressed(qint32 row);
    /// The model showed every row again (a reset forgets the selection).
    void rowsReloaded();
    void action();
    void doubleAction();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint) override;
    void selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    QList<PHItemModel::Column> m_columns;
    QString m_bundlePath;
    QPersistentModelIndex m_lastSelected;
    QList<QMetaObject::Connection> m_modelRequests; // the model's beeps and resets
    QPoint m_currentBeforeReset{-1, -1};            // column, row of the keyboard's place
};

/// The drag picture of a row: its summary text in the desktop's font, on an
/// image exactly the size of that text.
QPixmap PHDragImageForText(const QString &text);
