#include "tool/FileReplacement.h"

#include "platform/authorization/PosixLog.h"
#include "platform/authorization/PrivilegedProcess.h"
#include "support/posix/PHWriteAll.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

/// An open descriptor, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    friend void swap(Descriptor &a, Descriptor &b) noexcept { std::swap(a.m_fd, b.m_fd); }
    /// Closes now, reporting whether the close (which may flush) worked.
    bool reset() {
        const bool closed = m_fd < 0 || ::close(m_fd) == 0;
        m_fd = -1;
        return closed;
    }

private:
    int m_fd;
};

/// An absolute path's folder and last component; false for a path that names
/// no file ("/", "/etc/", "/x/..").
bool splitPath(const std::string &path, std::string *folder, std::string *name) {
    if (path.empty() || path[0] != '/' || path.back() == '/')
        return false;
    const std::size_t slash = path.rfind('/');
    *folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    *name = path.substr(slash + 1);
    return *name != "." && *name != "..";
}

int openFolder(const std::string &folder) {
    return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

/// Opens the folder `name` inside `folder` without following a link and
/// without leaving `folder`.
int openComponent(int folder, const std::string &name) {
#ifdef SYS_openat2
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, folder, name.c_str(), &how, sizeof how);
    // Kernels or sandboxes without openat2 get the same walk by hand.
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != EINVAL && errno != E2BIG))
        return static_cast<int>(fd);
#endif
    return ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

/// Whether someone other than root may add, remove or rename entries of a
/// folder. A sticky folder that others may write (as /tmp) protects root's
/// entries from them, which is enough for a folder on the way but not for the
/// folder that holds the target.
bool othersMayChange(const struct stat &st, bool holdsTarget) {
    const bool othersWrite = (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0);
    return st.st_uid != 0 || (othersWrite && (holdsTarget || !(st.st_mode & S_ISVTX)));
}

enum class FolderCheck { Trusted, Unsafe, Failed };

/// Opens an absolute folder path one component at a time from "/", refusing a
/// symbolic link anywhere and any folder that others than root may change.
/// "." and ".." are resolved by name first: with no link on the way, that is
/// what the kernel would do.
FolderCheck openTrustedFolder(const std::string &path, int *opened, std::string *problem) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string component = path.substr(start, end - start);
        if (component == "..") {
            if (!components.empty())
                components.pop_back();
        } else if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        start = end + 1;
    }

    Descriptor folder(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string walked;
    for (std::size_t i = 0;; ++i) {
        if (!folder)
            return FolderCheck::Failed;
        struct stat st {};
        if (::fstat(folder.get(), &st) != 0)
            return FolderCheck::Failed;
        if (othersMayChange(st, i == components.size())) {
            *problem = "the folder " + (walked.empty() ? std::string("/") : walked) +
                       " may be changed by someone other than root";
            return FolderCheck::Unsafe;
        }
        if (i == components.size())
            break;
        walked += "/" + components[i];
        Descriptor next(openComponent(folder.get(), components[i]));
        // Without openat2 a link opened with O_NOFOLLOW | O_DIRECTORY fails
        // with ENOTDIR, not ELOOP: whatever the error, a link is a link.
        struct stat entry {};
        if (!next && (errno == ELOOP ||
                      (::fstatat(folder.get(), components[i].c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISLNK(entry.st_mode)))) {
            *problem = "the path passes through the symbolic link " + walked;
            return FolderCheck::Unsafe;
        }
        swap(folder, next);
    }
    *opened = folder.release();
    return FolderCheck::Trusted;
}

/// Opens a regular file for reading without ever blocking on a FIFO or device.
int openRegularFile(int folder, const std::string &name, int extraFlags, struct stat *st) {
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | extraFlags);
    if (fd < 0)
        return -1;
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

/// Copies at most `limit` bytes; a source that holds more (it may have grown
/// since it was measured) fails the copy.
bool copyContent(int from, int to, off_t limit) {
    char buffer[65536];
    off_t copied = 0;
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        copied += n;
        if (copied > limit) {
            errno = EFBIG;
            return false;
        }
        if (!PHWriteAll(to, buffer, static_cast<std::size_t>(n)))
            return false;
    }
    return ::fsync(to) == 0;
}

