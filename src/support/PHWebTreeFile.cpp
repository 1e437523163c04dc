#include "support/PHWebTreeFile.h"

#include "platform/Log.h"
#include "support/PHFileName.h"
#include "support/PHWriteJournal.h"
#include "support/posix/PHWriteAll.h"

#include <QByteArrayList>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
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

QString tooLargeText(const QString &path, qint64 limit) {
    return QStringLiteral("%1 is larger than %2; Porthold does not read files that large")
        .arg(path, QStringLiteral("%1 MiB").arg(limit >> 20));
}

/// A regular file below a web root opened for reading, with its folder.
struct Opened {
    PHWebTreeFile::Bytes::Status status = PHWebTreeFile::Bytes::Status::Missing;
    QString error;
    Place place;
    Descriptor start;
    Descriptor folder;
    Descriptor file;
    struct stat info {};
};

Opened openRegular(const QString &root, const QString &path, qint64 limit) {
    using Status = PHWebTreeFile::Bytes::Status;
    Opened opened;
    auto failed = [&](Status status, const QString &why) {
        opened.status = status;
        opened.error = why;
        opened.file.reset();
        return std::move(opened);
    };
    opened.place = placeOf(root, path);
    const Place &place = opened.place;
    if (!place.problem.isEmpty())
        return failed(Status::Unreadable, place.problem);
    opened.start = openStart(place);
    if (!opened.start.valid())
        return failed(errno == ENOENT || errno == ENOTDIR ? Status::Missing : Status::Unreadable,
                      errorText(errno));
    opened.folder = Descriptor(openFolder(opened.start.get(), place));
    if (!opened.folder.valid()) {
        const int error = errno;
        if (error == ENOENT)
            return failed(Status::Missing, errorText(error));
        const QString why = folderProblem(opened.start.get(), place, error, path);
        if (error == ENOTDIR && !why.contains(QLatin1String("symbolic link")))
            return failed(Status::Missing, errorText(error));
        return failed(Status::Unreadable, why);
    }
    opened.file = Descriptor(::openat(opened.folder.get(), place.name.constData(),
                                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!opened.file.valid()) {
        const int error = errno;
        if (error == ENOENT)
            return failed(Status::Missing, errorText(error));
        if (error == ELOOP)
            return failed(Status::Unreadable, PHWebTreeFile::linkRefusal(path));
        return failed(Status::Unreadable, errorText(error));
    }
    if (::fstat(opened.file.get(), &opened.info) != 0)
        return failed(Status::Unreadable, errorText(errno));
    if (!S_ISREG(opened.info.st_mode))
        return failed(Status::Unreadable, S_ISDIR(opened.info.st_mode)
                                              ? errorText(EISDIR)
                                              : QStringLiteral("not a regular file"));
    if (opened.info.st_size > limit)
        return failed(Status::Unreadable, tooLargeText(path, limit));
    opened.status = Status::Read;
    return opened;
}

/// A replacement of `name` in `folder` being written: a temporary file beside
/// it with the target's owner, group and mode, renamed over it on commit.
class Replacement {
public:
    /// `old` is the target's state when it `existed`; `start` the web root's descriptor.
    Replacement(int start, int folder, const QByteArray &name, const QString &path, bool existed,
                const struct stat &old)
        : m_folder(folder), m_path(path), m_name(name) {
        uid_t owner = existed ? old.st_uid : ::geteuid();
        gid_t group = existed ? old.st_gid : ::getegid();
        mode_t mode = existed ? (old.st_mode & 07777) : 0644;
        if (!existed) {
            const NewFileAttributes attributes = newFileAttributes(start);
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
        for (int attempt = 0; attempt < 100 && !m_out.valid(); ++attempt) {
            m_temporary =
                name.left(200) + '.' + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
            if (!m_temporary.startsWith('.'))
                m_temporary.prepend('.');
            m_out = Descriptor(::openat(folder, m_temporary.constData(),
                                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!m_out.valid() && errno != EEXIST)
                break;
        }
        if (!m_out.valid()) {
            m_temporary.clear();
            m_problem =
                QStringLiteral("cannot create a temporary file beside %1: %2").arg(path, errorText(errno));
            return;
        }
        struct stat mine {};
        if (::fstat(m_out.get(), &mine) != 0) {
            abandon(
                QStringLiteral("cannot read the attributes of a temporary file: %1").arg(errorText(errno)));
            return;
        }
        if (mine.st_uid != owner || mine.st_gid != group) {
            if (::fchown(m_out.get(), owner, group) != 0) {
                const int refused = errno;
                if (g_attributes.owner || g_attributes.group) {
                    abandon(QStringLiteral("cannot give %1 the owner and group asked for: %2")
                                .arg(path, errorText(refused)));
                    return;
                }
                // A member of the file's group may still give it back its group.
                if (mine.st_gid != group)
                    (void)::fchown(m_out.get(), static_cast<uid_t>(-1), group);
                Log::write(QStringLiteral("Could not give %1 its owner %2 and group %3: %4")
                               .arg(path)
                               .arg(owner)
                               .arg(group)
                               .arg(errorText(refused)));
            }
        }
        // After fchown, which may clear the set-ID bits.
        if (::fchmod(m_out.get(), mode) != 0)
            abandon(QStringLiteral("cannot set the permissions of %1: %2").arg(path, errorText(errno)));
    }
    ~Replacement() {
        if (!m_temporary.isEmpty())
            abandon(QString());
    }
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;

    /// Why the replacement cannot go on; empty while it can.
    const QString &problem() const { return m_problem; }

    bool write(const char *data, size_t length) {
        int err = 0;
        if (!m_problem.isEmpty())
            return false;
        if (length > 0 && !PHWriteAll(m_out.get(), data, length, &err))
            return abandon(QStringLiteral("cannot write %1: %2").arg(m_path, errorText(err)));
        return true;
    }

    /// Makes the written bytes the target's; false with problem() otherwise.
    /// `check`, when given, is asked last, just before the rename.
    bool commit(const std::function<QString()> &check = {}) {
        if (!m_problem.isEmpty())
            return false;
        if (::fsync(m_out.get()) != 0)
            return abandon(QStringLiteral("cannot flush %1: %2").arg(m_path, errorText(errno)));
        if (::close(m_out.release()) != 0)
            return abandon(QStringLiteral("cannot close %1: %2").arg(m_path, errorText(errno)));
        if (check) {
            if (const QString why = check(); !why.isEmpty())
                return abandon(why);
        }
        if (::renameat(m_folder, m_temporary.constData(), m_folder, m_name.constData()) != 0)
            return abandon(QStringLiteral("cannot replace %1: %2").arg(m_path, errorText(errno)));
        m_temporary.clear();
        // Make the rename itself durable; the data is already safe.
        (void)::fsync(m_folder);
        return true;
    }

    /// Removes the temporary file; false with problem() `why` (kept when empty).
    bool abandon(const QString &why) {
        m_out.reset();
        if (!m_temporary.isEmpty())
            ::unlinkat(m_folder, m_temporary.constData(), 0);
        m_temporary.clear();
        if (!why.isEmpty())
            m_problem = why;
        return false;
    }

private:
    int m_folder;
    QString m_path;
    QByteArray m_name;
    QByteArray m_temporary;
    Descriptor m_out;
    QString m_problem;
};

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
    Opened opened = openRegular(root, path, limit);
    auto failed = [&](Bytes::Status status, const QString &why) {
        result.status = status;
        result.error = why;
        result.bytes.clear();
        return result;
    };
    if (opened.status != Bytes::Status::Read)
        return failed(opened.status, opened.error);
    const auto tooLarge = [&] { return failed(Bytes::Status::Unreadable, tooLargeText(path, limit)); };
    // The size may change while it is read: never more than the limit.
    result.bytes.resize(qsizetype(opened.info.st_size) + 1);
    qsizetype filled = 0;
    for (;;) {
        if (filled == result.bytes.size()) {
            if (filled > limit)
                return tooLarge();
            result.bytes.resize(std::min<qsizetype>(filled * 2 + 4096, qsizetype(limit) + 1));
        }
        const ssize_t got =
            ::read(opened.file.get(), result.bytes.data() + filled, size_t(result.bytes.size() - filled));
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

    Replacement replacement(start.get(), folder.get(), place.name, path, existed, old);
    if (!replacement.write(data.constData(), size_t(data.size())) || !replacement.commit())
        return fail(error, replacement.problem());
    if (error)
        error->clear();
    return true;
}

// ---------------------------------------------------------------- Source

struct Source::Private {
    QString path;
    qint64 limit = 0;
    Opened opened;
};

Source::Source(const QString &root, const QString &path, qint64 limit) : d(std::make_unique<Private>()) {
    d->path = path;
    d->limit = limit;
    d->opened = openRegular(root, path, limit);
}

Source::~Source() = default;

Bytes::Status Source::status() const {
    return d->opened.status;
}

const QString &Source::error() const {
    return d->opened.error;
}

namespace {
constexpr size_t kPiece = 64 * 1024;
}

bool Source::readThrough(const std::function<bool(QByteArrayView piece)> &piece) {
    if (d->opened.status != Bytes::Status::Read)
        return false;
    d->opened.error.clear();
    std::unique_ptr<char[]> buffer(new char[kPiece]);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(d->opened.file.get(), buffer.get(), kPiece, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            d->opened.error = errorText(errno);
            return false;
        }
        if (got == 0)
            return true;
        offset += got;
        // It may grow while it is read: never more than the limit.
        if (offset > d->limit) {
            d->opened.error = tooLargeText(d->path, d->limit);
            return false;
        }
        if (!piece(QByteArrayView(buffer.get(), got)))
            return false;
    }
}

namespace {

/// Gathers the bytes and writes them 64 KiB at a time.
class BufferedSink : public Source::Sink {
public:
    explicit BufferedSink(Replacement &replacement) : m_replacement(replacement) { m_buffer.reserve(kPiece); }
    bool append(QByteArrayView bytes) override {
        if (m_failed)
            return false;
        if (m_buffer.size() + bytes.size() > qsizetype(kPiece) && !flush())
            return false;
        if (bytes.size() >= qsizetype(kPiece)) {
            m_failed = !m_replacement.write(bytes.data(), size_t(bytes.size()));
            return !m_failed;
        }
        m_buffer.append(bytes);
        return true;
    }
    bool flush() {
        if (!m_buffer.isEmpty() && !m_replacement.write(m_buffer.constData(), size_t(m_buffer.size())))
            m_failed = true;
        m_buffer.clear();
        return !m_failed;
    }

private:
    Replacement &m_replacement;
    QByteArray m_buffer;
    bool m_failed = false;
};

bool sameTime(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

bool Source::replace(const std::function<Produced(Sink &sink, QString *why)> &produce, bool *changed,
                     QString *error) {
    *changed = false;
    Opened &opened = d->opened;
    if (opened.status != Bytes::Status::Read)
        return fail(error,
                    opened.error.isEmpty() ? QStringLiteral("%1 is not open").arg(d->path) : opened.error);
    const struct stat old = opened.info;
    Replacement replacement(opened.start.get(), opened.folder.get(), opened.place.name, d->path, true, old);
    if (!replacement.problem().isEmpty())
        return fail(error, replacement.problem());
    BufferedSink sink(replacement);
    QString why;
    const Produced produced = produce(sink, &why);
    if (produced == Produced::Failed)
        return fail(error, !why.isEmpty() ? why : replacement.problem());
    if (!sink.flush())
        return fail(error, replacement.problem());
    // A dry run writes nothing (its callers hand whole bytes to write() instead).
    if (produced == Produced::Unchanged || PHWriteJournal::isDryRun()) {
        replacement.abandon(QString());
        if (error)
            error->clear();
        return true;
    }
    // Another program that wrote the file meanwhile (in place, or by putting
    // another file in its place) would lose its change to this one.
    const auto unchangedMeanwhile = [&]() -> QString {
        const QString changedText =
            QStringLiteral("%1 was changed by another program while Porthold rewrote it; nothing was "
                           "written, try again")
                .arg(d->path);
        struct stat now {};
        if (::fstat(opened.file.get(), &now) != 0 || now.st_size != old.st_size ||
            !sameTime(now.st_mtim, old.st_mtim))
            return changedText;
        struct stat named {};
        if (::fstatat(opened.folder.get(), opened.place.name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            named.st_dev != old.st_dev || named.st_ino != old.st_ino)
            return changedText;
        return QString();
    };
    if (!replacement.commit(unchangedMeanwhile))
        return fail(error, replacement.problem());
    *changed = true;
    // A command-line run says what it changed.
    PHWriteJournal::recordStreamedWrite(d->path);
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
