#include "pane/PHUsersAndGroups.h"

#include "core/Log.h"
#include "model/PHEditRules.h"
#include "model/PHPasswordHash.h"
#include "model/PHSettings.h"
#include "pane/PHBundle.h"
#include "pane/PHGroupFileModule.h"
#include "pane/PHPaneSupport.h"
#include "pane/PHWebRootPart.h"
#include "platform/PHAction.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHEnabling.h"
#include "support/PHExtensions.h"
#include "support/PHSettingsStore.h"
#include "views/PHUiLoader.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QMenu>

#include <algorithm>

using namespace PHPaneSupport;

namespace {

const QString kGroupColumn = QStringLiteral("group");
const QString kConfirmation = QStringLiteral("Are you sure you wish to %1? This action cannot be undone. To "
                                             "answer yes and not see this dialog in the future, "
                                             "click \"Don't Ask\"");

PHSettingsStore *defaults() {
    return PHSettingsStore::instance();
}

QString trimmedName(const QVariantMap &user) {
    return PHString::stringByRemovingSurroundingWhitespace(user.value(PHUsersModel::userKey).toString());
}

/// What deleting the name does to the folders that let it in, for the
/// question: empty when no folder names it.
QString grantsNotice(const QString &name, const QList<PHAccessGrants::Folder> &folders) {
    if (folders.isEmpty())
        return {};
    QList<PHAccessGrants::Folder> rewritten;
    QList<PHAccessGrants::Folder> byHand;
    for (const PHAccessGrants::Folder &folder : folders)
        (folder.handManaged ? byHand : rewritten).append(folder);
    QString notice =
        QStringLiteral("\"%1\" is allowed in %2").arg(name, PHAccessGrants::joinedFolderNames(folders));
    if (!rewritten.isEmpty())
        notice += QStringLiteral("; deleting \"%1\" also removes it from %2")
                      .arg(name, PHAccessGrants::joinedFolderNames(rewritten));
    if (!byHand.isEmpty())
        notice +=
            QStringLiteral(". The access file of %1 is edited by hand and is left as it is: edit it yourself")
                .arg(PHAccessGrants::joinedFolderNames(byHand));
    return notice + QStringLiteral(".\n\n");
}

PHAlertSheet::Request deletePrompt(const QString &title, const QString &action, const QString &notice = {}) {
    PHAlertSheet::Request request;
    request.title = title;
    request.message = notice + kConfirmation.arg(action);
    request.defaultButton = QStringLiteral("Yes");
    request.alternateButton = QStringLiteral("Don't Ask");
    request.otherButton = QStringLiteral("No");
    // Return keeps what is there: deleting takes a deliberate Yes.
    request.otherIsSafe = true;
    return request;
}

} // namespace

