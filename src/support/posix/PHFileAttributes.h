#pragma once

// Plain C++ and POSIX only: the set-user-ID tool links this file.

#include <cstdint>
#include <optional>
#include <string>

#include <sys/types.h>
#include <time.h>

/// What the file system says about one item.
struct PHFileAttributes {
    enum class Type {
        Regular,
        Directory,
        SymbolicLink,
        CharacterSpecial,
        BlockSpecial,
        Socket,
        FIFO,
        Unknown
    };

    Type type = Type::Unknown;
    std::uint64_t size = 0;
    mode_t permissions = 0; ///< the permission bits, set-ID and sticky bits included (mode & 07777)
    mode_t mode = 0;        ///< the raw st_mode, type bits included
    uid_t ownerID = 0;
    gid_t groupID = 0;
    dev_t device = 0;
    ino_t inode = 0;
    nlink_t referenceCount = 0;
    timespec modificationDate{};
    timespec creationDate{}; ///< the inode change time: Linux keeps no creation date in struct stat
};

/// The attributes of the item at `path`. With `traverseLink`, symbolic links
/// are followed the way the kernel follows them (a relative destination is
/// taken relative to the link's own folder, a cycle ends with ELOOP) and the
/// record describes the first item that is not a link. Absent when any step
/// fails; `*error` (when given) then holds the errno of that step, and 0 on
/// success.
std::optional<PHFileAttributes>
attributesOfItemAtPathTraverseLinkError(const std::string &path, bool traverseLink, int *error = nullptr);
