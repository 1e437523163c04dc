#pragma once

#include "pane/PHAddressesPart.h"
#include "pane/PHFolderProtection.h"
#include "pane/PHManualEditor.h"
#include "pane/PHUsersAndGroups.h"
#include "pane/PHWebRootPart.h"
#include "platform/PHThemeColors.h"

#include <QObject>
#include <QPointer>

class PHBundle;
class PHMessageLine;

/// The Folders tab: the web folder and its outline, and beside the outline
/// the selected folder's users and groups, addresses and manual editor. It
/// builds its parts from the layout and wires them to one another.
class PHFoldersTab : public QObject {
    Q_OBJECT
public:
    /// What the tab asks of the rest of the panel.
    struct Services {
        QWidget *window = nullptr; // parent of the sheets
        PHMessageLine *messageLine = nullptr;
        std::function<QString()> serverErrorLog;
        std::function<std::optional<bool>()> groupModuleLoaded;
        PHModelContext context;
    };

    /// Finds its widgets below `view` (the layout's names).
    PHFoldersTab(QWidget *view, const PHBundle &bundle, const Services &services, QObject *parent = nullptr);

    PHWebRootPart *webRoot() const { return m_webRoot; }
    PHFolderProtection *protection() const { return m_protection; }
    PHAddressesPart *addresses() const { return m_addresses; }
    PHUsersAndGroups *usersAndGroups() const { return m_usersAndGroups; }
    PHManualEditor *editor() const { return m_editor; }

    /// Reads the user and group files, the known addresses and the folders
    /// (in that order: folders are read against the others), once.
    void setUp();
    /// Shows the stored web folder.
    void load();
    void didSelect();
    void didUnselect();
    /// A folder's access file changed: shown again, unless the editor holds
    /// unsaved edits.
    void accessFileChanged();
    /// Reads the web folder's files again (asks first about unsaved edits).
    void refresh();
    /// Opens the selected folder (or the web folder) in the file manager.
    void reveal();

signals:
    void errorShown(qint32 code);
    void messageShown(PHThemeColors::Meaning meaning, const QString &text);

private:
    void rootChanged();
    /// Says what cannot work in the current web folder, and disables it.
    void explainWebRoot();

    QPointer<PHManualEditor> m_editor;
    QPointer<PHWebRootPart> m_webRoot;
    QPointer<PHFolderProtection> m_protection;
    QPointer<PHAddressesPart> m_addresses;
    QPointer<PHUsersAndGroups> m_usersAndGroups;
    bool m_setUp = false;
};
