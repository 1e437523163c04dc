// The server tab: where the configuration is, which logs it names, and the
// repair that makes the server honour per-folder access files.

#include "server/PHApacheController.h"

#include "core/Log.h"
#include "model/PHServerConfig.h"
#include "model/PHServerRules.h"
#include "model/PHSettings.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHImage.h"
#include "server/PHServerLayout.h"
#include "support/PHExtensions.h"
#include "support/PHPath.h"
#include "support/PHRegex.h"
#include "support/PHSettingsStore.h"
#include "support/PHTextFile.h"

#include <QBuffer>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <optional>

#include <unistd.h>

namespace {

QString appendingPathComponent(const QString &path, const QString &component) {
    if (path.isNull() || component.isNull())
        return {};
    if (path.isEmpty())
        return component;
    QString base = path;
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    QString tail = component;
    while (tail.startsWith(QLatin1Char('/')))
        tail.remove(0, 1);
    if (tail.isEmpty())
        return base;
    return base.endsWith(QLatin1Char('/')) ? base + tail : base + QLatin1Char('/') + tail;
}

QString deletingLastPathComponent(const QString &path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral("");
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

/// The byte-order mark at the start of `bytes`, if any.
qsizetype byteOrderMarkLength(const QByteArray &bytes, const QByteArray &encoding) {
    const QByteArray name = encoding.toUpper();
    if (name.startsWith("UTF-32"))
        return bytes.startsWith(QByteArray("\xFF\xFE\x00\x00", 4)) ||
                       bytes.startsWith(QByteArray("\x00\x00\xFE\xFF", 4))
                   ? 4
                   : 0;
    if (name.startsWith("UTF-16"))
        return bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF") ? 2 : 0;
    if (name == "UTF-8")
        return bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    return 0;
}

/// Splits `body` at every line feed as encoded in the file (`lineFeed`, one
/// code unit long), keeping code-unit alignment.
QList<QByteArray> splitEncodedLines(const QByteArray &body, const QByteArray &lineFeed) {
    QList<QByteArray> lines;
    const qsizetype unit = lineFeed.size();
    qsizetype start = 0;
    qsizetype at = body.indexOf(lineFeed, 0);
    while (at >= 0) {
        if (at % unit != 0) { // the tail of one code unit and the head of the next
            at = body.indexOf(lineFeed, at + 1);
            continue;
        }
        lines.append(body.mid(start, at - start));
        start = at + unit;
        at = body.indexOf(lineFeed, start);
    }
    lines.append(body.mid(start));
    return lines;
}

} // namespace

// ---- Configuration location

void PHApacheController::getApacheConfFile() {
    // What the folders show is worked out under the configuration found here.
    PHServerRules::forgetSettings();
    PHSettingsStore *defaults = PHSettingsStore::instance();
    if (defaults->boolForKey(PHSettings::Key::OverrideConfDirectory)) {
        m_confFileDir = defaults->stringForKey(PHSettings::Key::ApacheConfDirectory).value_or(QString());
        m_confFileName = defaults->stringForKey(PHSettings::Key::ApacheConfFile).value_or(QString());
        return;
    }
    const QString binary = defaults->stringForKey(PHSettings::Key::ApacheBinaryLocation).value_or(QString());
    if (binary.isEmpty())
        return;
    const QString path = PHServerConfig::compiledConfigFile(binary);
    if (path.isEmpty()) {
        Log::write(QStringLiteral("%1 -V did not name the configuration it reads").arg(binary));
        return;
    }
    m_confFileDir = deletingLastPathComponent(path);
    m_confFileName = PHPath::lastPathComponent(path);
}

QString PHApacheController::httpdConfFile() const {
    return appendingPathComponent(m_confFileDir, m_confFileName);
}

QString PHApacheController::userConfFile() const {
    const QString folder = PHSettingsStore::instance()
                               ->stringForKey(PHSettings::Key::ApacheUserConfDirectory)
                               .value_or(QString());
    const QString login = PHPath::loginName();
    if (login.isEmpty())
        return {};
    return appendingPathComponent(appendingPathComponent(m_confFileDir, folder),
                                  login + QStringLiteral(".conf"));
}

// ---- Settings

void PHApacheController::reloadServerSettings() {
    getApacheConfFile();
    m_server.reset();
    relistLogs();
    checkApacheStatus();
}

void PHApacheController::relistLogs() {
    if (m_logList)
        m_logList->relist(httpdConfFile());
}

// ---- Repair

bool PHApacheController::grepFileWriteTo(const QString &path, QIODevice &handle, qint32 *error,
                                         QList<RepairChange> *changes) {
    auto fail = [error](qint32 code) {
        if (error)
            *error = code;
        return false;
    };
    if (error)
        *error = 0;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(kFileUnacceptable);
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fail(kFileUnacceptable);
    file.close();
    // A configuration that cannot be decoded is left alone: nothing is written.
    const PHTextFile decoded = PHTextFile::decode(bytes);
    if (!decoded.ok())
        return fail(kFileUnacceptable);

    const QStringList lines = decoded.text.split(QLatin1Char('\n'));
    const std::optional<QByteArray> lineFeed = PHTextFile::encode(QStringLiteral("\n"), decoded.encoding);
    if (!lineFeed || lineFeed->isEmpty())
        return fail(kFileUnacceptable);

    // Unchanged lines are written with their own bytes, so nothing the panel
    // did not mean to touch changes; that needs one byte line per text line.
    const qsizetype bom = byteOrderMarkLength(bytes, decoded.encoding);
    QList<QByteArray> byteLines = splitEncodedLines(bytes.mid(bom), *lineFeed);
    const bool keepBytes = byteLines.size() == lines.size();

    auto write = [&handle](const QByteArray &data) { return handle.write(data) == data.size(); };
    if (bom > 0 && !write(bytes.left(bom)))
        return fail(kTempFileWriteFailed);

    const QList<PHRepairPlan::Edit> edits = repairPlan().editsFor(path);
    // A line the repair writes ends as the line it replaces or follows does
    // (CRLF files stay CRLF).
    const auto endingOf = [&lines](qsizetype index) {
        return index >= 0 && index < lines.size() && lines.at(index).endsWith(QLatin1Char('\r'))
                   ? QStringLiteral("\r")
                   : QString();
    };
    const auto encodedLine = [&](const QString &text) -> std::optional<QByteArray> {
        std::optional<QByteArray> encoded = PHTextFile::encode(text, decoded.encoding);
        if (encoded)
            *encoded += *lineFeed;
        return encoded;
    };
    bool changed = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qint32 number = qint32(i + 1);
        const auto replaced =
            std::find_if(edits.cbegin(), edits.cend(), [number](const PHRepairPlan::Edit &edit) {
                return edit.kind == PHRepairPlan::Edit::Kind::Replace && edit.line == number;
            });
        QByteArray out;
        if (replaced != edits.cend() || !keepBytes) {
            const std::optional<QByteArray> encoded =
                encodedLine(replaced != edits.cend() ? replaced->text + endingOf(i) : lines.at(i));
            if (!encoded)
                return fail(kFileUnacceptable);
            out = *encoded;
        } else {
            out = byteLines.at(i) + *lineFeed;
        }
        if (replaced != edits.cend()) {
            changed = true;
            if (changes)
                changes->append(replaced->change);
        }
        for (const PHRepairPlan::Edit &edit : edits) {
            if (edit.kind != PHRepairPlan::Edit::Kind::InsertAfter || edit.line != number)
                continue;
            const std::optional<QByteArray> encoded = encodedLine(edit.text + endingOf(i));
            if (!encoded)
                return fail(kFileUnacceptable);
            out += *encoded;
            changed = true;
            if (changes)
                changes->append(edit.change);
        }
        if (!write(out))
            return fail(kTempFileWriteFailed);
    }
    // Added sections go at the end, after what the file's lines became.
    qint32 appended = qint32(lines.size());
    for (const PHRepairPlan::Edit &edit : edits) {
        if (edit.kind != PHRepairPlan::Edit::Kind::Append)
            continue;
        const std::optional<QByteArray> encoded = encodedLine(edit.text + endingOf(0));
        if (!encoded)
            return fail(kFileUnacceptable);
        if (!write(*encoded))
            return fail(kTempFileWriteFailed);
        changed = true;
        if (changes) {
            PHRepairChange change = edit.change;
            change.line = ++appended;
            changes->append(change);
        }
    }
    return changed;
}

