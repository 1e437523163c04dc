#pragma once

#include "core/NotificationCenter.h"
#include "pane/PHAboutTab.h"
#include "pane/PHBundle.h"
#include "pane/PHEditGuard.h"
#include "pane/PHOptionsTab.h"
#include "pane/PHServerTab.h"
#include "platform/PHMessageLine.h"
#include "platform/PHPanelPlugin.h"

#include "core/PHErrorReporter.h"
#include "model/PHAccessCheck.h"
#include "model/PHAccessGrants.h"
#include "model/PHFSItem.h"
#include "model/PHGroupsDataSource.h"
#include "model/PHModelContext.h"
#include "model/PHUsersDataSource.h"
#include "support/PHExtensions.h"
#include "views/PHAddressDataSource.h"
#include "views/PHFSDataSource.h"
#include "views/PHOutlineView.h"
#include "views/PHTableView.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QSplitter>
#include <QStringList>
#include <QTabWidget>
#include <QTextBrowser>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <utility>

/// The settings panel's controller. It loads the panel's layout, owns the
/// folder, user and group data sources, the server tab and the update
/// display, keeps the selected folder and the unsaved-manual-edit flag, maps
/// the option check boxes onto settings, and answers what the model and the
/// views ask of the panel (known names, locations, errors, the selected
/// folder, the manual editor's guard), handed to each as a PHModelContext.
///
/// Operations that would replace the folder tree, the selected folder or its
/// access state wait behind a save prompt while the manual editor holds
/// unsaved edits (`presentManualEditingErrorWithInvocation`).
class PortholdPref : public QObject,
                     public PHPreferencePane,
                     public PHKnownNames,
                     public PHLocations,
                     public PHErrorReporter,
                     public PHFolderSelection,
                     public PHManualEditGuard,
                     public PHEditGuard {
    Q_OBJECT
public:
    /// The settings the panel registers, in registration order.
    static QList<std::pair<QString, QVariant>> settingsTable();
    /// Sets the settings store's identifier to the bundle's and registers the
    /// settings table (once per identifier and process).
    static void initialize(const QString &bundleIdentifier);

    /// Made with its bundle folder, whose information record names the program.
    explicit PortholdPref(const QString &bundlePath, QObject *parent = nullptr);
    ~PortholdPref() override;

    const PHBundle &bundle() const { return m_bundle; }
    QWidget *mainView() const { return m_mainView; }
    QWidget *window() const { return m_window; }
    PHOptionsTab *options() const { return m_options; }
    PHServerTab *server() const { return m_server; }
    PHAboutTab *about() const { return m_about; }
    PHFSDataSource *files() const { return m_files; }
    PHUsersDataSource *users() const { return m_users; }
    PHGroupsDataSource *groups() const { return m_groups; }
    /// The panel's line of news (results of edits and refusals).
    PHMessageLine *messageLine() const;
    void showMessage(PHThemeColors::Meaning meaning, const QString &text);
    const QStringList &errors() const { return m_errors; }

    // Host lifecycle.
    QWidget *loadMainView(QWidget *window) override;
    void didSelect() override;
    UnselectReply shouldUnselect() override;
    void didUnselect() override;
    void setShouldUnselectReply(ShouldUnselectReply reply) override { m_unselectReply = std::move(reply); }
    void replyToShouldUnselect(bool mayUnselect);

    // Start-up and wiring.
    /// Finds the layout's widgets; false (and the missing names logged) when
    /// one is not there.
    bool findLayoutWidgets();
    void awakeFromNib();
    void setTables();
    void reloadUsersAndGroups();
    /// Shows what is stored in every tab.
    void load();

    // What the model and the views ask of the panel.
    PHModelContext modelContext();
    QStringList userNames() override;
    QStringList groupNames() override;
    QStringList &addresses() override { return m_addresses; }
    bool discoversAddresses() override;
    void replaceKnownAddress(qint32 index, const QString &address) override;
    QString location(PHWebRoot::PathKind kind) override;
    QString serverLocation(PHWebRoot::PathKind kind) override;
    void displayError(qint32 code, const QString &detail = QString()) override;
    PHFSItem *selectedItem() override { return m_fsItem; }
    bool hasBeenManuallyEdited() override { return m_manuallyEdited; }
    void presentManualEditingErrorWithInvocation(const DeferredAction &action) override;
    bool holdBack(const QString &name, const QObject *owner, const std::function<void()> &retry,
                  const std::function<void()> &putBack = {}) override;
    QString addressAtIndex(qint32 index);
    /// Shows the folder selected in the outline: its file, modes, addresses,
    /// users and groups.
    void webOutlineClick(QObject *sender);

    // Options.
    qint32 indexOfAddress(const QString &address) const;
    bool shouldShowDeleteDialog() const;
    void setShouldDiscoverAddresses(bool value);
    void toggleAddressDiscovery(QObject *sender);
    /// The split view's divider limits for a proposed range.
    static int splitViewConstrainMaxCoordinate(int proposedMax) { return proposedMax - 140; }
    static int splitViewConstrainMinCoordinate(int proposedMin) { return proposedMin + 70; }

    // Web root and selection.
    void setWebDirRoot(QObject *sender);
    void chooseWebDirReturnCode(const QString &path, int returnCode);
    /// False (and nothing changed) when the folder is missing or refused.
    bool setCustomWebDir(const QString &path);
    /// Adds the custom entries to the web-folder pop-up, or takes them away
    /// and roots the panel in the folder the pop-up now shows.
    void allowCustomRoots(bool allowed);
    void setStartDirectory(qint32 index);
    void webRefresh(QObject *sender);
    void revealWebDir(QObject *sender);
    void viewSelectionOnWeb(QObject *sender);
    /// Asks the running server what a visitor of the selected folder gets and
    /// shows it beside what the panel predicts.
    void checkSelectionAccess(QObject *sender);
    /// True while "Check Access" waits for the server (its button is disabled).
    bool isCheckingAccess() const { return m_checkingAccess; }
    /// True while the server is asked about a file saved by hand (Save waits).
    bool isCheckingManualSave() const { return m_checkingManualSave; }
    /// Opens a folder in the desktop's file manager, or says on the message
    /// line why it could not.
    void openFolder(const QString &path);
    /// Why folders, users and groups cannot be changed now (the web folder is
    /// missing or cannot be written), or empty.
    QString whyFoldersCannotChange();
    /// The web address `viewSelectionOnWeb` opens for a folder.
    QUrl webAddressForItem(PHFSItem *item) const;

    // Protection editing.
    void setAddressViewsForItem(PHFSItem *item);
    void changeAddressMode(QObject *sender);
    void addressClick(QObject *sender);
    void addAddress(QObject *sender);
    void removeAddress(QObject *sender);
    void addAddressesFromArray(const QStringList &list);
    void deleteAddress(const QString &address);
    void reeditAddressAfterDelay(qint32 index);
    void clearAccessPrompt(QObject *sender);
    void clearAccessReturnCode(int returnCode, PHFSItem *item);
    void showManualEditorTab(bool shown);
    void showCustomEditor(QObject *sender = nullptr);
    void textDidChange();
    /// True when the editor's text is now the folder's file; on failure the
    /// text stays, still unsaved.
    bool saveCustomEdit(QObject *sender);
    void revertCustomEdit(QObject *sender);

    // Users and groups: the buttons' state.
    void userClick(QObject *sender);
    void groupClick(QObject *sender);
    // User and group editing.
    void addUser(QObject *sender);
    void editUser(QObject *sender);
    void endNewUser(QObject *sender);
    void closeNewUser(QObject *sender);
    void addGroup(QObject *sender);
    void deleteUser(QObject *sender);
    void deleteGroup(QObject *sender);
    void deleteUserReturnCodeContextInfo(int returnCode, const QVariantMap &user);
    void deleteGroupReturnCodeContextInfo(int returnCode, const PHUserItem::Ptr &item);
    /// The add-user and new-password sheet (null until first shown).
    QWidget *userAddPanel() const { return m_userAddPanel; }

private:
    void setUpMessageLine();
    void setUpTabs();
    void manualEditorSheetDidEnd(int returnCode, const DeferredAction &action);
    void explainWebRoot();
    /// Disables what cannot work in the current web folder, with the reason.
    void applyFolderAvailability();
    /// The selected folder's effective access in words, and the warning when
    /// it refuses this computer (for the manual editor's unsaved text, what
    /// saving it would do).
    void showEffectiveAccess();
    void accessCheckDidEnd(const PHAccessCheck::Report &report, const QString &folder,
                           const QStringList &effective);
    void showAccessCheckRunning(bool running);
    void wireActions();
    void fillWebDirFolderIcons();
    void storeAddresses();
    /// The known-address list as stored.
    void reloadKnownAddresses();
    int customEntryIndex() const;
    bool loadUserAddPanel();
    void wireUsersAndGroups();
    void wireGroupsDataSource();
    void warnIfGroupsUnavailable();
    void showPasswordWarning();
    /// Below a refusal in the user sheet, why (empty: nothing more to say).
    void showRefusalReason(const QString &reason);
    QList<PHAccessGrants::Folder> grantingFolders(const QString &name, PHAccessGrants::Kind kind);
    void removeGrants(const QList<PHAccessGrants::Folder> &folders, const QString &name,
                      PHAccessGrants::Kind kind);
    void explainRefusedName(const QString &message);
    /// Context menus of the folder outline, the users table and the groups outline.
    void setUpContextMenus();
    void showFolderMenu(const QPoint &at);
    void showUserMenu(const QPoint &at);
    void showGroupMenu(const QPoint &at);
    /// The group or member selected in the groups outline, if any.
    PHUserItem::Ptr selectedGroupItem() const;
    /// The folder of the outline's selected row, or null.
    PHFSItem *selectedFolder() const;
    void addMemberToGroup(const QString &user, const PHUserItem::Ptr &group);
    /// Asks the server, on a worker, whether it can read a folder's access
    /// file just saved by hand; when it cannot, says why and offers to put
    /// `previous` back.
    void checkManualSave(PHFSItem *item, const std::optional<QString> &previous);
    void manualSaveCheckDidEnd(const PHAccessCheck::Report &report, PHFSItem *item, const QString &folder,
                               const std::optional<QString> &previous);
    void showManualSaveCheckRunning(bool running);
    void revertManualSave(PHFSItem *item, const std::optional<QString> &previous);

    PHBundle m_bundle;
    QStringList m_errors;
    QStringList m_addresses;
    bool m_manuallyEdited = false;
    bool m_promptOpen = false;
    bool m_firstSelection = true;
    ShouldUnselectReply m_unselectReply;
    ObserverRegistration m_accessObserver;
    ObserverRegistration m_settingsObserver;
    ObserverRegistration m_savedObserver;
    ObserverRegistration m_userFileObserver;
    ObserverRegistration m_groupFileObserver;
    ObserverRegistration m_refusalObserver;

    QPointer<QWidget> m_window;
    QPointer<QWidget> m_mainView;

    // Layout elements, by the names in the layout file.
    QPointer<QTabWidget> m_tabs;
    QPointer<QLabel> m_portholdStatus;
    QPointer<QLabel> m_webRootStatus;
    QPointer<PHOutlineView> m_webDirOutline;
    QPointer<QMenu> m_directoryMenu;
    QPointer<QTabWidget> m_userAddressTabs;
    QPointer<PHTableView> m_userTable;
    QPointer<QAbstractButton> m_userEditButton;
    QPointer<QAbstractButton> m_userDeleteButton;
    QPointer<PHOutlineView> m_groupOutline;
    QPointer<QAbstractButton> m_groupDeleteButton;
    QPointer<QButtonGroup> m_addressMode;
    QPointer<PHTableView> m_addressTable;
    QPointer<QAbstractButton> m_addressDeleteButton;
    QPointer<QAbstractButton> m_addressDiscoverSwitch;
    QPointer<QWidget> m_manualEditTabViewItem;
    QString m_manualEditTabTitle;
    QPointer<QPlainTextEdit> m_customViewText;
    QPointer<QAbstractButton> m_customSaveButton;
    QPointer<QAbstractButton> m_customRevertButton;
    QPointer<QComboBox> m_webDirFolder;
    QPointer<QSplitter> m_splitView;
    // The user sheet.
    QPointer<QWidget> m_userAddPanel;
    QPointer<QLineEdit> m_userField;
    QPointer<PHMessageLine> m_messageLine;
    QPointer<QLineEdit> m_passField;
    QPointer<QLineEdit> m_confirmField;
    QPointer<QLabel> m_errorField;
    QPointer<QLabel> m_passwordWarningField;
    /// A new user's name the sheet has already said is still required somewhere.
    QString m_acknowledgedRequiredName;
    QVariantMap m_editedUser;             // the record whose password the sheet replaces
    QPointer<QWidget> m_focusBeforeSheet; // given the keyboard back when the user sheet closes
    bool m_groupModuleWarned = false;
    bool m_checkingAccess = false;
    bool m_checkingManualSave = false;

    // Owned parts (children of this object).
    QPointer<PHOptionsTab> m_options;
    QPointer<PHServerTab> m_server;
    QPointer<PHAboutTab> m_about;
    QPointer<PHFSDataSource> m_files;
    QPointer<PHUsersDataSource> m_users;
    QPointer<PHGroupsDataSource> m_groups;
    QPointer<PHAddressDataSource> m_addressSource;
    QPointer<PHFSItem> m_fsItem;
    PHApplication::Information m_previousInformation;
};
