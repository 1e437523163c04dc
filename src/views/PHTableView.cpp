#include "views/PHTableView.h"

#include "model/PHListModel.h"
#include "model/PHUsersModel.h"
#include "platform/PHAction.h"
#include "views/PHColumnDelegates.h"
#include "views/PHDeleteKey.h"
#include "views/PHPopUpDelegate.h"

#include <QApplication>
#include <QDir>
#include <QDrag>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QImage>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QStyle>

namespace {

// The icon beside every user name: "genericuser" from the panel's resources;
// none when the bundle has none.
QIcon userIcon(const QString &bundle) {
    if (bundle.isEmpty())
        return {};
    for (const char *folder : {"Resources", "Contents/Resources", "."}) {
        for (const char *type : {"png", "tiff"}) {
            const QString path = QDir(bundle).filePath(
                QStringLiteral("%1/genericuser.%2").arg(QLatin1String(folder), QLatin1String(type)));
            if (QFileInfo::exists(path)) {
                const QImage image(path);
                return image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image));
            }
        }
    }
    return {};
}

// The theme's warning sign, or the style's where the theme has none.
QIcon weakHashIcon() {
    return QIcon::fromTheme(QStringLiteral("dialog-warning"),
                            QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning));
}

} // namespace

QPixmap PHDragImageForText(const QString &text) {
    const QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    const QFontMetrics metrics(font);
    const QSize size(qMax(1, metrics.horizontalAdvance(text)), qMax(1, metrics.height()));
    QPixmap image(size);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(QGuiApplication::palette().color(QPalette::WindowText));
    painter.drawText(QRect(QPoint(0, 0), size), Qt::AlignLeft | Qt::AlignTop, text);
    return image;
}

PHTableView::PHTableView(QWidget *parent) : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed);
    setShowGrid(false);
    setTabKeyNavigation(false);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(20);
    horizontalHeader()->setHighlightSections(false);
    connect(this, &QAbstractItemView::clicked, this,
            [this] { PHAction::run("table action", [&] { emit action(); }); });
}

void PHTableView::setModel(QAbstractItemModel *model) {
    PHItemModel *itemModel = PHBeginModelChange(model, m_columns, m_modelRequests, m_lastSelected);
    if (model != this->model()) {
        QItemSelectionModel *previous = selectionModel();
        QTableView::setModel(model);
        if (previous)
            previous->deleteLater();
    }
    if (!itemModel)
        return;
    if (auto *users = qobject_cast<PHUsersModel *>(itemModel))
        users->setIcons(userIcon(m_bundlePath), weakHashIcon());
    m_modelRequests = {
        connect(itemModel, &PHItemModel::beepRequested, this, [] { QApplication::beep(); }),
        // After the view's own reset, which forgets the current cell.
        connect(itemModel, &QAbstractItemModel::modelAboutToBeReset, this,
                [this] {
                    const QModelIndex current = currentIndex();
                    m_currentBeforeReset =
                        current.isValid() ? QPoint(current.column(), current.row()) : QPoint(-1, -1);
                }),
        connect(itemModel, &QAbstractItemModel::modelReset, this,
                [this] {
                    const QModelIndex current =
                        this->model()->index(m_currentBeforeReset.y(), m_currentBeforeReset.x());
                    if (current.isValid())
                        selectionModel()->setCurrentIndex(current, QItemSelectionModel::NoUpdate);
                    emit rowsReloaded();
                }),
    };
}

void PHTableView::setBundlePath(const QString &bundlePath) {
    m_bundlePath = bundlePath;
    if (auto *users = qobject_cast<PHUsersModel *>(model()))
        users->setIcons(userIcon(m_bundlePath), weakHashIcon());
}

PHListModel *PHTableView::tableModel() const {
    return qobject_cast<PHListModel *>(model());
}

void PHTableView::setColumns(const QList<PHItemModel::Column> &columns) {
    m_columns = columns;
    if (auto *itemModel = qobject_cast<PHItemModel *>(model()))
        itemModel->setColumns(columns);
    for (int i = 0; i < columns.size(); ++i)
        setItemDelegateForColumn(i, PHNewDelegateForColumnKind(columns.at(i).kind, this));
}

void PHTableView::setCellForColumn(const QString &identifier, QAbstractItemDelegate *cell) {
    PHSetDelegateForColumn(this, columnForIdentifier(identifier), cell);
}