PHUsersAndGroups::PHUsersAndGroups(const Widgets &widgets, const PHBundle &bundle, Services services,
                                   QObject *parent)
    : QObject(parent), m_bundle(bundle), m_services(std::move(services)), m_window(widgets.window),
      m_userTable(widgets.userTable), m_userAdd(widgets.userAdd), m_userEdit(widgets.userEdit),
      m_userDelete(widgets.userDelete), m_groupOutline(widgets.groupOutline), m_groupAdd(widgets.groupAdd),
      m_groupDelete(widgets.groupDelete) {
    const auto onClick = [this](QAbstractButton *button, const char *what,
                                void (PHUsersAndGroups::*action)()) {
        if (button)
            connect(button, &QAbstractButton::clicked, this,
                    [this, what, action] { PHAction::run(what, [&] { (this->*action)(); }); });
    };
    onClick(m_userAdd, "add user", &PHUsersAndGroups::addUser);
    onClick(m_userEdit, "edit user", &PHUsersAndGroups::editUser);
    onClick(m_userDelete, "delete user", &PHUsersAndGroups::deleteUser);
    onClick(m_groupAdd, "add group", &PHUsersAndGroups::addGroup);
    onClick(m_groupDelete, "delete group", &PHUsersAndGroups::deleteGroup);
    connect(m_userTable, &PHTableView::deleteKeyPressed, this,
            [this] { PHAction::run("delete user", [&] { deleteUser(); }); });
    connect(m_groupOutline, &PHOutlineView::deleteKeyPressed, this,
            [this] { PHAction::run("delete group", [&] { deleteGroup(); }); });
    // A double click opens the password sheet; names are never typed into the table.
    m_userTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(m_userTable, &PHTableView::doubleAction, this,
            [this] { PHAction::run("edit user", [&] { editUser(); }); });
    // A reload forgets the selection: the buttons that act on it follow.
    connect(m_userTable, &PHTableView::rowsReloaded, this, &PHUsersAndGroups::userSelectionChanged);
    connect(m_groupOutline, &PHOutlineView::rowsReloaded, this, &PHUsersAndGroups::groupSelectionChanged);
    connect(m_userTable, &PHTableView::action, this,
            [this] { PHAction::run("user selection", [&] { userSelectionChanged(); }); });
    connect(m_groupOutline, &PHOutlineView::action, this,
            [this] { PHAction::run("group selection", [&] { groupSelectionChanged(); }); });
    const auto menuOn = [this](QAbstractItemView *view, void (PHUsersAndGroups::*show)(const QPoint &)) {
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, show](const QPoint &at) { PHAction::run("contextMenu", [&] { (this->*show)(at); }); });
    };
    menuOn(m_userTable, &PHUsersAndGroups::showUserMenu);
    menuOn(m_groupOutline, &PHUsersAndGroups::showGroupMenu);
}

QStringList PHUsersAndGroups::userNames() const {
    return m_users ? m_users->userNames() : QStringList();
}

QStringList PHUsersAndGroups::groupNames() const {
    return m_groups ? m_groups->list() : QStringList();
}

void PHUsersAndGroups::setUp() {
    checkAndNameColumns(m_userTable.data(), m_userTable->horizontalHeader(), QStringLiteral("user"),
                        QStringLiteral("User"));
    m_userTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_userTable->setDragEnabled(true);
    checkAndNameColumns(m_groupOutline.data(), m_groupOutline->header(), kGroupColumn,
                        QStringLiteral("Group"));
    m_groupOutline->setOutlineColumn(kGroupColumn);
    m_groupOutline->setAcceptDrops(true);
    m_groupOutline->setDropIndicatorShown(true);
}

void PHUsersAndGroups::reload() {
    delete m_users;
    m_users = new PHUsersModel(m_services.context, this);
    // A deleted user leaves every group.
    connect(m_users, &PHUsersModel::userDeleted, this, &PHUsersAndGroups::userWasDeleted);
    m_userTable->setBundlePath(m_bundle.bundlePath());
    m_userTable->setModel(m_users);
    m_userTable->reloadData();
    delete m_groups;
    m_groups = new PHGroupsModel(m_services.context, userNames(), this);
    m_groups->setUserFileLoadFailed(m_users->loadFailed());
    m_groupOutline->setModel(m_groups);
    m_groupOutline->reloadData();
    wireGroups();
}

void PHUsersAndGroups::folderChanged() {
    m_userTable->reloadData();
    m_groupOutline->viewport()->update();
    userSelectionChanged();
}

void PHUsersAndGroups::updateButtons() {
    userSelectionChanged();
    groupSelectionChanged();
}

void PHUsersAndGroups::setChangeRefusal(const QString &refusal) {
    for (QAbstractButton *button : {m_userAdd.data(), m_groupAdd.data()}) {
        if (button) {
            button->setEnabled(refusal.isEmpty());
            button->setToolTip(refusal);
        }
    }
}

void PHUsersAndGroups::writeBack() {
    if (m_users)
        m_users->writeUserfileUnlessEmptyAndMissing();
    if (m_groups)
        m_groups->writeGroupfileUnlessEmptyAndMissing();
}

void PHUsersAndGroups::userWasDeleted(const QString &name) {
    if (m_groups)
        m_groups->removeUserFromGroups(name);
}

void PHUsersAndGroups::sortUsers() {
    if (m_users)
        m_users->sortByUsername(); // the view shows it at its next reload
}

