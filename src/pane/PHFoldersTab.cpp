#include "pane/PHFoldersTab.h"

#include "model/PHWebRoot.h"
#include "pane/PHBundle.h"
#include "platform/PHAction.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTabWidget>

PHFoldersTab::PHFoldersTab(QWidget *view, const PHBundle &bundle, const Services &services, QObject *parent)
    : QObject(parent) {
    const auto find = [view](auto *&widget, const char *name) {
        widget = view->findChild<std::remove_reference_t<decltype(*widget)> *>(QLatin1String(name));
    };
    const auto say = [this](PHThemeColors::Meaning meaning, const QString &text) {
        emit messageShown(meaning, text);
    };

    PHManualEditor::Widgets editor;
    editor.window = services.window;
    editor.messageLine = services.messageLine;
    find(editor.tabs, "userAddressTabs");
    find(editor.page, "custom");
    find(editor.text, "customViewText");
    find(editor.save, "customSaveButton");
    find(editor.revert, "customRevertButton");
    find(editor.saveCheckProgress, "customCheckProgress");
    PHManualEditor::ServerQuestion question;
    question.baseAddress = [this]() -> QString {
        PHFolderModel *files = m_protection ? m_protection->files() : nullptr;
        return files ? m_webRoot->webAddress(files->rootItem()).toString(QUrl::FullyEncoded) : QString();
    };
    question.errorLog = services.serverErrorLog;
    m_editor = new PHManualEditor(editor, question, this);
    connect(m_editor, &PHManualEditor::messageShown, this, say);

    PHWebRootPart::Widgets webRoot;
    webRoot.window = services.window;
    find(webRoot.popUp, "webDirFolder");
    find(webRoot.status, "webRootStatus");
    m_webRoot = new PHWebRootPart(webRoot, m_editor, this);
    connect(m_webRoot, &PHWebRootPart::messageShown, this, say);
    connect(m_webRoot, &PHWebRootPart::errorShown, this, &PHFoldersTab::errorShown);
    connect(m_webRoot, &PHWebRootPart::rootChanged, this, &PHFoldersTab::rootChanged);

    PHFolderProtection::Widgets folders;
    folders.window = services.window;
    find(folders.outline, "webDirOutline");
    find(folders.viewOnWeb, "viewOnWebButton");
    find(folders.checkAccess, "checkAccessButton");
    find(folders.checkAccessProgress, "checkAccessProgress");
    find(folders.effectiveAccess, "effectiveAccessLabel");
    find(folders.thisComputerWarning, "thisComputerWarning");
    // The protection pop-up of the outline's rows.
    folders.modeMenu = new QMenu(view);
    folders.modeMenu->setObjectName(QStringLiteral("directoryMenu"));
    m_protection = new PHFolderProtection(folders, services.context, bundle.bundlePath(), m_webRoot, m_editor,
                                          services.serverErrorLog, this);
    connect(m_protection, &PHFolderProtection::messageShown, this, say);

    PHAddressesPart::Widgets addresses;
    // The two-row address matrix: row 0 allows the listed addresses, row 1 denies them.
    addresses.mode = new QButtonGroup(view);
    addresses.mode->setObjectName(QStringLiteral("addressMode"));
    if (auto *allow = view->findChild<QRadioButton *>(QStringLiteral("addressModeAllow")))
        addresses.mode->addButton(allow, 0);
    if (auto *deny = view->findChild<QRadioButton *>(QStringLiteral("addressModeDeny")))
        addresses.mode->addButton(deny, 1);
    find(addresses.table, "addressTable");
    find(addresses.add, "addressAddButton");
    find(addresses.remove, "addressDeleteButton");
    find(addresses.discover, "addressDiscoverSwitch");
    m_addresses = new PHAddressesPart(addresses, services.context, m_editor, this);
    connect(m_addresses, &PHAddressesPart::messageShown, this, say);

    PHUsersAndGroups::Widgets users;
    users.window = services.window;
    find(users.userTable, "userTable");
    find(users.userAdd, "userAddButton");
    find(users.userEdit, "userEditButton");
    find(users.userDelete, "userDeleteButton");
    find(users.groupOutline, "groupOutline");
    find(users.groupAdd, "groupAddButton");
    find(users.groupDelete, "groupDeleteButton");
    PHUsersAndGroups::Services usersServices;
    usersServices.folderTree = [this]() -> PHFSItem * {
        PHFolderModel *files = m_protection->files();
        return files ? files->rootItem() : nullptr;
    };
    usersServices.groupModuleLoaded = services.groupModuleLoaded;
    usersServices.context = services.context;
    m_usersAndGroups = new PHUsersAndGroups(users, bundle, usersServices, this);
    connect(m_usersAndGroups, &PHUsersAndGroups::messageShown, this, say);
    connect(m_usersAndGroups, &PHUsersAndGroups::foldersChanged, m_protection, &PHFolderProtection::select);

    // The selected folder, shown by every part.
    connect(m_protection, &PHFolderProtection::folderSelected, this, [this](PHFSItem *item) {
        m_addresses->setFolder(item);
        m_usersAndGroups->folderChanged();
        m_editor->setFolder(item);
        m_editor->show();
    });
    connect(m_editor, &PHManualEditor::textEdited, m_protection, &PHFolderProtection::showEffectiveAccess);
    connect(m_editor, &PHManualEditor::folderSaved, m_protection, &PHFolderProtection::folderChanged);

    QAbstractButton *refreshButton = nullptr;
    QAbstractButton *revealButton = nullptr;
    find(refreshButton, "webRefreshButton");
    find(revealButton, "revealWebDirButton");
    if (refreshButton)
        connect(refreshButton, &QAbstractButton::clicked, this,
                [this] { PHAction::run("refresh", [&] { refresh(); }); });
    if (revealButton)
        connect(revealButton, &QAbstractButton::clicked, this,
                [this] { PHAction::run("open folder", [&] { reveal(); }); });
}