int PHTableView::columnForIdentifier(const QString &identifier) const {
    for (int i = 0; i < m_columns.size(); ++i)
        if (m_columns.at(i).identifier == identifier)
            return i;
    return -1;
}

qint32 PHTableView::selectedRow() const {
    if (!selectionModel())
        return -1;
    if (m_lastSelected.isValid() && selectionModel()->isRowSelected(m_lastSelected.row(), QModelIndex()))
        return m_lastSelected.row();
    const QList<qint32> rows = selectedRows();
    return rows.isEmpty() ? -1 : rows.last();
}

QList<qint32> PHTableView::selectedRows() const {
    QList<qint32> rows;
    if (!selectionModel())
        return rows;
    for (const QModelIndex &index : selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void PHTableView::selectRowByExtendingSelection(qint32 row, bool extend) {
    const QModelIndex index = model() ? model()->index(row, 0) : QModelIndex();
    if (!index.isValid())
        return;
    auto flags = QItemSelectionModel::Select | QItemSelectionModel::Rows;
    if (!extend)
        flags |= QItemSelectionModel::Clear;
    selectionModel()->select(index, flags);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
}

void PHTableView::editColumnRow(const QString &identifier, qint32 row) {
    const QModelIndex index = model() ? model()->index(row, columnForIdentifier(identifier)) : QModelIndex();
    if (!index.isValid())
        return;
    scrollTo(index);
    setCurrentIndex(index);
    edit(index); // a line editor opens with its text selected
}

void PHTableView::reloadData() {
    if (auto *itemModel = qobject_cast<PHItemModel *>(model()))
        itemModel->reload();
}

void PHTableView::keyPressEvent(QKeyEvent *event) {
    if (state() != QAbstractItemView::EditingState && PHIsDeleteKey(event)) {
        PHAction::run("table delete key", [&] { emit deleteKeyPressed(selectedRow()); });
        return;
    }
    // A row's pop-up opens from the keyboard as from a click.
    if (state() != QAbstractItemView::EditingState && PHPopUpDelegate::isPopUpKey(event) &&
        PHPopUpDelegate::popUpInRow(this, currentIndex()))
        return;
    QTableView::keyPressEvent(event);
}

void PHTableView::closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint) {
    if (hint == QAbstractItemDelegate::EditNextItem || hint == QAbstractItemDelegate::EditPreviousItem) {
        // Tab goes on to the next cell that can be typed into, skipping check
        // boxes and buttons.
        const QModelIndex from = currentIndex();
        QTableView::closeEditor(editor, QAbstractItemDelegate::NoHint);
        const int columns = model()->columnCount();
        const int cells = model()->rowCount() * columns;
        const int step = hint == QAbstractItemDelegate::EditNextItem ? 1 : -1;
        for (int cell = from.row() * columns + from.column() + step; cells > 0 && cell >= 0 && cell < cells;
             cell += step) {
            const QModelIndex next = model()->index(cell / columns, cell % columns);
            if (model()->flags(next) & Qt::ItemIsEditable) {
                setCurrentIndex(next);
                edit(next);
                return;
            }
        }
        setFocus(Qt::OtherFocusReason);
        return;
    }
    // Return ends the edit where it is and leaves the table focused. An
    // editor a reload has taken down already (hidden) has nothing left to close.
    if (!editor || !editor->isHidden())
        QTableView::closeEditor(editor, hint);
    setFocus(Qt::OtherFocusReason);
}

void PHTableView::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) {
    QTableView::selectionChanged(selected, deselected);
    const QModelIndexList added = selected.indexes();
    if (!added.isEmpty())
        m_lastSelected = added.last();
    PHAction::run("table action", [&] { emit action(); });
}

void PHTableView::mouseDoubleClickEvent(QMouseEvent *event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    QTableView::mouseDoubleClickEvent(event);
    if (state() != QAbstractItemView::EditingState && index.isValid())
        PHAction::run("table double action", [&] { emit doubleAction(); });
}

void PHTableView::startDrag(Qt::DropActions supportedActions) {
    const QList<qint32> rows = selectedRows();
    if (rows.isEmpty())
        return;
    QModelIndexList indexes;
    for (qint32 row : rows)
        indexes.append(model()->index(row, 0));
    QMimeData *data = model()->mimeData(indexes);
    if (!data)
        return;
    auto *drag = new QDrag(this);
    drag->setMimeData(data);
    if (PHListModel *source = tableModel())
        drag->setPixmap(PHDragImageForText(source->summaryTextForRow(rows.first())));
    drag->exec(supportedActions, Qt::CopyAction);
}