void PHUsersAndGroups::sortGroups() {
    if (m_groups)
        m_groups->sortGroups();
}

// ----- The buttons' state -----

void PHUsersAndGroups::userSelectionChanged() {
    const qint32 row = m_userTable->selectedRow();
    const QString whyNot = row == 0
                               ? QStringLiteral("\"Any Valid User\" stands for every user: select one user")
                               : QStringLiteral("Select a user first");
    PHEnabling::setEnabled(m_userEdit, row > 0, whyNot);
    PHEnabling::setEnabled(m_userDelete, row > 0, whyNot);
}

void PHUsersAndGroups::groupSelectionChanged() {
    PHUserItem *item = m_groups ? m_groups->nodeForIndex(m_groupOutline->selectedIndex()) : nullptr;
    if (!item) {
        m_groupDelete->setEnabled(false);
        m_groupDelete->setToolTip(QString());
        m_groupDelete->setAccessibleDescription(QStringLiteral("Select a group or a member first"));
        return;
    }
    m_groupDelete->setEnabled(true);
    m_groupDelete->setAccessibleDescription(QString());
    if (item->hasChildren() || !item->parent())
        m_groupDelete->setToolTip(QStringLiteral("Delete \"%1\"").arg(item->value()));
    else
        m_groupDelete->setToolTip(
            QStringLiteral("Remove \"%1\" from \"%2\"").arg(item->value(), item->parent()->value()));
}

// ----- The groups' model -----

void PHUsersAndGroups::wireGroups() {
    connect(m_users, &PHUsersModel::nameRefused, this, [this](const QString &message) {
        PHAction::run("nameRefused", [&] { explainRefusedName(message); });
    });
    // The group being renamed does not count as taking its own name.
    QPointer<PHOutlineView> outline(m_groupOutline);
    QPointer<PHGroupsModel> groups(m_groups);
    m_groups->setEditedItemProvider([outline, groups]() -> PHUserItem * {
        if (!outline || !groups || !outline->isEditing())
            return nullptr;
        return groups->nodeForIndex(outline->currentIndex());
    });
    connect(m_groups, &PHGroupsModel::groupRequired, this,
            [this] { PHAction::run("groupRequired", [&] { warnIfGroupsUnavailable(); }); });
    connect(m_groups, &PHGroupsModel::nameRefused, this, [this](const QString &message) {
        PHAction::run("nameRefused", [&] { explainRefusedName(message); });
    });
    // A group renamed to a name some access file still requires.
    m_groups->setRequiredElsewhereProvider([this](const QString &name) {
        return PHAccessGrants::joinedFolderNames(grantingFolders(name, PHAccessGrants::Kind::Group));
    });
    connect(m_groups, &PHGroupsModel::nameStillRequired, this,
            [this](const QString &name, const QString &message) {
                PHAction::run("nameStillRequired", [&] {
                    PHAlertSheet::Request request;
                    request.title = QStringLiteral("This Name Is Still Allowed in Some Folders");
                    request.message = message;
                    request.defaultButton = QStringLiteral("OK");
                    request.context = QStringLiteral("nameStillRequired");
                    QPointer<PHGroupsModel> groups(m_groups);
                    PHAlertSheet::begin(m_window, request, [groups, name](int) {
                        if (groups)
                            groups->acknowledgeRequiredName(name);
                    });
                });
            });
}

void PHUsersAndGroups::explainRefusedName(const QString &message) {
    PHAlertSheet::Request request;
    request.title = QStringLiteral("This Name Cannot Be Used");
    request.message = message;
    request.defaultButton = QStringLiteral("OK");
    request.context = QStringLiteral("nameRefused");
    PHAlertSheet::begin(m_window, request, [](int) {});
}

