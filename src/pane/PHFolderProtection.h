#pragma once

#include "model/PHAccessCheck.h"
#include "model/PHFSItem.h"
#include "model/PHModelContext.h"
#include "platform/PHThemeColors.h"
#include "views/PHFolderModel.h"
#include "views/PHOutlineView.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class PHManualEditor;
class PHWebRootPart;
class QAbstractButton;
class QLabel;
class QMenu;

/// The folder outline and what acts on the selected folder: its protection
/// pop-up and context menu, clearing its access file, its effective access
/// in words, opening it on the web, and asking the running server what a
/// visitor gets there.
class PHFolderProtection : public QObject {
    Q_OBJECT
public:
    struct Widgets {
        QWidget *window = nullptr; // parent of the sheets
        PHOutlineView *outline = nullptr;
        QMenu *modeMenu = nullptr; // the protection pop-up of each row
        QAbstractButton *viewOnWeb = nullptr;
        QAbstractButton *checkAccess = nullptr;
        QWidget *checkAccessProgress = nullptr;
        QLabel *effectiveAccess = nullptr;
        QLabel *thisComputerWarning = nullptr;
    };

    PHFolderProtection(const Widgets &widgets, const PHModelContext &context, const QString &bundlePath,
                       PHWebRootPart *webRoot, PHManualEditor *editor,
                       std::function<QString()> serverErrorLog, QObject *parent = nullptr);

    PHFolderModel *files() const { return m_files; }
    PHFSItem *selectedFolder() const { return m_folder; }
    /// True while "Check Access" waits for the server (its button is disabled).
    bool isCheckingAccess() const { return m_checkingAccess; }

    /// The outline over the web folder, with its columns.
    void setUp();
    /// Lists the web folder again; nothing of the old tree stays selected.
    void reroot();
    /// The outline's selection becomes the selected folder (ignored while
    /// the manual editor holds unsaved edits).
    void select();
    /// A folder's row and the selection shown again after its file changed.
    void folderChanged(PHFSItem *item);
    /// Refuses changes with the reason (empty: changes are allowed).
    void setChangeRefusal(const QString &refusal);
    /// The selected folder's effective access in words, and the warning when
    /// it refuses this computer (for the manual editor's unsaved text, what
    /// saving it would do).
    void showEffectiveAccess();
    void viewOnWeb();
    /// Asks the running server what a visitor of the selected folder gets and
    /// shows it beside what the panel predicts.
    void checkAccess();
    /// Asks, unless told not to, before removing the selected folder's protection.
    void askToClear();

signals:
    /// Another folder (or none) is selected, or the selected one changed.
    void folderSelected(PHFSItem *item);
    /// "Don't Ask" in the clearing question.
    void stopAskingBeforeClearing();
    void messageShown(PHThemeColors::Meaning meaning, const QString &text);

private:
    /// The folder of the outline's selected row, or null.
    PHFSItem *outlineFolder() const;
    void clearAnswered(int answer, PHFSItem *item);
    void showAccessCheckRunning(bool running);
    void accessCheckEnded(const PHAccessCheck::Report &report, const QString &folder,
                          const QStringList &effective);
    void showMenu(const QPoint &at);

    PHModelContext m_context;
    QString m_bundlePath;
    PHWebRootPart *m_webRoot;
    PHManualEditor *m_editor;
    std::function<QString()> m_serverErrorLog;
    QPointer<QWidget> m_window;
    QPointer<PHOutlineView> m_outline;
    QPointer<QMenu> m_modeMenu;
    QPointer<QAbstractButton> m_checkAccess;
    QPointer<QWidget> m_checkAccessProgress;
    QPointer<QLabel> m_effectiveAccess;
    QPointer<QLabel> m_thisComputerWarning;
    QPointer<PHFolderModel> m_files;
    PHFSItemPointer m_folder;
    bool m_checkingAccess = false;
};
