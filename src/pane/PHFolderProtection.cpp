#include "pane/PHFolderProtection.h"

#include "model/PHServerRules.h"
#include "model/PHSettings.h"
#include "model/PHWebRoot.h"
#include "pane/PHManualEditor.h"
#include "pane/PHPaneSupport.h"
#include "pane/PHWebRootPart.h"
#include "platform/PHAction.h"
#include "platform/PHAlertSheet.h"
#include "support/PHSettingsStore.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QStyle>
#include <QStyleOptionComboBox>

using namespace PHPaneSupport;

namespace {

const QString kProtectColumn = QStringLiteral("protect");

/// The folder outline at its smallest: the protection pop-up as wide as its
/// longest choice and no wider, and room left for a usual name two levels
/// down. A longer name loses its middle, so its start and end stay readable.
void fitFolderColumns(PHOutlineView *outline, const QFont &nameFont) {
    const QFontMetrics metrics(outline->font());
    int widest = 0;
    for (qint32 mode = 0; mode <= 4; ++mode)
        widest = qMax(widest, metrics.horizontalAdvance(PHFSItem::modeName(mode)));
    QStyleOptionComboBox combo;
    combo.initFrom(outline);
    QStyle *style = outline->style();
    const int protection =
        style->sizeFromContents(QStyle::CT_ComboBox, &combo, QSize(widest, metrics.height()), outline)
            .width() +
        4;
    QHeaderView *header = outline->header();
    header->resizeSection(1, protection);
    const int name = 2 * outline->indentation() + 16 + 8 + QFontMetrics(nameFont).averageCharWidth() * 15;
    const int chrome =
        2 * outline->frameWidth() + style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, outline);
    outline->setMinimumWidth(
        qMax(outline->minimumWidth(), name + protection + header->sectionSize(2) + chrome));
    outline->setTextElideMode(Qt::ElideMiddle);
}

} // namespace

PHFolderProtection::PHFolderProtection(const Widgets &widgets, const PHModelContext &context,
                                       const QString &bundlePath, PHWebRootPart *webRoot,
                                       PHManualEditor *editor, std::function<QString()> serverErrorLog,
                                       QObject *parent)
    : QObject(parent), m_context(context), m_bundlePath(bundlePath), m_webRoot(webRoot), m_editor(editor),
      m_serverErrorLog(std::move(serverErrorLog)), m_window(widgets.window), m_outline(widgets.outline),
      m_modeMenu(widgets.modeMenu), m_checkAccess(widgets.checkAccess),
      m_checkAccessProgress(widgets.checkAccessProgress), m_effectiveAccess(widgets.effectiveAccess),
      m_thisComputerWarning(widgets.thisComputerWarning) {
    for (qint32 mode = 0; mode <= 4; ++mode)
        m_modeMenu->addAction(PHFSItem::modeName(mode));
    if (widgets.viewOnWeb)
        connect(widgets.viewOnWeb, &QAbstractButton::clicked, this,
                [this] { PHAction::run("view on web", [&] { viewOnWeb(); }); });
    if (m_checkAccess)
        connect(m_checkAccess, &QAbstractButton::clicked, this,
                [this] { PHAction::run("check access", [&] { checkAccess(); }); });
    connect(m_outline, &PHOutlineView::action, this,
            [this] { PHAction::run("select folder", [&] { select(); }); });
    connect(m_outline, &PHOutlineView::doubleAction, this,
            [this] { PHAction::run("view on web", [&] { viewOnWeb(); }); });
    connect(m_outline, &PHOutlineView::buttonClicked, this,
            [this](const QString &, const QModelIndex &index) {
                PHAction::run("clear folder", [&] {
                    // The button acts on its own row; when the guard keeps the
                    // selection elsewhere, it does nothing.
                    if (m_outline->selectIndex(index, false) && m_outline->selectedIndex() == index)
                        askToClear();
                });
            });
    connect(m_outline, &PHOutlineView::deleteKeyPressed, this, [this] {
        PHAction::run("clear folder", [&] {
            PHFSItem *item = outlineFolder();
            if (item && item->hasAccessFile())
                askToClear();
        });
    });
    m_outline->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_outline, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &at) { PHAction::run("contextMenu", [&] { showMenu(at); }); });
}

PHFSItem *PHFolderProtection::outlineFolder() const {
    return m_files ? m_files->folderForIndex(m_outline->selectedIndex()) : nullptr;
}