void PHUsersAndGroups::warnIfGroupsUnavailable() {
    if (m_groupModuleWarned)
        return;
    // The server this panel manages says best what it loads; the module
    // folders are the answer only when it cannot be asked.
    const std::optional<bool> loaded =
        m_services.groupModuleLoaded ? m_services.groupModuleLoaded() : std::optional<bool>();
    if (loaded.value_or(!PHGroupFileModule::isDisabled()))
        return;
    m_groupModuleWarned = true;
    Log::write(
        QStringLiteral("a folder requires a group, but Apache's authz_groupfile module is not enabled"));
    PHAlertSheet::Request request;
    request.title = QStringLiteral("Apache Cannot Check Groups Yet");
    request.message =
        QStringLiteral(
            "Apache reads the group file only when its module authz_groupfile is enabled, and it is not. "
            "Until it is, visitors to a folder that requires a group get a server error instead of a "
            "password prompt. To enable it, run this in a terminal:\n\n%1")
            .arg(PHGroupFileModule::enableCommand());
    request.defaultButton = QStringLiteral("OK");
    request.context = QStringLiteral("groupFileModule");
    PHAlertSheet::begin(m_window, request, [](int) {});
}

// ----- The user sheet -----

bool PHUsersAndGroups::loadUserSheet() {
    if (m_sheet)
        return true;
    const QString layout = m_bundle.pathForResource(QStringLiteral("UserAddPanel"), QStringLiteral("ui"));
    QFile file(layout);
    if (layout.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        Log::write(
            QStringLiteral("An error occurred loading UserAddPanel.ui from %1").arg(m_bundle.resourcePath()));
        return false;
    }
    PHUiLoader loader;
    QWidget *parent = m_window ? m_window.data() : m_userTable->window();
    auto *panel = qobject_cast<QDialog *>(loader.load(&file, parent));
    if (!panel) {
        Log::write(QStringLiteral("An error occurred loading UserAddPanel.ui: %1").arg(loader.errorString()));
        return false;
    }
    panel->setWindowModality(Qt::WindowModal);
    m_sheet = panel;
    m_userField = panel->findChild<QLineEdit *>(QStringLiteral("userField"));
    m_passField = panel->findChild<QLineEdit *>(QStringLiteral("passField"));
    m_confirmField = panel->findChild<QLineEdit *>(QStringLiteral("confirmField"));
    m_errorField = panel->findChild<QLabel *>(QStringLiteral("errorField"));
    if (!m_userField || !m_passField || !m_confirmField || !m_errorField) {
        Log::write(QStringLiteral("UserAddPanel.ui lacks the user, password, confirmation or message field"));
        delete panel;
        return false;
    }
    // Said while typing, so nobody saves a password believing every character counts.
    m_passwordWarningField = panel->findChild<QLabel *>(QStringLiteral("passwordWarningField"));
    connect(m_passField, &QLineEdit::textChanged, this,
            [this] { PHAction::run("passwordWarning", [&] { showPasswordWarning(); }); });
    if (auto *save = panel->findChild<QAbstractButton *>(QStringLiteral("userSaveButton")))
        connect(save, &QAbstractButton::clicked, this,
                [this] { PHAction::run("save user", [&] { endUserSheet(); }); });
    if (auto *cancel = panel->findChild<QAbstractButton *>(QStringLiteral("userCancelButton")))
        connect(cancel, &QAbstractButton::clicked, this,
                [this] { PHAction::run("close user sheet", [&] { closeUserSheet(); }); });
    // Escape ends the sheet as Cancel does.
    connect(panel, &QDialog::rejected, this,
            [this] { PHAction::run("close user sheet", [&] { closeUserSheet(); }); });
    return true;
}

void PHUsersAndGroups::showPasswordWarning() {
    if (!m_passwordWarningField || !m_passField)
        return;
    const QString warning =
        PHPasswordHash::truncationWarning(m_passField->text(), PHPasswordHash::configuredScheme());
    m_passwordWarningField->setText(warning);
    m_passwordWarningField->setVisible(!warning.isEmpty());
}

void PHUsersAndGroups::showRefusalReason(const QString &reason) {
    auto *field = m_sheet ? m_sheet->findChild<QLabel *>(QStringLiteral("errorReasonField")) : nullptr;
    if (!field)
        return;
    field->setText(reason);
    field->setVisible(!reason.isEmpty());
}

