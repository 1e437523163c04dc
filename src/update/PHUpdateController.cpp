#include "update/PHUpdateController.h"

#include "core/Log.h"
#include "core/PHException.h"
#include "model/PHListModel.h"
#include "model/PHSettings.h"
#include "platform/PHAction.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHLayoutLoader.h"
#include "platform/PHPendingWork.h"
#include "support/PHAtomicFile.h"
#include "support/PHExtensions.h"
#include "support/PHPropertyList.h"
#include "support/PHSettingsStore.h"
#include "support/PHVersionNumber.h"
#include "update/PHUpdateSignature.h"
#include "update/Socket.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QSet>
#include <QStringDecoder>
#include <QTableView>
#include <QTextEdit>
#include <QXmlStreamReader>

#include <plist/plist.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <exception>
#include <thread>

namespace {

const QString kVersionPath = QStringLiteral("/PHSVersions.php");
const QString kSegmentDownloaded = QStringLiteral("PHFileSegmentDownloaded");
constexpr qint64 kReferenceDateOffset = 978307200; // 2001-01-01 00:00:00 UTC in Unix seconds
constexpr qsizetype kDownloadHeaderWindow = 64 * 1024;

std::atomic<int> g_runningWorkers{0};
QString g_packageFileList = QStringLiteral("/var/lib/dpkg/info/porthold.list");
PHUpdateController::SavePanelAnswerer g_savePanelAnswerer;

/// Counts a worker from its start to its end.
struct WorkerScope {
    WorkerScope() { ++g_runningWorkers; }
    ~WorkerScope() { --g_runningWorkers; }
};

/// Runs `call` on the main thread without waiting. The functor owns what it
/// captures; receivers are guarded by QPointer inside it.
template <typename Call> void onMainThread(Call call) {
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(call), Qt::QueuedConnection);
}

bool hasLineBreakOrControl(const QString &text) {
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

// Nesting deeper than any sensible reply is cut off rather than followed.
constexpr int kMaxReplyDepth = 64;

/// Opens the update panel's layout file for reading; says why in the log when
/// it cannot.
bool openLayout(QFile &file) {
    if (file.open(QIODevice::ReadOnly))
        return true;
    Log::write(QStringLiteral("Cannot open the update panel layout %1: %2")
                   .arg(file.fileName(), file.errorString()));
    return false;
}

void logMissingParts(const QString &uiPath) {
    Log::write(
        QStringLiteral("The update panel layout %1 lacks newVersion, releaseNotes, phsNotes or suProgress")
            .arg(uiPath));
}

struct LayoutCheck {
    QString problem; // not a layout file: why
    bool hasParts = false;
};

/// Reads a layout file without building it: is it one the update panel can be
/// built from, a layout with the four parts, each a widget of its kind?
LayoutCheck checkUpdatePanelLayout(QIODevice *device) {
    const QHash<QString, QStringList> kinds{
        {QStringLiteral("newVersion"), {QStringLiteral("QTableView"), QStringLiteral("QTableWidget")}},
        {QStringLiteral("releaseNotes"), {QStringLiteral("QTextEdit"), QStringLiteral("QTextBrowser")}},
        {QStringLiteral("phsNotes"), {QStringLiteral("QLabel")}},
        {QStringLiteral("suProgress"), {QStringLiteral("QProgressBar")}}};
    LayoutCheck check;
    QSet<QString> found;
    bool isLayout = false;
    bool hasWidget = false;
    QXmlStreamReader xml(device);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (!isLayout) {
            if (xml.name() != QLatin1String("ui")) {
                check.problem = QStringLiteral("it is not a Qt Designer layout");
                return check;
            }
            isLayout = true;
            continue;
        }
        if (xml.name() != QLatin1String("widget"))
            continue;
        hasWidget = true;
        const QXmlStreamAttributes attributes = xml.attributes();
        const QString name = attributes.value(QLatin1String("name")).toString();
        const auto kind = kinds.constFind(name);
        if (kind != kinds.constEnd() && kind->contains(attributes.value(QLatin1String("class")).toString()))
            found.insert(name);
    }
    if (xml.hasError())
        check.problem = xml.errorString();
    else if (!isLayout || !hasWidget)
        check.problem = QStringLiteral("it holds no widget");
    check.hasParts = found.size() == kinds.size();
    return check;
}

} // namespace

/// What one HTTP exchange needs, copied on the main thread so that the worker
/// owns it.
struct PHUpdateController::Exchange {
    QString host;
    quint16 port = PHUpdateController::DefaultPort;
    QString product;
    QString version;
    std::chrono::milliseconds timeout{AbstractSocket::DefaultTimeout};
    std::shared_ptr<std::atomic<bool>> stopFlag;
};

struct PHUpdateController::CheckResult {
    std::optional<QVariantMap> reply;
    QString errorText;
    QString ignored; // why a reply that came was not read
};

struct PHUpdateController::Download {
    Exchange exchange;
    QString urlPath;
    QString savePath;
    qint64 expectedSize = 0;
    QByteArray expectedSHA256; // 32 bytes, from the signed version record
};

