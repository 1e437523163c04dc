// User and group editing: the sheet that adds a user or gives one a new
// password, new groups, deleting users, groups and memberships with their
// confirmations, and the wiring of the users' and groups' buttons.

#include "pane/PortholdPref.h"

#include "model/PHGroupsDataSource.h"
#include "model/PHUsersDataSource.h"
#include "pane/PHGroupFileModule.h"
#include "platform/Log.h"
#include "platform/PHAction.h"
#include "platform/PHAlertSheet.h"
#include "support/PHExtensions.h"
#include "support/PHUserDefaults.h"
#include "views/PHOutlineView.h"
#include "views/PHTableView.h"
#include "views/PHUiLoader.h"

#include <QAbstractButton>
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
// Names that would break the user file or an access file line.
const QString kUnacceptableUserName =
    QStringLiteral("Usernames can only contain printable ASCII characters, and no \":\"");
const QString kUnusablePassword = QStringLiteral("This password cannot be used. Please choose another");

bool containsWhitespace(const QString &text) {
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSpace(); });
}

PHAlertSheet::Request deletePrompt(const QString &title, const QString &action) {
    PHAlertSheet::Request request;
    request.title = title;
    request.message = kConfirmation.arg(action);
    request.defaultButton = QStringLiteral("Yes");
    request.alternateButton = QStringLiteral("Don't Ask");
    request.otherButton = QStringLiteral("No");
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
    if (m_userTable) {
        // A double click opens the password sheet; names are never typed into the table.
        m_userTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
        connect(m_userTable, &PHTableView::doubleAction, this,
                [this] { PHAction::run("editUser:", [&] { editUser(m_userTable); }); });
    }
}

void PortholdPref::wireGroupsDataSource() {
    if (!m_groups)
        return;
    // The group being renamed does not count as taking its own name.
    QPointer<PHOutlineView> outline(m_groupOutline);
    m_groups->setEditedItemProvider([outline]() -> PHUserItem * {
        if (!outline || !outline->isEditing())
            return nullptr;
        return static_cast<PHUserItem *>(outline->adapter()->itemForIndex(outline->currentIndex()));
    });
    connect(m_groups, &PHGroupsDataSource::groupRequired, this,
            [this] { PHAction::run("groupRequired", [&] { warnIfGroupsUnavailable(); }); });
}

