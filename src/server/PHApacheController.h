#pragma once

#include "model/PHModelContext.h"
#include "platform/PHAuthorizationLock.h"
#include "platform/PHThemeColors.h"
#include "server/PHConfParser.h"
#include "server/PHRepairPlan.h"
#include "server/PHServerLogs.h"
#include "server/PHServerProcess.h"
#include "support/posix/PHErrorCode.h"

#include <QColor>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QFile;
class QGroupBox;
class QIODevice;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QWidget;
class PHLogWindow;
class PHMessageLine;

/// The server tab: finds the web server's configuration and logs, repairs the
/// configuration so per-folder access files are honoured, starts, stops,
/// restarts and tests the server, shows whether it runs, and runs the
/// privileged helper tool "Sentrel" with the user's authorization.
///
/// The panel creates one with its window, adds `tabViewItem()` to its tabs
/// (when it loaded), hands it the status line (`setStatusDisplay`), and calls
/// `enable` when the panel is shown and `disable` when it is left.
class PHApacheController : public QObject {
    Q_OBJECT
public:
    /// Result codes of the panel's own, beyond those of the tool.
    enum ResultCode : qint32 {
        kToolMissing = PHError::ToolMissing,           ///< the bundle holds no "Sentrel"
        kNoExternalForm = PHError::NotPrivileged,      ///< no authorization to hand the tool
        kFileMissing = PHError::ConfFileMissing,       ///< nothing at the configuration path
        kAuthorizationFailed = PHError::NotAuthorized, ///< pkexec did not run the tool as root (polkit said
                                                       ///< no, or the authentication was dismissed)
        kFileUnacceptable =
            PHError::ConfFileUnacceptable, ///< the configuration is empty, unreadable or not decodable
        kTempFileWriteFailed =
            PHError::TempFileWriteFailed, ///< the repaired text could not be written out completely
    };

    /// Loads the tab layout "ApacheControl" from the resources of the bundle
    /// at `bundlePath`, whose "Sentrel" is the tool. Without the layout the
    /// controller works but has no tab (`tabViewItem()` is null). The
    /// context's locations name the web root that repairs open up; errors go
    /// to its reporter.
    PHApacheController(QWidget *window, const PHModelContext &context, const QString &bundlePath,
                       QObject *parent = nullptr);
    ~PHApacheController() override;

    // The panel's side.
    QWidget *tabViewItem() const;
    void setStatusDisplay(QLabel *field);
    void enable();
    void disable();

    // Configuration location, logs and repair.
    void getApacheConfFile();
    QString httpdConfRoot() const { return m_confFileDir; }
    QString httpdConfFile() const;
    QString userConfFile() const;
    /// The logs the configuration names, listed in the tab's picker.
    PHServerLogs *logList() const { return m_logList; }
    /// One line a repair changes: its number, the block it is in, and the
    /// line before and after.
    using RepairChange = PHRepairChange;
    /// What a repair changes so that the server reads the access files of
    /// the web folder (PHRepairPlan: only the section that governs it).
    PHRepairPlan repairPlan() const;
    /// The web folder the repair is for: as the server names it, and with
    /// links resolved.
    QStringList repairWebFolders() const;
    /// Writes the configuration at `path` with the plan's edits for that file
    /// applied; true when a line changed. Unchanged lines keep their bytes;
    /// changed ones are encoded as the file was. `*error` gets 0, 9
    /// (unreadable or undecodable: nothing written) or 15 (a write failed).
    /// `*changes`, when given, gets every line changed.
    bool grepFileWriteTo(const QString &path, QIODevice &handle, qint32 *error = nullptr,
                         QList<RepairChange> *changes = nullptr);
    /// What a repair would change, file by file (files with nothing to
    /// change are left out).
    QList<std::pair<QString, QList<RepairChange>>> repairPreview();
    qint32 repairConfFile(const QString &path);
    /// The repair button: lists the blocks a repair changes and where the
    /// backups go, and repairs once that is confirmed.
    void confirmRepair();
    void sentrel();
    void sentrelCheck();