void PHFolderProtection::setUp() {
    delete m_files;
    m_files = new PHFolderModel(PHWebRootPart::location(PHWebRoot::Root), this);
    m_files->setContext(m_context);
    m_files->setBundlePath(m_bundlePath);
    // A mode chosen from a folder's pop-up: the views beside it follow.
    connect(m_files, &PHFolderModel::modeChanged, this, &PHFolderProtection::select);
    connect(m_files, &PHFolderModel::accessFileChangedOnDisk, this, [this](PHFSItem *item) {
        // Another program edited a folder's access file: show what it says now.
        m_files->refreshFolder(item);
        if (item == m_folder)
            select();
    });
    m_outline->setModel(m_files);
    m_outline->setColumns({{QStringLiteral("dir"), QStringLiteral("Folder"), PHItemModel::ColumnKind::Text},
                           {kProtectColumn, QStringLiteral("Protection"), PHItemModel::ColumnKind::PopUp},
                           {QStringLiteral("delete"), QString(), PHItemModel::ColumnKind::Button}});
    m_outline->setPopUpMenu(kProtectColumn, m_modeMenu);
    m_outline->setOutlineColumn(QStringLiteral("dir"));
    QHeaderView *header = m_outline->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    header->setSectionResizeMode(1, QHeaderView::Interactive);
    header->resizeSection(1, 190);
    header->setSectionResizeMode(2, QHeaderView::Fixed);
    header->resizeSection(2, 28);
    m_outline->setStyleSheet(
        QStringLiteral("PHOutlineView::item { padding-top: 2px; padding-bottom: 2px; }"));
    m_outline->expandToDepth(0);
    // Folder names are in the view's own font, the desktop's. A step per
    // level as wide as the folder icon: deep names keep their room.
    m_outline->setIndentation(16);
    fitFolderColumns(m_outline, m_outline->font());
}

void PHFolderProtection::reroot() {
    if (m_files) {
        m_files->setRootPath(PHWebRootPart::location(PHWebRoot::Root));
        m_outline->reloadData();
        m_outline->expandToDepth(0);
    }
    // The old tree is gone: nothing of it may stay selected.
    m_outline->clearSelection();
}

void PHFolderProtection::select() {
    if (m_editor->hasUnsavedEdits())
        return;
    m_folder = outlineFolder();
    if (m_folder)
        m_files->refreshFolder(m_folder, true);
    emit folderSelected(m_folder);
}

void PHFolderProtection::folderChanged(PHFSItem *item) {
    if (item && m_files)
        m_files->refreshFolder(item);
    select();
}

void PHFolderProtection::setChangeRefusal(const QString &refusal) {
    if (m_files && m_files->changeRefusal() != refusal) {
        m_files->setChangeRefusal(refusal);
        m_outline->viewport()->update();
    }
}

void PHFolderProtection::viewOnWeb() {
    PHFSItem *item = outlineFolder();
    if (!item)
        return;
    const QUrl address = m_webRoot->webAddress(item);
    if (!QDesktopServices::openUrl(address))
        emit messageShown(
            PHThemeColors::Meaning::Negative,
            QStringLiteral("Could not open %1: no web browser was found (xdg-open could not be started).")
                .arg(address.toString()));
}

void PHFolderProtection::showEffectiveAccess() {
    QStringList lines;
    QString refusal;
    if (m_folder) {
        const PHEffectiveAccess access = m_folder->effectiveAccess();
        lines = access.lines();
        if (m_folder->isHandManaged())
            lines.prepend(PHFSItem::handManagedMessage + QLatin1Char('.'));
        if (const QString unread = PHServerRules::unreadNote(m_folder->treeRootPath()); !unread.isEmpty())
            lines.append(unread);
        refusal = access.thisComputerWarning();
        // An unsaved text in the manual editor: what saving it would do.
        if (m_editor->hasUnsavedEdits()) {
            const QString pending = m_folder->effectiveAccessWithText(m_editor->text()).thisComputerWarning();
            refusal = pending.isEmpty() ? QString() : QStringLiteral("Once saved: ") + pending;
        }
    }
    if (m_effectiveAccess)
        m_effectiveAccess->setText(lines.isEmpty() ? QString()
                                                   : QStringLiteral("%1: %2").arg(
                                                         m_folder->name(), lines.join(QStringLiteral("; "))));
    if (m_thisComputerWarning) {
        m_thisComputerWarning->setText(refusal);
        m_thisComputerWarning->setToolTip(
            refusal.isEmpty()
                ? QString()
                : QStringLiteral("Tick 127.0.0.1 (this computer) among the allowed addresses, "
                                 "or untick it among the denied ones, to let this computer in."));
        m_thisComputerWarning->setVisible(!refusal.isEmpty());
    }
}

// ----- Asking the server -----

void PHFolderProtection::checkAccess() {
    PHFSItem *item = outlineFolder();
    if (!item || !m_files || m_checkingAccess)
        return;
    const QString base =
        PHAccessCheck::serverAddress(m_webRoot->webAddress(m_files->rootItem()).toString(QUrl::FullyEncoded),
                                     m_files->rootItem()->fullPath());
    // What the folder says is read here; the server is asked on a worker
    // thread (each request may wait up to 10 s), so the panel stays usable.
    const PHAccessCheck::Plan plan =
        PHAccessCheck::prepare(item, base, QString(), QString(), m_serverErrorLog());
    const QString folder = item->treePath();
    const QStringList effective = plan.access.lines();
    showAccessCheckRunning(true);
    askServerInBackground(this, plan, "check access",
                          [this, folder, effective](const PHAccessCheck::Report &report) {
                              accessCheckEnded(report, folder, effective);
                          });
}

