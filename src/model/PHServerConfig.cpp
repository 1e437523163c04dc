#include "model/PHServerConfig.h"

#include "core/PHProcess.h"
#include "model/PHServerConfigCache.h"
#include "support/PHExtensions.h"
#include "support/PHTextFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <mutex>
#include <optional>

#include <sys/stat.h>
#include <time.h>

extern char **environ;

namespace {

/// Files read for one configuration at most, and how deep Includes nest
/// (the server's own limit is 128).
constexpr int kMaxFiles = 512;
constexpr int kMaxIncludeDepth = 128;

/// What identifies a file and its content as the system keeps them (device,
/// inode, size, change and modification times), links followed; empty for
/// a path that names nothing.
QByteArray fileState(const QString &path, qint64 *changed = nullptr) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    if (changed)
        *changed = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    const qint64 fields[] = {qint64(info.st_dev),         qint64(info.st_ino),
                             qint64(info.st_size),        qint64(info.st_mode),
                             qint64(info.st_mtim.tv_sec), qint64(info.st_mtim.tv_nsec),
                             qint64(info.st_ctim.tv_sec), qint64(info.st_ctim.tv_nsec)};
    return QByteArray(reinterpret_cast<const char *>(fields), sizeof fields);
}

/// The files an Include of the absolute `pattern` reads, in the server's
/// order: a folder stands for everything in it.
QStringList filesMatching(QString pattern) {
    if (QFileInfo(pattern).isDir())
        pattern += QStringLiteral("/*");
    QStringList matches = PHString::glob(pattern).value_or(QStringList());
    matches.sort(); // the server reads them in this order
    QStringList files;
    for (const QString &match : std::as_const(matches))
        if (QFileInfo(match).isFile())
            files.append(match);
    return files;
}

/// Whether what reading `text` exports depends on nothing but the text and
/// the environment: no command's output, no other file read, no folder
/// changed or listed. Anything that could is taken as depending on more
/// (Debian's own file passes).
bool dependsOnTextAlone(const QByteArray &text) {
    if (text.contains('`') || text.contains("$(") || text.contains('<') || text.contains('\0'))
        return false;
    for (const QByteArray &rawLine : text.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('#'))
            continue;
        QByteArray word;
        const auto refuses = [](const QByteArray &w) {
            static const char *const reading[] = {".",     "source", "eval",    "read", "cd",
                                                  "pushd", "popd",   "getopts", "exec", "command",
                                                  "type",  "hash",   "trap"};
            for (const char *name : reading)
                if (w == name)
                    return true;
            // A pattern or a user's home folder: the file system's answer.
            return w.startsWith('~') || w.contains('*') || w.contains('?') ||
                   (w.contains('[') && w != "[" && w != "[[");
        };
        for (const char c : line + ' ') {
            if (c == ' ' || c == '\t' || c == ';' || c == '&' || c == '|' || c == '(' || c == ')' ||
                c == '{' || c == '}') {
                if (refuses(word))
                    return false;
                word.clear();
            } else {
                word += c;
            }
        }
    }
    return true;
}

/// The variables `text` reads ($NAME, ${NAME...}), or none when it reads one
/// the shell makes anew each time.
std::optional<QByteArrayList> variablesRead(const QByteArray &text) {
    static const QByteArrayList changing = {"RANDOM",  "SRANDOM",      "SECONDS",       "LINENO",   "PPID",
                                            "BASHPID", "EPOCHSECONDS", "EPOCHREALTIME", "HOSTNAME", "UID",
                                            "EUID",    "GROUPS",       "OPTIND",        "OPTARG"};
    const auto isName = [](char c, bool first) {
        return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               (!first && c >= '0' && c <= '9');
    };
    QByteArrayList names;
    for (qsizetype i = text.indexOf('$'); i >= 0; i = text.indexOf('$', i + 1)) {
        qsizetype from = i + 1;
        if (from < text.size() && text.at(from) == '{')
            ++from;
        if (from < text.size() && (text.at(from) == '$' || text.at(from) == '!'))
            return std::nullopt;
        qsizetype end = from;
        while (end < text.size() && isName(text.at(end), end == from))
            ++end;
        const QByteArray name = text.mid(from, end - from);
        if (name.isEmpty())
            continue;
        if (changing.contains(name))
            return std::nullopt;
        if (!names.contains(name))
            names.append(name);
    }
    return names;
}