    // Server control and status.
    static const QStringList validCommands;
    void apachectl(const QString &command);
    void checkApacheStatus();
    void setApacheState(qint32 state);
    bool isApacheRunning() const { return m_isApacheRunning; }
    bool isGraceful() const { return m_isGraceful; }
    bool errorPanelIsVisible() const { return m_errorPanelIsVisible; }
    void showErrorPanel(bool show);
    /// The names of all running processes (the kernel's short names).
    static QStringList allProcessNames();
    /// The server this tab controls: its program, configuration and PidFile
    /// (found again when the settings change and before every command).
    const PHServerProcess &server();
    /// Whether that server runs now, from its PidFile and the process behind it.
    bool isServerRunningNow();
    /// The meaning (and so the theme's colour) of a status ("no apache", "config success", ...).
    /// The tab's line of news: results of the server commands and the repair.
    PHMessageLine *messageLine() const;
    /// Reads the server's program, configuration and log settings again (after
    /// they changed in Options): the configuration, the logs and the status.
    void reloadServerSettings();

    // Actions of the tab's controls.
    void toggleApache();
    void resetApache();
    /// Restarts gracefully (the switch) or not, remembered in the settings.
    void setGraceful(bool graceful);
    void checkApacheConfig();

    // Privileged execution.
    QString helperPath() const { return m_helperPath; }
    qint32 sentrelWithArgs(const QStringList &arguments);
    /// Seconds after an authorization at which the padlock locks again.
    static constexpr int kDeauthorizeSeconds = 270;
    PHAuthorizationLock *authView() const { return m_authView; }

    /// The control script the configuration test runs (the build's, by
    /// default; tests point it at a script of their own).
    QString controlScriptPath() const { return m_controlScript; }
    void setControlScriptPath(const QString &path) { m_controlScript = path; }
    /// The timers, for tests: the repeating status check and the deauthorization.
    QTimer *statusTimer() const { return m_apacheT; }
    QTimer *authTimer() const { return m_authTimer; }

private:
    /// Why the server's commands are off: the padlock is locked, or the server stopped.
    static QString lockedReason();
    static QString notRunningReason();
    void loadInterface();
    void setUpControls();
    void setUpAuthorization();
    /// The padlock opened: the commands are on, and it locks again after a while.
    void padlockUnlocked();
    void padlockLocked();
    /// Empties the log list and finds the logs again.
    void relistLogs();
    /// Runs the configuration test; the exit status and the error text.
    std::pair<int, QString> runConfigTest();
    bool isAuthorized() const;
    void reportCommandResult(const QString &command, qint32 result, bool wasRunning);
    void showMessage(PHThemeColors::Meaning meaning, const QString &text);

    PHModelContext m_context;
    QString m_bundlePath;
    QPointer<QWidget> m_window;
    QStringList m_validCommands;
    QHash<QString, PHThemeColors::Meaning> m_colors;
    bool m_isApacheRunning = false;
    bool m_isGraceful = true;
    bool m_errorPanelIsVisible = false;
    QString m_controlScript;

    QString m_confFileDir;
    QString m_confFileName;
    std::optional<PHServerProcess> m_server;

    QString m_helperPath;

    QTimer *m_apacheT = nullptr;
    QTimer *m_authTimer = nullptr;

    // The tab and its named elements (owned by the tab, which the panel's tab
    // widget owns once added; guarded in case it goes first).
    QPointer<QWidget> m_apacheTab;
    QPointer<QLabel> m_apacheStatus;
    QPointer<QGroupBox> m_apachectlBox;
    QPointer<QGroupBox> m_logBox;
    QPointer<QGroupBox> m_sentrelBox;
    QPointer<QPushButton> m_toggleButton;
    QPointer<QPushButton> m_restartButton;
    QPointer<QCheckBox> m_gracefulSwitch;
    QPointer<QPushButton> m_configCheckButton;
    QPointer<QLabel> m_configCheckStatus;
    QPointer<QPlainTextEdit> m_configErrorView;
    QPointer<QWidget> m_configScrollView;
    QPointer<QPushButton> m_sentrelButton;
    QPointer<PHAuthorizationLock> m_authView;
    int m_apachectlBoxHeight = 0;
    QPointer<QLabel> m_serverProblem;
    QPointer<PHServerLogs> m_logList;
    QPointer<PHMessageLine> m_messageLine;
    bool m_toolRan = false; // whether the last sentrelWithArgs reached the tool
};
