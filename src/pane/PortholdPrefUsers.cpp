// User and group editing: the sheet that adds a user or gives one a new
// password, new groups, deleting users, groups and memberships with their
// confirmations, and the wiring of the users' and groups' buttons.

#include "pane/PortholdPref.h"

#include "core/Log.h"
#include "model/PHAccessGrants.h"
#include "model/PHEditRules.h"
#include "model/PHGroupsDataSource.h"
#include "model/PHPasswordHash.h"
#include "model/PHSettings.h"
#include "model/PHUsersDataSource.h"
#include "pane/PHGroupFileModule.h"
#include "pane/PHOptionsTab.h"
#include "pane/PHServerTab.h"
#include "platform/PHAction.h"
#include "platform/PHAlertSheet.h"
#include "server/PHApacheController.h"
#include "support/PHExtensions.h"
#include "support/PHUserDefaults.h"
#include "views/PHFSDataSource.h"
#include "views/PHOutlineView.h"
#include "views/PHTableView.h"
#include "views/PHUiLoader.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>

namespace {

const QString kGroupColumn = QStringLiteral("group");
const QString kConfirmation = QStringLiteral("Are you sure you wish to %1? This action cannot be undone. To "
                                             "answer yes and not see this dialog in the future, "
                                             "click \"Don't Ask\"");
/// What deleting the name does to the folders that let it in, for the
/// confirmation: empty when no folder names it.
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

// ----- Wiring -----

void PortholdPref::wireUsersAndGroups() {
    QWidget *view = m_mainView;
    const auto wire = [this, view](const char *name, const char *what,
                                   void (PortholdPref::*action)(QObject *)) {
        auto *button = view->findChild<QAbstractButton *>(QLatin1String(name));
        if (!button)
            return;
        connect(button, &QAbstractButton::clicked, this,
                [this, button, what, action] { PHAction::run(what, [&] { (this->*action)(button); }); });
    };
    wire("userAddButton", "addUser:", &PortholdPref::addUser);
    wire("userEditButton", "editUser:", &PortholdPref::editUser);
    wire("userDeleteButton", "deleteUser:", &PortholdPref::deleteUser);
    wire("groupAddButton", "addGroup:", &PortholdPref::addGroup);
    wire("groupDeleteButton", "deleteGroup:", &PortholdPref::deleteGroup);
    // A double click opens the password sheet; names are never typed into the table.
    m_userTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(m_userTable, &PHTableView::doubleAction, this,
            [this] { PHAction::run("editUser:", [&] { editUser(m_userTable); }); });
}

void PortholdPref::wireGroupsDataSource() {
    if (m_users) {
        connect(m_users, &PHUsersDataSource::nameRefused, this, [this](const QString &message) {
            PHAction::run("nameRefused", [&] { explainRefusedName(message); });
        });
    }
    if (!m_groups)
        return;
    // The group being renamed does not count as taking its own name.
    QPointer<PHOutlineView> outline(m_groupOutline);
    QPointer<PHGroupsDataSource> groups(m_groups);
    m_groups->setEditedItemProvider([outline, groups]() -> PHUserItem * {
        if (!outline || !groups || !outline->isEditing())
            return nullptr;
        return groups->nodeForIndex(outline->currentIndex());
    });
    connect(m_groups, &PHGroupsDataSource::groupRequired, this,
            [this] { PHAction::run("groupRequired", [&] { warnIfGroupsUnavailable(); }); });
    connect(m_groups, &PHGroupsDataSource::nameRefused, this, [this](const QString &message) {
        PHAction::run("nameRefused", [&] { explainRefusedName(message); });
    });
    // A group renamed to a name some access file still requires.
    m_groups->setRequiredElsewhereProvider([this](const QString &name) {
        return PHAccessGrants::joinedFolderNames(grantingFolders(name, PHAccessGrants::Kind::Group));
    });
    connect(m_groups, &PHGroupsDataSource::nameStillRequired, this,
            [this](const QString &name, const QString &message) {
                PHAction::run("nameStillRequired", [&] {
                    PHAlertSheet::Request request;
                    request.title = QStringLiteral("This Name Is Still Allowed in Some Folders");
                    request.message = message;
                    request.defaultButton = QStringLiteral("OK");
                    request.context = QStringLiteral("nameStillRequired");
                    QPointer<PHGroupsDataSource> groups(m_groups);
                    PHAlertSheet::begin(m_window, request, [groups, name](int) {
                        if (groups)
                            groups->acknowledgeRequiredName(name);
                    });
                });
            });
}

void PortholdPref::explainRefusedName(const QString &message) {
    PHAlertSheet::Request request;
    request.title = QStringLiteral("This Name Cannot Be Used");
    request.message = message;
    request.defaultButton = QStringLiteral("OK");
    request.context = QStringLiteral("nameRefused");
    PHAlertSheet::begin(m_window, request, [](int) {});
}

void PortholdPref::warnIfGroupsUnavailable() {
    if (m_groupModuleWarned)
        return;
    // The server this panel manages says best what it loads; the module
    // folders are the answer only when it cannot be asked.
    std::optional<bool> loaded;
    if (PHApacheController *apache = m_server->apache()) {
        const QString binary = PHUserDefaults::standardUserDefaults()
                                   ->stringForKey(PHSettings::Key::ApacheBinaryLocation)
                                   .value_or(QString());
        loaded = PHGroupFileModule::loadedByServer(binary, apache->httpdConfFile());
    }
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

bool PortholdPref::loadUserAddPanel() {
    if (m_userAddPanel)
        return true;
    const QString layout = m_bundle.pathForResource(QStringLiteral("UserAddPanel"), QStringLiteral("ui"));
    QFile file(layout);
    if (layout.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        Log::write(
            QStringLiteral("An error occurred loading UserAddPanel.ui from %1").arg(m_bundle.resourcePath()));
        return false;
    }
    PHUiLoader loader;
    QWidget *parent = m_window ? m_window.data() : (m_mainView ? m_mainView->window() : nullptr);
    auto *panel = qobject_cast<QDialog *>(loader.load(&file, parent));
    if (!panel) {
        Log::write(QStringLiteral("An error occurred loading UserAddPanel.ui: %1").arg(loader.errorString()));
        return false;
    }
    panel->setWindowModality(Qt::WindowModal);
    m_userAddPanel = panel;
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
                [this, save] { PHAction::run("endNewUser:", [&] { endNewUser(save); }); });
    if (auto *cancel = panel->findChild<QAbstractButton *>(QStringLiteral("userCancelButton")))
        connect(cancel, &QAbstractButton::clicked, this,
                [this, cancel] { PHAction::run("closeNewUser:", [&] { closeNewUser(cancel); }); });
    // Escape ends the sheet as Cancel does.
    connect(panel, &QDialog::rejected, this,
            [this] { PHAction::run("closeNewUser:", [&] { closeNewUser(nullptr); }); });
    return true;
}

void PortholdPref::showPasswordWarning() {
    if (!m_passwordWarningField || !m_passField)
        return;
    const QString warning =
        PHPasswordHash::truncationWarning(m_passField->text(), PHPasswordHash::configuredScheme());
    m_passwordWarningField->setText(warning);
    m_passwordWarningField->setVisible(!warning.isEmpty());
}

void PortholdPref::showRefusalReason(const QString &reason) {
    auto *field =
        m_userAddPanel ? m_userAddPanel->findChild<QLabel *>(QStringLiteral("errorReasonField")) : nullptr;
    if (!field)
        return;
    field->setText(reason);
    field->setVisible(!reason.isEmpty());
}

void PortholdPref::addUser(QObject *) {
    if (!m_users || !loadUserAddPanel())
        return;
    m_focusBeforeSheet = QApplication::focusWidget();
    m_editedUser.clear();
    m_userField->setEnabled(true);
    m_userField->clear();
    m_passField->clear();
    m_confirmField->clear();
    m_errorField->clear();
    showRefusalReason(QString());
    static_cast<QDialog *>(m_userAddPanel.data())->open();
    m_userField->setFocus(Qt::OtherFocusReason);
}

void PortholdPref::editUser(QObject *) {
    if (!m_users)
        return;
    const qint32 row = m_userTable->selectedRow();
    if (row < 1 || row > m_users->dataArray().size() || !loadUserAddPanel())
        return;
    m_focusBeforeSheet = QApplication::focusWidget();
    m_editedUser = m_users->dataArray().at(row - 1).toMap();
    const QString name = PHString::stringByRemovingSurroundingWhitespace(
        m_editedUser.value(PHUsersDataSource::userKey).toString());
    m_userField->setText(name);
    m_userField->setEnabled(false);
    m_passField->clear();
    m_confirmField->clear();
    PHThemeColors::setTextMeaning(m_errorField, PHThemeColors::Meaning::Normal);
    m_errorField->setText(QStringLiteral("Please enter a new password for %1").arg(name));
    showRefusalReason(QString());
    static_cast<QDialog *>(m_userAddPanel.data())->open();
    m_passField->setFocus(Qt::OtherFocusReason);
}

void PortholdPref::endNewUser(QObject *sender) {
    if (!m_users || !m_userAddPanel)
        return;
    const QString name = PHString::stringByRemovingSurroundingWhitespace(m_userField->text());
    const bool isNew = m_userField->isEnabled();
    const QString password = m_passField->text();
    const auto refuse = [this, &name](const QString &message) {
        PHThemeColors::setTextMeaning(m_errorField, PHThemeColors::Meaning::Negative);
        m_errorField->setText(message);
        // The reserved name's refusal does not say what is wrong with it.
        const bool reserved = name.compare(PHUsersDataSource::placeholderName, Qt::CaseInsensitive) == 0 &&
                              message.startsWith(QLatin1String("Invalid username"));
        showRefusalReason(reserved ? QStringLiteral("\"%1\" is reserved: Porthold requires it in the access "
                                                    "files of folders that nobody may open yet, so a user of "
                                                    "that name would get into them.")
                                         .arg(PHUsersDataSource::placeholderName)
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
    const QString hash = PHUsersDataSource::encryptPassword(password);
    if (hash.isNull())
        return refuse(PHEditRules::unusablePasswordText());

    QVariantList &records = m_users->dataArray();
    records.append(PHUsersDataSource::userRecord(name, hash));
    if (PHUserDefaults::standardUserDefaults()->boolForKey(PHSettings::Key::SortUsers))
        m_users->sortByUsername();
    // A new password replaces the old record, which a stable sort keeps in
    // front of the new one. As a replacement it keeps the user's groups.
    const qsizetype old = isNew ? -1 : records.indexOf(QVariant(m_editedUser));
    if (old >= 0)
        m_users->removeRecord(old, PHUsersDataSource::Removal::Replaced);
    else
        m_users->writeUserfile();
    m_userTable->reloadData();
    // The user whose password changed stays selected, wherever the sort put it.
    if (!isNew)
        for (qsizetype index = 0; index < records.size(); ++index)
            if (PHString::stringByRemovingSurroundingWhitespace(
                    records.at(index).toMap().value(PHUsersDataSource::userKey).toString()) == name) {
                m_userTable->selectRowByExtendingSelection(qint32(index) + 1, false);
                break;
            }
    closeNewUser(sender);
    m_errorField->clear();
    userClick(m_userTable);
}

void PortholdPref::closeNewUser(QObject *) {
    m_editedUser.clear();
    m_acknowledgedRequiredName.clear();
    if (!m_userAddPanel)
        return;
    // Passwords do not stay in a hidden window.
    m_passField->clear();
    m_confirmField->clear();
    m_userAddPanel->hide();
    // The keyboard goes back where it was before the sheet, not to whatever
    // the window offers next.
    if (m_focusBeforeSheet && m_focusBeforeSheet->isVisible() && m_focusBeforeSheet->isEnabled())
        m_focusBeforeSheet->setFocus(Qt::OtherFocusReason);
    m_focusBeforeSheet.clear();
}

// ----- Groups -----

void PortholdPref::addGroup(QObject *) {
    if (!m_groups)
        return;
    const PHUserItem::Ptr group = m_groups->addNewGroup(m_groups->newGroupName());
    m_groupOutline->reloadData();
    // Selected alone and opened for typing, so it can be named at once.
    if (m_groupOutline->selectIndex(m_groups->indexForNode(group.get()), false))
        m_groupOutline->editCell(
            m_groups->indexForNode(group.get(), m_groupOutline->columnForIdentifier(kGroupColumn)));
    groupClick(m_groupOutline);
}

// ----- Deleting -----

void PortholdPref::deleteUser(QObject *) {
    if (!m_users)
        return;
    const qint32 row = m_userTable->selectedRow();
    if (row < 1 || row > m_users->dataArray().size())
        return; // "Any Valid User" or nothing selected
    const QVariantMap user = m_users->dataArray().at(row - 1).toMap();
    if (!PHUserDefaults::standardUserDefaults()->boolForKey(PHSettings::Key::UserDeleteDialog)) {
        deleteUserReturnCodeContextInfo(PHAlertSheet::Default, user);
        return;
    }
    const QString name =
        PHString::stringByRemovingSurroundingWhitespace(user.value(PHUsersDataSource::userKey).toString());
    PHAlertSheet::Request request =
        deletePrompt(QStringLiteral("Delete User"), QStringLiteral("delete the user \"%1\"").arg(name),
                     grantsNotice(name, grantingFolders(name, PHAccessGrants::Kind::User)));
    request.context = QStringLiteral("deleteUser:");
    QPointer<PortholdPref> self(this);
    PHAlertSheet::begin(m_window, request, [self, user](int returnCode) {
        if (self)
            self->deleteUserReturnCodeContextInfo(returnCode, user);
    });
}

void PortholdPref::deleteUserReturnCodeContextInfo(int returnCode, const QVariantMap &user) {
    if (returnCode == PHAlertSheet::Alternate) {
        m_options->setAskBeforeDeletingUsers(false);
    } else if (returnCode != PHAlertSheet::Default) {
        return;
    }
    if (!m_users)
        return;
    // The record asked about, wherever it is now.
    const qsizetype index = m_users->dataArray().indexOf(QVariant(user));
    if (index < 0)
        return;
    // Found while the name is still a user; taken out only once the user file
    // no longer holds it, so a failed save leaves every folder as it was.
    const QString name =
        PHString::stringByRemovingSurroundingWhitespace(user.value(PHUsersDataSource::userKey).toString());
    const QList<PHAccessGrants::Folder> folders = grantingFolders(name, PHAccessGrants::Kind::User);
    if (m_users->removeRecord(index, PHUsersDataSource::Removal::Deleted))
        removeGrants(folders, name, PHAccessGrants::Kind::User);
    userClick(m_userTable);
}

QList<PHAccessGrants::Folder> PortholdPref::grantingFolders(const QString &name, PHAccessGrants::Kind kind) {
    return m_files ? PHAccessGrants::foldersRequiring(m_files->rootItem(), name, kind)
                   : QList<PHAccessGrants::Folder>();
}

void PortholdPref::removeGrants(const QList<PHAccessGrants::Folder> &folders, const QString &name,
                                PHAccessGrants::Kind kind) {
    if (folders.isEmpty())
        return;
    const PHAccessGrants::Removal removal = PHAccessGrants::removeName(folders, name, kind);
    if (!removal.changed.isEmpty())
        Log::write(QStringLiteral("\"%1\" was removed from the access files of %2")
                       .arg(name, removal.changed.join(QStringLiteral(", "))));
    // The folder shown may be one of them.
    webOutlineClick(m_webDirOutline);
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

PHUserItem::Ptr PortholdPref::selectedGroupItem() const {
    if (!m_groups)
        return nullptr;
    PHUserItem *selected = m_groups->nodeForIndex(m_groupOutline->selectedIndex());
    return selected ? selected->shared_from_this() : nullptr;
}

void PortholdPref::deleteGroup(QObject *) {
    const PHUserItem::Ptr item = selectedGroupItem();
    if (!item)
        return;
    if (!PHUserDefaults::standardUserDefaults()->boolForKey(PHSettings::Key::GroupDeleteDialog)) {
        deleteGroupReturnCodeContextInfo(PHAlertSheet::Default, item);
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
    request.context = QStringLiteral("deleteGroup:");
    QPointer<PortholdPref> self(this);
    PHAlertSheet::begin(m_window, request, [self, item](int returnCode) {
        if (self)
            self->deleteGroupReturnCodeContextInfo(returnCode, item);
    });
}

void PortholdPref::deleteGroupReturnCodeContextInfo(int returnCode, const PHUserItem::Ptr &item) {
    if (returnCode == PHAlertSheet::Alternate) {
        m_options->setAskBeforeDeletingGroups(false);
    } else if (returnCode != PHAlertSheet::Default) {
        return;
    }
    // A node of a tree read again since the question is not in this one: the
    // data source refuses it.
    if (m_groups && item) {
        const bool isGroup = item->hasChildren() && item->parent() && !item->parent()->parent();
        const QString name = item->value();
        const QList<PHAccessGrants::Folder> folders =
            isGroup ? grantingFolders(name, PHAccessGrants::Kind::Group) : QList<PHAccessGrants::Folder>();
        if (m_groups->removeItem(item.get()))
            removeGrants(folders, name, PHAccessGrants::Kind::Group);
    }
    groupClick(m_groupOutline);
}
