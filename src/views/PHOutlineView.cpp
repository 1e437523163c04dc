#include "views/PHOutlineView.h"

#include "model/PHGroupsDataSource.h"
#include "model/PHSettings.h"
#include "platform/PHAction.h"
#include "platform/PanelContext.h"
#include "support/PHUserDefaults.h"
#include "views/PHColumnCells.h"
#include "views/PHDeleteKey.h"
#include "views/PHImageButtonCell.h"
#include "views/PHPopUpButtonCell.h"

#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>

/// Holds a new selection back when the outline's delegate says so.
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

PHOutlineView::PHOutlineView(QWidget *parent)
    : QTreeView(parent), m_adapter(new PHItemModelAdapter(
                             this, static_cast<PHOutlineViewDataSource *>(nullptr), nullptr, this)) {
    setModel(m_adapter);
    auto *oldSelection = selectionModel();
    setSelectionModel(new PHGuardedSelectionModel(this, m_adapter));
    delete oldSelection;
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setExpandsOnDoubleClick(false);
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex &index) {
        PHAction::run("outline expand", [&] {
            if (delegate())
                delegate()->outlineViewItemWillExpand(this, m_adapter->itemForIndex(index));
        });
    });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex &index) {
        PHAction::run("outline collapse", [&] {
            if (delegate())
                delegate()->outlineViewItemWillCollapse(this, m_adapter->itemForIndex(index));
        });
    });
}

void PHOutlineView::setDataSource(PHOutlineViewDataSource *dataSource, PHOutlineViewDelegate *delegate) {
    m_adapter->setOutlineDataSource(dataSource, delegate);
    m_lastSelected = QPersistentModelIndex();
    for (const QMetaObject::Connection &connection : std::as_const(m_sourceRequests))
        disconnect(connection);
    m_sourceRequests.clear();
    auto *groups = dynamic_cast<PHGroupsDataSource *>(dataSource);
    if (!groups)
        return;
    m_sourceRequests = {
        connect(groups, &PHGroupsDataSource::selectionRequested, this,
                [this](QObject *view, void *item) {
                    if (view == this)
                        selectItem(item);
                }),
        connect(groups, &PHGroupsDataSource::expansionRequested, this,
                [this](QObject *view, void *item) {
                    if (view == this)
                        expandItem(item);
                }),
        connect(groups, &PHGroupsDataSource::actionRequested, this,
                [this](QObject *view) {
                    if (view == this)
                        sendAction();
                }),
        connect(groups, &PHGroupsDataSource::beepRequested, this, [] { QApplication::beep(); }),
    };
}

void PHOutlineView::setColumns(const QList<PHItemModelAdapter::Column> &columns) {
    m_adapter->setColumns(columns);
    for (int i = 0; i < columns.size(); ++i) {
        QAbstractItemDelegate *cell = PHNewCellForColumnKind(columns.at(i).kind, this);
        if (auto *button = qobject_cast<PHImageButtonCell *>(cell)) {
            const QString identifier = columns.at(i).identifier;
            connect(button, &PHImageButtonCell::clicked, this, [this, identifier](const QModelIndex &index) {
                void *item = m_adapter->itemForIndex(index);
                PHAction::run("outline button", [&] { emit buttonClicked(identifier, item); });
            });
        }
        setItemDelegateForColumn(i, cell);
    }
}

void PHOutlineView::setCellForColumn(const QString &identifier, QAbstractItemDelegate *cell) {
    PHSetCellForColumn(this, m_adapter, identifier, cell);
}

void PHOutlineView::setOutlineColumn(const QString &identifier) {
    const int column = m_adapter->columnForIdentifier(identifier);
    if (column >= 0)
        setTreePosition(column);
}

int PHOutlineView::columnForIdentifier(const QString &identifier) const {
    return m_adapter->columnForIdentifier(identifier);
}

bool PHOutlineView::mayBecomeSelected(const QModelIndex &index) {
    PHOutlineViewDelegate *outlineDelegate = delegate();
    if (!outlineDelegate)
        return true;
    bool allowed = true;
    PHAction::run("outline should select", [&] {
        allowed = outlineDelegate->outlineViewShouldSelectItem(this, m_adapter->itemForIndex(index));
    });
    return allowed;
}

