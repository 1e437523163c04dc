#pragma once

#include "core/NotificationCenter.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class PHListModel;
class QAbstractButton;
class QLabel;
class QProgressBar;
class QTableView;
class QTextEdit;
class QWidget;

/// Asks the update server whether a newer version of the panel exists, tells
/// the user the outcome in a sheet on the panel's window, and for a newer
/// version shows the update panel ("SWU" layout) with its release notes and
/// saves the new version's file with a progress bar. Only a reply signed with
/// the maker's key is read (PHUpdateSignature), and a download is kept only
/// when its size and SHA-256 are those the signed record names. The saved file
/// is shown or opened only when the user asks.
///
/// Network work runs on detached worker threads that own what they use; each
/// hands its result to the main thread through a queued call that is dropped
/// when the controller is gone.
///
/// Notifications (sender: the controller): "PHSWUStarted", "PHSWUEnded",
/// "PHSWUCancelled", "PHSWUUpdated" (user info "PHSWUSeconds": seconds since
/// 2001-01-01 UTC), "PHSWUFailed" (a launch check that got no reply; user
/// info "PHSWUReason"), all delivered on the main thread. Every received chunk
/// posts "PHFileSegmentDownloaded" (user info "bytes", "path") to the main
/// thread; its sender identifies the exchange that received it.
class PHUpdateController : public QObject {
    Q_OBJECT

public:
    /// The maker's update server; "host" or "host:port" (port 443 by default).
    /// Only TLS is spoken, with the server's certificate checked for the host.
    static constexpr const char *DefaultUpdateServer = "updates.quillmere.com";
    static constexpr quint16 DefaultPort = 443;
    /// The largest version-check reply that is read.
    static constexpr qint64 MaxVersionReplySize = 1 << 20;
    /// The largest download body taken when neither the version record nor
    /// the server says how large it is. An advertised size is the limit
    /// otherwise: a body that goes past it is dropped as it arrives.
    static constexpr qint64 MaxUnadvertisedDownloadSize = qint64(2) << 30;

    explicit PHUpdateController(QObject *parent = nullptr);
    ~PHUpdateController() override;

    /// Takes the update panel's layout file: false (logged) when it cannot be
    /// read, is not a layout or lacks a part. The panel itself is built when
    /// it is first needed (a newer version is offered, or a part is asked
    /// for): most checks find nothing newer and never show it.
    bool loadInterface(const QString &uiPath);

    void setWindow(QWidget *window);
    QWidget *window() const;
    QUrl infoURL() const { return m_infoURL; }
    void setInfoURL(const QUrl &url) { m_infoURL = url; }
    QUrl downloadURL() const { return m_downloadURL; }
    QString error() const { return m_errMsg; }
    void setError(const QString &text) { m_errMsg = text; }
    QString fileSaveName() const { return m_fileSaveName; }

    /// The update server as "host" or "host:port" (at creation the default,
    /// or PORTHOLD_UPDATE_SERVER when set). False, changing nothing,
    /// for a text that is not a host name with an optional port 1-65535.
    bool setUpdateServer(const QString &hostAndPort);
    QString updateServer() const;
    /// How long a connect or receive may wait without progress (60 s).
    void setNetworkTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    // Checks.
    /// Who asked for a check: a failed check the user asked for shows the
    /// connection sheet; one the panel started by itself fails quietly,
    /// logged and posted as "PHSWUFailed" (user info "PHSWUReason").
    enum class Origin { User, Launch };
    /// Starts a check on a worker thread and posts "PHSWUStarted".
    void checkForNewVersion(Origin origin = Origin::User);
    /// Asks the running check to stop: it ends with "PHSWUCancelled".
    void cancelCheck();
    bool isChecking() const { return m_checking; }

    // Actions of the update panel.
    /// Opens the save panel on the update panel, in "SU Default Folder",
    /// proposing the download's file name.
    void downloadNewVersion();
    /// Opens the info page in the browser, only when it is an https address.
    void viewInfoPage();
    /// An address the panel follows: https with a host, nothing else.
    static bool isFollowable(const QUrl &url);
    void hideUpdateSheet();
    /// The save panel's end: code 1 with the chosen path starts the download.
    void saveDialogFinished(int answer, const QString &path);

    // Parts of the update panel (null until the layout is loaded; asking
    // for one builds the panel).
    QWidget *updateSheet() const;
    QTableView *newVersion() const;
    QTextEdit *releaseNotes() const;
    QLabel *phsNotes() const;
    QProgressBar *suProgress() const;
    PHListModel *ds() const { return m_ds; }

    // Reading what the server sent; used by the workers, public for fuzzing.
    /// The version record of a reply: header block removed, the rest read as
    /// UTF-8 and parsed as an XML property list whose top level is a record.
    static std::optional<QVariantMap> parseVersionReply(QByteArray reply);
    /// The same, of a body alone (the signed part of a reply).
    static std::optional<QVariantMap> parseVersionRecord(QByteArray body);
    /// The body of a download reply, only when it succeeded: status 200, the
    /// header block within the first 64 KiB, and the length equal to the
    /// expected size (when above 0) and to Content-Length (when sent).
    static std::optional<QByteArray> downloadBody(const QByteArray &reply, qint64 expectedSize,
                                                  QString *why = nullptr);
    /// The header block of a download reply (`header` ends before its empty
    /// line): the body's length when it succeeded, status 200 with a
    /// Content-Length that reads as a number and, when `expectedSize` is above
    /// 0, agrees with it; -1 when neither gives a length.
    static std::optional<qint64> downloadBodyLength(const QByteArray &header, qint64 expectedSize,
                                                    QString *why = nullptr);