qint32 PHApacheController::repairConfFile(const QString &path) {
    const qint32 acceptable = PHFileManager::isFileAcceptable(path);
    if (acceptable != 0)
        return acceptable;

    QStringList arguments{QStringLiteral("replace-configuration"), QStringLiteral("-file"), path};
    QString temporaryPath;
    if (std::optional<PHTempFile> temporary = PHFileManager::tempFile()) {
        temporaryPath = temporary->path;
        qint32 error = 0;
        grepFileWriteTo(path, *temporary->handle, &error);
        // Written completely or not at all: a short file must never be installed.
        if (error == 0 && (!temporary->handle->flush() || fsync(temporary->handle->handle()) != 0))
            error = kTempFileWriteFailed;
        temporary->handle->close();
        if (error != 0) {
            QFile::remove(temporaryPath);
            Log::write(QStringLiteral("The repaired copy of %1 could not be prepared (error %2)")
                           .arg(path)
                           .arg(error));
            return error;
        }
        arguments << QStringLiteral("-data") << temporaryPath;
    } else {
        // Started without the prepared copy, the tool could only refuse.
        Log::write(QStringLiteral("The repaired copy of %1 could not be prepared: no temporary file could be "
                                  "created in the temporary folder")
                       .arg(path));
        return kTempFileWriteFailed;
    }
    const qint32 result = sentrelWithArgs(arguments);
    if (!temporaryPath.isEmpty() &&
        (QFileInfo::exists(temporaryPath) || QFileInfo(temporaryPath).isSymLink()))
        QFile::remove(temporaryPath);
    return result;
}