void *PHOutlineView::itemAtRow(qint32 row) const {
    if (row < 0)
        return nullptr;
    QModelIndex index = m_adapter->index(0, 0);
    for (qint32 i = 0; index.isValid(); ++i, index = indexBelow(index))
        if (i == row)
            return m_adapter->itemForIndex(index);
    return nullptr;
}

qint32 PHOutlineView::rowForItem(void *item) const {
    if (!item)
        return -1;
    QModelIndex index = m_adapter->index(0, 0);
    for (qint32 i = 0; index.isValid(); ++i, index = indexBelow(index))
        if (m_adapter->itemForIndex(index) == item)
            return i;
    return -1;
}

void *PHOutlineView::selectedItem() const {
    if (m_lastSelected.isValid() && selectionModel()->isSelected(m_lastSelected))
        return m_adapter->itemForIndex(m_lastSelected);
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? nullptr : m_adapter->itemForIndex(rows.last());
}

qint32 PHOutlineView::selectedRow() const {
    return rowForItem(selectedItem());
}

bool PHOutlineView::selectItem(void *item, bool extend) {
    const QModelIndex index = m_adapter->indexForItem(item, 0);
    if (!index.isValid())
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

bool PHOutlineView::isItemExpanded(void *item) const {
    const QModelIndex index = m_adapter->indexForItem(item, 0);
    return index.isValid() && isExpanded(index);
}

void PHOutlineView::expandItem(void *item) {
    const QModelIndex index = m_adapter->indexForItem(item, 0);
    if (index.isValid())
        expand(index);
}

void PHOutlineView::editColumnItem(const QString &identifier, void *item) {
    const QModelIndex index = m_adapter->indexForItem(item, m_adapter->columnForIdentifier(identifier));
    if (!index.isValid())
        return;
    scrollTo(index);
    edit(index);
}

void PHOutlineView::reloadData() {
    m_adapter->reloadData();
    m_lastSelected = QPersistentModelIndex();
}

void PHOutlineView::reloadItem(void *item, bool reloadChildren) {
    m_adapter->reloadItem(item, reloadChildren);
}

void PHOutlineView::sendAction() {
    emit action();
}

void PHOutlineView::keyPressEvent(QKeyEvent *event) {
    if (state() != QAbstractItemView::EditingState && PHIsDeleteKey(event)) {
        PHAction::run("outline delete key", [&] {
            if (PanelContext *context = PanelContext::sharedInstance())
                context->tableViewDeleteRow(this, selectedRow());
        });
        return;
    }
    // A row's pop-up opens from the keyboard as from a click.
    if (state() != QAbstractItemView::EditingState && PHPopUpButtonCell::isPopUpKey(event) &&
        PHPopUpButtonCell::popUpInRow(this, currentIndex()))
        return;
    QTreeView::keyPressEvent(event);
}

void PHOutlineView::commitData(QWidget *editor) {
    PHOutlineViewDelegate *outlineDelegate = delegate();
    auto *line = qobject_cast<QLineEdit *>(editor);
    if (outlineDelegate && line && outlineDelegate->validatesText()) {
        bool valid = true;
        PHAction::run("outline validate text",
                      [&] { valid = outlineDelegate->outlineViewValidateText(this, line->text()); });
        if (!valid) {
            // Refused: the edit stays open for the user to correct.
            m_refusedEditor = editor;
            QApplication::beep();
            return;
        }
    }
    m_refusedEditor = nullptr;
    QTreeView::commitData(editor);
    // An accepted name takes its place in a sorted list (sorted after the
    // rename, so the new name is the one that counts).
    if (outlineDelegate && line && outlineDelegate->validatesText() &&
        PHUserDefaults::standardUserDefaults()->boolForKey(PHSettings::Key::SortGroups))
        PHAction::run("outline sort", [&] { outlineDelegate->outlineViewSortTopLevelItems(this); });
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
    PHAction::run("outline selection changed", [&] {
        if (delegate())
            delegate()->outlineViewSelectionDidChange(this);
        else
            emit action();
    });
}

void PHOutlineView::mouseDoubleClickEvent(QMouseEvent *event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    QTreeView::mouseDoubleClickEvent(event);
    // Only the name opens: the pop-up and the buttons have their own clicks.
    if (state() != QAbstractItemView::EditingState && index.isValid() &&
        m_adapter->kindOfColumn(index.column()) == PHItemModelAdapter::ColumnKind::Text)
        PHAction::run("outline double action", [&] { emit doubleAction(); });
}