    /// Whether the running program was installed by the Debian package
    /// "porthold" (dpkg's list of its files names the program). Updates then
    /// come through the package manager, and only a .deb is offered.
    static bool installedFromPackage();
    /// Test hook: the dpkg file list read instead of the package's own.
    static void setPackageFileListForTesting(const QString &path);

    /// Worker threads still running (the plug-in must not unload under them).
    static int runningWorkers();

    /// Test hook: answers the save panel instead of showing it, with a return
    /// code and a path, given the start folder and the proposed file name.
    using SavePanelAnswerer =
        std::function<std::pair<int, QString>(const QString &folder, const QString &name)>;
    static void setSavePanelAnswerer(SavePanelAnswerer answerer);

private:
    struct Exchange;
    struct CheckResult;
    struct Download;

    Exchange makeExchange() const;
    static std::optional<QByteArray> getHTTPFile(const Exchange &exchange, const QString &path,
                                                 const void *progressSender, qint64 sizeLimit,
                                                 QString *errorText);
    /// Receives what `take` wants of one exchange's reply, piece by piece as
    /// it arrives; `take` returns false to end the exchange early. False when
    /// the exchange failed or was ended early.
    using PieceTaker = std::function<bool(const char *data, qsizetype size)>;
    static bool exchangeHTTP(const Exchange &exchange, const QString &path, const void *progressSender,
                             quint32 readSize, const PieceTaker &take, QString *errorText);
    /// `saveError` (when given) says why the file could not be written, when that is what failed.
    /// `refusal` (when given) says why a received body is not the one the
    /// signed version record describes (its size or SHA-256).
    static bool receiveDownload(const Download &download, QString *errorText, QString *saveError = nullptr,
                                QString *refusal = nullptr);
    /// Runs on its own thread, which holds the exchange until it returns.
    static void checkForNewVersion2(const std::shared_ptr<Exchange> &exchange,
                                    QPointer<PHUpdateController> receiver);
    void checkForNewVersion3(const CheckResult &result);
    static void cancelVersionCheck(QPointer<PHUpdateController> receiver);
    void versionCheckCancelled();
    static void downloadInBackground(std::shared_ptr<Download> download,
                                     QPointer<PHUpdateController> receiver);
    /// `saveError` says why a complete download could not be saved (empty
    /// when it was, or when the download itself failed).
    void cleanupDownload(const std::shared_ptr<Download> &download, bool saved, const QString &errorText,
                         const QString &saveError = {}, const QString &refusal = {});
    void updateDownloadProgress(const Notification &notification);
    void showSWUPanel();
    void setPIHidden(bool hidden);
    void setUpdateDefaultFolder(const QString &folder);
    void showOutcomeSheet(const QString &title, const QString &message, const QString &context,
                          bool informational = false);
    /// Says where a download was saved and offers to show it in its folder
    /// or to open it; it is never opened otherwise.
    void showSavedSheet(const QString &path);
    void showConnectionSheet();
    void setProgressMaximum(qint64 maximum);
    void setProgressBytes(qint64 bytes);

    /// Builds the update panel from the layout file taken by loadInterface,
    /// once; false (logged) when there is none or it cannot be built.
    bool ensureSheet();

    // The update panel and its parts, built at the first need.
    struct WidgetDeleter {
        void operator()(QWidget *widget) const;
    };
    QString m_interfacePath; // taken, not built yet
    std::unique_ptr<QWidget, WidgetDeleter> m_updateSheet;
    QPointer<QTableView> m_newVersion;
    QPointer<QTextEdit> m_releaseNotes;
    QPointer<QLabel> m_phsNotes;
    QPointer<QProgressBar> m_suProgress;
    QPointer<QWidget> m_window;
    PHListModel *m_ds = nullptr; // owned as a child

    QUrl m_infoURL;
    QUrl m_downloadURL;
    QByteArray m_downloadSHA256; // from the signed record; empty: none named
    QString m_fileSaveName;
    QString m_errMsg;
    std::shared_ptr<std::atomic<bool>> m_stopFlag;
    bool m_checking = false;
    Origin m_checkOrigin = Origin::User;

    QString m_serverHost;
    quint16 m_serverPort = DefaultPort;
    std::chrono::milliseconds m_timeout;

    qint64 m_progressMaximum = 0;
    qint64 m_progressBytes = 0;
    // What was set on the progress bar before the panel was built.
    bool m_progressHidden = true;
    bool m_progressRangeSet = false;
    bool m_progressValueSet = false;
    std::shared_ptr<Download> m_download;
    ObserverRegistration m_progressObserver;
};