void PHUsersAndGroups::addUser() {
    if (!m_users || !loadUserSheet())
        return;
    m_focusBeforeSheet = QApplication::focusWidget();
    m_editedUser.clear();
    m_userField->setEnabled(true);
    m_userField->clear();
    m_passField->clear();
    m_confirmField->clear();
    m_errorField->clear();
    showRefusalReason(QString());
    static_cast<QDialog *>(m_sheet.data())->open();
    m_userField->setFocus(Qt::OtherFocusReason);
}

void PHUsersAndGroups::editUser() {
    if (!m_users)
        return;
    const qint32 row = m_userTable->selectedRow();
    if (row < 1 || row > m_users->dataArray().size() || !loadUserSheet())
        return;
    m_focusBeforeSheet = QApplication::focusWidget();
    m_editedUser = m_users->dataArray().at(row - 1).toMap();
    const QString name = trimmedName(m_editedUser);
    m_userField->setText(name);
    m_userField->setEnabled(false);
    m_passField->clear();
    m_confirmField->clear();
    PHThemeColors::setTextMeaning(m_errorField, PHThemeColors::Meaning::Normal);
    m_errorField->setText(QStringLiteral("Please enter a new password for %1").arg(name));
    showRefusalReason(QString());
    static_cast<QDialog *>(m_sheet.data())->open();
    m_passField->setFocus(Qt::OtherFocusReason);
}

void PHUsersAndGroups::endUserSheet() {
    if (!m_users || !m_sheet)
        return;
    const QString name = PHString::stringByRemovingSurroundingWhitespace(m_userField->text());
    const bool isNew = m_userField->isEnabled();
    const QString password = m_passField->text();
    const auto refuse = [this, &name](const QString &message) {
        PHThemeColors::setTextMeaning(m_errorField, PHThemeColors::Meaning::Negative);
        m_errorField->setText(message);
        // The reserved name's refusal does not say what is wrong with it.
        const bool reserved = name.compare(PHUsersModel::placeholderName, Qt::CaseInsensitive) == 0 &&
                              message.startsWith(QLatin1String("Invalid username"));
        showRefusalReason(reserved ? QStringLiteral("\"%1\" is reserved: Porthold requires it in the access "
                                                    "files of folders that nobody may open yet, so a user of "
                                                    "that name would get into them.")
                                         .arg(PHUsersModel::placeholderName)
                                   : QString());
    };

    // The name first, so nobody types a password twice for a name that cannot be.
    if (const QString refusal = PHEditRules::userRefusal(name, isNew, m_users->containsItem(name), password,
                                                         m_confirmField->text());
        !refusal.isEmpty())
        return refuse(refusal);
    // Before a new user takes a name some access file still requires: said
    // once, and a second Save adds the user anyway.
    if (isNew && m_acknowledgedRequiredName != name) {
        const QList<PHAccessGrants::Folder> folders = grantingFolders(name, PHAccessGrants::Kind::User);
        if (!folders.isEmpty()) {
            m_acknowledgedRequiredName = name;
            return refuse(QStringLiteral("\"%1\" is still allowed in %2 by their access files; the new user "
                                         "gets in there too. Click Save again to add the user anyway.")
                              .arg(name, PHAccessGrants::joinedFolderNames(folders)));
        }
    }
    const QString hash = PHUsersModel::encryptPassword(password);
    if (hash.isNull())
        return refuse(PHEditRules::unusablePasswordText());

    QVariantList &records = m_users->dataArray();
    records.append(PHUsersModel::userRecord(name, hash));
    if (defaults()->boolForKey(PHSettings::Key::SortUsers))
        m_users->sortByUsername();
    // A new password replaces the old record, which a stable sort keeps in
    // front of the new one. As a replacement it keeps the user's groups.
    const qsizetype old = isNew ? -1 : records.indexOf(QVariant(m_editedUser));
    if (old >= 0)
        m_users->removeRecord(old, PHUsersModel::Removal::Replaced);
    else
        m_users->writeUserfile();
    m_userTable->reloadData();
    // The user whose password changed stays selected, wherever the sort put it.
    if (!isNew)
        for (qsizetype index = 0; index < records.size(); ++index)
            if (trimmedName(records.at(index).toMap()) == name) {
                m_userTable->selectRowByExtendingSelection(qint32(index) + 1, false);
                break;
            }
    closeUserSheet();
    m_errorField->clear();
    userSelectionChanged();
}

