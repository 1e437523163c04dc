#include "support/posix/PHFileAttributes.h"

#include <cerrno>

#include <sys/stat.h>

namespace {

PHFileAttributes::Type typeOf(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFREG:
        return PHFileAttributes::Type::Regular;
    case S_IFDIR:
        return PHFileAttributes::Type::Directory;
    case S_IFLNK:
        return PHFileAttributes::Type::SymbolicLink;
    case S_IFCHR:
        return PHFileAttributes::Type::CharacterSpecial;
    case S_IFBLK:
        return PHFileAttributes::Type::BlockSpecial;
    case S_IFSOCK:
        return PHFileAttributes::Type::Socket;
    case S_IFIFO:
        return PHFileAttributes::Type::FIFO;
    default:
        return PHFileAttributes::Type::Unknown;
    }
}

} // namespace

std::optional<PHFileAttributes> attributesOfItemAtPathTraverseLinkError(const std::string &path,
                                                                        bool traverseLink, int *error) {
    if (error)
        *error = 0;
    if (path.empty()) {
        if (error)
            *error = ENOENT;
        return std::nullopt;
    }
    // stat(2) follows links exactly as every other program on the system sees
    // them (relative to the link's folder, ELOOP at the kernel's limit), so the
    // record never describes a file other than the one that would be opened.
    struct stat info {};
    const int result = traverseLink ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
    if (result != 0) {
        if (error)
            *error = errno;
        return std::nullopt;
    }
    PHFileAttributes attributes;
    attributes.type = typeOf(info.st_mode);
    attributes.size = static_cast<std::uint64_t>(info.st_size);
    attributes.permissions = info.st_mode & 07777;
    attributes.mode = info.st_mode;
    attributes.ownerID = info.st_uid;
    attributes.groupID = info.st_gid;
    attributes.device = info.st_dev;
    attributes.inode = info.st_ino;
    attributes.referenceCount = info.st_nlink;
    attributes.modificationDate = info.st_mtim;
    attributes.creationDate = info.st_ctim;
    return attributes;
}