void PHUpdateController::WidgetDeleter::operator()(QWidget *widget) const {
    delete widget;
}

PHUpdateController::PHUpdateController(QObject *parent)
    : QObject(parent), m_ds(new PHListModel(this)), m_timeout(AbstractSocket::DefaultTimeout) {
    setUpdateServer(QString::fromLatin1(DefaultUpdateServer));
    // A local server for trying the panel out: PORTHOLD_UPDATE_SERVER=host[:port].
    const QString override = qEnvironmentVariable("PORTHOLD_UPDATE_SERVER");
    if (!override.isEmpty() && !setUpdateServer(override))
        Log::write(QStringLiteral("PORTHOLD_UPDATE_SERVER '%1' is not a host[:port]; ignored").arg(override));
    Log::write(QStringLiteral("Created %1").arg(QString::fromLatin1(metaObject()->className())));
}

// A running worker keeps its own copies and ends by itself; its result is
// dropped on arrival.
PHUpdateController::~PHUpdateController() = default;

QWidget *PHUpdateController::updateSheet() const {
    const_cast<PHUpdateController *>(this)->ensureSheet();
    return m_updateSheet.get();
}
QTableView *PHUpdateController::newVersion() const {
    const_cast<PHUpdateController *>(this)->ensureSheet();
    return m_newVersion;
}
QTextEdit *PHUpdateController::releaseNotes() const {
    const_cast<PHUpdateController *>(this)->ensureSheet();
    return m_releaseNotes;
}
QLabel *PHUpdateController::phsNotes() const {
    const_cast<PHUpdateController *>(this)->ensureSheet();
    return m_phsNotes;
}
QProgressBar *PHUpdateController::suProgress() const {
    const_cast<PHUpdateController *>(this)->ensureSheet();
    return m_suProgress;
}

void PHUpdateController::setPackageFileListForTesting(const QString &path) {
    g_packageFileList = path.isEmpty() ? QStringLiteral("/var/lib/dpkg/info/porthold.list") : path;
}

bool PHUpdateController::installedFromPackage() {
    QFile list(g_packageFileList);
    if (!list.open(QIODevice::ReadOnly))
        return false;
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    if (program.isEmpty())
        return false;
    while (!list.atEnd()) {
        const QString entry = QString::fromLocal8Bit(list.readLine()).trimmed();
        if (!entry.isEmpty() && QFileInfo(entry).canonicalFilePath() == program)
            return true;
    }
    return false;
}

int PHUpdateController::runningWorkers() {
    return g_runningWorkers.load();
}

void PHUpdateController::setSavePanelAnswerer(SavePanelAnswerer answerer) {
    g_savePanelAnswerer = std::move(answerer);
}

bool PHUpdateController::loadInterface(const QString &uiPath) {
    QFile file(uiPath);
    if (!openLayout(file))
        return false;
    const LayoutCheck check = checkUpdatePanelLayout(&file);
    if (!check.problem.isEmpty()) {
        Log::write(QStringLiteral("Cannot load the update panel layout %1: %2").arg(uiPath, check.problem));
        return false;
    }
    if (!check.hasParts) {
        logMissingParts(uiPath);
        return false;
    }
    m_interfacePath = uiPath;
    m_updateSheet.reset();
    return true;
}

bool PHUpdateController::ensureSheet() {
    if (m_updateSheet)
        return true;
    // Taken once: a layout that failed to build is not tried again.
    const QString uiPath = std::exchange(m_interfacePath, QString());
    if (uiPath.isEmpty())
        return false;
    QFile file(uiPath);
    if (!openLayout(file))
        return false;
    PHLayoutLoader loader;
    std::unique_ptr<QWidget, WidgetDeleter> sheet(loader.load(&file));
    if (!sheet) {
        Log::write(
            QStringLiteral("Cannot load the update panel layout %1: %2").arg(uiPath, loader.errorString()));
        return false;
    }
    auto *table = sheet->findChild<QTableView *>(QStringLiteral("newVersion"));
    auto *notes = sheet->findChild<QTextEdit *>(QStringLiteral("releaseNotes"));
    auto *quote = sheet->findChild<QLabel *>(QStringLiteral("phsNotes"));
    auto *progress = sheet->findChild<QProgressBar *>(QStringLiteral("suProgress"));
    if (!table || !notes || !quote || !progress) {
        logMissingParts(uiPath);
        return false;
    }
    m_updateSheet = std::move(sheet);
    m_newVersion = table;
    m_releaseNotes = notes;
    m_phsNotes = quote;
    m_suProgress = progress;
    // The layout names the table's columns by record key ("columns") and
    // titles them ("columnTitles").
    const QStringList keys = m_newVersion->property("columns").toStringList();
    const QStringList titles = m_newVersion->property("columnTitles").toStringList();
    QList<PHItemModel::Column> columns;
    for (qsizetype i = 0; i < keys.size(); ++i)
        columns.append({keys[i], titles.value(i, keys[i]), PHItemModel::ColumnKind::Text});
    m_ds->setColumns(columns);
    m_newVersion->setModel(m_ds);

    const auto connectButton = [this](const char *name, void (PHUpdateController::*action)()) {
        if (auto *button = m_updateSheet->findChild<QAbstractButton *>(QLatin1String(name)))
            connect(button, &QAbstractButton::clicked, this,
                    [this, action, name] { PHAction::run(name, [&] { (this->*action)(); }); });
    };
    connectButton("downloadButton", &PHUpdateController::downloadNewVersion);
    connectButton("infoButton", &PHUpdateController::viewInfoPage);
    connectButton("laterButton", &PHUpdateController::hideUpdateSheet);

    // What was set on the progress bar while there was none; at first it is
    // hidden: it shows only while a download runs.
    if (m_progressRangeSet)
        setProgressMaximum(m_progressMaximum);
    if (m_progressValueSet)
        setProgressBytes(m_progressBytes);
    setPIHidden(m_progressHidden);
    return true;
}

