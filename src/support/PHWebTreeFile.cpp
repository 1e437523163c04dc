#include "support/PHWebTreeFile.h"

#include "platform/Log.h"
#include "support/PHFileName.h"
#include "support/PHWriteJournal.h"
#include "support/posix/PHWriteAll.h"

#include <QByteArrayList>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <grp.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool g_openat2 = true;
PHWebTreeFile::Attributes g_attributes;

/// A descriptor closed when it goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    void reset() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

/// A path split into the folder it is resolved from (taken as it stands),
/// the folders below that one, and the file's own name.
struct Place {
    QByteArray start;
    QByteArrayList folders;
    QByteArray name;
    QString problem; ///< why the path cannot be used; empty when it can
};

QByteArray withoutTrailingSlashes(QByteArray path) {
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

Place placeOf(const QString &root, const QString &path) {
    Place place;
    const QByteArray start = withoutTrailingSlashes(PHFileName::encode(root));
    const QByteArray full = PHFileName::encode(path);
    QByteArray relative;
    if (!start.isEmpty() && start == "/" && full.startsWith('/')) {
        place.start = start;
        relative = full.mid(1);
    } else if (!start.isEmpty() && full.startsWith(start + '/')) {
        place.start = start;
        relative = full.mid(start.size() + 1);
    } else {
        // Not below the root: only the last component is protected.
        const qsizetype slash = full.lastIndexOf('/');
        place.start =
            slash < 0 ? QByteArrayLiteral(".") : (slash == 0 ? QByteArrayLiteral("/") : full.left(slash));
        relative = full.mid(slash + 1);
    }
    for (const QByteArray &component : relative.split('/')) {
        if (component.isEmpty() || component == ".")
            continue;
        if (component == "..") {
            place.problem = QStringLiteral("%1 leads out of its folder with \"..\"").arg(path);
            return place;
        }
        place.folders.append(component);
    }
    if (place.folders.isEmpty()) {
        place.problem = QStringLiteral("%1 names no file").arg(path);
        return place;
    }
    place.name = place.folders.takeLast();
    return place;
}

QByteArray joined(const QByteArray &start, const QByteArrayList &components) {
    QByteArray path = start;
    for (const QByteArray &component : components) {
        if (!path.endsWith('/'))
            path += '/';
        path += component;
    }
    return path;
}

int openat2Beneath(int root, const QByteArray &relative) {
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        const long fd = ::syscall(SYS_openat2, root, relative.constData(), &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN)
            return static_cast<int>(fd);
    }
}