/// The environment a child started with `extra` gets, as PHProcess makes it.
QHash<QString, QString> childEnvironment(const QStringList &extra) {
    QHash<QString, QString> environment;
    const auto insert = [&environment](const QString &entry) {
        const qsizetype equals = entry.indexOf(QLatin1Char('='));
        if (equals > 0)
            environment.insert(entry.left(equals), entry.mid(equals + 1));
    };
    QStringList names;
    for (const QString &entry : extra)
        names.append(entry.section(QLatin1Char('='), 0, 0));
    for (char **entry = environ; entry && *entry; ++entry) {
        const QString text = QString::fromUtf8(*entry);
        if (!names.contains(text.section(QLatin1Char('='), 0, 0)))
            insert(text);
    }
    for (const QString &entry : extra)
        insert(entry);
    return environment;
}

} // namespace

PHServerConfig::PHServerConfig(const QString &serverRoot, const QHash<QString, QString> &environment)
    : m_serverRoot(serverRoot), m_environment(environment) {
}

QString PHServerConfig::absoluteBelow(const QString &base, const QString &path) {
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || base.isEmpty())
        return path;
    QString folder = base;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return QDir::cleanPath(folder + path);
}

QString PHServerConfig::compiledSetting(const QString &output, const QString &name) {
    const QString key = QStringLiteral("-D %1=\"").arg(name);
    const qsizetype start = output.indexOf(key);
    if (start < 0)
        return {};
    const qsizetype from = start + key.size();
    const qsizetype end = output.indexOf(QLatin1Char('"'), from);
    return end < 0 ? QString() : output.mid(from, end - from);
}

PHServerConfig::CompiledSettings PHServerConfig::compiledSettings(const QString &binary) {
    if (binary.isEmpty() || !QFileInfo(binary).isExecutable())
        return {};
    static constexpr char question[] = "server-settings";
    const auto keyNow = [&binary]() -> std::optional<QByteArray> {
        PHServerConfigCache::Key key(question);
        if (!key.addFile(binary))
            return std::nullopt;
        key.addUser();
        // The settings are compiled in: only the loader's variables (and
        // Apache's own, to be safe) could make the program answer otherwise.
        key.addVariables("LD_");
        key.addVariables("APACHE");
        if (!binary.startsWith(QLatin1Char('/')))
            key.addWorkingFolder();
        return key.digest();
    };
    const std::optional<QByteArray> key = PHServerConfigCache::enabled() ? keyNow() : std::nullopt;
    if (key)
        if (const auto kept = PHServerConfigCache::load(question, *key); kept && kept->size() == 3)
            return {QString::fromUtf8(kept->at(0)), QString::fromUtf8(kept->at(1)),
                    QString::fromUtf8(kept->at(2))};
    const PHProcess::Result result =
        PHProcess::run(binary, {QStringLiteral("-V")}, PHProcess::Stream::Pipe, PHProcess::Stream::Null);
    // Debian's apache2 run without its control script's environment prints
    // its settings and then fails on the configuration: the settings count.
    if (!result.launched)
        return {};
    const QString output = QString::fromUtf8(result.output);
    const CompiledSettings settings{compiledSetting(output, QStringLiteral("HTTPD_ROOT")),
                                    compiledSetting(output, QStringLiteral("SERVER_CONFIG_FILE")),
                                    compiledSetting(output, QStringLiteral("DEFAULT_PIDLOG"))};
    // Kept only for the program that answered: not one replaced meanwhile.
    if (key && keyNow() == key)
        PHServerConfigCache::store(question, *key,
                                   {settings.httpdRoot.toUtf8(), settings.serverConfigFile.toUtf8(),
                                    settings.defaultPidLog.toUtf8()});
    return settings;
}

QString PHServerConfig::compiledConfigFile(const QString &binary) {
    const CompiledSettings settings = compiledSettings(binary);
    // Debian's server names its configuration relative to its root folder.
    if (settings.serverConfigFile.isEmpty())
        return {};
    return absoluteBelow(settings.httpdRoot, settings.serverConfigFile);
}