void PHFolderProtection::showAccessCheckRunning(bool running) {
    m_checkingAccess = running;
    if (m_checkAccess)
        m_checkAccess->setEnabled(!running);
    if (m_checkAccessProgress)
        m_checkAccessProgress->setVisible(running);
}

void PHFolderProtection::accessCheckEnded(const PHAccessCheck::Report &report, const QString &folder,
                                          const QStringList &effective) {
    showAccessCheckRunning(false);
    PHAlertSheet::Request request;
    request.title = !report.reachable ? QStringLiteral("The web server cannot be reached")
                    : report.agrees() ? QStringLiteral("The web server does what the panel shows")
                                      : QStringLiteral("The web server does not do what the panel shows");
    QStringList lines = effective;
    lines.prepend(QStringLiteral("Effective access of %1:").arg(folder));
    lines.append(QString());
    lines.append(report.lines());
    request.message = lines.join(QLatin1Char('\n'));
    request.context = QStringLiteral("check access");
    // Agreement is good news, not a warning.
    request.informational = report.reachable && report.agrees();
    PHAlertSheet::begin(m_window, request, [](int) {});
}

// ----- Clearing a folder -----

void PHFolderProtection::askToClear() {
    m_folder = outlineFolder();
    PHFSItem *item = m_folder;
    if (!item)
        return;
    if (!PHSettingsStore::instance()->boolForKey(PHSettings::Key::ShowDeleteDialog)) {
        clearAnswered(PHAlertSheet::Default, item);
        return;
    }
    PHAlertSheet::Request request;
    request.title = QStringLiteral("Delete Access File");
    request.message =
        QStringLiteral("Are you sure you want to permanently delete all access restrictions for \"%1\"?"
                       "\n\nThis action cannot be undone.")
            .arg(item->name());
    request.defaultButton = QStringLiteral("Delete");
    request.otherButton = QStringLiteral("Cancel");
    request.context = QStringLiteral("clear folder");
    QPointer<PHFolderProtection> self(this);
    PHFSItemPointer target(item);
    PHAlertSheet::begin(m_window, request, [self, target](int answer) {
        if (self)
            self->clearAnswered(answer, target);
    });
}

void PHFolderProtection::clearAnswered(int answer, PHFSItem *item) {
    if (answer == PHAlertSheet::Alternate)
        emit stopAskingBeforeClearing();
    else if (answer != PHAlertSheet::Default)
        return;
    if (!item)
        return; // the folder went with a rebuilt tree
    m_editor->discardEdits();
    item->deleteAccessFile();
    select();
}

// ----- The context menu -----

void PHFolderProtection::showMenu(const QPoint &at) {
    if (m_editor->hasUnsavedEdits())
        return;
    // A right click has already selected its row (or raised the save
    // prompt, and then the menu would name the wrong folder).
    PHFSItem *item = outlineFolder();
    const QModelIndex pointed = m_outline->indexAt(at);
    if (!item || (pointed.isValid() && m_files->folderForIndex(pointed) != item))
        return;
    auto *menu = new QMenu(m_outline);
    menu->setObjectName(QStringLiteral("folderContextMenu"));
    menu->setAccessibleName(QStringLiteral("Folder %1").arg(item->name()));

    menu->addSection(QStringLiteral("Protection"));
    const QString refusal = PHWebRootPart::whyFoldersCannotChange();
    const qint32 current = item->modeIndex();
    PHFSItemPointer target(item);
    QPointer<PHFolderModel> files(m_files);
    const int protect = m_outline->columnForIdentifier(kProtectColumn);
    for (qint32 mode = 0; mode <= 4; ++mode) {
        QAction *entry =
            addMenuEntry(menu, PHFSItem::modeName(mode), "folder menu mode", [files, target, mode, protect] {
                if (files && target)
                    files->setData(files->indexForFolder(target, protect), mode, Qt::EditRole);
            });
        entry->setCheckable(true);
        entry->setChecked(mode == current);
        entry->setEnabled(refusal.isEmpty() && !item->isHandManaged());
        if (!refusal.isEmpty())
            entry->setToolTip(refusal);
    }
    QAction *remove = addMenuEntry(menu, QStringLiteral("Remove Protection…"), "folder menu remove",
                                   [this] { askToClear(); });
    remove->setEnabled(refusal.isEmpty() && item->hasAccessFile());
    menu->setToolTipsVisible(true);

    menu->addSeparator();
    addMenuEntry(menu, QStringLiteral("Check Access"), "folder menu check", [this] { checkAccess(); });
    addMenuEntry(menu, QStringLiteral("View on Web"), "folder menu web", [this] { viewOnWeb(); });
    addMenuEntry(menu, QStringLiteral("Open Folder"), "folder menu open", [this, target] {
        if (target)
            m_webRoot->openFolder(target->fullPath());
    });
    popUpMenu(menu, menuPosition(m_outline, at));
}