void PHUpdateController::setWindow(QWidget *window) {
    m_window = window;
}

QWidget *PHUpdateController::window() const {
    return m_window;
}

bool PHUpdateController::setUpdateServer(const QString &hostAndPort) {
    QString host = hostAndPort.trimmed();
    quint16 port = DefaultPort;
    const qsizetype colon = host.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        bool ok = false;
        const uint value = host.mid(colon + 1).toUInt(&ok);
        if (!ok || value == 0 || value > 65535)
            return false;
        port = static_cast<quint16>(value);
        host.truncate(colon);
    }
    if (host.isEmpty() || host.contains(QLatin1Char(':')) || host.contains(QLatin1Char(' ')) ||
        host.contains(QLatin1Char('/')) || hasLineBreakOrControl(host))
        return false;
    m_serverHost = host;
    m_serverPort = port;
    return true;
}

QString PHUpdateController::updateServer() const {
    return m_serverPort == DefaultPort ? m_serverHost
                                       : QStringLiteral("%1:%2").arg(m_serverHost).arg(m_serverPort);
}

PHUpdateController::Exchange PHUpdateController::makeExchange() const {
    Exchange exchange;
    exchange.host = m_serverHost;
    exchange.port = m_serverPort;
    exchange.product = PHApplication::applicationName();
    exchange.version = PHApplication::applicationVersion();
    exchange.timeout = m_timeout;
    return exchange;
}

// One HTTP/1.0 exchange inside TLS with the update server, on the calling worker thread.
// Every piece of the reply, header block included, goes to `take` as it arrives.
bool PHUpdateController::exchangeHTTP(const Exchange &exchange, const QString &path,
                                      const void *progressSender, quint32 readSize, const PieceTaker &take,
                                      QString *errorText) {
    // The fields go into the request as they stand: one with a line break
    // would add header lines of its own.
    if (hasLineBreakOrControl(path) || path.contains(QLatin1Char(' ')) ||
        hasLineBreakOrControl(exchange.product) || hasLineBreakOrControl(exchange.version)) {
        Log::write(QStringLiteral("Update request for %1 refused: a field holds a line break").arg(path));
        return false;
    }
    const QString hostField = exchange.port == DefaultPort
                                  ? exchange.host
                                  : QStringLiteral("%1:%2").arg(exchange.host).arg(exchange.port);
    const QString request = QStringLiteral("GET %1 HTTP/1.0\nHOST: %2\nUser-Agent: %3/%4\n\n")
                                .arg(path, hostField, exchange.product, exchange.version);
    try {
        auto socket = Socket::socket();
        socket->setTimeout(exchange.timeout);
        socket->setAbortFlag(exchange.stopFlag);
        socket->setReadBufferSize(readSize);
        socket->connectToHostNamePort(exchange.host, exchange.port);
        socket->writeString(request);
        QByteArray piece;
        for (qint64 received; (received = socket->readData(&piece)) > 0; piece.resize(0)) {
            NotificationCenter::defaultCenter().postOnMainThread(
                kSegmentDownloaded, progressSender,
                {{QStringLiteral("bytes"), received}, {QStringLiteral("path"), path}});
            if (!take(piece.constData(), piece.size()))
                return false;
        }
        socket->close();
    } catch (const PHException &e) {
        Log::write(QStringLiteral("Update exchange for %1 failed: %2").arg(path, e.reason()));
        if (e.name().contains(QStringLiteral("Host not found")) && errorText)
            *errorText = QStringLiteral("'%1' could not be found").arg(exchange.host);
        // A server that cannot prove who it is may be anyone on the way: said
        // so, with the reason, rather than as a network failure.
        static const QString tlsPrefix = QStringLiteral("Socket: TLS handshake failed: ");
        if (e.name().contains(QStringLiteral("TLS handshake failed")) && errorText)
            *errorText =
                QStringLiteral("No secure connection to '%1' could be made: %2")
                    .arg(exchange.host,
                         e.reason().startsWith(tlsPrefix) ? e.reason().mid(tlsPrefix.size()) : e.reason());
        return false;
    }
    return true;
}

