#include "support/PHAtomicFile.h"

#include "core/Log.h"
#include "support/PHFileName.h"
#include "support/PHWriteJournal.h"
#include "support/posix/PHWriteAll.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The kernel's own limit on links followed while resolving one path.
constexpr int kMaxLinkHops = 40;

QString describe(const QString &step, const QByteArray &path, int error) {
    return QStringLiteral("%1 %2: %3")
        .arg(step, QString::fromLocal8Bit(path), QString::fromLocal8Bit(std::strerror(error)));
}

QByteArray folderOf(const QByteArray &path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    if (slash == 0)
        return QByteArrayLiteral("/");
    return path.left(slash);
}

QByteArray nameOf(const QByteArray &path) {
    return path.mid(path.lastIndexOf('/') + 1);
}

// Follows symbolic links at the last component as open(2) would, so that the
// file a link leads to is the one replaced and the link itself stays. A
// dangling link leads to the path where the new file will be created.
bool resolveTarget(QByteArray path, QByteArray *target, int *error) {
    for (int hops = 0;; ++hops) {
        struct stat info {};
        if (::lstat(path.constData(), &info) != 0) {
            if (errno == ENOENT) {
                *target = path;
                return true;
            }
            *error = errno;
            return false;
        }
        if (!S_ISLNK(info.st_mode)) {
            *target = path;
            return true;
        }
        if (hops >= kMaxLinkHops) {
            *error = ELOOP;
            return false;
        }
        char buffer[PATH_MAX];
        const ssize_t length = ::readlink(path.constData(), buffer, sizeof buffer);
        if (length < 0) {
            *error = errno;
            return false;
        }
        if (static_cast<size_t>(length) >= sizeof buffer) {
            *error = ENAMETOOLONG;
            return false;
        }
        QByteArray destination(buffer, length);
        if (!destination.startsWith('/'))
            destination = folderOf(path) + '/' + destination;
        path = destination;
    }
}

// The process's umask, read without changing it (umask(2) cannot be read
// without a set, which would race with other threads creating files).
mode_t currentUmask() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = status.readAll().split('\n');
        for (const QByteArray &line : lines) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint value = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return static_cast<mode_t>(value & 0777);
            }
        }
    }
    return 022;
}

// Whether a link at `link`, leading to `target`, stays within the files of
// the owner of the link's folder.
bool linkStaysWithOwner(const QByteArray &link, const QByteArray &target, QString *why) {
    struct stat folder {};
    struct stat file {};
    struct stat targetFolder {};
    if (::stat(folderOf(link).constData(), &folder) != 0) {
        *why = describe(QStringLiteral("cannot read the attributes of"), folderOf(link), errno);
        return false;
    }
    const QString prefix = QStringLiteral("will not follow the symbolic link %1 to %2: ")
                               .arg(QString::fromLocal8Bit(link), QString::fromLocal8Bit(target));
    if (::lstat(target.constData(), &file) != 0 || !S_ISREG(file.st_mode)) {
        *why = prefix + QStringLiteral("it does not lead to a regular file");
        return false;
    }
    if (file.st_uid != folder.st_uid || ::stat(folderOf(target).constData(), &targetFolder) != 0 ||
        targetFolder.st_uid != folder.st_uid) {
        *why = prefix + QStringLiteral("it leads out of the files of the folder's owner");
        return false;
    }
    return true;
}

} // namespace

namespace PHAtomicFile {

bool write(const QString &path, const QByteArray &data, QString *error, LinkPolicy links) {
    // A command-line run that keeps a journal writes nothing already there,
    // and nothing at all in a dry run.
    if (!PHWriteJournal::recordWrite(path, data)) {
        if (error)
            error->clear();
        return true;
    }
    Writer writer;
    if (!writer.open(path, error, links) || !writer.append(data.constData(), data.size(), error) ||
        !writer.commit(error))
        return false;
    if (error)
        error->clear();
    return true;
}

bool remove(const QString &path, int *error) {
    if (!PHWriteJournal::recordRemoval(path))
        return true;
    if (::unlink(PHFileName::encode(path).constData()) == 0 || errno == ENOENT)
        return true;
    if (error)
        *error = errno;
    return false;
}

Writer::~Writer() {
    abandon();
}

void Writer::abandon() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_temporary.isEmpty())
        ::unlink(m_temporary.constData());
    m_fd = -1;
    m_temporary.clear();
    m_target.clear();
    m_written = 0;
}