void PortholdPref::warnIfGroupsUnavailable() {
    if (m_groupModuleWarned || !PHGroupFileModule::isDisabled())
        return;
    m_groupModuleWarned = true;
    Log::write(QStringLiteral(
        "Porthold: a folder requires a group, but Apache's authz_groupfile module is not enabled"));
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

void PortholdPref::addUser(QObject *) {
    if (!m_users || !loadUserAddPanel())
        return;
    m_editedUser.clear();
    m_userField->setEnabled(true);
    m_userField->clear();
    m_passField->clear();
    m_confirmField->clear();
    m_errorField->clear();
    static_cast<QDialog *>(m_userAddPanel.data())->open();
    m_userField->setFocus(Qt::OtherFocusReason);
}

void PortholdPref::editUser(QObject *) {
    if (!m_users || !m_userTable)
        return;
    const qint32 row = m_userTable->selectedRow();
    if (row < 1 || row > m_users->dataArray().size() || !loadUserAddPanel())
        return;
    m_editedUser = m_users->dataArray().at(row - 1).toMap();
    const QString name = PHString::stringByRemovingSurroundingWhitespace(
        m_editedUser.value(PHUsersDataSource::userKey).toString());
    m_userField->setText(name);
    m_userField->setEnabled(false);
    m_passField->clear();
    m_confirmField->clear();
    m_errorField->setText(QStringLiteral("Please enter a new password for %1").arg(name));
    static_cast<QDialog *>(m_userAddPanel.data())->open();
    m_passField->setFocus(Qt::OtherFocusReason);
}

void PortholdPref::endNewUser(QObject *sender) {
    if (!m_users || !m_userAddPanel)
        return;
    const QString name = PHString::stringByRemovingSurroundingWhitespace(m_userField->text());
    const bool isNew = m_userField->isEnabled();
    const QString password = m_passField->text();
    const auto refuse = [this](const QString &message) { m_errorField->setText(message); };

    // The name first, so nobody types a password twice for a name that cannot be.
    if (isNew && m_users->containsItem(name))
        return refuse(QStringLiteral("Please choose a unique username"));
    if (containsWhitespace(name))
        return refuse(QStringLiteral("Usernames cannot contain spaces, tabs, or line returns"));
    // The user file splits each line at its first ":".
    if (isNew && !PHUsersDataSource::isAcceptableUserName(name))
        return refuse(kUnacceptableUserName);
    if (password.isEmpty())
        return refuse(QStringLiteral("You must supply a password"));
    if (password != m_confirmField->text())
        return refuse(QStringLiteral("Passwords do not match"));
    if (name.compare(PHUsersDataSource::placeholderName, Qt::CaseInsensitive) == 0)
        return refuse(QStringLiteral("Invalid username. Please choose another"));
    const QString hash = PHUsersDataSource::encryptPassword(password);
    if (hash.isNull())
        return refuse(kUnusablePassword);

    QVariantList &records = m_users->dataArray();
    records.append(PHUsersDataSource::userRecord(name, hash));
    if (PHUserDefaults::standardUserDefaults()->boolForKey(QStringLiteral("Sort Users")))
        m_users->sortByUsername();
    // A new password replaces the old record, which a stable sort keeps in
    // front of the new one. As a replacement it keeps the user's groups.
    const qsizetype old = isNew ? -1 : records.indexOf(QVariant(m_editedUser));
    if (old >= 0)
        m_users->tableViewDeleteRowReplace(m_userTable, qint32(old) + 1, true);
    else
        m_users->writeUserfile();
    if (m_userTable)
        m_userTable->reloadData();
    closeNewUser(sender);
    m_errorField->clear();
    userClick(m_userTable);
}

void PortholdPref::closeNewUser(QObject *) {
    m_editedUser.clear();
    if (!m_userAddPanel)
        return;
    // Passwords do not stay in a hidden window.
    m_passField->clear();
    m_confirmField->clear();
    m_userAddPanel->hide();
}

// ----- Groups -----

void PortholdPref::addGroup(QObject *) {
    if (!m_groups)
        return;
    const PHUserItem::Ptr group = m_groups->addNewGroup(m_groups->newGroupName());
    if (!m_groupOutline)
        return;
    m_groupOutline->reloadData();
    // Selected alone and opened for typing, so it can be named at once.
    if (m_groupOutline->selectItem(group.get(), false))
        m_groupOutline->editColumnItem(kGroupColumn, group.get());
    groupClick(m_groupOutline);
}

// ----- Deleting -----

void PortholdPref::deleteUser(QObject *) {
    if (!m_users || !m_userTable)
        return;
    const qint32 row = m_userTable->selectedRow();
    if (row < 1 || row > m_users->dataArray().size())
        return; // "Any Valid User" or nothing selected
    const QVariantMap user = m_users->dataArray().at(row - 1).toMap();
    if (!PHUserDefaults::standardUserDefaults()->boolForKey(QStringLiteral("User Delete Dialog"))) {
        deleteUserReturnCodeContextInfo(PHAlertSheet::Default, user);
        return;
    }
    const QString name =
        PHString::stringByRemovingSurroundingWhitespace(user.value(PHUsersDataSource::userKey).toString());
    PHAlertSheet::Request request =
        deletePrompt(QStringLiteral("Delete User"), QStringLiteral("delete the user \"%1\"").arg(name));
    request.context = QStringLiteral("deleteUser:");
    QPointer<PortholdPref> self(this);
    PHAlertSheet::begin(m_window, request, [self, user](int returnCode) {
        if (self)
            self->deleteUserReturnCodeContextInfo(returnCode, user);
    });
}

void PortholdPref::deleteUserReturnCodeContextInfo(int returnCode, const QVariantMap &user) {
    if (returnCode == PHAlertSheet::Alternate) {
        setShouldShowUserDeleteDialog(false);
        if (m_userDeleteCheck)
            m_userDeleteCheck->setChecked(false);
    } else if (returnCode != PHAlertSheet::Default) {
        return;
    }
    if (!m_users)
        return;
    // The record asked about, wherever it is now.
    const qsizetype index = m_users->dataArray().indexOf(QVariant(user));
    if (index < 0)
        return;
    m_users->tableViewDeleteRowReplace(m_userTable, qint32(index) + 1, false);
    userClick(m_userTable);
}

void PortholdPref::deleteGroup(QObject *) {
    if (!m_groups || !m_groupOutline)
        return;
    auto *selected = static_cast<PHUserItem *>(m_groupOutline->selectedItem());
    if (!selected)
        return;
    const PHUserItem::Ptr item = selected->shared_from_this();
    if (!PHUserDefaults::standardUserDefaults()->boolForKey(QStringLiteral("Group Delete Dialog"))) {
        deleteGroupReturnCodeContextInfo(PHAlertSheet::Default, item);
        return;
    }
    const PHUserItem::Ptr group = item->parent();
    QString action;
    if (item->hasChildren() || !group)
        action = QStringLiteral("delete the group \"%1\"").arg(item->value());
    else
        action =
            QStringLiteral("remove the user \"%1\" from the group \"%2\"").arg(item->value(), group->value());
    PHAlertSheet::Request request = deletePrompt(QStringLiteral("Delete Group"), action);
    request.context = QStringLiteral("deleteGroup:");
    QPointer<PortholdPref> self(this);
    PHAlertSheet::begin(m_window, request, [self, item](int returnCode) {
        if (self)
            self->deleteGroupReturnCodeContextInfo(returnCode, item);
    });
}

void PortholdPref::deleteGroupReturnCodeContextInfo(int returnCode, const PHUserItem::Ptr &item) {
    if (returnCode == PHAlertSheet::Alternate) {
        setShouldShowGroupDeleteDialog(false);
        if (m_groupDeleteCheck)
            m_groupDeleteCheck->setChecked(false);
    } else if (returnCode != PHAlertSheet::Default) {
        return;
    }
    // A node of a tree read again since the question is not in this one: the
    // data source refuses it.
    if (m_groups && item)
        m_groups->outlineViewDeleteRowForItem(m_groupOutline, item.get());
    groupClick(m_groupOutline);
}
