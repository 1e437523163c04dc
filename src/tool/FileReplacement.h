#pragma once

// Plain C++ and POSIX: how the tool puts a prepared file in place of a
// protected one, as root.

#include <string>
#include <sys/types.h>

/// Exit statuses of a replacement.
enum ReplacementResult {
    ReplacementDone = 0,
    ReplacementBadArguments = 3, ///< a path missing, relative, or naming no file
    ReplacementNotMoved = 12,    ///< the data could not be copied or renamed into place; target untouched
    ReplacementNoBackup = 13,    ///< the backup could not be made, or the target cannot be read
    ReplacementNoAttributes = 14 ///< owner, group or mode could not be given; target untouched
};

/// Replaces the file at `target` with the content of the file at `data`.
///
/// The first time a target is replaced, a copy of it is kept beside it as
/// `target` + ".preporthold"; an existing backup is never touched. The new
/// content goes into a temporary file in the target's folder that receives the
/// owner, group and mode of the target (of its destination, when the target is
/// a symbolic link) before it is renamed over the target, so the target is
/// never missing, and the data file may sit on any file system. The data file
/// must be a regular file (never reached through a symbolic link) owned by
/// `caller` unless the caller is root; it is removed once the target is
/// replaced.
ReplacementResult replaceFile(const std::string &target, const std::string &data, uid_t caller);