QStringList PHApacheController::repairWebFolders() const {
    QStringList folders;
    const QString served = m_context.serverLocation(PHWebRoot::Root);
    const QString local = m_context.location(PHWebRoot::Root);
    const QString resolved = QFileInfo(local).canonicalFilePath();
    for (const QString &folder : {served, local, resolved})
        if (!folder.isEmpty() && !folders.contains(folder))
            folders.append(folder);
    return folders;
}

PHRepairPlan PHApacheController::repairPlan() const {
    return PHRepairPlan::make(httpdConfFile(), m_confFileDir,
                              PHServerConfig::debianEnvironment(m_confFileDir), repairWebFolders());
}

QList<std::pair<QString, QList<PHApacheController::RepairChange>>> PHApacheController::repairPreview() {
    QList<std::pair<QString, QList<RepairChange>>> preview;
    for (const auto &[path, edits] : repairPlan().files) {
        if (PHFileManager::isFileAcceptable(path) != 0)
            continue;
        QBuffer discarded;
        discarded.open(QIODevice::WriteOnly);
        QList<RepairChange> changes;
        grepFileWriteTo(path, discarded, nullptr, &changes);
        if (!changes.isEmpty())
            preview.append({path, changes});
    }
    return preview;
}

void PHApacheController::confirmRepair() {
    // Without the tool nothing can be repaired: the repair itself says so.
    if (m_helperPath.isEmpty()) {
        sentrel();
        return;
    }
    const QStringList folders = repairWebFolders();
    if (folders.isEmpty()) {
        showMessage(PHThemeColors::Meaning::Negative,
                    QStringLiteral("Choose a web folder first: the repair is for its .htaccess files"));
        return;
    }
    const PHRepairPlan plan = repairPlan();
    const auto preview = repairPreview();
    if (preview.isEmpty()) {
        if (!plan.files.isEmpty() || PHFileManager::isFileAcceptable(httpdConfFile()) != 0) {
            sentrel(); // says what is wrong with the configuration
            return;
        }
        QString text = QStringLiteral("Nothing to repair: Apache already reads the .htaccess files of %1")
                           .arg(folders.first());
        if (!plan.governing.isEmpty())
            text += QStringLiteral(" (%1)").arg(plan.governing);
        if (!plan.note.isEmpty())
            text += QStringLiteral(". ") + plan.note;
        showMessage(PHThemeColors::Meaning::Positive, text);
        return;
    }
    QStringList lines{
        QStringLiteral("Repair changes these lines so that Apache reads the .htaccess files of %1:")
            .arg(folders.first())};
    QStringList backups;
    for (const auto &[path, changes] : preview) {
        lines << QString() << path + QLatin1Char(':');
        for (const RepairChange &change : changes) {
            if (change.before.isEmpty())
                lines << QStringLiteral("  line %1, new: %2").arg(change.line).arg(change.after);
            else
                lines << QStringLiteral("  line %1, in %2: %3 \u2192 %4")
                             .arg(change.line)
                             .arg(change.block, change.before, change.after);
        }
        backups << path + QStringLiteral(".preporthold");
    }
    if (!plan.note.isEmpty())
        lines << QString() << plan.note;
    lines << QString()
          << QStringLiteral("A backup of each file is kept beside it, made before its first repair: %1. "
                            "A running Apache is restarted gracefully afterwards.")
                 .arg(backups.join(QStringLiteral(", ")));
    PHAlertSheet::Request request;
    request.title = QStringLiteral("Repair the Apache Configuration?");
    request.message = lines.join(QLatin1Char('\n'));
    request.defaultButton = QStringLiteral("Repair");
    request.otherButton = QStringLiteral("Cancel");
    request.context = QStringLiteral("confirmRepair");
    QPointer<PHApacheController> self(this);
    QWidget *window = m_apacheTab ? m_apacheTab->window() : nullptr;
    PHAlertSheet::begin(window, request, [self](int answer) {
        if (self && answer == PHAlertSheet::Default)
            self->sentrel();
    });
}

