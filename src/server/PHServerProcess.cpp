#include "server/PHServerProcess.h"

#include "core/PHProcess.h"
#include "model/PHServerConfig.h"
#include "support/PHExtensions.h"
#include "support/PHTextFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// A small file of the kernel's or the server's, read whole up to `limit`.
std::optional<QByteArray> readSmall(const QString &path, qsizetype limit, int flags = 0) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags);
    if (fd < 0)
        return std::nullopt;
    QByteArray bytes;
    char buffer[4096];
    while (bytes.size() < limit) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes.left(limit);
}

QString canonical(const QString &path) {
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? QDir::cleanPath(path) : resolved;
}

} // namespace

QString PHServerProcess::pidFileOf(const QString &confFile, const QString &serverRoot,
                                   const QHash<QString, QString> &environment,
                                   const QString &defaultPidFile) {
    const std::shared_ptr<const PHServerConfig> configuration =
        PHServerConfig::readKept(confFile, serverRoot, environment);
    // The last one in force; relative to ServerRoot, whatever DefaultRuntimeDir says.
    QString pidFile = defaultPidFile;
    QString root = serverRoot;
    for (const PHServerConfig::Line &line : configuration->lines()) {
        if (line.directive() == QLatin1String("serverroot") && line.words.size() > 1)
            root = line.words.at(1);
        else if (line.directive() == QLatin1String("pidfile") && line.words.size() > 1)
            pidFile = line.words.at(1);
    }
    if (pidFile.isEmpty())
        return {};
    return PHServerConfig::absoluteBelow(root, pidFile);
}

PHServerProcess PHServerProcess::locate(const QString &binary, const QString &confFile) {
    PHServerProcess server;
    server.binary = binary;
    server.confFile = confFile;
    QString defaultPidFile = QStringLiteral("logs/httpd.pid");
    const PHServerConfig::CompiledSettings compiled = PHServerConfig::compiledSettings(binary);
    server.httpdRoot = compiled.httpdRoot;
    server.defaultConfFile = compiled.serverConfigFile;
    if (!compiled.defaultPidLog.isEmpty())
        defaultPidFile = compiled.defaultPidLog;
    if (confFile.isEmpty())
        return server;
    const QString confDirectory = QFileInfo(confFile).absolutePath();
    const QString root = server.httpdRoot.isEmpty() ? confDirectory : server.httpdRoot;
    server.pidFile =
        pidFileOf(confFile, root, PHServerConfig::debianEnvironment(confDirectory), defaultPidFile);
    return server;
}

pid_t PHServerProcess::runningProcess(QString *why) const {
    auto no = [why](const QString &reason) {
        if (why)
            *why = reason;
        return pid_t(0);
    };
    if (pidFile.isEmpty())
        return no(QStringLiteral("the configuration names no PidFile"));
    // The server writes its number and a line feed; anything else is not its file.
    const std::optional<QByteArray> bytes = readSmall(pidFile, 32, O_NOFOLLOW);
    if (!bytes)
        return no(QStringLiteral("%1 does not exist").arg(pidFile));
    const QByteArray text = bytes->trimmed();
    bool numeric =
        !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const long number = numeric ? text.toLong(&numeric) : 0;
    if (!numeric || number <= 0 || number > 0x3fffffff)
        return no(QStringLiteral("%1 holds no process number").arg(pidFile));
    const pid_t pid = pid_t(number);
    if (!isThisServer(pid, why))
        return 0;
    return pid;
}

bool PHServerProcess::isThisServer(pid_t pid, QString *why) const {
    auto no = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    const QString proc = QStringLiteral("/proc/%1").arg(pid);
    const std::optional<QByteArray> stat = readSmall(proc + QStringLiteral("/stat"), 4096);
    if (!stat || stat->isEmpty()) {
        // Where the process table hides other users' processes, the server's
        // own file is all there is to go by.
        if (::kill(pid, 0) == 0 || errno == EPERM)
            return !QFileInfo::exists(proc) || no(QStringLiteral("process %1 cannot be inspected").arg(pid));
        return no(QStringLiteral("process %1 has ended").arg(pid));
    }
    // "pid (name) S ...": the name may hold blanks and parentheses.
    const qsizetype close = stat->lastIndexOf(')');
    const qsizetype open = stat->indexOf('(');
    if (close < 0 || open < 0 || close + 2 >= stat->size())
        return no(QStringLiteral("process %1 cannot be read").arg(pid));
    const char state = stat->at(close + 2);
    if (state == 'Z' || state == 'X')
        return no(QStringLiteral("process %1 has ended").arg(pid));
    const QString name = QString::fromUtf8(stat->mid(open + 1, close - open - 1));

    // The program: the file behind the configured name, links resolved.
    const QString program = canonical(binary);
    char target[4096];
    const ssize_t length =
        ::readlink(QFile::encodeName(proc + QStringLiteral("/exe")).constData(), target, sizeof target - 1);
    if (length > 0) {
        QString exe = QFile::decodeName(QByteArray(target, length));
        // A program replaced by an upgrade while it runs.
        if (exe.endsWith(QLatin1String(" (deleted)")))
            exe.chop(10);
        if (exe != program)
            return no(QStringLiteral("process %1 runs %2, not %3").arg(pid).arg(exe, program));
    } else {
        // Another user's process (root's server, for a panel run by a user):
        // its program is hidden, its name is not. The kernel keeps 15 bytes.
        const auto shortName = [](const QString &path) {
            return QString::fromUtf8(QFile::encodeName(QFileInfo(path).fileName()).left(15));
        };
        if (name != shortName(binary) && name != shortName(program))
            return no(
                QStringLiteral("process %1 is %2, not %3").arg(pid).arg(name, QFileInfo(binary).fileName()));
    }

    // The configuration it was started with: "-f file" (relative to "-d
    // root" or the compiled-in root), or the compiled-in file.
    const std::optional<QByteArray> commandLine = readSmall(proc + QStringLiteral("/cmdline"), 65536);
    if (!commandLine || commandLine->isEmpty())
        return no(QStringLiteral("process %1 has no command line").arg(pid));
    QStringList arguments;
    for (const QByteArray &argument : commandLine->split('\0'))
        arguments.append(QFile::decodeName(argument));
    if (!arguments.isEmpty() && arguments.last().isEmpty())
        arguments.removeLast();
    QString file, root;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument.size() < 2 || argument.at(0) != QLatin1Char('-'))
            continue;
        const QChar option = argument.at(1);
        // The options of the server that take a value.
        if (!QStringLiteral("CcDdEefk").contains(option))
            continue;
        const QString value = argument.size() > 2 ? argument.mid(2) : arguments.value(i + 1);
        if (argument.size() == 2)
            ++i;
        if (option == QLatin1Char('f'))
            file = value;
        else if (option == QLatin1Char('d'))
            root = value;
    }
    if (file.isEmpty())
        file = defaultConfFile;
    if (file.isEmpty())
        return true; // the program does not say what it reads by itself: its file is enough
    if (root.isEmpty())
        root = httpdRoot;
    const QString started = PHServerConfig::absoluteBelow(root, file);
    if (!started.startsWith(QLatin1Char('/')) || canonical(started) != canonical(confFile))
        return no(QStringLiteral("process %1 serves %2, not %3").arg(pid).arg(started, confFile));
    return true;
}
