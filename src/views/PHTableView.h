#pragma once

#include "views/PHItemModelAdapter.h"

#include <QPersistentModelIndex>
#include <QTableView>

class PHXDataSource;

/// The panel's table: rows come from a `PHXDataSource` through the item-model
/// adapter. The delete key asks the panel to delete the selected row; Return
/// ends an edit without moving to the next row; a drag shows the row's
/// summary text. `action` follows every click and selection change,
/// `doubleAction` a double click outside an edit. A reload forgets the
/// selection but keeps the keyboard's place (the current cell), so ticking
/// row after row with Space does not start over at the top.
class PHTableView : public QTableView {
    Q_OBJECT
public:
    explicit PHTableView(QWidget *parent = nullptr);

    /// A data source that asks for a beep through a signal (the users) is answered.
    void setDataSource(PHXDataSource *dataSource, PHTableViewDelegate *delegate = nullptr);
    PHXDataSource *dataSource() const;
    PHItemModelAdapter *adapter() const { return m_adapter; }
    /// Sets the columns and gives each the cell of its kind.
    void setColumns(const QList<PHItemModelAdapter::Column> &columns);
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
    void action();
    void doubleAction();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint) override;
    void selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    PHItemModelAdapter *m_adapter;
    QPersistentModelIndex m_lastSelected;
    QMetaObject::Connection m_beepRequest; // the data source's beeps
    QPoint m_currentBeforeReset{-1, -1};   // column, row of the keyboard's place
};

/// The drag picture of a row: its summary text in the desktop's font, on an
/// image exactly the size of that text.
QPixmap PHDragImageForText(const QString &text);
