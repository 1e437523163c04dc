#include "views/PHOutlineView.h"

#include "platform/PHAction.h"
#include "views/PHColumnDelegates.h"
#include "views/PHDeleteKey.h"
#include "views/PHImageButtonDelegate.h"
#include "views/PHPopUpDelegate.h"

#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>

/// Holds a new selection back when the outline's model says so.
class PHGuardedSelectionModel : public QItemSelectionModel {
public:
    PHGuardedSelectionModel(PHOutlineView *view, QAbstractItemModel *model)
        : QItemSelectionModel(model, view), m_view(view) {}

    using QItemSelectionModel::select;
    void select(const QItemSelection &selection, QItemSelectionModel::SelectionFlags command) override {
        if (!allows(selection, command))
            return;
        QItemSelectionModel::select(selection, command);
    }
    void setCurrentIndex(const QModelIndex &index, QItemSelectionModel::SelectionFlags command) override {
        if (index.isValid() && !allows(QItemSelection(index, index), command))
            return;
        QItemSelectionModel::setCurrentIndex(index, command);
    }

private:
    bool allows(const QItemSelection &selection, QItemSelectionModel::SelectionFlags command) {
        if (!(command & QItemSelectionModel::Select))
            return true;
        for (const QModelIndex &index : selection.indexes()) {
            if (index.column() != 0 || isRowSelected(index.row(), index.parent()))
                continue;
            if (!m_view->mayBecomeSelected(index))
                return false;
        }
        return true;
    }
    PHOutlineView *m_view;
};

PHOutlineView::PHOutlineView(QWidget *parent) : QTreeView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setExpandsOnDoubleClick(false);
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex &index) {
        PHAction::run("outline expand", [&] {
            if (PHItemModel *model = itemModel())
                model->expansionChanged(index, true);
        });
    });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex &index) {
        PHAction::run("outline collapse", [&] {
            if (PHItemModel *model = itemModel())
                model->expansionChanged(index, false);
        });
    });
}

void PHOutlineView::setModel(QAbstractItemModel *model) {
    PHItemModel *itemModel = PHBeginModelChange(model, m_columns, m_modelRequests, m_lastSelected);
    if (model != this->model()) {
        QItemSelectionModel *previous = selectionModel();
        QTreeView::setModel(model);
        if (previous)
            previous->deleteLater();
        if (!model)
            return;
        QItemSelectionModel *made = selectionModel();
        setSelectionModel(new PHGuardedSelectionModel(this, model));
        delete made;
    }
    if (!itemModel)
        return;
    m_modelRequests = {
        connect(itemModel, &PHItemModel::selectionRequested, this,
                [this](const QModelIndex &index) { selectIndex(index); }),
        connect(itemModel, &PHItemModel::expansionRequested, this,
                [this](const QModelIndex &index) { expand(index); }),
        connect(itemModel, &PHItemModel::actionRequested, this, [this] { sendAction(); }),
        connect(itemModel, &PHItemModel::beepRequested, this, [] { QApplication::beep(); }),
        connect(itemModel, &QAbstractItemModel::modelReset, this, &PHOutlineView::rowsReloaded),
    };
}

PHItemModel *PHOutlineView::itemModel() const {
    return qobject_cast<PHItemModel *>(model());
}

void PHOutlineView::setColumns(const QList<PHItemModel::Column> &columns) {
    m_columns = columns;
    if (PHItemModel *model = itemModel())
        model->setColumns(columns);
    for (int i = 0; i < columns.size(); ++i) {
        QAbstractItemDelegate *cell = PHNewDelegateForColumnKind(columns.at(i).kind, this);
        if (auto *button = qobject_cast<PHImageButtonDelegate *>(cell)) {
            const QString identifier = columns.at(i).identifier;
            connect(button, &PHImageButtonDelegate::clicked, this,
                    [this, identifier](const QModelIndex &index) {
                        const QPersistentModelIndex row(index.siblingAtColumn(0));
                        PHAction::run("outline button", [&] { emit buttonClicked(identifier, row); });
                    });
        }
        setItemDelegateForColumn(i, cell);
    }
}

void PHOutlineView::setCellForColumn(const QString &identifier, QAbstractItemDelegate *cell) {
    PHSetDelegateForColumn(this, columnForIdentifier(identifier), cell);
}

void PHOutlineView::setPopUpMenu(const QString &identifier, QMenu *menu) {
    if (auto *cell = qobject_cast<PHPopUpDelegate *>(itemDelegateForColumn(columnForIdentifier(identifier))))
        cell->setMenu(menu);
}

void PHOutlineView::setOutlineColumn(const QString &identifier) {
    const int column = columnForIdentifier(identifier);
    if (column >= 0)
        setTreePosition(column);
}

int PHOutlineView::columnForIdentifier(const QString &identifier) const {
    for (int i = 0; i < m_columns.size(); ++i)
        if (m_columns.at(i).identifier == identifier)
            return i;
    return -1;
}

