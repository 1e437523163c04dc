#include "support/PHWebTreeFile.h"

#include "core/Log.h"
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
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool g_openat2 = true;
// Folders opened (each open of a folder's descriptor), for foldersOpened().
thread_local quint64 t_foldersOpened = 0;
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
/// the folders below that one (joined with "/", none empty, "." or ".."),
/// and the file's own name.
struct Place {
    QByteArray start;
    QByteArray folders;
    QByteArray name;
    bool belowRoot = false; ///< `start` is the web root itself
    QString problem;        ///< why the path cannot be used; empty when it can
};

QByteArray withoutTrailingSlashes(QByteArray path) {
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

/// `path` split below `root`; with `folder` the path names a folder (and
/// the place has no name), otherwise a file.
/// Appends the components of `relative` to `components` (joined with "/"),
/// leaving out empty ones and "."; false at "..". `*last` gets where the
/// last one appended starts.
bool appendComponents(QByteArray &components, QByteArrayView relative, qsizetype *last) {
    for (qsizetype i = 0; i <= relative.size();) {
        const void *found = i < relative.size()
                                ? std::memchr(relative.data() + i, '/', size_t(relative.size() - i))
                                : nullptr;
        const qsizetype end = found ? static_cast<const char *>(found) - relative.data() : relative.size();
        const QByteArrayView component = relative.sliced(i, end - i);
        i = end + 1;
        if (component.isEmpty() || component == ".")
            continue;
        if (component == "..")
            return false;
        if (!components.isEmpty())
            components += '/';
        *last = components.size();
        components += component;
    }
    return true;
}

/// The folder below a web root whose path was taken apart last: a walk asks
/// about a folder, then its files, then its subfolders, whose paths all
/// begin with it, so only what follows it is taken apart again.
struct ParsedFolder {
    QString root;
    QString path;
    QByteArray start;
    QByteArray folders;
};
thread_local ParsedFolder t_parsed;

/// `path` split below `root`; with `folder` the path names a folder (and
/// the place has no name), otherwise a file.
Place placeOf(const QString &root, const QString &path, bool folder = false) {
    Place place;
    QByteArray components;
    qsizetype lastStart = -1;
    const ParsedFolder &parsed = t_parsed;
    if (!parsed.path.isEmpty() && root == parsed.root && path.startsWith(parsed.path) &&
        (path.size() == parsed.path.size() || path.at(parsed.path.size()) == QLatin1Char('/'))) {
        place.start = parsed.start;
        place.belowRoot = true;
        components = parsed.folders;
        if (!components.isEmpty())
            lastStart = components.lastIndexOf('/') + 1;
        if (!appendComponents(components, PHFileName::encode(path.mid(parsed.path.size())), &lastStart)) {
            place.problem = QStringLiteral("%1 leads out of its folder with \"..\"").arg(path);
            return place;
        }
    } else {
        const QByteArray start = withoutTrailingSlashes(PHFileName::encode(root));
        const QByteArray full = PHFileName::encode(path);
        QByteArrayView relative;
        if (!start.isEmpty() && start == "/" && full.startsWith('/')) {
            place.start = start;
            place.belowRoot = true;
            relative = QByteArrayView(full).sliced(1);
        } else if (!start.isEmpty() && full.startsWith(start) &&
                   (full.size() == start.size() || full.at(start.size()) == '/')) {
            place.start = start;
            place.belowRoot = true;
            relative = QByteArrayView(full).sliced(start.size());
        } else {
            // Not below the root: only the last component is protected.
            const qsizetype slash = full.lastIndexOf('/');
            place.start =
                slash < 0 ? QByteArrayLiteral(".") : (slash == 0 ? QByteArrayLiteral("/") : full.left(slash));
            relative = QByteArrayView(full).sliced(slash + 1);
        }
        components.reserve(relative.size());
        if (!appendComponents(components, relative, &lastStart)) {
            place.problem = QStringLiteral("%1 leads out of its folder with \"..\"").arg(path);
            return place;
        }
    }
    if (folder) {
        place.folders = std::move(components);
        if (place.belowRoot)
            t_parsed = ParsedFolder{root, path, place.start, place.folders};
        return place;
    }
    if (lastStart < 0) {
        place.problem = QStringLiteral("%1 names no file").arg(path);
        return place;
    }
    place.name = components.mid(lastStart);
    components.truncate(lastStart > 0 ? lastStart - 1 : 0);
    place.folders = std::move(components);
    // The file's folder is kept when the name is the path's last part as
    // written (so the rest of the path names exactly those folders).
    if (place.belowRoot) {
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        if (slash > 0 && slash >= root.size() && PHFileName::encode(path.mid(slash + 1)) == place.name)
            t_parsed = ParsedFolder{root, path.left(slash), place.start, place.folders};
    }
    return place;
}

/// Calls `use` with each component of the joined `folders`.
template <typename Use> bool forEachComponent(const QByteArray &folders, Use use) {
    for (qsizetype i = 0; i < folders.size();) {
        qsizetype slash = folders.indexOf('/', i);
        if (slash < 0)
            slash = folders.size();
        if (!use(folders.mid(i, slash - i), slash))
            return false;
        i = slash + 1;
    }
    return true;
}

QByteArray joined(const QByteArray &start, const QByteArray &relative) {
    if (relative.isEmpty() || start.isEmpty())
        return relative.isEmpty() ? start : relative;
    return start.endsWith('/') ? start + relative : start + '/' + relative;
}

int openat2Beneath(int root, const QByteArray &relative) {
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    ++t_foldersOpened;
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
        const int fd = openat2Beneath(start, place.folders);
        // Kernels before 5.6 (and some sandboxes) lack openat2: walk instead.
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != E2BIG))
            return fd;
    }
    Descriptor current(::fcntl(start, F_DUPFD_CLOEXEC, 0));
    if (!current.valid())
        return -1;
    const bool walked = forEachComponent(place.folders, [&](const QByteArray &component, qsizetype) {
        ++t_foldersOpened;
        Descriptor next(
            ::openat(current.get(), component.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return false;
        current = std::move(next);
        return true;
    });
    return walked ? current.release() : -1;
}

/// The first component of `place` (folders, then the name) that is a link,
/// as a path; empty when none is (any more).
QByteArray firstLink(int start, const Place &place) {
    QByteArray components = place.folders;
    if (!place.name.isEmpty())
        components += (components.isEmpty() ? QByteArray() : QByteArrayLiteral("/")) + place.name;
    QByteArray link;
    forEachComponent(components, [&](const QByteArray &, qsizetype end) {
        struct stat info {};
        const QByteArray relative = components.left(end);
        if (::fstatat(start, relative.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (S_ISLNK(info.st_mode)) {
            link = joined(place.start, relative);
            return false;
        }
        return true;
    });
    return link;
}

/// The folders of one walk of the tree, kept open as a chain from the web
/// root down to the folder opened last, so that the next folder opens from
/// its parent's descriptor (one openat) instead of from the root again. Of a
/// deep chain only every kCheckpoint-th level and the last kCheckpoint levels
/// stay open (a chain of a thousand levels keeps about eighty descriptors);
/// a level closed meanwhile is opened again from the nearest one still open.
/// Each level is opened with O_NOFOLLOW; a level that is a link to a folder
/// is opened through it only for listing, and is marked so that nothing is
/// ever read or written below it.
class Chain {
public:
    static constexpr size_t kCheckpoint = 16;

    int walks = 0;

    void clear() {
        m_levels.clear();
        m_firstLink = kNoLink;
        m_path.clear();
        m_start.reset();
        m_startRead = false;
        m_startPath.clear();
    }

    /// Whether the folder descriptor `fd` the chain lent is read for the
    /// first time (its position is then still at its start); marks it read.
    bool firstReading(int fd) {
        bool *read = nullptr;
        if (!m_levels.empty() && m_levels.back().fd.get() == fd)
            read = &m_levels.back().read;
        else if (m_levels.empty() && m_start.get() == fd)
            read = &m_startRead;
        if (!read)
            return false;
        return !std::exchange(*read, true);
    }

    /// Whether `place` is reached through the chain.
    bool serves(const Place &place) const { return walks > 0 && place.belowRoot; }

    /// The web root's descriptor (borrowed); -1 with errno.
    int start(const Place &place) {
        if (!m_start.valid() || m_startPath != place.start) {
            clear();
            ++t_foldersOpened;
            m_start = Descriptor(::open(place.start.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!m_start.valid())
                return -1;
            m_startPath = place.start;
        }
        return m_start.get();
    }

    /// The descriptor of `place`'s folder (borrowed: valid until the next
    /// call), -1 with errno. With `follow` a folder on the way that is a link
    /// is opened through (as a listing does); without, it is ELOOP.
    int folder(const Place &place, bool follow, struct stat *info = nullptr) {
        if (start(place) < 0)
            return -1;
        const QByteArray &want = place.folders;
        // The levels the chain shares with the path: one comparison of the
        // two strings, then the level ends.
        const qsizetype common = std::min(want.size(), m_path.size());
        qsizetype same = 0;
        if (std::memcmp(want.constData(), m_path.constData(), size_t(common)) == 0)
            same = common; // a walk goes down from the folder it opened last
        else
            while (same < common && want.at(same) == m_path.at(same))
                ++same;
        size_t kept = 0;
        if (same == m_path.size() && (want.size() == same || want.at(same) == '/'))
            kept = m_levels.size();
        else
            while (kept < m_levels.size()) {
                const qsizetype end = m_levels[kept].end;
                if (end > same || (end < want.size() && want.at(end) != '/'))
                    break;
                ++kept;
            }
        truncate(kept);
        // Opened again from the deepest level still open.
        while (!m_levels.empty() && !m_levels.back().fd.valid())
            truncate(m_levels.size() - 1);
        if (!follow && m_firstLink < m_levels.size()) {
            errno = ELOOP;
            return -1;
        }
        const qsizetype from = m_levels.empty() ? 0 : m_levels.back().end + 1;
        if (from < want.size()) {
            const QByteArray rest = want.mid(from);
            const bool opened = forEachComponent(rest, [&](const QByteArray &component, qsizetype end) {
                const int parent = m_levels.empty() ? m_start.get() : m_levels.back().fd.get();
                Level level;
                ++t_foldersOpened;
                level.fd = Descriptor(
                    ::openat(parent, component.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (!level.fd.valid() && follow && (errno == ELOOP || errno == ENOTDIR)) {
                    ++t_foldersOpened;
                    level.fd = Descriptor(
                        ::openat(parent, component.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                    level.throughLink = true;
                }
                if (!level.fd.valid())
                    return false;
                if (::fstat(level.fd.get(), &level.info) != 0)
                    return false;
                level.end = from + end;
                push(std::move(level), component);
                return true;
            });
            if (!opened)
                return -1;
        }
        if (m_levels.empty()) {
            if (info && ::fstat(m_start.get(), info) != 0)
                return -1;
            return m_start.get();
        }
        if (info)
            *info = m_levels.back().info;
        return m_levels.back().fd.get();
    }

private:
    struct Level {
        Descriptor fd;     ///< closed for a level between checkpoints left behind
        qsizetype end = 0; ///< where the level's name ends in m_path
        bool throughLink = false;
        bool read = false; ///< listed: its position is no longer at its start
        struct stat info {};
    };

    void truncate(size_t levels) {
        if (levels >= m_levels.size())
            return;
        m_levels.resize(levels);
        if (m_firstLink >= levels)
            m_firstLink = kNoLink;
        m_path.truncate(m_levels.empty() ? 0 : m_levels.back().end);
    }

    void push(Level level, const QByteArray &component) {
        if (!m_path.isEmpty())
            m_path += '/';
        m_path += component;
        if (level.throughLink && m_firstLink == kNoLink)
            m_firstLink = m_levels.size();
        m_levels.push_back(std::move(level));
        const size_t behind = m_levels.size();
        if (behind > kCheckpoint) {
            const size_t index = behind - 1 - kCheckpoint;
            if ((index + 1) % kCheckpoint != 0)
                m_levels[index].fd.reset();
        }
    }

    QByteArray m_startPath;
    Descriptor m_start;
    bool m_startRead = false;
    QByteArray m_path; ///< the folders of the deepest level, joined
    std::vector<Level> m_levels;
    static constexpr size_t kNoLink = size_t(-1);
    size_t m_firstLink = kNoLink; ///< the first level opened through a link
};

Chain &chain() {
    thread_local Chain instance;
    return instance;
}

/// The start and folder of a place, from the chain during a walk or opened
/// afresh; `start` or `folder` is -1 with `error` when it cannot be opened.
struct Reached {
    Descriptor ownedStart;
    Descriptor ownedFolder;
    int start = -1;
    int folder = -1;
    int error = 0;
};

Reached openPlace(const Place &place, bool follow = false, struct stat *info = nullptr) {
    Reached opened;
    if (chain().serves(place)) {
        opened.start = chain().start(place);
        if (opened.start < 0) {
            opened.error = errno;
            return opened;
        }
        // The chain keeps its root whatever becomes of the folder.
        opened.folder = chain().folder(place, follow, info);
        if (opened.folder < 0)
            opened.error = errno;
        return opened;
    }
    if (follow) {
        // As a listing opens it: by its path, links followed (no start needed).
        ++t_foldersOpened;
        opened.ownedFolder = Descriptor(
            ::open(joined(place.start, place.folders).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    } else {
        ++t_foldersOpened;
        opened.ownedStart = Descriptor(::open(place.start.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        opened.start = opened.ownedStart.get();
        if (opened.start < 0) {
            opened.error = errno;
            return opened;
        }
        opened.ownedFolder = Descriptor(openFolder(opened.start, place));
    }
    opened.folder = opened.ownedFolder.get();
    if (opened.folder < 0) {
        opened.error = errno;
    } else if (info && ::fstat(opened.folder, info) != 0) {
        opened.error = errno;
        opened.folder = -1;
    }
    return opened;
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

/// With `keep` the descriptors are the opened file's own (a walk's are only
/// lent until its next step): for a Source, which writes beside the file later.
Opened openRegular(const QString &root, const QString &path, qint64 limit, bool keep = false) {
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
    Reached reached = openPlace(place);
    if (reached.start < 0)
        return failed(reached.error == ENOENT || reached.error == ENOTDIR ? Status::Missing
                                                                          : Status::Unreadable,
                      errorText(reached.error));
    if (reached.folder < 0) {
        const int error = reached.error;
        if (error == ENOENT)
            return failed(Status::Missing, errorText(error));
        const QString why = folderProblem(reached.start, place, error, path);
        if (error == ENOTDIR && !why.contains(QLatin1String("symbolic link")))
            return failed(Status::Missing, errorText(error));
        return failed(Status::Unreadable, why);
    }
    if (reached.ownedStart.valid()) {
        opened.start = std::move(reached.ownedStart);
        opened.folder = std::move(reached.ownedFolder);
    } else if (keep) {
        opened.start = Descriptor(::fcntl(reached.start, F_DUPFD_CLOEXEC, 0));
        opened.folder = Descriptor(::fcntl(reached.folder, F_DUPFD_CLOEXEC, 0));
        if (!opened.start.valid() || !opened.folder.valid())
            return failed(Status::Unreadable, errorText(errno));
    }
    opened.file = Descriptor(::openat(reached.folder, place.name.constData(),
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
    const Reached opened = openPlace(place);
    if (opened.start < 0)
        return opened.error == ENOENT ? true : fail(error, errorText(opened.error));
    if (opened.folder < 0) {
        if (opened.error == ENOENT)
            return true;
        return fail(error, folderProblem(opened.start, place, opened.error, path));
    }
    const Descriptor file(::openat(opened.folder, place.name.constData(),
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
        // A regular file reads short only at its end: no second call to be
        // told so (a file that grew since its fstat fills the room and is
        // read on).
        if (filled < result.bytes.size())
            break;
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
    const Reached opened = openPlace(place);
    if (opened.start < 0)
        return fail(error, QStringLiteral("cannot open %1: %2")
                               .arg(PHFileName::decode(place.start), errorText(opened.error)));
    if (opened.folder < 0)
        return fail(error, folderProblem(opened.start, place, opened.error, path));
    struct stat old {};
    const bool existed = ::fstatat(opened.folder, place.name.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0;
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

    Replacement replacement(opened.start, opened.folder, place.name, path, existed, old);
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
    d->opened = openRegular(root, path, limit, true);
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
    const Reached opened = openPlace(place);
    if (opened.start < 0)
        return opened.error == ENOENT ? true : fail(error, errorText(opened.error));
    const int folder = opened.folder;
    if (folder < 0) {
        const int code = opened.error;
        const QString why = folderProblem(opened.start, place, code, path);
        if (code == ENOENT || (code == ENOTDIR && !why.contains(QLatin1String("symbolic link"))))
            return true;
        return fail(error, why);
    }
    struct stat info {};
    if (::fstatat(folder, place.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? true : fail(error, errorText(errno));
    if (S_ISLNK(info.st_mode))
        return fail(error, linkRefusal(path));
    if (!PHWriteJournal::recordRemoval(path))
        return true;
    if (::unlinkat(folder, place.name.constData(), 0) == 0 || errno == ENOENT)
        return true;
    return fail(error, errorText(errno));
}

bool exists(const QString &root, const QString &path) {
    const Place place = placeOf(root, path);
    if (!place.problem.isEmpty())
        return false;
    const Reached opened = openPlace(place);
    struct stat info {};
    return opened.folder >= 0 &&
           ::fstatat(opened.folder, place.name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool existsFollowingFolders(const QString &root, const QString &path) {
    const Place place = placeOf(root, path);
    if (!place.problem.isEmpty())
        return false;
    struct stat info {};
    // Outside a walk one lstat of the path does the same, in one call.
    if (!chain().serves(place))
        return ::lstat(joined(place.start, joined(place.folders, place.name)).constData(), &info) == 0;
    const Reached opened = openPlace(place, true);
    return opened.folder >= 0 &&
           ::fstatat(opened.folder, place.name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

QString linkTarget(const QString &root, const QString &path) {
    const Place place = placeOf(root, path);
    if (!place.problem.isEmpty())
        return {};
    QByteArray target(4096, Qt::Uninitialized);
    ssize_t length = -1;
    if (!chain().serves(place)) {
        length = ::readlink(joined(place.start, joined(place.folders, place.name)).constData(), target.data(),
                            size_t(target.size()));
    } else {
        const Reached opened = openPlace(place, true);
        if (opened.folder < 0)
            return {};
        length = ::readlinkat(opened.folder, place.name.constData(), target.data(), size_t(target.size()));
    }
    if (length < 0)
        return {};
    return length > 0 ? PHFileName::decode(QByteArrayView(target.constData(), length)) : QStringLiteral("?");
}

bool listFolder(const QString &root, const QString &path, const FolderEntries &entries, struct stat *info) {
    const Place place = placeOf(root, path, true);
    if (!place.problem.isEmpty())
        return false;
    struct stat own {};
    const Reached opened = openPlace(place, true, &own);
    if (opened.folder < 0)
        return false;
    if (info)
        *info = own;
    // The chain's descriptor is read from the start, whoever read it before.
    if (!opened.ownedFolder.valid() && !chain().firstReading(opened.folder) &&
        ::lseek(opened.folder, 0, SEEK_SET) != 0)
        return false;
    // As much as readdir reads at once; not on the stack of a deep walk.
    constexpr size_t kBuffer = 32768;
    const std::unique_ptr<char[]> buffer(new char[kBuffer]);
    for (;;) {
        const ssize_t got = ::getdents64(opened.folder, buffer.get(), kBuffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer.get() + at);
            at += entry->d_reclen;
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            entries(opened.folder, name, entry->d_type);
        }
    }
}

bool folderIdentity(const QString &root, const QString &path, dev_t *device, ino_t *inode) {
    const Place place = placeOf(root, path, true);
    if (!place.problem.isEmpty())
        return false;
    struct stat info {};
    if (!chain().serves(place)) {
        if (::stat(joined(place.start, place.folders).constData(), &info) != 0)
            return false;
    } else if (openPlace(place, true, &info).folder < 0) {
        return false;
    }
    *device = info.st_dev;
    *inode = info.st_ino;
    return true;
}

quint64 foldersOpened() {
    return t_foldersOpened;
}

namespace {
thread_local quint64 t_walks = 0;
thread_local quint64 t_walkNumber = 0;
} // namespace

quint64 walkNumber() {
    return chain().walks > 0 ? t_walkNumber : 0;
}

Walk::Walk() {
    if (chain().walks++ == 0)
        t_walkNumber = ++t_walks;
}

Walk::~Walk() {
    if (--chain().walks == 0)
        chain().clear();
}

} // namespace PHWebTreeFile