// The whole reply, header block included; nothing on any failure or when it
// grows past `sizeLimit` (when above 0).
std::optional<QByteArray> PHUpdateController::getHTTPFile(const Exchange &exchange, const QString &path,
                                                          const void *progressSender, qint64 sizeLimit,
                                                          QString *errorText) {
    QByteArray buffer;
    const bool received = exchangeHTTP(
        exchange, path, progressSender, AbstractSocket::DefaultReadBufferSize,
        [&](const char *data, qsizetype size) {
            buffer.append(data, size);
            if (sizeLimit > 0 && buffer.size() > sizeLimit) {
                Log::write(
                    QStringLiteral("Update reply for %1 exceeds %2 bytes; dropped").arg(path).arg(sizeLimit));
                return false;
            }
            return true;
        },
        errorText);
    if (!received)
        return std::nullopt;
    return buffer;
}

// A download reply straight into a temporary file beside the chosen path:
// the header block is held (up to 64 KiB), the body never is. The file takes
// the chosen name only when the body arrived whole at its advertised length.
bool PHUpdateController::receiveDownload(const Download &download, QString *errorText, QString *saveError,
                                         QString *refusal) {
    QByteArray header;
    // The body is not what the signed record describes: said apart too.
    bool refused = false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // The file, not the transfer, failed: said apart from connection failures.
    bool fileFailed = false;
    bool inBody = false;
    qint64 limit = 0;
    qint64 expected = -1;
    QString why;
    PHAtomicFile::Writer file;

    const auto takeBody = [&](const char *data, qsizetype size) {
        if (file.written() + size > limit) {
            why = expected >= 0
                      ? QStringLiteral("the server sent more than the %1 bytes advertised").arg(expected)
                      : QStringLiteral("the server sent more than %1 bytes").arg(limit);
            refused = true;
            return false;
        }
        hash.addData(QByteArrayView(data, size));
        fileFailed = !file.append(data, size, &why);
        return !fileFailed;
    };
    const bool received = exchangeHTTP(
        download.exchange, download.urlPath, &download, 64 * 1024,
        [&](const char *data, qsizetype size) {
            if (inBody)
                return takeBody(data, size);
            // Only the part of the piece that may still belong to the header block.
            const qsizetype kept = header.size();
            header.append(data, std::min<qsizetype>(size, kDownloadHeaderWindow - kept));
            const qsizetype end = header.indexOf("\r\n\r\n", std::max<qsizetype>(kept - 3, 0));
            if (end < 0) {
                if (header.size() < kDownloadHeaderWindow)
                    return true;
                why = QStringLiteral("no header block in the first 64 KiB");
                return false;
            }
            const std::optional<qint64> length =
                downloadBodyLength(header.left(end), download.expectedSize, &why);
            if (!length)
                return false;
            expected = *length;
            limit = expected >= 0 ? expected : MaxUnadvertisedDownloadSize;
            if (!file.open(download.savePath, &why)) {
                fileFailed = true;
                return false;
            }
            inBody = true;
            const qsizetype bodyStart = end + 4 - kept; // within this piece
            header.clear();
            return takeBody(data + bodyStart, size - bodyStart);
        },
        errorText);

    if (received && !inBody) {
        why = QStringLiteral("no header block in the reply");
    } else if (received && expected >= 0 && file.written() != expected) {
        // Cut short: the connection failed, not the file.
        why = QStringLiteral("received %1 bytes of %2").arg(file.written()).arg(expected);
    } else if (received && hash.result() != download.expectedSHA256) {
        // Checked before the file takes its name: a file that is not the
        // signed one is never kept.
        why = QStringLiteral("its SHA-256 is %1, not the %2 the signed version record names")
                  .arg(QString::fromLatin1(hash.result().toHex()),
                       QString::fromLatin1(download.expectedSHA256.toHex()));
        refused = true;
    } else if (received && file.commit(&why)) {
        return true;
    } else if (received) {
        fileFailed = true;
    }
    file.abandon();
    if (fileFailed && saveError)
        *saveError = why;
    if (refused && refusal)
        *refusal = why;
    if (!why.isEmpty())
        Log::write(QStringLiteral("Download of %1 failed: %2; nothing saved").arg(download.urlPath, why));
    return false;
}

std::optional<QVariantMap> PHUpdateController::parseVersionReply(QByteArray reply) {
    PHData::stripHeaders(reply);
    return parseVersionRecord(std::move(reply));
}

