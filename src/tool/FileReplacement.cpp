#include "tool/FileReplacement.h"

#include "platform/authorization/PosixLog.h"
#include "platform/authorization/PrivilegedProcess.h"
#include "support/posix/PHFileAttributes.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool copyContent(int from, int to) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (!PrivilegedProcess::writeAll(to, buffer, static_cast<std::size_t>(n)))
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

/// Gives an open file the owner, group and mode; the owner first, since a
/// change of owner clears the set-ID bits.
bool giveAttributes(int fd, uid_t owner, gid_t group, mode_t permissions) {
    return ::fchown(fd, owner, group) == 0 && ::fchmod(fd, permissions & 07777) == 0;
}

/// Keeps the target as it was before its first replacement. True when a backup
/// exists afterwards.
bool makeBackupOnce(int folder, const std::string &name) {
    const std::string backup = name + ".preporthold";
    struct stat existing {};
    if (::fstatat(folder, backup.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    if (errno != ENOENT)
        return false;

    struct stat st {};
    Descriptor original(openRegularFile(folder, name, 0, &st));
    if (!original)
        return false;
    Descriptor copy(
        ::openat(folder, backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!copy)
        return errno == EEXIST;
    if (giveAttributes(copy.get(), st.st_uid, st.st_gid, st.st_mode) &&
        copyContent(original.get(), copy.get()) && copy.reset())
        return true;
    ::unlinkat(folder, backup.c_str(), 0);
    return false;
}

} // namespace

ReplacementResult replaceFile(const std::string &target, const std::string &data, uid_t caller) {
    std::string targetFolderPath, targetName, dataFolderPath, dataName;
    if (!splitPath(target, &targetFolderPath, &targetName) || !splitPath(data, &dataFolderPath, &dataName)) {
        PosixLog::write("Sentrel needs absolute paths of the file and of the data");
        return ReplacementBadArguments;
    }
    Descriptor targetFolder(openFolder(targetFolderPath));
    if (!targetFolder) {
        PosixLog::write("Sentrel cannot open the folder of %s: %s", target.c_str(), std::strerror(errno));
        return ReplacementNoBackup;
    }

    if (!makeBackupOnce(targetFolder.get(), targetName)) {
        PosixLog::write("Sentrel cannot back up %s: %s", target.c_str(), std::strerror(errno));
        return ReplacementNoBackup;
    }

    // The new file takes what the target (its destination, for a link) carries.
    int error = 0;
    const std::optional<PHFileAttributes> attributes =
        attributesOfItemAtPathTraverseLinkError(target, true, &error);
    if (!attributes || attributes->type != PHFileAttributes::Type::Regular) {
        PosixLog::write("Sentrel cannot read the attributes of %s: %s", target.c_str(),
                        std::strerror(error ? error : EINVAL));
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

    std::string temporaryName;
    Descriptor temporary(createTemporary(targetFolder.get(), targetName, &temporaryName));
    if (!temporary) {
        PosixLog::write("Sentrel cannot create a file beside %s: %s", target.c_str(), std::strerror(errno));
        return ReplacementNotMoved;
    }
    auto discard = [&] { ::unlinkat(targetFolder.get(), temporaryName.c_str(), 0); };

    if (!giveAttributes(temporary.get(), attributes->ownerID, attributes->groupID, attributes->permissions)) {
        PosixLog::write("Sentrel cannot give %s its owner, group and mode: %s", target.c_str(),
                        std::strerror(errno));
        discard();
        return ReplacementNoAttributes;
    }
    if (!copyContent(dataFile.get(), temporary.get()) || !temporary.reset()) {
        PosixLog::write("Sentrel cannot copy the data for %s: %s", target.c_str(), std::strerror(errno));
        discard();
        return ReplacementNotMoved;
    }
    if (::renameat(targetFolder.get(), temporaryName.c_str(), targetFolder.get(), targetName.c_str()) != 0) {
        PosixLog::write("Sentrel cannot move the new %s into place: %s", target.c_str(),
                        std::strerror(errno));
        discard();
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