void PHFoldersTab::setUp() {
    // Folders are read against the users, groups and known addresses, so
    // those are loaded first: read against empty lists, the first edit of a
    // folder would drop entries that are in force.
    m_usersAndGroups->reload();
    m_addresses->reloadKnown();
    m_protection->setUp();
    m_usersAndGroups->setUp();
    m_addresses->setUp();
    m_setUp = true;
    m_usersAndGroups->updateButtons();
    m_protection->select();
    explainWebRoot();
}

void PHFoldersTab::load() {
    m_webRoot->load();
}

void PHFoldersTab::didSelect() {
    m_editor->show();
}

void PHFoldersTab::didUnselect() {
    m_usersAndGroups->writeBack();
}

void PHFoldersTab::accessFileChanged() {
    // An edit in progress is the user's: a re-read never replaces it.
    if (!m_editor->hasUnsavedEdits())
        m_editor->show();
    else
        m_protection->showEffectiveAccess(); // a folder above changed
}

void PHFoldersTab::rootChanged() {
    // The new root's users and groups first: its folders are read against them.
    // Before the tables are set up nothing is read yet (they read the files once).
    if (m_setUp)
        m_usersAndGroups->reload();
    m_protection->reroot();
    m_protection->select();
    explainWebRoot();
}

void PHFoldersTab::refresh() {
    if (m_editor->holdBackForUnsavedEdits(QStringLiteral("refresh"), this, [this] { refresh(); }))
        return;
    // Refresh is what the read errors of these files tell people to choose;
    // read first, as the folders are read against them.
    m_usersAndGroups->reload();
    m_protection->reroot();
    m_protection->select();
    explainWebRoot();
}

void PHFoldersTab::reveal() {
    // The folder the user is looking at; the web folder when none is selected.
    PHFSItem *item = m_protection->selectedFolder();
    m_webRoot->openFolder(item ? item->fullPath() : PHWebRootPart::location(PHWebRoot::Root));
}

void PHFoldersTab::explainWebRoot() {
    const QString refusal = PHWebRootPart::whyFoldersCannotChange();
    m_protection->setChangeRefusal(refusal);
    m_usersAndGroups->setChangeRefusal(refusal);
    m_webRoot->explain();
}