void PHApacheController::sentrel() {
    QStringList repaired;
    auto show = [this](qint32 code, const QString &path) {
        m_context.displayError(code, path.isEmpty() ? QString() : QStringLiteral("File: %1").arg(path));
    };
    if (m_helperPath.isEmpty()) {
        show(kToolMissing, QString());
        return;
    }
    // Only the files of the section that governs the web folder change.
    const QString main = httpdConfFile();
    const PHRepairPlan plan = repairPlan();
    if (plan.files.isEmpty()) {
        if (const qint32 acceptable = PHFileManager::isFileAcceptable(main); acceptable != 0)
            show(acceptable, main);
        else if (plan.honoured)
            showMessage(PHThemeColors::Meaning::Positive,
                        QStringLiteral("Nothing to repair: Apache already reads the .htaccess files of %1")
                            .arg(repairWebFolders().value(0)));
        else
            showMessage(PHThemeColors::Meaning::Negative,
                        QStringLiteral("Choose a web folder first: the repair is for its .htaccess files"));
        return;
    }
    for (const auto &[path, edits] : plan.files) {
        if (const qint32 result = repairConfFile(path); result != 0)
            show(result, path);
        else
            repaired << path;
    }
    QStringList done;
    for (const QString &path : repaired)
        done << QStringLiteral("Repaired %1; backup at %1.preporthold").arg(path);
    if (!done.isEmpty())
        showMessage(PHThemeColors::Meaning::Positive, done.join(QStringLiteral(". ")));
    checkApacheStatus();
    if (m_isApacheRunning && !repaired.isEmpty())
        apachectl(QStringLiteral("graceful"));
}

void PHApacheController::sentrelCheck() {
    QFile null(QStringLiteral("/dev/null"));
    if (!null.open(QIODevice::WriteOnly))
        return;
    for (const auto &[path, edits] : repairPlan().files)
        grepFileWriteTo(path, null);
}