std::optional<QVariantMap> PHUpdateController::parseVersionRecord(QByteArray reply) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    // Decoding is lazy: only the conversion to text finds the errors.
    if (const QString text = decoder.decode(reply); decoder.hasError())
        return std::nullopt;
    if (reply.startsWith("\xEF\xBB\xBF"))
        reply.remove(0, 3);
    if (reply.isEmpty() || reply.size() > MaxVersionReplySize)
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_xml(reply.constData(), static_cast<uint32_t>(reply.size()), &root);
    if (!root)
        return std::nullopt;
    const QVariant value = plist_get_node_type(root) == PLIST_DICT
                               ? PHPropertyList::toVariant(root, {.maxDepth = kMaxReplyDepth})
                               : QVariant();
    plist_free(root);
    if (value.typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    return value.toMap();
}

std::optional<qint64> PHUpdateController::downloadBodyLength(const QByteArray &header, qint64 expectedSize,
                                                             QString *why) {
    const auto refuse = [why](const QString &reason) -> std::optional<qint64> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    const QList<QByteArray> lines = header.split('\n');
    const QList<QByteArray> status = lines.first().trimmed().split(' ');
    if (status.size() < 2 || !status[0].startsWith("HTTP/") || status[1] != "200")
        return refuse(
            QStringLiteral("server answered \"%1\"").arg(QString::fromLatin1(lines.first().trimmed())));
    qint64 length = expectedSize > 0 ? expectedSize : -1;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon < 0 || lines[i].left(colon).trimmed().toLower() != "content-length")
            continue;
        bool ok = false;
        const QByteArray value = lines[i].mid(colon + 1).trimmed();
        const qint64 announced = value.toLongLong(&ok);
        if (!ok || announced < 0)
            return refuse(QStringLiteral("Content-Length says %1").arg(QString::fromLatin1(value)));
        if (length >= 0 && announced != length)
            return refuse(QStringLiteral("Content-Length says %1, but %2 bytes were advertised")
                              .arg(QString::fromLatin1(value))
                              .arg(length));
        length = announced;
    }
    return length;
}

std::optional<QByteArray> PHUpdateController::downloadBody(const QByteArray &reply, qint64 expectedSize,
                                                           QString *why) {
    const auto refuse = [why](const QString &reason) -> std::optional<QByteArray> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    const qsizetype headerEnd = reply.left(kDownloadHeaderWindow).indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return refuse(QStringLiteral("no header block in the first 64 KiB"));
    const std::optional<qint64> length = downloadBodyLength(reply.left(headerEnd), expectedSize, why);
    if (!length)
        return std::nullopt;
    const QByteArray body = reply.mid(headerEnd + 4);
    if (*length >= 0 && body.size() != *length)
        return refuse(QStringLiteral("received %1 bytes of %2").arg(body.size()).arg(*length));
    return body;
}

// ---- the version check

void PHUpdateController::checkForNewVersion(Origin origin) {
    m_checkOrigin = origin;
    // A fresh flag per check: a cancelled check stays cancelled even when a
    // new one starts before it has noticed.
    m_stopFlag = std::make_shared<std::atomic<bool>>(false);
    auto exchange = std::make_shared<Exchange>(makeExchange());
    exchange->stopFlag = m_stopFlag;
    m_checking = true;
    // Its outcome (an offer, "up to date" or a failure sheet) is still to be
    // shown: ended on the main thread once it has been.
    PHPendingWork::begin();
    std::thread(&PHUpdateController::checkForNewVersion2, exchange, QPointer<PHUpdateController>(this))
        .detach();
    NotificationCenter::defaultCenter().post(QStringLiteral("PHSWUStarted"), this);
}

void PHUpdateController::cancelCheck() {
    if (m_checking && m_stopFlag)
        m_stopFlag->store(true);
}

void PHUpdateController::checkForNewVersion2(const std::shared_ptr<Exchange> &exchange,
                                             QPointer<PHUpdateController> receiver) {
    WorkerScope scope;
    CheckResult result;
    // Nothing may leave a worker thread: running out of memory is a failed check.
    try {
        if (std::optional<QByteArray> reply = getHTTPFile(*exchange, kVersionPath, exchange.get(),
                                                          MaxVersionReplySize, &result.errorText)) {
            // Only what the maker signed is read at all.
            QString why;
            if (std::optional<QByteArray> body =
                    PHUpdateSignature::signedBody(*reply, PHUpdateSignature::trustedKey(), &why)) {
                result.reply = parseVersionRecord(std::move(*body));
            } else {
                Log::write(QStringLiteral("Version reply ignored: %1").arg(why));
                result.ignored = QStringLiteral("the update server's reply was ignored: %1").arg(why);
            }
        }
    } catch (const std::exception &e) {
        result.reply.reset();
        Log::write(QStringLiteral("Version check failed: %1").arg(QString::fromLocal8Bit(e.what())));
    }
    if (exchange->stopFlag->load()) {
        cancelVersionCheck(receiver);
        return;
    }
    onMainThread([receiver, result] {
        if (receiver)
            PHAction::run("version check outcome", [&] { receiver->checkForNewVersion3(result); });
        PHPendingWork::end();
    });
}

void PHUpdateController::cancelVersionCheck(QPointer<PHUpdateController> receiver) {
    onMainThread([receiver] {
        if (receiver)
            PHAction::run("version check cancelled", [&] { receiver->versionCheckCancelled(); });
        PHPendingWork::end();
    });
}