void PHUsersAndGroups::closeUserSheet() {
    m_editedUser.clear();
    m_acknowledgedRequiredName.clear();
    if (!m_sheet)
        return;
    // Passwords do not stay in a hidden window.
    m_passField->clear();
    m_confirmField->clear();
    m_sheet->hide();
    // The keyboard goes back where it was before the sheet, not to whatever
    // the window offers next.
    if (m_focusBeforeSheet && m_focusBeforeSheet->isVisible() && m_focusBeforeSheet->isEnabled())
        m_focusBeforeSheet->setFocus(Qt::OtherFocusReason);
    m_focusBeforeSheet.clear();
}

// ----- Groups -----

void PHUsersAndGroups::addGroup() {
    if (!m_groups)
        return;
    const PHUserItem::Ptr group = m_groups->addNewGroup(m_groups->newGroupName());
    m_groupOutline->reloadData();
    // Selected alone and opened for typing, so it can be named at once.
    if (m_groupOutline->selectIndex(m_groups->indexForNode(group.get()), false))
        m_groupOutline->editCell(
            m_groups->indexForNode(group.get(), m_groupOutline->columnForIdentifier(kGroupColumn)));
    groupSelectionChanged();
}

void PHUsersAndGroups::addMemberToGroup(const QString &user, const PHUserItem::Ptr &group) {
    if (!m_groups || !group)
        return;
    if (m_groups->addMember(user, group.get(), qint32(group->children().size())))
        emit messageShown(PHThemeColors::Meaning::Positive,
                          QStringLiteral("Added %1 to the group %2").arg(user, group->value()));
}

PHUserItem::Ptr PHUsersAndGroups::selectedGroupItem() const {
    if (!m_groups)
        return nullptr;
    PHUserItem *selected = m_groups->nodeForIndex(m_groupOutline->selectedIndex());
    return selected ? selected->shared_from_this() : nullptr;
}

// ----- Deleting -----

void PHUsersAndGroups::deleteUser() {
    if (!m_users)
        return;
    const qint32 row = m_userTable->selectedRow();
    if (row < 1 || row > m_users->dataArray().size())
        return; // "Any Valid User" or nothing selected
    const QVariantMap user = m_users->dataArray().at(row - 1).toMap();
    if (!defaults()->boolForKey(PHSettings::Key::UserDeleteDialog)) {
        deleteUserAnswered(PHAlertSheet::Default, user);
        return;
    }
    const QString name = trimmedName(user);
    PHAlertSheet::Request request =
        deletePrompt(QStringLiteral("Delete User"), QStringLiteral("delete the user \"%1\"").arg(name),
                     grantsNotice(name, grantingFolders(name, PHAccessGrants::Kind::User)));
    request.context = QStringLiteral("delete user");
    QPointer<PHUsersAndGroups> self(this);
    PHAlertSheet::begin(m_window, request, [self, user](int answer) {
        if (self)
            self->deleteUserAnswered(answer, user);
    });
}

void PHUsersAndGroups::deleteUserAnswered(int answer, const QVariantMap &user) {
    if (answer == PHAlertSheet::Alternate)
        emit stopAskingBeforeDeletingUsers();
    else if (answer != PHAlertSheet::Default)
        return;
    if (!m_users)
        return;
    // The record asked about, wherever it is now.
    const qsizetype index = m_users->dataArray().indexOf(QVariant(user));
    if (index < 0)
        return;
    // Found while the name is still a user; taken out only once the user file
    // no longer holds it, so a failed save leaves every folder as it was.
    const QString name = trimmedName(user);
    const QList<PHAccessGrants::Folder> folders = grantingFolders(name, PHAccessGrants::Kind::User);
    if (m_users->removeRecord(index, PHUsersModel::Removal::Deleted))
        removeGrants(folders, name, PHAccessGrants::Kind::User);
    userSelectionChanged();
}

