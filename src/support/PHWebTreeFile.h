#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

#include <sys/types.h>

/// Files below a web root, reached from the root's own descriptor without
/// following a single symbolic link on the way: the web tree may be writable
/// by others (a user's public_html, an upload folder), and a program run as
/// root must not be led by a planted link to a file outside it.
///
/// Paths are resolved from the web root with openat2(RESOLVE_BENEATH |
/// RESOLVE_NO_SYMLINKS), or folder by folder with O_NOFOLLOW where the kernel
/// lacks it. Reads open the file itself with O_NOFOLLOW. Writes go to a
/// temporary file created exclusively in the same folder descriptor, renamed
/// over the target with renameat, so a link that appears in the target's
/// place is replaced, never followed. A file, or a folder on the way to it,
/// that is a link is refused with linkRefusal() and nothing is written.
///
/// The web root's own path is taken as configured (it may be a link itself);
/// a path that is not below the given root is resolved from its own folder,
/// so only its last component is protected.
namespace PHWebTreeFile {

/// Access, user and group files larger than this are refused without being
/// read: a hostile tree must not cost the reader its memory.
constexpr qint64 kMaxFileSize = qint64(8) << 20;
/// The same limit as people read it.
QString maxFileSizeText();

/// "PATH is a symbolic link; Porthold does not write through links".
QString linkRefusal(const QString &path);

struct Bytes {
    enum class Status {
        Read,       ///< `bytes` hold the whole file
        Missing,    ///< nothing there (or a folder on the way is missing)
        Unreadable, ///< a link, not a regular file, too large, or a read failed
    };
    Status status = Status::Missing;
    QByteArray bytes;
    /// Why the file was not read (for logs and messages); empty when read.
    QString error;
};

/// Reads the regular file at `path` below `root`, at most `limit` bytes of it
/// (a larger file is refused after one fstat).
Bytes read(const QString &root, const QString &path, qint64 limit = kMaxFileSize);

/// What a Porthold-written file carries when the caller asks for more than
/// the defaults (portholdctl's --owner, --group and --mode).
struct Attributes {
    std::optional<uid_t> owner;
    std::optional<gid_t> group;
    std::optional<mode_t> mode;
};
/// For every later write of this process (empty: the defaults).
void setAttributes(const Attributes &attributes);

/// Gives the existing regular file at `path` below `root` the owner, group
/// and mode set with setAttributes(), where it lacks them, on the opened file
/// itself (never through a link). `*changed` says whether it lacked them;
/// with `dryRun` nothing is changed. A missing file is no error. False with
/// `*error` when the file cannot be opened or changed.
bool applyAttributes(const QString &root, const QString &path, bool dryRun, bool *changed,
                     QString *error = nullptr);

/// Replaces (or creates) the file at `path` below `root` with `data`. An
/// existing file keeps its owner, group and mode; a new one is made 0644
/// whatever the umask, or with the mode and group of the web root's access,
/// user or group file when that is stricter and the web server can still
/// read it. False with `*error` when nothing was written.
bool write(const QString &root, const QString &path, const QByteArray &data, QString *error = nullptr);

/// Removes the file at `path` below `root`; a file that is not there counts
/// as removed. A link is refused, as for a write.
bool remove(const QString &root, const QString &path, QString *error = nullptr);

/// Whether something (a link too) is at `path` below `root`, links on the way not followed.
bool exists(const QString &root, const QString &path);

/// Forces the folder-by-folder walk instead of openat2 (for tests).
void setOpenat2Enabled(bool enabled);

} // namespace PHWebTreeFile