/// The folder of `place` opened from the descriptor of its start, no link
/// followed; -1 with errno (ELOOP for a link on the way).
int openFolder(int start, const Place &place) {
    if (place.folders.isEmpty())
        return ::fcntl(start, F_DUPFD_CLOEXEC, 0);
    if (g_openat2) {
        const int fd = openat2Beneath(start, place.folders.join('/'));
        // Kernels before 5.6 (and some sandboxes) lack openat2: walk instead.
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != E2BIG))
            return fd;
    }
    Descriptor current(::fcntl(start, F_DUPFD_CLOEXEC, 0));
    if (!current.valid())
        return -1;
    for (const QByteArray &component : place.folders) {
        Descriptor next(
            ::openat(current.get(), component.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return -1;
        current = std::move(next);
    }
    return current.release();
}

/// The first component of `place` (folders, then the name) that is a link,
/// as a path; empty when none is (any more).
QByteArray firstLink(int start, const Place &place) {
    QByteArrayList components = place.folders;
    components.append(place.name);
    QByteArrayList prefix;
    for (const QByteArray &component : components) {
        prefix.append(component);
        struct stat info {};
        const QByteArray relative = prefix.join('/');
        if (::fstatat(start, relative.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return {};
        if (S_ISLNK(info.st_mode))
            return joined(place.start, prefix);
    }
    return {};
}

/// Why the folder of `place` could not be opened (errno `error`).
QString folderProblem(int start, const Place &place, int error, const QString &path) {
    if (error == ELOOP || error == ENOTDIR || error == EXDEV) {
        const QByteArray link = firstLink(start, place);
        if (!link.isEmpty())
            return PHWebTreeFile::linkRefusal(PHFileName::decode(link));
    }
    return QStringLiteral("cannot open the folder of %1: %2").arg(path, errorText(error));
}

/// The web server's user, whose reading of the files matters.
const passwd *serverUser() {
    for (const char *name : {"www-data", "apache", "wwwrun", "http"})
        if (const passwd *entry = ::getpwnam(name))
            return entry;
    return nullptr;
}

bool serverCanRead(const struct stat &info) {
    if (info.st_mode & S_IROTH)
        return true;
    const passwd *server = serverUser();
    if (!server)
        return false;
    if (info.st_uid == server->pw_uid)
        return (info.st_mode & S_IRUSR) != 0;
    if (!(info.st_mode & S_IRGRP))
        return false;
    if (info.st_gid == server->pw_gid)
        return true;
    if (const group *entry = ::getgrgid(info.st_gid))
        for (char **member = entry->gr_mem; member && *member; ++member)
            if (std::strcmp(*member, server->pw_name) == 0)
                return true;
    return false;
}

struct NewFileAttributes {
    mode_t mode = 0644;
    std::optional<gid_t> group;
};

/// A new file is 0644, or follows the web root's own Porthold files where
/// those are kept stricter (0640 with the server's group) and the server can
/// still read them.
NewFileAttributes newFileAttributes(int root) {
    NewFileAttributes attributes;
    for (const char *name : {".htaccess", ".htusers", ".htgroups"}) {
        struct stat info {};
        if (::fstatat(root, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        const mode_t mode = info.st_mode & 0777;
        if ((mode & ~mode_t(0644)) == 0 && mode != 0644 && serverCanRead(info)) {
            attributes.mode = mode;
            attributes.group = info.st_gid;
        }
        break;
    }
    return attributes;
}

Descriptor openStart(const Place &place) {
    return Descriptor(::open(place.start.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool fail(QString *error, const QString &why) {
    if (error)
        *error = why;
    return false;
}

} // namespace

namespace PHWebTreeFile {

QString maxFileSizeText() {
    return QStringLiteral("%1 MiB").arg(kMaxFileSize >> 20);
}

QString linkRefusal(const QString &path) {
    return QStringLiteral("%1 is a symbolic link; Porthold does not write through links").arg(path);
}

void setAttributes(const Attributes &attributes) {
    g_attributes = attributes;
}

bool applyAttributes(const QString &root, const QString &path, bool dryRun, bool *changed, QString *error) {
    *changed = false;
    if (!g_attributes.owner && !g_attributes.group && !g_attributes.mode)
        return true;
    const Place place = placeOf(root, path);
    if (!place.problem.isEmpty())
        return fail(error, place.problem);
    const Descriptor start = openStart(place);
    if (!start.valid())
        return errno == ENOENT ? true : fail(error, errorText(errno));
    const Descriptor folder(openFolder(start.get(), place));
    if (!folder.valid()) {
        if (errno == ENOENT)
            return true;
        return fail(error, folderProblem(start.get(), place, errno, path));
    }
    const Descriptor file(::openat(folder.get(), place.name.constData(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid()) {
        if (errno == ENOENT)
            return true;
        return fail(error, errno == ELOOP ? linkRefusal(path) : errorText(errno));
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return fail(error, errorText(errno));
    if (!S_ISREG(info.st_mode))
        return fail(error, QStringLiteral("%1 is not a regular file").arg(path));
    const uid_t owner = g_attributes.owner.value_or(info.st_uid);
    const gid_t group = g_attributes.group.value_or(info.st_gid);
    const mode_t mode = g_attributes.mode.value_or(info.st_mode & 07777);
    *changed = owner != info.st_uid || group != info.st_gid || mode != (info.st_mode & 07777);
    if (!*changed || dryRun)
        return true;
    if ((owner != info.st_uid || group != info.st_gid) && ::fchown(file.get(), owner, group) != 0)
        return fail(
            error,
            QStringLiteral("cannot give %1 the owner and group asked for: %2").arg(path, errorText(errno)));
    // After fchown, which may clear the set-ID bits.
    if (::fchmod(file.get(), mode) != 0)
        return fail(error,
                    QStringLiteral("cannot set the permissions of %1: %2").arg(path, errorText(errno)));
    return true;
}

void setOpenat2Enabled(bool enabled) {
    g_openat2 = enabled;
}

Bytes read(const QString &root, const QString &path, qint64 limit) {
    Bytes result;
    auto failed = [&](Bytes::Status status, const QString &why) {
        result.status = status;
        result.error = why;
        result.bytes.clear();
        return result;
    };
    const Place place = placeOf(root, path);
    if (!place.problem.isEmpty())
        return failed(Bytes::Status::Unreadable, place.problem);
    const Descriptor start = openStart(place);
    if (!start.valid())
        return failed(errno == ENOENT || errno == ENOTDIR ? Bytes::Status::Missing
                                                          : Bytes::Status::Unreadable,
                      errorText(errno));
    const Descriptor folder(openFolder(start.get(), place));
    if (!folder.valid()) {
        const int error = errno;
        if (error == ENOENT)
            return failed(Bytes::Status::Missing, errorText(error));
        const QString why = folderProblem(start.get(), place, error, path);
        if (error == ENOTDIR && !why.contains(QLatin1String("symbolic link")))
            return failed(Bytes::Status::Missing, errorText(error));
        return failed(Bytes::Status::Unreadable, why);
    }
    const Descriptor file(::openat(folder.get(), place.name.constData(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid()) {
        const int error = errno;
        if (error == ENOENT)
            return failed(Bytes::Status::Missing, errorText(error));
        if (error == ELOOP)
            return failed(Bytes::Status::Unreadable, linkRefusal(path));
        return failed(Bytes::Status::Unreadable, errorText(error));
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return failed(Bytes::Status::Unreadable, errorText(errno));
    if (!S_ISREG(info.st_mode))
        return failed(Bytes::Status::Unreadable,
                      S_ISDIR(info.st_mode) ? errorText(EISDIR) : QStringLiteral("not a regular file"));
    const auto tooLarge = [&] {
        return failed(Bytes::Status::Unreadable,
                      QStringLiteral("%1 is larger than %2; Porthold does not read files that large")
                          .arg(path, QStringLiteral("%1 MiB").arg(limit >> 20)));
    };
    if (info.st_size > limit)
        return tooLarge();
    // The size may change while it is read: never more than the limit.
    result.bytes.resize(qsizetype(info.st_size) + 1);
    qsizetype filled = 0;
    for (;;) {
        if (filled == result.bytes.size()) {
            if (filled > limit)
                return tooLarge();
            result.bytes.resize(std::min<qsizetype>(filled * 2 + 4096, qsizetype(limit) + 1));
        }
        const ssize_t got =
            ::read(file.get(), result.bytes.data() + filled, size_t(result.bytes.size() - filled));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return failed(Bytes::Status::Unreadable, errorText(errno));
        }
        if (got == 0)
            break;
        filled += got;
    }
    if (filled > limit)
        return tooLarge();
    result.bytes.truncate(filled);
    result.status = Bytes::Status::Read;
    return result;
}

bool write(const QString &root, const QString &path, const QByteArray &data, QString *error) {
    const Place place = placeOf(root, path);
    if (!place.problem.isEmpty())
        return fail(error, place.problem);
    const Descriptor start = openStart(place);
    if (!start.valid())
        return fail(
            error,
            QStringLiteral("cannot open %1: %2").arg(PHFileName::decode(place.start), errorText(errno)));
    const Descriptor folder(openFolder(start.get(), place));
    if (!folder.valid())
        return fail(error, folderProblem(start.get(), place, errno, path));
    struct stat old {};
    const bool existed = ::fstatat(folder.get(), place.name.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!existed && errno != ENOENT)
        return fail(error,
                    QStringLiteral("cannot read the attributes of %1: %2").arg(path, errorText(errno)));
    if (existed && S_ISLNK(old.st_mode))
        return fail(error, linkRefusal(path));
    if (existed && !S_ISREG(old.st_mode))
        return fail(error, QStringLiteral("%1 is not a regular file").arg(path));

    // A command-line run that keeps a journal writes nothing already there,
    // and nothing at all in a dry run.
    if (!PHWriteJournal::recordWrite(path, data)) {
        if (error)
            error->clear();
        return true;
    }

    uid_t owner = existed ? old.st_uid : ::geteuid();
    gid_t group = existed ? old.st_gid : ::getegid();
    mode_t mode = existed ? (old.st_mode & 07777) : 0644;
    if (!existed) {
        const NewFileAttributes attributes = newFileAttributes(start.get());
        mode = attributes.mode;
        if (attributes.group)
            group = *attributes.group;
    }
    if (g_attributes.owner)
        owner = *g_attributes.owner;
    if (g_attributes.group)
        group = *g_attributes.group;
    if (g_attributes.mode)
        mode = *g_attributes.mode;

    // Hidden beside the target, with the target's own prefix, so the
    // server's rule against serving ".ht*" covers it too.
    QByteArray temporary;
    Descriptor out;
    for (int attempt = 0; attempt < 100 && !out.valid(); ++attempt) {
        temporary =
            place.name.left(200) + '.' + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
        if (!temporary.startsWith('.'))
            temporary.prepend('.');
        out = Descriptor(::openat(folder.get(), temporary.constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out.valid() && errno != EEXIST)
            break;
    }
    if (!out.valid())
        return fail(
            error,
            QStringLiteral("cannot create a temporary file beside %1: %2").arg(path, errorText(errno)));
    auto abandon = [&](const QString &why) {
        out.reset();
        ::unlinkat(folder.get(), temporary.constData(), 0);
        return fail(error, why);
    };
    struct stat mine {};
    if (::fstat(out.get(), &mine) != 0)
        return abandon(
            QStringLiteral("cannot read the attributes of a temporary file: %1").arg(errorText(errno)));
    if (mine.st_uid != owner || mine.st_gid != group) {
        if (::fchown(out.get(), owner, group) != 0) {
            const int refused = errno;
            if (g_attributes.owner || g_attributes.group)
                return abandon(QStringLiteral("cannot give %1 the owner and group asked for: %2")
                                   .arg(path, errorText(refused)));
            // A member of the file's group may still give it back its group.
            if (mine.st_gid != group)
                (void)::fchown(out.get(), static_cast<uid_t>(-1), group);
            Log::write(QStringLiteral("Could not give %1 its owner %2 and group %3: %4")
                           .arg(path)
                           .arg(owner)
                           .arg(group)
                           .arg(errorText(refused)));
        }
    }
    // After fchown, which may clear the set-ID bits.
    if (::fchmod(out.get(), mode) != 0)
        return abandon(QStringLiteral("cannot set the permissions of %1: %2").arg(path, errorText(errno)));
    int err = 0;
    if (!data.isEmpty() && !PHWriteAll(out.get(), data.constData(), size_t(data.size()), &err))
        return abandon(QStringLiteral("cannot write %1: %2").arg(path, errorText(err)));
    if (::fsync(out.get()) != 0)
        return abandon(QStringLiteral("cannot flush %1: %2").arg(path, errorText(errno)));
    if (::close(out.release()) != 0)
        return abandon(QStringLiteral("cannot close %1: %2").arg(path, errorText(errno)));
    if (::renameat(folder.get(), temporary.constData(), folder.get(), place.name.constData()) != 0)
        return abandon(QStringLiteral("cannot replace %1: %2").arg(path, errorText(errno)));
    // Make the rename itself durable; the data is already safe.
    (void)::fsync(folder.get());
    if (error)
        error->clear();
    return true;
}

bool remove(const QString &root, const QString &path, QString *error) {
    const Place place = placeOf(root, path);
    if (!place.problem.isEmpty())
        return fail(error, place.problem);
    const Descriptor start = openStart(place);
    if (!start.valid())
        return errno == ENOENT ? true : fail(error, errorText(errno));
    const Descriptor folder(openFolder(start.get(), place));
    if (!folder.valid()) {
        const int code = errno;
        const QString why = folderProblem(start.get(), place, code, path);
        if (code == ENOENT || (code == ENOTDIR && !why.contains(QLatin1String("symbolic link"))))
            return true;
        return fail(error, why);
    }
    struct stat info {};
    if (::fstatat(folder.get(), place.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? true : fail(error, errorText(errno));
    if (S_ISLNK(info.st_mode))
        return fail(error, linkRefusal(path));
    if (!PHWriteJournal::recordRemoval(path))
        return true;
    if (::unlinkat(folder.get(), place.name.constData(), 0) == 0 || errno == ENOENT)
        return true;
    return fail(error, errorText(errno));
}

bool exists(const QString &root, const QString &path) {
    const Place place = placeOf(root, path);
    if (!place.problem.isEmpty())
        return false;
    const Descriptor start = openStart(place);
    if (!start.valid())
        return false;
    const Descriptor folder(openFolder(start.get(), place));
    struct stat info {};
    return folder.valid() && ::fstatat(folder.get(), place.name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace PHWebTreeFile