bool PHOutlineView::mayBecomeSelected(const QModelIndex &index) {
    PHItemModel *model = itemModel();
    if (!model)
        return true;
    bool allowed = true;
    PHAction::run("outline should select", [&] { allowed = model->maySelect(index); });
    return allowed;
}

QModelIndex PHOutlineView::indexAtRow(qint32 row) const {
    if (row < 0 || !model())
        return {};
    QModelIndex index = model()->index(0, 0);
    for (qint32 i = 0; index.isValid(); ++i, index = indexBelow(index))
        if (i == row)
            return index;
    return {};
}

qint32 PHOutlineView::rowForIndex(const QModelIndex &wanted) const {
    if (!wanted.isValid() || !model())
        return -1;
    const QModelIndex first = wanted.siblingAtColumn(0);
    QModelIndex index = model()->index(0, 0);
    for (qint32 i = 0; index.isValid(); ++i, index = indexBelow(index))
        if (index == first)
            return i;
    return -1;
}

QModelIndex PHOutlineView::selectedIndex() const {
    if (!selectionModel())
        return {};
    if (m_lastSelected.isValid() && selectionModel()->isSelected(m_lastSelected))
        return m_lastSelected;
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? QModelIndex() : rows.last();
}

qint32 PHOutlineView::selectedRow() const {
    return rowForIndex(selectedIndex());
}

bool PHOutlineView::selectIndex(const QModelIndex &wanted, bool extend) {
    const QModelIndex index = wanted.siblingAtColumn(0);
    if (!index.isValid() || !selectionModel())
        return false;
    auto flags = QItemSelectionModel::Select | QItemSelectionModel::Rows;
    if (!extend)
        flags |= QItemSelectionModel::Clear;
    selectionModel()->select(index, flags);
    if (!selectionModel()->isSelected(index))
        return false;
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    scrollTo(index);
    return true;
}

void PHOutlineView::editCell(const QModelIndex &index) {
    if (!index.isValid())
        return;
    scrollTo(index);
    edit(index);
}

void PHOutlineView::reloadData() {
    if (PHItemModel *model = itemModel())
        model->reload();
    m_lastSelected = QPersistentModelIndex();
}

void PHOutlineView::sendAction() {
    emit action();
}

void PHOutlineView::keyPressEvent(QKeyEvent *event) {
    if (state() != QAbstractItemView::EditingState && PHIsDeleteKey(event)) {
        PHAction::run("outline delete key", [&] { emit deleteKeyPressed(selectedRow()); });
        return;
    }
    // A row's pop-up opens from the keyboard as from a click.
    if (state() != QAbstractItemView::EditingState && PHPopUpDelegate::isPopUpKey(event) &&
        PHPopUpDelegate::popUpInRow(this, currentIndex()))
        return;
    QTreeView::keyPressEvent(event);
}

void PHOutlineView::commitData(QWidget *editor) {
    PHItemModel *model = itemModel();
    auto *line = qobject_cast<QLineEdit *>(editor);
    if (model && line) {
        bool valid = true;
        PHAction::run("outline validate text",
                      [&] { valid = model->acceptsEditedText(currentIndex(), line->text()); });
        if (!valid) {
            // Refused: the edit stays open for the user to correct.
            m_refusedEditor = editor;
            QApplication::beep();
            return;
        }
    }
    m_refusedEditor = nullptr;
    QTreeView::commitData(editor);
}

void PHOutlineView::closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint) {
    if (editor == m_refusedEditor && hint != QAbstractItemDelegate::RevertModelCache) {
        m_refusedEditor = nullptr;
        editor->setFocus();
        return;
    }
    m_refusedEditor = nullptr;
    // A rename that reloads the outline (the groups re-sort) has taken the
    // editor down with the old rows already: hidden, it has nothing left to close.
    if (!editor || !editor->isHidden())
        QTreeView::closeEditor(editor, hint);
    if (hint != QAbstractItemDelegate::EditNextItem && hint != QAbstractItemDelegate::EditPreviousItem)
        setFocus(Qt::OtherFocusReason);
}

void PHOutlineView::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) {
    QTreeView::selectionChanged(selected, deselected);
    const QModelIndexList added = selected.indexes();
    if (!added.isEmpty())
        m_lastSelected = added.first().siblingAtColumn(0);
    PHAction::run("outline selection changed", [&] { emit action(); });
}

void PHOutlineView::mouseDoubleClickEvent(QMouseEvent *event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    QTreeView::mouseDoubleClickEvent(event);
    // Only the name opens: the pop-up and the buttons have their own clicks.
    if (state() != QAbstractItemView::EditingState && index.isValid() &&
        (!itemModel() || itemModel()->kindOfColumn(index.column()) == PHItemModel::ColumnKind::Text))
        PHAction::run("outline double action", [&] { emit doubleAction(); });
}