void PHUpdateController::versionCheckCancelled() {
    m_checking = false;
    NotificationCenter::defaultCenter().post(QStringLiteral("PHSWUCancelled"), this);
}

void PHUpdateController::checkForNewVersion3(const CheckResult &result) {
    m_checking = false;
    // Only a failed name lookup sets the text, and nothing clears it.
    if (!result.errorText.isEmpty())
        m_errMsg = result.errorText;
    NotificationCenter::defaultCenter().post(QStringLiteral("PHSWUEnded"), this);

    if (!result.reply) {
        // A start without network is no reason to stop the user with a sheet.
        if (m_checkOrigin == Origin::Launch) {
            const QString reason = !result.ignored.isEmpty() ? result.ignored
                                   : !result.errorText.isEmpty()
                                       ? result.errorText
                                       : QStringLiteral("the update server could not be reached");
            Log::write(QStringLiteral("The update check at launch failed: %1").arg(reason));
            NotificationCenter::defaultCenter().post(QStringLiteral("PHSWUFailed"), this,
                                                     {{QStringLiteral("PHSWUReason"), reason}});
            return;
        }
        showConnectionSheet();
        return;
    }
    const QVariant productValue = result.reply->value(QStringLiteral("Porthold"));
    if (productValue.typeId() != QMetaType::QVariantMap) {
        showOutcomeSheet(
            QStringLiteral("Product Not Found"),
            QStringLiteral("This application is not currently listed in Quillmere Software's version "
                           "checking system. Please contact the author for more information"),
            QStringLiteral("product not found"));
        return;
    }
    const QVariantMap product = productValue.toMap();
    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0 - kReferenceDateOffset;
    NotificationCenter::defaultCenter().post(QStringLiteral("PHSWUUpdated"), this,
                                             {{QStringLiteral("PHSWUSeconds"), now}});

    const auto textOf = [](const QVariant &value) {
        return value.typeId() == QMetaType::QString ? value.toString() : QString();
    };
    std::optional<PHVersionNumber> running =
        PHVersionNumber::versionWithString(PHApplication::applicationVersion());
    std::optional<PHVersionNumber> offered =
        PHVersionNumber::versionWithString(textOf(product.value(QStringLiteral("current version"))));
    // An offer that does not parse says nothing about being newer.
    if (offered && offered->numberOfTokens() == 0)
        offered.reset();
    const QString quote = textOf(result.reply->value(QStringLiteral("QOTD")));

    if (running && offered && running->compare(*offered) == -1) {
        if (!ensureSheet()) {
            Log::write(QStringLiteral("A newer version is offered but the update panel is not loaded"));
            return;
        }
        m_ds->setDataArray({product});
        m_newVersion->resizeColumnsToContents();
        setProgressMaximum(product.value(QStringLiteral("version byte size")).toLongLong());
        setProgressBytes(0);
        setPIHidden(true);
        m_releaseNotes->setPlainText(textOf(product.value(QStringLiteral("release notes"))));
        m_phsNotes->setText(quote);
        m_infoURL = QUrl(textOf(product.value(QStringLiteral("info page"))));
        m_downloadURL = QUrl(textOf(product.value(QStringLiteral("download URL"))));
        m_downloadSHA256 =
            PHUpdateSignature::sha256FromHex(textOf(product.value(QStringLiteral("version sha256"))))
                .value_or(QByteArray());
        // Only a download the signed record describes can be checked, and
        // only a checked one is kept.
        const bool describable = !m_downloadSHA256.isEmpty() && m_progressMaximum > 0;
        if (!m_downloadURL.isEmpty() && !describable)
            Log::write(QStringLiteral("The version record names no size or SHA-256 for %1; not offered")
                           .arg(m_downloadURL.toString()));
        // A packaged copy is updated by the package manager: only the
        // package itself is offered, and the panel says so.
        const bool packaged = installedFromPackage();
        if (auto *headline = m_updateSheet->findChild<QLabel *>(QStringLiteral("headline")))
            headline->setText(
                packaged ? QStringLiteral("<b>A new version of Porthold is available.</b><br>Porthold was "
                                          "installed from its Debian package: updates come through the "
                                          "package manager (for example \u201csudo apt upgrade\u201d).")
                         : QStringLiteral("<b>A new version of Porthold is available.</b>"));
        const bool offered = !m_downloadURL.isEmpty() && describable &&
                             (!packaged || m_downloadURL.fileName().endsWith(QLatin1String(".deb")));
        if (auto *button = m_updateSheet->findChild<QAbstractButton *>(QStringLiteral("downloadButton")))
            button->setEnabled(offered);
        if (auto *button = m_updateSheet->findChild<QAbstractButton *>(QStringLiteral("infoButton")))
            button->setEnabled(isFollowable(m_infoURL));
        showSWUPanel();
        return;
    }
    // Whose notes these are, said beside the quoted label.
    QString message = QStringLiteral("This version of Porthold is up to date.%1")
                          .arg(quote.isEmpty() ? QString() : QStringLiteral("\n\nPHS Notes: ") + quote);
    if (!quote.isEmpty())
        message += QStringLiteral("\n\n(PHS Notes are news from Quillmere Software, the maker of Porthold.)");
    showOutcomeSheet(QStringLiteral("Up to Date"), message, QStringLiteral("up to date"), true);
}