/// Creates a new private file in `folder`, named after `name` with a random
/// ending; never follows a link and never opens an existing file.
int createTemporary(int folder, const std::string &name, std::string *created) {
    for (int attempt = 0; attempt < 32; ++attempt) {
        unsigned char random[6];
        if (::getrandom(random, sizeof random, 0) != sizeof random)
            return -1;
        static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        std::string candidate = "." + name + ".sentrel-";
        for (unsigned char byte : random)
            candidate += letters[byte % 62];
        const int fd =
            ::openat(folder, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *created = candidate;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

/// Gives an open file the owner, group and mode, never a set-user-ID or
/// set-group-ID bit; the owner first, since a change of owner clears them.
bool giveAttributes(int fd, const struct stat &from) {
    return ::fchown(fd, from.st_uid, from.st_gid) == 0 && ::fchmod(fd, from.st_mode & 01777) == 0;
}

/// Fills a new temporary file beside `name` from `source` with the attributes
/// of `attributes` and closes it; the name of the whole file, or empty (with
/// nothing left behind) when any step failed.
std::string writeTemporaryCopy(int folder, const std::string &name, int source, const struct stat &attributes,
                               off_t limit, bool *attributesFailed) {
    std::string temporaryName;
    Descriptor temporary(createTemporary(folder, name, &temporaryName));
    if (!temporary)
        return {};
    bool whole = giveAttributes(temporary.get(), attributes);
    if (!whole && attributesFailed)
        *attributesFailed = true;
    whole = whole && copyContent(source, temporary.get(), limit);
    whole = temporary.reset() && whole;
    if (whole)
        return temporaryName;
    const int saved = errno;
    ::unlinkat(folder, temporaryName.c_str(), 0);
    errno = saved;
    return {};
}

/// Keeps the target as it was before its first replacement: a whole copy of
/// `original` is renamed into place, never over an existing backup. True when
/// a backup exists afterwards.
bool makeBackupOnce(int folder, const std::string &name, int original, const struct stat &st) {
    const std::string backup = name + ".preporthold";
    struct stat existing {};
    if (::fstatat(folder, backup.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    if (errno != ENOENT)
        return false;

    // The whole of the file as it is now, however large root made it.
    const std::string copy =
        writeTemporaryCopy(folder, backup, original, st, std::numeric_limits<off_t>::max(), nullptr);
    if (copy.empty())
        return false;
    if (::renameat2(folder, copy.c_str(), folder, backup.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    int error = errno;
    // A file system without the no-replace rename: a hard link never replaces either.
    if (error == EINVAL && ::linkat(folder, copy.c_str(), folder, backup.c_str(), 0) == 0)
        error = 0;
    ::unlinkat(folder, copy.c_str(), 0);
    // Another run made the backup meanwhile: that one is kept.
    if (error == EEXIST)
        return true;
    errno = error;
    return error == 0;
}

} // namespace

ReplacementResult replaceFile(const std::string &target, const std::string &data, uid_t caller) {
    std::string targetFolderPath, targetName, dataFolderPath, dataName;
    if (!splitPath(target, &targetFolderPath, &targetName) || !splitPath(data, &dataFolderPath, &dataName)) {
        PosixLog::write("Sentrel needs absolute paths of the file and of the data");
        return ReplacementBadArguments;
    }
    int opened = -1;
    std::string problem;
    switch (openTrustedFolder(targetFolderPath, &opened, &problem)) {
    case FolderCheck::Trusted:
        break;
    case FolderCheck::Unsafe:
        PosixLog::write("Sentrel refuses to replace %s: %s", target.c_str(), problem.c_str());
        return ReplacementUnsafeFolder;
    case FolderCheck::Failed:
        PosixLog::write("Sentrel cannot open the folder of %s: %s", target.c_str(), std::strerror(errno));
        return ReplacementNoBackup;
    }
    Descriptor targetFolder(opened);

    // The file as it is now (its destination, for a link): what is backed up
    // is what the new file takes its attributes from.
    struct stat st {};
    Descriptor original(openRegularFile(targetFolder.get(), targetName, 0, &st));
    if (!original) {
        PosixLog::write("Sentrel cannot read %s: %s", target.c_str(), std::strerror(errno));
        return ReplacementNoBackup;
    }
    // The data file: the caller's own regular file, never reached through a link.
    Descriptor dataFolder(openFolder(dataFolderPath));
    struct stat dataStat {};
    Descriptor dataFile(dataFolder ? openRegularFile(dataFolder.get(), dataName, O_NOFOLLOW, &dataStat) : -1);
    if (!dataFile) {
        PosixLog::write("Sentrel cannot open the data file %s: %s", data.c_str(), std::strerror(errno));
        return ReplacementNotMoved;
    }
    if (caller != 0 && dataStat.st_uid != caller) {
        PosixLog::write("Sentrel refuses the data file %s: it does not belong to the caller", data.c_str());
        return ReplacementNotMoved;
    }
    if (dataStat.st_size > kMaximumDataSize) {
        PosixLog::write(
            "Sentrel refuses the data file %s: %lld bytes, more than the %lld a server file may have",
            data.c_str(), static_cast<long long>(dataStat.st_size), static_cast<long long>(kMaximumDataSize));
        return ReplacementNotMoved;
    }
    if (!makeBackupOnce(targetFolder.get(), targetName, original.get(), st)) {
        PosixLog::write("Sentrel cannot back up %s: %s", target.c_str(), std::strerror(errno));
        return ReplacementNoBackup;
    }

    bool attributesFailed = false;
    const std::string temporaryName = writeTemporaryCopy(targetFolder.get(), targetName, dataFile.get(), st,
                                                         kMaximumDataSize, &attributesFailed);
    if (temporaryName.empty()) {
        PosixLog::write(attributesFailed ? "Sentrel cannot give %s its owner, group and mode: %s"
                                         : "Sentrel cannot copy the data for %s: %s",
                        target.c_str(), std::strerror(errno));
        return attributesFailed ? ReplacementNoAttributes : ReplacementNotMoved;
    }
    if (::renameat(targetFolder.get(), temporaryName.c_str(), targetFolder.get(), targetName.c_str()) != 0) {
        PosixLog::write("Sentrel cannot move the new %s into place: %s", target.c_str(),
                        std::strerror(errno));
        ::unlinkat(targetFolder.get(), temporaryName.c_str(), 0);
        return ReplacementNotMoved;
    }
    ::fsync(targetFolder.get());

    // Remove the data file only if its name still leads to the file that was copied.
    struct stat now {};
    if (::fstatat(dataFolder.get(), dataName.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_dev != dataStat.st_dev || now.st_ino != dataStat.st_ino ||
        ::unlinkat(dataFolder.get(), dataName.c_str(), 0) != 0)
        PosixLog::write("Sentrel replaced %s but could not remove the data file %s", target.c_str(),
                        data.c_str());
    return ReplacementDone;
}

bool readRootFile(const std::string &path, std::size_t limit, std::string *content, std::string *problem) {
    std::string folderPath, name;
    if (!splitPath(path, &folderPath, &name)) {
        *problem = path + " is not an absolute path of a file";
        return false;
    }
    int opened = -1;
    std::string unsafe;
    switch (openTrustedFolder(folderPath, &opened, &unsafe)) {
    case FolderCheck::Trusted:
        break;
    case FolderCheck::Unsafe:
        *problem = path + " is not root's alone: " + unsafe;
        return false;
    case FolderCheck::Failed:
        *problem = "cannot open the folder of " + path + ": " + std::strerror(errno);
        return false;
    }
    Descriptor folder(opened);
    struct stat st {};
    Descriptor file(openRegularFile(folder.get(), name, O_NOFOLLOW, &st));
    if (!file) {
        *problem = "cannot read " + path + " (a regular file, not a link): " + std::strerror(errno);
        return false;
    }
    if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        *problem = path + " may be changed by someone other than root";
        return false;
    }
    if (st.st_size < 0 || static_cast<std::size_t>(st.st_size) > limit) {
        *problem = path + " is larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    content->assign(static_cast<std::size_t>(st.st_size), '\0');
    const std::size_t read = PrivilegedProcess::readUpTo(file.get(), content->data(), content->size());
    content->resize(read);
    return true;
}