QHash<QString, QString> PHServerConfig::debianEnvironment(const QString &confDirectory) {
    QHash<QString, QString> environment;
    QString folder = confDirectory;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    if (folder.isEmpty() || !QFileInfo(folder + QStringLiteral("/envvars")).isFile())
        return environment;
    environment.insert(QStringLiteral("APACHE_CONFDIR"), folder);
    const QString shell = QStringLiteral("/bin/sh");
    const QString envvars = folder + QStringLiteral("/envvars");
    const QStringList extra = {QStringLiteral("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), QStringLiteral("LANG=C"),
                               QStringLiteral("APACHE_CONFDIR=") + folder};

    // What the shell exports is kept as what it changed in the environment
    // it was given (which is part of the key): no variable of the caller's
    // own is written down.
    static constexpr char question[] = "debian-envvars";
    const auto keyNow = [&]() -> std::optional<QByteArray> {
        PHServerConfigCache::Key key(question);
        if (!key.addFile(envvars) || !key.addFile(shell))
            return std::nullopt;
        QFile file(envvars);
        if (!file.open(QIODevice::ReadOnly) || file.size() > 65536)
            return std::nullopt;
        const QByteArray text = file.read(65537);
        if (text.size() > 65536 || !dependsOnTextAlone(text))
            return std::nullopt;
        key.add(text);
        for (const QString &entry : extra)
            key.add(entry.toUtf8());
        key.addUser();
        // The shell passes on what it was given, but for what the file
        // changes (kept), the variables it reads and those the shell itself
        // keeps: the values of the others do not bear on the answer.
        if (!key.addVariableNames())
            return std::nullopt;
        const std::optional<QByteArrayList> read = variablesRead(text);
        if (!read)
            return std::nullopt;
        for (const QByteArray &name : *read)
            key.addVariable(name);
        for (const char *name : {"SHLVL", "IFS", "LC_ALL", "LC_CTYPE"})
            key.addVariable(name);
        key.addWorkingFolder();
        return key.digest();
    };
    const std::optional<QByteArray> key = PHServerConfigCache::enabled() ? keyNow() : std::nullopt;
    QHash<QString, QString> given;
    if (key) {
        given = childEnvironment(extra);
        const auto kept = PHServerConfigCache::load(question, *key);
        if (kept && !kept->isEmpty() && (kept->first() == "ok" || kept->first() == "failed")) {
            if (kept->first() == "failed")
                return environment;
            QHash<QString, QString> exported = given;
            bool whole = true;
            for (qsizetype i = 1; i < kept->size() && whole; ++i) {
                const QString change = QString::fromUtf8(kept->at(i));
                const qsizetype equals = change.indexOf(QLatin1Char('='));
                if (change == QLatin1String("=PWD"))
                    exported.insert(QStringLiteral("PWD"), QDir::currentPath());
                else if (change.startsWith(QLatin1Char('-')) && change.size() > 1 && equals < 0)
                    exported.remove(change.mid(1));
                else if (change.startsWith(QLatin1Char('+')) && equals > 1)
                    exported.insert(change.mid(1, equals - 1), change.mid(equals + 1));
                else
                    whole = false;
            }
            if (whole) {
                environment.insert(exported);
                return environment;
            }
        }
    }

    const PHProcess::Result result = PHProcess::run(
        shell,
        {QStringLiteral("-c"), QStringLiteral(". \"$1/envvars\" </dev/null >/dev/null 2>&1; exec env -0"),
         QStringLiteral("sh"), folder},
        PHProcess::Stream::Pipe, PHProcess::Stream::Null, extra);
    if (!result.launched)
        return environment;
    const bool failed = result.status != 0;
    QHash<QString, QString> exported;
    if (!failed)
        for (const QByteArray &entry : result.output.split('\0')) {
            const qsizetype equals = entry.indexOf('=');
            if (equals > 0)
                exported.insert(QString::fromUtf8(entry.left(equals)),
                                QString::fromUtf8(entry.mid(equals + 1)));
        }
    if (key && keyNow() == key) {
        QByteArrayList changes{failed ? "failed" : "ok"};
        if (!failed) {
            for (auto it = given.cbegin(); it != given.cend(); ++it)
                if (!exported.contains(it.key()))
                    changes.append("-" + it.key().toUtf8());
            const QString here = QDir::currentPath();
            for (auto it = exported.cbegin(); it != exported.cend(); ++it) {
                const auto was = given.constFind(it.key());
                if (was != given.cend() && *was == it.value())
                    continue;
                // The shell's own $PWD names the working folder (the key holds
                // whether the given one did); any other is not kept.
                if (it.key() == QLatin1String("PWD") && it.value() != here)
                    changes.clear();
                if (changes.isEmpty())
                    break;
                changes.append(it.key() == QLatin1String("PWD")
                                   ? QByteArray("=PWD")
                                   : "+" + it.key().toUtf8() + '=' + it.value().toUtf8());
            }
        }
        if (!changes.isEmpty())
            PHServerConfigCache::store(question, *key, changes);
    }
    if (failed)
        return environment;
    environment.insert(exported);
    return environment;
}

void PHServerConfig::read(const QString &confFile) {
    // A change up to a few clock ticks before the reading started is too
    // recent to tell apart from one in the same tick after it.
    constexpr qint64 kRecent = 200 * 1000000LL; // 200 ms
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    m_readStart = qint64(now.tv_sec) * 1000000000 + now.tv_nsec - kRecent;
    readFile(confFile, 0);
}

std::shared_ptr<const PHServerConfig> PHServerConfig::readKept(const QString &confFile,
                                                               const QString &serverRoot,
                                                               const QHash<QString, QString> &environment) {
    static std::mutex mutex;
    static std::shared_ptr<const PHServerConfig> kept;
    static QString keptFile, keptRoot;
    static QHash<QString, QString> keptEnvironment;
    const std::lock_guard<std::mutex> lock(mutex);
    if (kept && keptFile == confFile && keptRoot == serverRoot && keptEnvironment == environment &&
        kept->isCurrent())
        return kept;
    auto config = std::make_shared<PHServerConfig>(serverRoot, environment);
    config->read(confFile);
    kept = config;
    keptFile = confFile;
    keptRoot = serverRoot;
    keptEnvironment = environment;
    return config;
}

bool PHServerConfig::isCurrent() const {
    if (m_racy)
        return false;
    for (const Source &source : m_sources)
        if (fileState(source.path) != source.state)
            return false;
    for (const auto &[pattern, files] : m_includes)
        if (filesMatching(pattern) != files)
            return false;
    return true;
}

void PHServerConfig::readFile(const QString &path, int depth) {
    if (depth > kMaxIncludeDepth || m_files >= kMaxFiles)
        return;
    ++m_files;
    // Taken before the file is read: a change while it is read is seen
    // the next time it is asked for.
    qint64 changed = 0;
    m_sources.push_back({path, fileState(path, &changed)});
    if (changed >= m_readStart)
        m_racy = true;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString file = canonical.isEmpty() ? path : canonical;
    const PHTextFile text = PHTextFile::read(file);
    if (!text.ok())
        return;
    const std::vector<PHConfigText::Line> lines = PHConfigText::lines(text.text);
    m_lineCounts.insert(file, lines.empty() ? 0 : lines.back().lastNumber);
    for (const PHConfigText::Line &line : lines) {
        if (line.isSkipped())
            continue;
        Line entry{file, line, expanded(line.text), {}};
        entry.words = PHConfigText::words(entry.text);
        const QString directive = entry.directive();
        const QString value = entry.words.value(1);
        m_lines.append(entry);
        if (directive == QLatin1String("serverroot") && !value.isEmpty())
            m_serverRoot = value;
        else if (directive == QLatin1String("define") && !value.isEmpty())
            m_defines.insert(value, entry.words.value(2));
        else if ((directive == QLatin1String("include") || directive == QLatin1String("includeoptional")) &&
                 !value.isEmpty())
            include(value, depth);
    }
}

void PHServerConfig::include(const QString &value, int depth) {
    const QString pattern = absoluteBelow(m_serverRoot, value);
    const QStringList files = filesMatching(pattern);
    m_includes.emplace_back(pattern, files);
    for (const QString &file : files)
        readFile(file, depth + 1);
}

QString PHServerConfig::expanded(const QString &text) const {
    QString result;
    qsizetype position = 0;
    while (true) {
        const qsizetype start = text.indexOf(QStringLiteral("${"), position);
        const qsizetype end = start < 0 ? -1 : text.indexOf(QLatin1Char('}'), start + 2);
        if (end < 0) {
            result += text.mid(position);
            return result;
        }
        const QString name = text.mid(start + 2, end - start - 2);
        result += text.mid(position, start - position);
        if (m_defines.contains(name))
            result += m_defines.value(name);
        else if (m_environment.contains(name))
            result += m_environment.value(name);
        else
            result += text.mid(start, end - start + 1);
        position = end + 1;
    }
}
