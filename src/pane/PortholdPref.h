#pragma once

#include "core/NotificationCenter.h"
#include "core/PHErrorReporter.h"
#include "model/PHModelContext.h"
#include "pane/PHAboutTab.h"
#include "pane/PHBundle.h"
#include "pane/PHFoldersTab.h"
#include "pane/PHOptionsTab.h"
#include "pane/PHServerTab.h"
#include "platform/PHMessageLine.h"
#include "platform/PHPanelPlugin.h"
#include "support/PHExtensions.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTabWidget>
#include <QWidget>

#include <utility>

/// The settings panel: it loads the panel's layout, builds its tabs (Folders,
/// Options, the server's and About), shows their news in one line, and is
/// what the host and the model talk to (the plug-in interface, and what the
/// model and the views ask, handed to them as a PHModelContext), each
/// answered by the tab concerned.
class PortholdPref : public QObject,
                     public PHPreferencePane,
                     public PHKnownNames,
                     public PHLocations,
                     public PHErrorReporter,
                     public PHFolderSelection,
                     public PHManualEditGuard {
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
    PHFoldersTab *folders() const { return m_folders; }
    PHOptionsTab *options() const { return m_options; }
    PHServerTab *server() const { return m_server; }
    PHAboutTab *about() const { return m_about; }
    PHFolderModel *files() const { return m_folders ? m_folders->protection()->files() : nullptr; }
    PHUsersModel *users() const { return m_folders ? m_folders->usersAndGroups()->users() : nullptr; }
    PHGroupsModel *groups() const { return m_folders ? m_folders->usersAndGroups()->groups() : nullptr; }
    /// The panel's line of news (results of edits and refusals).
    PHMessageLine *messageLine() const { return m_messageLine; }
    void showMessage(PHThemeColors::Meaning meaning, const QString &text);
    const QStringList &errors() const { return m_errors; }
    /// Shows what is stored in every tab.
    void load();

    // Host lifecycle.
    QWidget *loadMainView(QWidget *window) override;
    void didSelect() override;
    UnselectReply shouldUnselect() override;
    void didUnselect() override;
    void setShouldUnselectReply(ShouldUnselectReply reply) override { m_unselectReply = std::move(reply); }

    // What the model and the views ask of the panel.
    PHModelContext modelContext();
    QStringList userNames() override;
    QStringList groupNames() override;
    QStringList &addresses() override;
    bool discoversAddresses() override;
    void replaceKnownAddress(qint32 index, const QString &address) override;
    QString location(PHWebRoot::PathKind kind) override;
    QString serverLocation(PHWebRoot::PathKind kind) override;
    void displayError(qint32 code, const QString &detail = QString()) override;
    PHFSItem *selectedItem() override;
    bool hasUnsavedEdits() const override;
    void askAboutUnsavedEdits(const DeferredAction &action) override;

private:
    /// Finds the layout's widgets; false (and the missing names logged) when
    /// one is not there.
    bool findLayoutWidgets();
    void setUpLayout();
    void setUpTabs();
    void wireTabs();
    void observeChanges();

    PHBundle m_bundle;
    PHApplication::Information m_previousInformation;
    QStringList m_errors;
    /// Addresses asked for before the Folders tab exists.
    QStringList m_noAddresses;
    ShouldUnselectReply m_unselectReply;
    ObserverRegistration m_accessObserver;
    ObserverRegistration m_settingsObserver;
    ObserverRegistration m_savedObserver;
    ObserverRegistration m_userFileObserver;
    ObserverRegistration m_groupFileObserver;
    ObserverRegistration m_refusalObserver;

    QPointer<QWidget> m_window;
    QPointer<QWidget> m_mainView;
    QPointer<QTabWidget> m_tabs;
    QPointer<PHMessageLine> m_messageLine;

    QPointer<PHFoldersTab> m_folders;
    QPointer<PHOptionsTab> m_options;
    QPointer<PHServerTab> m_server;
    QPointer<PHAboutTab> m_about;
};
