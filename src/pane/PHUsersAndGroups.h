#pragma once

#include "model/PHAccessGrants.h"
#include "model/PHGroupsModel.h"
#include "model/PHModelContext.h"
#include "model/PHUserItem.h"
#include "model/PHUsersModel.h"
#include "platform/PHThemeColors.h"
#include "views/PHOutlineView.h"
#include "views/PHTableView.h"

#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QVariantMap>

#include <functional>
#include <optional>

class PHBundle;
class QAbstractButton;

/// The users table and the groups outline of a web folder: the sheet that
/// adds a user or gives one a new password, new groups, deleting users,
/// groups and memberships with their questions (and the access files that
/// still name them), the context menus, and the buttons' state.
class PHUsersAndGroups : public QObject {
    Q_OBJECT
public:
    struct Widgets {
        QWidget *window = nullptr; // parent of the sheets
        PHTableView *userTable = nullptr;
        QAbstractButton *userAdd = nullptr;
        QAbstractButton *userEdit = nullptr;
        QAbstractButton *userDelete = nullptr;
        PHOutlineView *groupOutline = nullptr;
        QAbstractButton *groupAdd = nullptr;
        QAbstractButton *groupDelete = nullptr;
    };
    /// What the part asks of the rest of the panel.
    struct Services {
        /// The folder tree whose access files may name users and groups.
        std::function<PHFSItem *()> folderTree;
        /// Whether the managed server loads the group module (nothing: unknown).
        std::function<std::optional<bool>()> groupModuleLoaded;
        PHModelContext context;
    };

    PHUsersAndGroups(const Widgets &widgets, const PHBundle &bundle, Services services,
                     QObject *parent = nullptr);

    PHUsersModel *users() const { return m_users; }
    PHGroupsModel *groups() const { return m_groups; }
    QStringList userNames() const;
    QStringList groupNames() const;
    /// The add-user and new-password sheet (null until first shown).
    QWidget *userSheet() const { return m_sheet; }

    /// The table's and the outline's columns.
    void setUp();
    /// Reads the web folder's user and group files again.
    void reload();
    /// The selected folder changed: its ticks are shown again.
    void folderChanged();
    /// The buttons that act on the selection follow it.
    void updateButtons();
    /// Refuses new users and groups with the reason (empty: allowed).
    void setChangeRefusal(const QString &refusal);
    /// Leaving writes the lists back, but never creates files for empty lists.
    void writeBack();
    void userWasDeleted(const QString &name);
    /// Sorts the users or the groups now.
    void sortUsers();
    void sortGroups();
    /// The password scheme changed: the sheet says again what it keeps.
    void showPasswordWarning();

    void addUser();
    void editUser();
    void closeUserSheet();
    void addGroup();
    void deleteUser();
    void deleteGroup();

signals:
    /// Access files were rewritten: the selected folder is shown again.
    void foldersChanged();
    /// "Don't Ask" in the questions before deleting.
    void stopAskingBeforeDeletingUsers();
    void stopAskingBeforeDeletingGroups();
    void messageShown(PHThemeColors::Meaning meaning, const QString &text);

private:
    void userSelectionChanged();
    void groupSelectionChanged();
    bool loadUserSheet();
    void endUserSheet();
    void showRefusalReason(const QString &reason);
    void wireGroups();
    void warnIfGroupsUnavailable();
    void explainRefusedName(const QString &message);
    void deleteUserAnswered(int answer, const QVariantMap &user);
    void deleteGroupAnswered(int answer, const PHUserItem::Ptr &item);
    QList<PHAccessGrants::Folder> grantingFolders(const QString &name, PHAccessGrants::Kind kind) const;
    void removeGrants(const QList<PHAccessGrants::Folder> &folders, const QString &name,
                      PHAccessGrants::Kind kind);
    PHUserItem::Ptr selectedGroupItem() const;
    void addMemberToGroup(const QString &user, const PHUserItem::Ptr &group);
    void showUserMenu(const QPoint &at);
    void showGroupMenu(const QPoint &at);

    const PHBundle &m_bundle;
    Services m_services;
    QPointer<QWidget> m_window;
    QPointer<PHTableView> m_userTable;
    QPointer<QAbstractButton> m_userAdd;
    QPointer<QAbstractButton> m_userEdit;
    QPointer<QAbstractButton> m_userDelete;
    QPointer<PHOutlineView> m_groupOutline;
    QPointer<QAbstractButton> m_groupAdd;
    QPointer<QAbstractButton> m_groupDelete;
    QPointer<PHUsersModel> m_users;
    QPointer<PHGroupsModel> m_groups;
    // The user sheet.
    QPointer<QWidget> m_sheet;
    QPointer<QLineEdit> m_userField;
    QPointer<QLineEdit> m_passField;
    QPointer<QLineEdit> m_confirmField;
    QPointer<QLabel> m_errorField;
    QPointer<QLabel> m_passwordWarningField;
    /// A new user's name the sheet has already said is still required somewhere.
    QString m_acknowledgedRequiredName;
    QVariantMap m_editedUser;             // the record whose password the sheet replaces
    QPointer<QWidget> m_focusBeforeSheet; // given the keyboard back when the sheet closes
    bool m_groupModuleWarned = false;
};
