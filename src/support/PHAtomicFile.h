#pragma once

#include <QByteArray>
#include <QString>

/// Replacing a file so that a reader sees either the old contents or the new
/// ones, never a mixture or an empty file.
namespace PHAtomicFile {

/// Writes `data` to a new temporary file in the target's own folder and renames
/// it over the target. When `path` is a symbolic link, the file it leads to is
/// replaced and the link is kept. The new file carries the old file's
/// permissions (or 0666 less the umask when there was none) and, when they
/// differ and the process may set them, its owner and group (a refusal is
/// logged, not a failure). Every write and the final fsync are checked; on any
/// failure the temporary file is removed, the old file is left whole, false
/// is returned and `*error` (when given) says what failed.
/// What happens when the path is a symbolic link.
enum class LinkPolicy {
    ReplaceTarget, // the file the link leads to is replaced; the link stays
    ReplaceLink,   // the link itself becomes a regular file carrying its former target's attributes
};

bool write(const QString &path, const QByteArray &data, QString *error = nullptr,
           LinkPolicy links = LinkPolicy::ReplaceTarget);

} // namespace PHAtomicFile