void PHUsersAndGroups::deleteGroup() {
    const PHUserItem::Ptr item = selectedGroupItem();
    if (!item)
        return;
    if (!defaults()->boolForKey(PHSettings::Key::GroupDeleteDialog)) {
        deleteGroupAnswered(PHAlertSheet::Default, item);
        return;
    }
    const PHUserItem::Ptr group = item->parent();
    QString action;
    QString notice;
    if (item->hasChildren() || !group) {
        action = QStringLiteral("delete the group \"%1\"").arg(item->value());
        notice = grantsNotice(item->value(), grantingFolders(item->value(), PHAccessGrants::Kind::Group));
    } else {
        action =
            QStringLiteral("remove the user \"%1\" from the group \"%2\"").arg(item->value(), group->value());
    }
    PHAlertSheet::Request request = deletePrompt(QStringLiteral("Delete Group"), action, notice);
    request.context = QStringLiteral("delete group");
    QPointer<PHUsersAndGroups> self(this);
    PHAlertSheet::begin(m_window, request, [self, item](int answer) {
        if (self)
            self->deleteGroupAnswered(answer, item);
    });
}

void PHUsersAndGroups::deleteGroupAnswered(int answer, const PHUserItem::Ptr &item) {
    if (answer == PHAlertSheet::Alternate)
        emit stopAskingBeforeDeletingGroups();
    else if (answer != PHAlertSheet::Default)
        return;
    // A node of a tree read again since the question is not in this one: the
    // model refuses it.
    if (m_groups && item) {
        const bool isGroup = item->hasChildren() && item->parent() && !item->parent()->parent();
        const QString name = item->value();
        const QList<PHAccessGrants::Folder> folders =
            isGroup ? grantingFolders(name, PHAccessGrants::Kind::Group) : QList<PHAccessGrants::Folder>();
        if (m_groups->removeItem(item.get()))
            removeGrants(folders, name, PHAccessGrants::Kind::Group);
    }
    groupSelectionChanged();
}

QList<PHAccessGrants::Folder> PHUsersAndGroups::grantingFolders(const QString &name,
                                                                PHAccessGrants::Kind kind) const {
    PHFSItem *tree = m_services.folderTree ? m_services.folderTree() : nullptr;
    return tree ? PHAccessGrants::foldersRequiring(tree, name, kind) : QList<PHAccessGrants::Folder>();
}

void PHUsersAndGroups::removeGrants(const QList<PHAccessGrants::Folder> &folders, const QString &name,
                                    PHAccessGrants::Kind kind) {
    if (folders.isEmpty())
        return;
    const PHAccessGrants::Removal removal = PHAccessGrants::removeName(folders, name, kind);
    if (!removal.changed.isEmpty())
        Log::write(QStringLiteral("\"%1\" was removed from the access files of %2")
                       .arg(name, removal.changed.join(QStringLiteral(", "))));
    // The folder shown may be one of them.
    emit foldersChanged();
    if (removal.failed.isEmpty() && removal.leftAlone.isEmpty())
        return;
    QStringList lines;
    for (const QString &failure : removal.failed)
        lines.append(QStringLiteral("%1 (could not be rewritten)").arg(failure));
    for (const QString &folder : removal.leftAlone)
        lines.append(QStringLiteral("%1: edited by hand, left as it is").arg(folder));
    PHAlertSheet::Request request;
    request.title = QStringLiteral("\"%1\" Is Still Allowed in Some Folders").arg(name);
    request.message = QStringLiteral("These access files still let \"%1\" in. Edit them yourself, or anyone "
                                     "given that name later gets in there too:\n\n%2")
                          .arg(name, lines.join(QLatin1Char('\n')));
    request.defaultButton = QStringLiteral("OK");
    request.context = QStringLiteral("grantsLeft");
    Log::write(request.message);
    PHAlertSheet::begin(m_window, request, [](int) {});
}

// ----- Context menus -----

