#pragma once

// Plain C++ and POSIX: how the tool puts a prepared file in place of a
// protected one, as root.

#include "support/posix/PHErrorCode.h"

#include <string>
#include <sys/types.h>

/// Exit statuses of a replacement.
enum ReplacementResult {
    ReplacementDone = PHError::None,
    ReplacementBadArguments = PHError::ToolBadArguments, ///< a path missing, relative, or naming no file
    ReplacementUnsafeFolder = PHError::ReplacementUnsafeFolder, ///< a folder on the way is a link, or others
                                                                ///< than root may change it
    ReplacementNotMoved = PHError::ReplacementNotMoved, ///< the data could not be copied or renamed into
                                                        ///< place; target untouched
    ReplacementNoBackup =
        PHError::ReplacementNoBackup, ///< the backup could not be made, or the target cannot be read
    ReplacementNoAttributes =
        PHError::ReplacementNoAttributes ///< owner, group or mode could not be given; target untouched
};

/// The largest data file a replacement copies: server configuration files are
/// small, and a larger one is refused before anything is copied.
inline constexpr off_t kMaximumDataSize = 1024 * 1024;

/// Replaces the file at `target` with the content of the file at `data`.
///
/// The target's folder is opened once, one component at a time, and every
/// later step works on that descriptor: no folder on the way may be a
/// symbolic link, and none may be changed by anyone but root (a folder that
/// others may write, such as /tmp, is accepted above the target's folder only
/// with its sticky bit set, since then nobody else may rename root's folder in
/// it). The target itself may be a link, which is followed once.
///
/// The first time a target is replaced, a copy of it is kept beside it as
/// `target` + ".preporthold", written to a temporary file and renamed into
/// place only when whole; an existing backup is never touched. The new content
/// goes into a temporary file in the target's folder that receives the owner,
/// group and mode of the file that was backed up (of the link's destination,
/// for a link) before it is renamed over the target, so the target is never
/// missing, and the data file may sit on any file system. Set-user-ID and
/// set-group-ID bits are never copied. The data file must be a regular file
/// (never reached through a symbolic link) owned by `caller` unless the caller
/// is root, and at most kMaximumDataSize bytes (checked before the backup is
/// made, and again while copying); it is removed once the target is replaced.
/// No temporary file outlives a failure.
ReplacementResult replaceFile(const std::string &target, const std::string &data, uid_t caller);

/// Reads a file of root's configuration: every folder on the way root's and
/// changed by nobody else (see above), the file a regular file owned by root
/// that neither group nor others may write, at most `limit` bytes. False, with
/// `problem` set, when any of that fails.
bool readRootFile(const std::string &path, std::size_t limit, std::string *content, std::string *problem);