void PHUpdateController::showOutcomeSheet(const QString &title, const QString &message,
                                          const QString &context, bool informational) {
    PHAlertSheet::Request request;
    request.title = title;
    request.message = message;
    request.defaultButton = QStringLiteral("OK");
    request.context = context;
    request.informational = informational;
    // The sheets only inform: their end does nothing.
    PHAlertSheet::begin(m_window, request, [](int) {});
}

void PHUpdateController::showConnectionSheet() {
    showOutcomeSheet(
        QStringLiteral("Could not connect to server"),
        QStringLiteral("Porthold encountered an error while checking for new versions. Please check your "
                       "internet connection or try again later%1")
            .arg(m_errMsg.isEmpty() ? QString() : QStringLiteral(".\n\n") + m_errMsg),
        QStringLiteral("version net access"));
}

// ---- the update panel

void PHUpdateController::showSWUPanel() {
    if (!ensureSheet())
        return;
    m_updateSheet->adjustSize();
    QScreen *screen = m_window ? m_window->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        QRect frame = m_updateSheet->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        m_updateSheet->move(frame.topLeft());
    }
    m_updateSheet->show();
    m_updateSheet->raise();
    m_updateSheet->activateWindow();
}

void PHUpdateController::hideUpdateSheet() {
    if (m_updateSheet)
        m_updateSheet->hide();
}

