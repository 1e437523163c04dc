// The server tab: where the configuration is, which logs it names, and the
// repair that makes the server honour per-folder access files.

#include "server/PHApacheController.h"

#include "model/PHSettings.h"
#include "platform/Log.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHImage.h"
#include "platform/PHProcess.h"
#include "platform/PanelContext.h"
#include "server/PHServerLayout.h"
#include "support/PHExtensions.h"
#include "support/PHPath.h"
#include "support/PHRegex.h"
#include "support/PHTextFile.h"
#include "support/PHUserDefaults.h"

#include <QBuffer>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <optional>

#include <fnmatch.h>
#include <unistd.h>

namespace {

const QStringList kLogTokens = {QStringLiteral("CustomLog"), QStringLiteral("ErrorLog"),
                                QStringLiteral("Include")};

/// The last double-quoted argument of a directive line, within the stretch of
/// words and quoted words at its start.
const QString kArgumentPattern = QStringLiteral(R"re(((([-.*/\w]+)|"([-.*/\w\s]+)")\s*)*)re");

// ---- Which section governs the web folder

/// One <Directory> section of the server's configuration.
struct DirectorySection {
    QString file;  ///< the file it is in (links resolved: that file is the one rewritten)
    qint32 open = 0; ///< line of "<Directory ...>", from 1
    QString header;  ///< that line, trimmed
    QStringList components; ///< of its path; empty for "/"
    qint32 overrideLine = 0; ///< its last AllowOverride line, 0 when it has none
    QString overrideText;    ///< that line, untouched
    QStringList overrides;   ///< its arguments
    QString indent;          ///< of the first line inside, for a line added there
    qsizetype order = 0;     ///< position in the whole configuration
};

QStringList pathComponents(const QString &path) {
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

/// Reads the configuration from its main file through every Include, in the
/// order the server does, keeping the <Directory> sections outside comments.
class ConfigurationScan {
public:
    explicit ConfigurationScan(const QString &serverRoot) : m_serverRoot(serverRoot) {}

    void scan(const QString &path) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        const QString file = canonical.isEmpty() ? path : canonical;
        if (m_seen.contains(file) || m_seen.size() > 512)
            return;
        m_seen.insert(file);
        const PHTextFile text = PHTextFile::read(file);
        if (!text.ok())
            return;
        m_lineCounts.insert(file, qint32(text.text.count(QLatin1Char('\n')) + 1));
        static const QRegularExpression open(QStringLiteral(R"re(^<Directory\s+(?:"([^"]*)"|([^\s>]+))\s*>)re"),
                                             QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression close(QStringLiteral(R"(^</Directory\s*>)"),
                                              QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression allowOverride(QStringLiteral(R"(^AllowOverride\s+(.*)$)"),
                                                      QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression include(
            QStringLiteral(R"re(^Include(?:Optional)?\s+(?:"([^"]*)"|(\S+)))re"), QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression serverRoot(QStringLiteral(R"re(^ServerRoot\s+(?:"([^"]*)"|(\S+)))re"),
                                                   QRegularExpression::CaseInsensitiveOption);
        const QStringList lines = text.text.split(QLatin1Char('\n'));
        std::optional<DirectorySection> current;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            QString line = lines.at(i);
            if (line.endsWith(QLatin1Char('\r')))
                line.chop(1);
            const QString trimmed = line.trimmed();
            // A commented line is no part of the configuration.
            if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
                continue;
            if (const auto match = open.match(trimmed); match.hasMatch()) {
                const QString path = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
                current = DirectorySection{};
                current->file = file;
                current->open = qint32(i + 1);
                current->header = trimmed;
                // "<Directory ~ regex>" is matched apart: never a section repaired.
                current->components = path == QLatin1String("~") ? QStringList{QStringLiteral("~")} : pathComponents(path);
                m_pendingIndent = true; // the indent is the next line's
                continue;
            }
            if (current && m_pendingIndent) {
                current->indent = line.left(std::max<qsizetype>(line.indexOf(trimmed.at(0)), 0));
                m_pendingIndent = false;
            }
            if (close.match(trimmed).hasMatch()) {
                if (current) {
                    current->order = m_sections.size();
                    if (current->components != QStringList{QStringLiteral("~")})
                        m_sections.append(*current);
                }
                current.reset();
                continue;
            }
            if (current) {
                if (const auto match = allowOverride.match(trimmed); match.hasMatch()) {
                    current->overrideLine = qint32(i + 1);
                    current->overrideText = line;
                    current->overrides = match.captured(1).split(QRegularExpression(QStringLiteral("\\s+")),
                                                                 Qt::SkipEmptyParts);
                }
                continue;
            }
            if (const auto match = serverRoot.match(trimmed); match.hasMatch()) {
                m_serverRoot = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
                continue;
            }
            if (const auto match = include.match(trimmed); match.hasMatch()) {
                QString pattern = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
                if (!pattern.startsWith(QLatin1Char('/')))
                    pattern = m_serverRoot + QLatin1Char('/') + pattern;
                if (QFileInfo(pattern).isDir())
                    pattern += QStringLiteral("/*");
                QStringList matches = PHString::glob(pattern).value_or(QStringList());
                matches.sort(); // as the server includes them
                for (const QString &included : std::as_const(matches))
                    if (QFileInfo(included).isFile())
                        scan(included);
            }
        }
    }

    const QList<DirectorySection> &sections() const { return m_sections; }
    qint32 lineCount(const QString &file) const { return m_lineCounts.value(file); }

private:
    QString m_serverRoot;
    QSet<QString> m_seen;
    QHash<QString, qint32> m_lineCounts;
    QList<DirectorySection> m_sections;
    bool m_pendingIndent = false;
};

/// Whether a section of `pattern` applies to `folder` (and the folders below
/// it): component by component, with the shell wildcards the server allows.
bool applies(const QStringList &pattern, const QStringList &folder) {
    if (pattern.size() > folder.size())
        return false;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QByteArray want = pattern.at(i).toUtf8();
        const QByteArray have = folder.at(i).toUtf8();
        if (::fnmatch(want.constData(), have.constData(), FNM_PATHNAME) != 0)
            return false;
    }
    return true;
}

/// Whether the overrides let the server read what Porthold writes: the
/// password directives (AuthConfig) and the address ones (Limit).
bool honoursAccessFiles(const QStringList &overrides) {
    QSet<QString> kinds;
    for (const QString &kind : overrides)
        kinds.insert(kind.toLower());
    if (kinds.contains(QStringLiteral("none")))
        return false;
    return kinds.contains(QStringLiteral("all")) ||
           (kinds.contains(QStringLiteral("authconfig")) && kinds.contains(QStringLiteral("limit")));
}

/// One line a repair replaces or adds.
struct RepairEdit {
    enum class Kind { Replace, InsertAfter, Append };
    Kind kind = Kind::Replace;
    qint32 line = 0; ///< the line replaced, or the one the new line follows
    QString text;
    PHApacheController::RepairChange change;
};

QString repairedOverride(const QString &original) {
    const qsizetype start = original.indexOf(QRegularExpression(QStringLiteral("\\S")));
    return original.left(std::max<qsizetype>(start, 0)) + QStringLiteral("AllowOverride All");
}

using RepairPlan = QList<std::pair<QString, QList<RepairEdit>>>;

QList<RepairEdit> &editsOf(RepairPlan &plan, const QString &file) {
    for (auto &[path, edits] : plan)
        if (path == file)
            return edits;
    plan.append({file, {}});
    return plan.last().second;
}

/// What makes the server read the web folder's access files, touching only
/// the section that governs the folder: the most specific <Directory> that
/// applies to it (never "<Directory />", which is the whole disk), or one
/// added for the folder at the end of the main file when no other applies.
/// Empty when the folder's access files are honoured already.
RepairPlan planRepair(const QString &mainFile, const QString &serverRoot, const QString &webFolder) {
    RepairPlan plan;
    if (mainFile.isEmpty() || webFolder.isEmpty())
        return plan;
    ConfigurationScan scan(serverRoot);
    scan.scan(mainFile);
    QList<QStringList> folders{pathComponents(webFolder)};
    if (const QString canonical = QFileInfo(webFolder).canonicalFilePath();
        !canonical.isEmpty() && pathComponents(canonical) != folders.first())
        folders.append(pathComponents(canonical));
    const auto appliesHere = [&folders](const DirectorySection &section) {
        return std::any_of(folders.cbegin(), folders.cend(),
                           [&section](const QStringList &folder) { return applies(section.components, folder); });
    };
    // The server merges sections from the shortest path to the longest, a
    // later one of the same length after an earlier one.
    const auto moreSpecific = [](const DirectorySection *a, const DirectorySection &b) {
        return !a || b.components.size() > a->components.size() ||
               (b.components.size() == a->components.size() && b.order > a->order);
    };
    const DirectorySection *governing = nullptr; // whose AllowOverride is in force
    const DirectorySection *target = nullptr;    // the most specific one but "/"
    for (const DirectorySection &section : scan.sections()) {
        if (!appliesHere(section))
            continue;
        if (section.overrideLine > 0 && moreSpecific(governing, section))
            governing = &section;
        if (!section.components.isEmpty() && moreSpecific(target, section))
            target = &section;
    }
    if (governing && honoursAccessFiles(governing->overrides))
        return plan;
    if (target) {
        RepairEdit edit;
        edit.change.block = target->header;
        edit.change.after = QStringLiteral("AllowOverride All");
        if (target->overrideLine > 0) {
            edit.kind = RepairEdit::Kind::Replace;
            edit.line = target->overrideLine;
            edit.text = repairedOverride(target->overrideText);
            edit.change.line = target->overrideLine;
            edit.change.before = target->overrideText.trimmed();
        } else {
            edit.kind = RepairEdit::Kind::InsertAfter;
            edit.line = target->open;
            edit.text = (target->indent.isEmpty() ? QStringLiteral("    ") : target->indent) +
                        QStringLiteral("AllowOverride All");
            edit.change.line = target->open + 1;
        }
        editsOf(plan, target->file).append(edit);
        return plan;
    }
    // Only "<Directory />" applies: the web folder gets a section of its own.
    const QString canonical = QFileInfo(mainFile).canonicalFilePath();
    const QString file = canonical.isEmpty() ? mainFile : canonical;
    QString folder = webFolder;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    QString quoted = folder;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    const QString header = QStringLiteral("<Directory \"%1\">").arg(quoted);
    const qint32 last = scan.lineCount(file) + 1; // the repair ends the file with a line feed
    const QStringList added{header, QStringLiteral("    AllowOverride All"), QStringLiteral("</Directory>")};
    QList<RepairEdit> &edits = editsOf(plan, file);
    for (qsizetype i = 0; i < added.size(); ++i) {
        RepairEdit edit;
        edit.kind = RepairEdit::Kind::Append;
        edit.text = added.at(i);
        edit.change = {qint32(last + i + 1), header, QString(), added.at(i).trimmed()};
        edits.append(edit);
    }
    return plan;
}

/// The web folder whose access files the repair is for.
QString webFolder() {
    PanelContext *context = PanelContext::sharedInstance();
    return context ? context->portholdLocation(4) : QString();
}

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

QString lastPathComponent(const QString &path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

/// The value of a "-D NAME="value"" line of the server's "-V" output: after the
/// name, blanks, "=" and quotes are skipped and the text runs to the next quote.
QString compiledSetting(const QString &output, const QString &name) {
    qsizetype position = output.indexOf(name);
    if (position < 0)
        return {};
    position += name.size();
    while (position < output.size() &&
           (output.at(position).isSpace() || output.at(position) == QLatin1Char('=') ||
            output.at(position) == QLatin1Char('"')))
        ++position;
    qsizetype end = output.indexOf(QLatin1Char('"'), position);
    if (end < 0)
        end = output.size();
    return output.mid(position, end - position);
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

void PHApacheController::getApacheConfFile(QObject *) {
    PHUserDefaults *defaults = PHUserDefaults::standardUserDefaults();
    if (defaults->boolForKey(PHSettings::Key::OverrideConfDirectory)) {
        m_confFileDir = defaults->stringForKey(PHSettings::Key::ApacheConfDirectory).value_or(QString());
        m_confFileName = defaults->stringForKey(PHSettings::Key::ApacheConfFile).value_or(QString());
        return;
    }
    const QString binary = defaults->stringForKey(PHSettings::Key::ApacheBinaryLocation).value_or(QString());
    if (binary.isEmpty())
        return;
    PHProcess server(binary, {QStringLiteral("-V")});
    server.setStandardInput(PHProcess::Stream::Null);
    server.setStandardOutput(PHProcess::Stream::Pipe);
    if (!server.launch()) {
        Log::write(QStringLiteral("%1 could not be run: %2").arg(binary, server.errorString()));
        return;
    }
    server.waitUntilExit();
    const QString output = QString::fromUtf8(server.standardOutput());
    if (!output.contains(QLatin1String("SERVER_CONFIG_FILE")))
        return;
    QString path = compiledSetting(output, QStringLiteral("SERVER_CONFIG_FILE"));
    // Debian's server names its configuration relative to its root folder.
    if (!path.startsWith(QLatin1Char('/'))) {
        const QString root = compiledSetting(output, QStringLiteral("HTTPD_ROOT"));
        if (!root.isEmpty())
            path = appendingPathComponent(root, path);
    }
    m_confFileDir = deletingLastPathComponent(path);
    m_confFileName = lastPathComponent(path);
}

QString PHApacheController::httpdConfFile() const {
    return appendingPathComponent(m_confFileDir, m_confFileName);
}

QString PHApacheController::userConfFile() const {
    const QString folder = PHUserDefaults::standardUserDefaults()
                               ->stringForKey(PHSettings::Key::ApacheUserConfDirectory)
                               .value_or(QString());
    const QString login = PHPath::loginName();
    if (login.isEmpty())
        return {};
    return appendingPathComponent(appendingPathComponent(m_confFileDir, folder),
                                  login + QStringLiteral(".conf"));
}

// ---- Log discovery

void PHApacheController::addLog(const QString &path, const QString &title) {
    m_logs.append(path);
    if (m_logPicker) {
        m_logPicker->setEnabled(true);
        m_logPicker->addItem(QIcon(PHImage::imageForFileWidthHeight(path, 16, 16)), title);
    }
    if (m_logDisplayButton)
        m_logDisplayButton->setEnabled(true);
}

void PHApacheController::reloadServerSettings() {
    getApacheConfFile();
    relistLogs();
    checkApacheStatus();
}

void PHApacheController::relistLogs() {
    m_logs.clear();
    if (m_logPicker) {
        m_logPicker->clear();
        m_logPicker->setEnabled(false);
    }
    if (m_logDisplayButton)
        m_logDisplayButton->setEnabled(false);
    findLogs();
}

void PHApacheController::findLogs() {
    PHUserDefaults *defaults = PHUserDefaults::standardUserDefaults();
    if (m_logProblem) {
        m_logProblem->clear();
        m_logProblem->hide();
    }
    if (defaults->boolForKey(PHSettings::Key::OverrideLogDirectory)) {
        const QString folder =
            defaults->stringForKey(PHSettings::Key::ApacheLogDirectory).value_or(QString());
        // An empty list says why, where the logs would be.
        if (const QString problem = PHServerLayout::logFolderProblem(folder); !problem.isEmpty()) {
            if (m_logProblem) {
                m_logProblem->setText(problem);
                m_logProblem->show();
            }
            return;
        }
        // Listed by name, as people read a log folder.
        const QStringList entries = QDir(folder).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &name : entries) {
            if (name.endsWith(QLatin1String("gz")) ||
                !QFileInfo::exists(appendingPathComponent(folder, name)))
                continue;
            addLog(appendingPathComponent(folder, name), name);
        }
        if (m_logs.isEmpty() && m_logProblem) {
            m_logProblem->setText(QStringLiteral("The log folder %1 holds no logs yet.").arg(folder));
            m_logProblem->show();
        }
        return;
    }
    m_parsedConfFiles.clear();
    const QString main = httpdConfFile();
    m_findLogFiles = PHConfParser::initWithFile(main);
    if (!m_findLogFiles) {
        if (m_logProblem) {
            m_logProblem->setText(
                main.isEmpty()
                    ? QStringLiteral("The server's configuration is not known: choose Detect in Options.")
                    : QStringLiteral("The logs are named in %1, which cannot be read.").arg(main));
            m_logProblem->show();
        }
        return;
    }
    const QString canonical = QFileInfo(main).canonicalFilePath();
    m_parsedConfFiles.insert(canonical.isEmpty() ? main : canonical);
    m_findLogFiles->setDelegate(this);
    m_findLogFiles->setTokens(kLogTokens);
    m_findLogFiles->parse();
}

void PHApacheController::followInclude(const QString &pattern) {
    const std::optional<QStringList> matches = PHString::glob(pattern);
    if (!matches)
        return;
    for (const QString &path : *matches) {
        // Each file once per discovery: an Include that matches itself, or two
        // files that include each other, would otherwise never end.
        const QString canonical = QFileInfo(path).canonicalFilePath();
        const QString key = canonical.isEmpty() ? path : canonical;
        if (m_parsedConfFiles.contains(key))
            continue;
        m_parsedConfFiles.insert(key);
        std::shared_ptr<PHConfParser> parser = PHConfParser::initWithFile(path);
        if (!parser)
            continue;
        parser->setDelegate(this);
        parser->setTokens(kLogTokens);
        parser->parse();
    }
}

void PHApacheController::parserParsedTokenInLineAtLineNumberOfFile(PHConfParser *, const QString &token,
                                                                   const QString &line, qint32,
                                                                   const QString &) {
    const QStringList components = PHRegex::captureComponentsMatchedByRegex(line, kArgumentPattern);
    const QString argument = components.size() > 4 ? components.at(4) : QString();
    if (token == QLatin1String("Include")) {
        followInclude(argument);
        return;
    }
    if (argument.isEmpty())
        return;
    // exists() follows links: a link to a log that is gone is no log.
    if (!QFileInfo::exists(argument))
        return;
    addLog(argument, lastPathComponent(argument));
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

    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString resolved = canonical.isEmpty() ? path : canonical;
    QList<RepairEdit> edits;
    for (const auto &[planned, fileEdits] : planRepair(httpdConfFile(), httpdConfRoot(), webFolder()))
        if (planned == resolved)
            edits = fileEdits;
    const auto encodedLine = [&](const QString &text) -> std::optional<QByteArray> {
        std::optional<QByteArray> encoded = PHTextFile::encode(text, decoded.encoding);
        if (encoded)
            *encoded += *lineFeed;
        return encoded;
    };
    bool changed = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qint32 number = qint32(i + 1);
        QByteArray out;
        const auto replaced = std::find_if(edits.cbegin(), edits.cend(), [number](const RepairEdit &edit) {
            return edit.kind == RepairEdit::Kind::Replace && edit.line == number;
        });
        if (replaced != edits.cend() || !keepBytes) {
            const std::optional<QByteArray> encoded =
                encodedLine(replaced != edits.cend() ? replaced->text : lines.at(i));
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
        for (const RepairEdit &edit : std::as_const(edits)) {
            if (edit.kind != RepairEdit::Kind::InsertAfter || edit.line != number)
                continue;
            const std::optional<QByteArray> encoded = encodedLine(edit.text);
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
    for (const RepairEdit &edit : std::as_const(edits)) {
        if (edit.kind != RepairEdit::Kind::Append)
            continue;
        const std::optional<QByteArray> encoded = encodedLine(edit.text);
        if (!encoded)
            return fail(kFileUnacceptable);
        if (!write(*encoded))
            return fail(kTempFileWriteFailed);
        changed = true;
        if (changes)
            changes->append(edit.change);
    }
    return changed;
}

qint32 PHApacheController::repairConfFile(const QString &path) {
    const qint32 acceptable = PHFileManager::isFileAcceptable(path);
    if (acceptable != 0)
        return acceptable;

    QStringList arguments{QStringLiteral("-operation"), QStringLiteral("sentrel"), QStringLiteral("-file"),
                          path};
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

QList<std::pair<QString, QList<PHApacheController::RepairChange>>> PHApacheController::repairPreview() {
    QList<std::pair<QString, QList<RepairChange>>> preview;
    for (const auto &[path, edits] : planRepair(httpdConfFile(), httpdConfRoot(), webFolder())) {
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

void PHApacheController::confirmRepair(QObject *sender) {
    // Without the tool nothing can be repaired: the repair itself says so.
    if (m_helperPath.isEmpty()) {
        sentrel(sender);
        return;
    }
    const auto preview = repairPreview();
    if (preview.isEmpty()) {
        if (const qint32 acceptable = PHFileManager::isFileAcceptable(httpdConfFile()); acceptable != 0) {
            sentrel(sender); // says what is wrong with the configuration
            return;
        }
        showMessage(PHThemeColors::Meaning::Positive,
                    QStringLiteral("Nothing to repair: %1 already lets Apache read the .htaccess files of %2")
                        .arg(httpdConfFile(), webFolder()));
        return;
    }
    QStringList lines{QStringLiteral("Repair changes these lines so that Apache reads the .htaccess files of %1:")
                          .arg(webFolder())};
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
    PHAlertSheet::begin(window, request, [self](int returnCode) {
        if (self && returnCode == PHAlertSheet::Default)
            self->sentrel();
    });
}

void PHApacheController::sentrel(QObject *) {
    PanelContext *context = PanelContext::sharedInstance();
    QStringList repaired;
    auto show = [context](qint32 code, const QString &path) {
        if (context)
            context->displayError(code, path.isEmpty() ? QString() : QStringLiteral("File: %1").arg(path));
    };
    if (m_helperPath.isEmpty()) {
        show(kToolMissing, QString());
        return;
    }
    // Only the files of the section that governs the web folder change.
    const QString main = httpdConfFile();
    const RepairPlan plan = planRepair(main, httpdConfRoot(), webFolder());
    if (plan.isEmpty()) {
        if (const qint32 acceptable = PHFileManager::isFileAcceptable(main); acceptable != 0)
            show(acceptable, main);
        else
            showMessage(PHThemeColors::Meaning::Positive,
                        QStringLiteral("Nothing to repair: %1 already lets Apache read the .htaccess files of %2")
                            .arg(main, webFolder()));
        return;
    }
    for (const auto &[path, edits] : plan) {
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
    if (m_isApacheRunning)
        apachectl(QStringLiteral("graceful"));
}

void PHApacheController::sentrelCheck(QObject *) {
    QFile null(QStringLiteral("/dev/null"));
    if (!null.open(QIODevice::WriteOnly))
        return;
    for (const auto &[path, edits] : planRepair(httpdConfFile(), httpdConfRoot(), webFolder()))
        grepFileWriteTo(path, null);
}