bool Writer::open(const QString &path, QString *error, LinkPolicy links) {
    abandon();
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (path.isEmpty())
        return fail(QStringLiteral("no path to write"));

    const QByteArray requested = PHFileName::encode(path);
    QByteArray target;
    int err = 0;
    if (links == LinkPolicy::ReplaceLink)
        target = requested;
    else if (!resolveTarget(requested, &target, &err))
        return fail(describe(QStringLiteral("cannot resolve"), requested, err));
    if (links == LinkPolicy::ReplaceOwnersTarget && target != requested) {
        QString why;
        if (!linkStaysWithOwner(requested, target, &why))
            return fail(why);
    }

    // stat follows a link, so a replaced link hands its target's attributes on.
    struct stat old {};
    const bool existed = ::stat(target.constData(), &old) == 0;
    if (!existed && errno != ENOENT)
        return fail(describe(QStringLiteral("cannot read the attributes of"), target, errno));
    if (existed && !S_ISREG(old.st_mode))
        return fail(describe(QStringLiteral("not a regular file:"), target, EINVAL));
    const mode_t mode = existed ? (old.st_mode & 07777) : (0666 & ~currentUmask());

    // Hidden beside the target; a name that already starts with "." (".htaccess")
    // keeps its prefix, so the server's rule against serving ".ht*" covers it.
    QByteArray name = nameOf(target);
    if (!name.startsWith('.'))
        name.prepend('.');
    QByteArray pattern = folderOf(target) + '/' + name.left(200) + ".XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(describe(QStringLiteral("cannot create a temporary file in"), folderOf(target), errno));
    m_fd = fd;
    m_temporary = pattern;
    m_target = target;

    auto abandonWith = [&](const QString &why) {
        abandon();
        return fail(why);
    };

    if (existed) {
        struct stat mine {};
        if (::fstat(fd, &mine) != 0)
            return abandonWith(describe(QStringLiteral("cannot read the attributes of"), pattern, errno));
        if (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) {
            if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
                const int refused = errno;
                // A member of the file's group may still give it back its group.
                if (mine.st_gid != old.st_gid)
                    (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
                Log::write(QStringLiteral("Could not give %1 its owner %2 and group %3: %4")
                               .arg(QString::fromLocal8Bit(target))
                               .arg(old.st_uid)
                               .arg(old.st_gid)
                               .arg(QString::fromLocal8Bit(std::strerror(refused))));
            }
        }
    }
    // After fchown, which may clear the set-ID bits.
    if (::fchmod(fd, mode) != 0)
        return abandonWith(describe(QStringLiteral("cannot set the permissions of"), pattern, errno));
    return true;
}

bool Writer::append(const char *data, qsizetype size, QString *error) {
    if (m_fd < 0) {
        if (error)
            *error = QStringLiteral("no file is open for writing");
        return false;
    }
    int err = 0;
    if (size > 0 && !PHWriteAll(m_fd, data, static_cast<std::size_t>(size), &err)) {
        if (error)
            *error = describe(QStringLiteral("cannot write"), m_temporary, err);
        abandon();
        return false;
    }
    m_written += size;
    return true;
}

bool Writer::commit(QString *error) {
    auto fail = [&](const QString &why) {
        abandon();
        if (error)
            *error = why;
        return false;
    };
    if (m_fd < 0)
        return fail(QStringLiteral("no file is open for writing"));
    if (::fsync(m_fd) != 0)
        return fail(describe(QStringLiteral("cannot flush"), m_temporary, errno));
    const int fd = std::exchange(m_fd, -1);
    if (::close(fd) != 0)
        return fail(describe(QStringLiteral("cannot close"), m_temporary, errno));
    if (::rename(m_temporary.constData(), m_target.constData()) != 0)
        return fail(describe(QStringLiteral("cannot replace"), m_target, errno));
    const QByteArray target = m_target;
    m_temporary.clear();
    m_target.clear();
    // Make the rename itself durable; the data is already safe, so a folder
    // that cannot be synchronised is no failure.
    const int folder = ::open(folderOf(target).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
    return true;
}

} // namespace PHAtomicFile