bool PHUpdateController::isFollowable(const QUrl &url) {
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

void PHUpdateController::viewInfoPage() {
    // Only a secure web page: another scheme could start any program.
    if (!isFollowable(m_infoURL)) {
        if (!m_infoURL.isEmpty())
            Log::write(QStringLiteral("The info page %1 is not an https address; not opened")
                           .arg(m_infoURL.toString()));
        return;
    }
    QDesktopServices::openUrl(m_infoURL);
}

void PHUpdateController::setPIHidden(bool hidden) {
    m_progressHidden = hidden;
    if (m_suProgress)
        m_suProgress->setVisible(!hidden);
}

void PHUpdateController::setUpdateDefaultFolder(const QString &folder) {
    PHSettingsStore::instance()->setObjectForKey(folder, PHSettings::Key::UpdateDefaultFolder);
}

// QProgressBar counts in int: sizes beyond its range are shown scaled.
void PHUpdateController::setProgressMaximum(qint64 maximum) {
    m_progressMaximum = std::max<qint64>(maximum, 0);
    m_progressRangeSet = true;
    if (!m_suProgress)
        return;
    const qint64 scale = m_progressMaximum / INT_MAX + 1;
    m_suProgress->setRange(0, static_cast<int>(m_progressMaximum / scale));
}

void PHUpdateController::setProgressBytes(qint64 bytes) {
    // The header block is counted too, so the count may pass the maximum: the
    // bar stops at full.
    m_progressBytes = bytes;
    m_progressValueSet = true;
    if (!m_suProgress || m_progressMaximum <= 0)
        return;
    const qint64 scale = m_progressMaximum / INT_MAX + 1;
    m_suProgress->setValue(static_cast<int>(std::min(bytes, m_progressMaximum) / scale));
}

void PHUpdateController::updateDownloadProgress(const Notification &notification) {
    setProgressBytes(m_progressBytes + notification.userInfo.value(QStringLiteral("bytes")).toLongLong());
}

// ---- downloading

void PHUpdateController::downloadNewVersion() {
    if (m_download) {
        Log::write(QStringLiteral("A download is already running"));
        return;
    }
    QString folder =
        PHSettingsStore::instance()->stringForKey(PHSettings::Key::UpdateDefaultFolder).value_or(QString());
    if (folder.isEmpty())
        folder = QDir(QDir::homePath()).filePath(QStringLiteral("Desktop"));
    const QString name = m_downloadURL.fileName();

    if (g_savePanelAnswerer) {
        const std::pair<int, QString> answer = g_savePanelAnswerer(folder, name);
        const int code = answer.first;
        const QString path = answer.second;
        QPointer<PHUpdateController> receiver(this);
        QMetaObject::invokeMethod(
            this,
            [receiver, code, path] {
                if (receiver)
                    PHAction::run("save panel end", [&] { receiver->saveDialogFinished(code, path); });
            },
            Qt::QueuedConnection);
        return;
    }
    auto *panel = new QFileDialog(updateSheet(), QStringLiteral("Save the New Version"), folder);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setFileMode(QFileDialog::AnyFile);
    panel->setWindowModality(Qt::WindowModal);
    if (!name.isEmpty())
        panel->selectFile(name);
    connect(panel, &QFileDialog::finished, this, [this, panel](int result) {
        const QString path = panel->selectedFiles().value(0);
        PHAction::run("save panel end",
                      [&] { saveDialogFinished(result == QDialog::Accepted ? 1 : 0, path); });
    });
    panel->open();
}

void PHUpdateController::saveDialogFinished(int answer, const QString &path) {
    if (answer != 1 || path.isEmpty())
        return;
    m_fileSaveName = path;
    setUpdateDefaultFolder(QFileInfo(path).absolutePath());
    setProgressBytes(0);
    setPIHidden(false);

    auto download = std::make_shared<Download>();
    download->exchange = makeExchange();
    // The path is sent percent-encoded, as it stands in the address.
    download->urlPath = m_downloadURL.path(QUrl::FullyEncoded);
    if (download->urlPath.isEmpty())
        download->urlPath = QStringLiteral("/");
    download->savePath = path;
    download->expectedSize = m_progressMaximum;
    download->expectedSHA256 = m_downloadSHA256;
    m_download = download;
    // Registered before the worker starts and removed when its result is
    // handled: every chunk's notification arrives before that result.
    m_progressObserver =
        ObserverRegistration(kSegmentDownloaded, download.get(), [this](const Notification &note) {
            PHAction::run("download progress", [&] { updateDownloadProgress(note); });
        });
    std::thread(&PHUpdateController::downloadInBackground, download, QPointer<PHUpdateController>(this))
        .detach();
}

void PHUpdateController::downloadInBackground(std::shared_ptr<Download> download,
                                              QPointer<PHUpdateController> receiver) {
    WorkerScope scope;
    QString errorText;
    QString saveError;
    QString refusal;
    bool saved = false;
    // Nothing may leave a worker thread: running out of memory is a failed
    // download (the temporary file is gone with the writer).
    try {
        saved = receiveDownload(*download, &errorText, &saveError, &refusal);
    } catch (const std::exception &e) {
        saved = false;
        Log::write(QStringLiteral("Download of %1 failed: %2; nothing saved")
                       .arg(download->urlPath, QString::fromLocal8Bit(e.what())));
    }
    onMainThread([download, receiver, saved, errorText, saveError, refusal] {
        if (receiver)
            PHAction::run("download end",
                          [&] { receiver->cleanupDownload(download, saved, errorText, saveError, refusal); });
    });
}

void PHUpdateController::cleanupDownload(const std::shared_ptr<Download> &download, bool saved,
                                         const QString &errorText, const QString &saveError,
                                         const QString &refusal) {
    if (m_download == download) {
        m_download.reset();
        m_progressObserver.reset();
    }
    if (!errorText.isEmpty())
        m_errMsg = errorText;
    if (!saved) {
        // Nothing was written: keep the update panel for another try.
        setPIHidden(true);
        if (!refusal.isEmpty()) {
            showOutcomeSheet(QStringLiteral("The new version was not saved"),
                             QStringLiteral("The file the update server sent is not the one its signed "
                                            "reply describes (%1), so it was deleted. Try again later.")
                                 .arg(refusal),
                             QStringLiteral("version refused"));
            return;
        }
        if (!saveError.isEmpty()) {
            // The file failed, not the connection.
            showOutcomeSheet(QStringLiteral("Could not save the new version"),
                             QStringLiteral("The new version could not be saved as %1 (%2). Download it "
                                            "again and choose a folder you may write to, with enough free "
                                            "space.")
                                 .arg(download->savePath, saveError),
                             QStringLiteral("version save"));
            return;
        }
        showConnectionSheet();
        return;
    }
    hideUpdateSheet();
    // Never opened by itself: what runs is the user's choice.
    showSavedSheet(download->savePath);
}

void PHUpdateController::showSavedSheet(const QString &path) {
    PHAlertSheet::Request request;
    request.title = QStringLiteral("New Version Saved");
    request.message =
        QStringLiteral("The new version of Porthold was saved as %1. It has not been opened.").arg(path);
    request.defaultButton = QStringLiteral("OK");
    request.alternateButton = QStringLiteral("Show in Folder");
    request.otherButton = QStringLiteral("Open");
    request.context = QStringLiteral("version saved");
    request.informational = true;
    QPointer<PHUpdateController> self(this);
    PHAlertSheet::begin(m_window, request, [self, path](int answer) {
        if (!self)
            return;
        if (answer == PHAlertSheet::Other) {
            if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
                self->showOutcomeSheet(
                    QStringLiteral("Could not open the new version"),
                    QStringLiteral("%1 could not be opened: no program for it was found.").arg(path),
                    QStringLiteral("version open"));
            return;
        }
        if (answer != PHAlertSheet::Alternate)
            return;
        const QString folder = QFileInfo(path).absolutePath();
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
            self->showOutcomeSheet(
                QStringLiteral("Could not show the folder"),
                QStringLiteral("%1 could not be opened: no file manager was found.").arg(folder),
                QStringLiteral("version folder"));
    });
}