void PHUsersAndGroups::showUserMenu(const QPoint &at) {
    if (!m_users)
        return;
    const qint32 row = m_userTable->selectedRow();
    // Row 0 is "Any Valid User", nobody in particular.
    if (row < 1 || row > m_users->dataArray().size())
        return;
    const QString name = trimmedName(m_users->dataArray().at(row - 1).toMap());
    const QString refusal = PHWebRootPart::whyFoldersCannotChange();
    auto *menu = new QMenu(m_userTable);
    menu->setObjectName(QStringLiteral("userContextMenu"));
    menu->setAccessibleName(QStringLiteral("User %1").arg(name));
    menu->setToolTipsVisible(true);
    const QList<QAction *> edits = {
        addMenuEntry(menu, QStringLiteral("Password…"), "user menu password", [this] { editUser(); }),
        addMenuEntry(menu, QStringLiteral("Delete"), "user menu delete", [this] { deleteUser(); })};

    QMenu *groups = menu->addMenu(QStringLiteral("Add to Group"));
    groups->setObjectName(QStringLiteral("addToGroupMenu"));
    if (m_groups) {
        for (const PHUserItem::Ptr &group : m_groups->rootArray()) {
            const bool member = std::any_of(group->children().cbegin(), group->children().cend(),
                                            [&](const PHUserItem::Ptr &m) { return m->value() == name; });
            QAction *entry = addMenuEntry(groups, group->value(), "user menu addToGroup",
                                          [this, group, name] { addMemberToGroup(name, group); });
            entry->setEnabled(!member && refusal.isEmpty());
        }
    }
    if (groups->isEmpty())
        groups->addAction(QStringLiteral("(no groups yet)"))->setEnabled(false);
    for (QAction *entry : edits)
        entry->setEnabled(refusal.isEmpty());
    if (!refusal.isEmpty())
        for (QAction *entry : menu->actions())
            entry->setToolTip(refusal);
    popUpMenu(menu, menuPosition(m_userTable, at));
}

void PHUsersAndGroups::showGroupMenu(const QPoint &at) {
    const PHUserItem::Ptr item = selectedGroupItem();
    if (!item)
        return;
    const bool isGroup = item->hasChildren();
    const QString refusal = PHWebRootPart::whyFoldersCannotChange();
    auto *menu = new QMenu(m_groupOutline);
    menu->setObjectName(QStringLiteral("groupContextMenu"));
    menu->setAccessibleName(QStringLiteral("%1 %2").arg(
        isGroup ? QStringLiteral("Group") : QStringLiteral("Member"), item->value()));
    menu->setToolTipsVisible(true);
    if (isGroup) {
        QPointer<PHOutlineView> outline(m_groupOutline);
        QPointer<PHGroupsModel> groups(m_groups);
        addMenuEntry(menu, QStringLiteral("Rename"), "group menu rename", [outline, groups, item] {
            if (outline && groups)
                outline->editCell(
                    groups->indexForNode(item.get(), outline->columnForIdentifier(kGroupColumn)));
        });
        addMenuEntry(menu, QStringLiteral("Delete"), "group menu delete", [this] { deleteGroup(); });
        QMenu *members = menu->addMenu(QStringLiteral("Add Member"));
        members->setObjectName(QStringLiteral("addMemberMenu"));
        for (const QString &user : userNames()) {
            const bool member = std::any_of(item->children().cbegin(), item->children().cend(),
                                            [&](const PHUserItem::Ptr &m) { return m->value() == user; });
            if (!member)
                addMenuEntry(members, user, "group menu addMember",
                             [this, user, item] { addMemberToGroup(user, item); });
        }
        if (members->isEmpty())
            members->addAction(QStringLiteral("(every user is a member)"))->setEnabled(false);
    } else {
        addMenuEntry(menu, QStringLiteral("Remove from Group"), "group menu removeMember",
                     [this] { deleteGroup(); });
    }
    if (!refusal.isEmpty()) {
        for (QAction *entry : menu->actions()) {
            entry->setEnabled(false);
            entry->setToolTip(refusal);
        }
    }
    popUpMenu(menu, menuPosition(m_groupOutline, at));
}
