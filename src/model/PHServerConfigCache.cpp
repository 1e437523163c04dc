#include "model/PHServerConfigCache.h"

#include "support/posix/PHWriteAll.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace PHServerConfigCache {

namespace {

std::atomic<bool> g_enabled{false};
std::atomic<bool> g_storing{true};

/// A kept answer is small; a larger file is no answer of ours.
constexpr qsizetype kMaxFileSize = 1 << 20;

QByteArray header(const char *question) {
    return QByteArray("porthold-answer 1 ") + question + '\n';
}

QByteArray fileName(const char *question) {
    return QByteArray(question) + ".answer";
}

/// Ours alone: owned by the effective user and writable by no one else.
bool ownedAlone(const struct stat &info) {
    return info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

/// The answers' folder, opened without following a link at its last step
/// and checked; -1 when it is not there or not ours alone.
int openFolder(bool create) {
    const QString path = folder();
    if (path.isEmpty())
        return -1;
    const QByteArray native = QFile::encodeName(path);
    if (create) {
        // The cache home itself is made only when missing (0700, as the
        // desktop's own tools make it); a deeper missing path is not made.
        ::mkdir(QFile::encodeName(QFileInfo(path).path()).constData(), 0700);
        ::mkdir(native.constData(), 0700);
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || !ownedAlone(info)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<QByteArrayList> parse(const QByteArray &text, const char *question, const QByteArray &key) {
    const QByteArray head = header(question);
    if (!text.startsWith(head) || !text.endsWith("end\n"))
        return std::nullopt;
    QByteArrayList lines = text.sliced(head.size()).split('\n');
    // The text ends with a line end: the last piece is empty.
    if (lines.size() < 3 || !lines.last().isEmpty())
        return std::nullopt;
    lines.removeLast();
    if (lines.first() != key.toHex())
        return std::nullopt;
    bool ok = false;
    const qsizetype count = lines.at(1).toLongLong(&ok);
    if (!ok || count < 0 || lines.at(1) != QByteArray::number(count) || lines.size() != count + 3 ||
        lines.last() != "end")
        return std::nullopt;
    QByteArrayList entries;
    for (qsizetype i = 0; i < count; ++i) {
        const QByteArray &line = lines.at(i + 2);
        const auto decoded = QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.toBase64() != line)
            return std::nullopt;
        entries.append(decoded.decoded);
    }
    return entries;
}

} // namespace

Key::Key(const char *question) {
    add(question);
}

void Key::add(const QByteArray &part) {
    // Each part with its length, so no two lists of parts read the same.
    m_material += QByteArray::number(part.size()) + ':' + part + ';';
}

bool Key::addFile(const QString &path) {
    struct stat info {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    add(QFile::encodeName(path));
    const long long parts[] = {
        static_cast<long long>(info.st_dev),         static_cast<long long>(info.st_ino),
        static_cast<long long>(info.st_mode),        static_cast<long long>(info.st_uid),
        static_cast<long long>(info.st_gid),         static_cast<long long>(info.st_size),
        static_cast<long long>(info.st_mtim.tv_sec), static_cast<long long>(info.st_mtim.tv_nsec),
        static_cast<long long>(info.st_ctim.tv_sec), static_cast<long long>(info.st_ctim.tv_nsec),
    };
    for (const long long part : parts)
        add(QByteArray::number(part));
    return true;
}

void Key::addUser() {
    add(QByteArray::number(static_cast<qulonglong>(geteuid())));
}

void Key::addWorkingFolder() {
    struct stat here {
    }, named{};
    const QByteArray pwd = qgetenv("PWD");
    add(pwd.startsWith('/') && ::stat(".", &here) == 0 && ::stat(pwd.constData(), &named) == 0 &&
                here.st_dev == named.st_dev && here.st_ino == named.st_ino
            ? "pwd-here"
            : "pwd-elsewhere");
}

void Key::addVariable(const QByteArray &name) {
    const char *value = ::getenv(name.constData());
    add(name + (value ? QByteArray("=") + value : QByteArray(" unset")));
}

void Key::addVariables(const QByteArray &prefix) {
    for (char **entry = environ; entry && *entry; ++entry)
        if (qstrncmp(*entry, prefix.constData(), size_t(prefix.size())) == 0)
            add(QByteArray(*entry));
}

bool Key::addVariableNames() {
    QByteArrayList names;
    for (char **entry = environ; entry && *entry; ++entry) {
        const QByteArray variable(*entry);
        names.append(variable.left(variable.indexOf('=')));
    }
    std::sort(names.begin(), names.end());
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (i > 0 && names.at(i) == names.at(i - 1))
            return false;
        add(names.at(i));
    }
    return true;
}

QByteArray Key::digest() const {
    return QCryptographicHash::hash(m_material, QCryptographicHash::Sha256);
}

bool enabled() {
    return g_enabled.load();
}

void setEnabled(bool on) {
    g_enabled.store(on);
}

void setStoring(bool on) {
    g_storing.store(on);
}

QString folder() {
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!base.startsWith(QLatin1Char('/'))) {
        QString home = qEnvironmentVariable("HOME");
        if (!home.startsWith(QLatin1Char('/'))) {
            const struct passwd *user = ::getpwuid(geteuid());
            home = user && user->pw_dir ? QFile::decodeName(user->pw_dir) : QString();
        }
        if (!home.startsWith(QLatin1Char('/')))
            return {};
        base = home + QStringLiteral("/.cache");
    }
    return QDir::cleanPath(base + QStringLiteral("/porthold"));
}

std::optional<QByteArrayList> load(const char *question, const QByteArray &key) {
    if (!enabled())
        return std::nullopt;
    const int dir = openFolder(false);
    if (dir < 0)
        return std::nullopt;
    const int fd =
        ::openat(dir, fileName(question).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    ::close(dir);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    QByteArray text;
    // One name for the file alone: a hard link could be anyone's old file.
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ownedAlone(info) && info.st_nlink == 1 &&
        info.st_size <= kMaxFileSize) {
        text.resize(qsizetype(info.st_size) + 1);
        qsizetype got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(fd, text.data() + got, size_t(text.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        // A file that grew while read is read again next time, not now.
        text.truncate(got == text.size() ? 0 : got);
    }
    ::close(fd);
    if (text.isEmpty())
        return std::nullopt;
    return parse(text, question, key);
}

void store(const char *question, const QByteArray &key, const QByteArrayList &entries) {
    if (!enabled() || !g_storing.load())
        return;
    QByteArray text = header(question) + key.toHex() + '\n' + QByteArray::number(entries.size()) + '\n';
    for (const QByteArray &entry : entries)
        text += entry.toBase64() + '\n';
    text += "end\n";
    if (text.size() > kMaxFileSize)
        return;
    const int dir = openFolder(true);
    if (dir < 0)
        return;
    const QByteArray temporary =
        '.' + fileName(question) + '.' + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    const int fd =
        ::openat(dir, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        ::close(dir);
        return;
    }
    // 0600 whatever the umask.
    bool ok = ::fchmod(fd, 0600) == 0 && PHWriteAll(fd, text.constData(), size_t(text.size()));
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::renameat(dir, temporary.constData(), dir, fileName(question).constData()) != 0)
        ::unlinkat(dir, temporary.constData(), 0);
    ::close(dir);
}

} // namespace PHServerConfigCache
