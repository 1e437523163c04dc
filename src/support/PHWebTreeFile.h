#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

#include <sys/stat.h>
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
/// read whole: a hostile tree must not cost the reader its memory.
constexpr qint64 kMaxFileSize = qint64(8) << 20;
/// The same limit as people read it.
QString maxFileSizeText();
/// A file read and rewritten in pieces (the user file, by portholdctl) costs
/// no memory for its size, only time and a copy's room on disk: it is refused
/// above this larger limit.
constexpr qint64 kMaxStreamedFileSize = qint64(256) << 20;

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

/// A regular file below a web root opened once (no link followed) to be read
/// through in pieces any number of times and then replaced from the same
/// folder descriptor, as write() replaces a file: for a file whose size must
/// not decide the reader's memory. The caller holds the file's write lock.
class Source {
public:
    /// Opens `path` below `root`; a file larger than `limit` is refused after
    /// one fstat.
    Source(const QString &root, const QString &path, qint64 limit = kMaxStreamedFileSize);
    ~Source();
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;

    /// Read: open. Missing and Unreadable as for read(), with error().
    Bytes::Status status() const;
    const QString &error() const;

    /// Hands the file's bytes from its start to `piece`, in order, at most
    /// 64 KiB at a time. False when `piece` returns false (error() empty), or
    /// with error() when a read fails or the file grew past the limit.
    bool readThrough(const std::function<bool(QByteArrayView piece)> &piece);

    /// Takes the replacement's bytes in order; they reach the disk 64 KiB at a time.
    class Sink {
    public:
        virtual ~Sink() = default;
        /// False once a write failed: the replacement is then abandoned.
        virtual bool append(QByteArrayView bytes) = 0;
    };
    enum class Produced { Changed, Unchanged, Failed };
    /// Replaces the file with what `produce` hands its sink: a temporary file
    /// created exclusively beside it, with its owner, group and mode, renamed
    /// over it. Unchanged leaves the file alone, Failed too (with `*error`
    /// from the producer's `*why`). Refused when the file was changed or
    /// replaced by another program since it was opened. A command-line
    /// journal records the change without the file's bytes. False with
    /// `*error` when nothing was written; `*changed` says whether the file
    /// was replaced.
    bool replace(const std::function<Produced(Sink &sink, QString *why)> &produce, bool *changed,
                 QString *error = nullptr);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

/// Removes the file at `path` below `root`; a file that is not there counts
/// as removed. A link is refused, as for a write.
bool remove(const QString &root, const QString &path, QString *error = nullptr);

/// Whether something (a link too) is at `path` below `root`, links on the way not followed.
bool exists(const QString &root, const QString &path);

/// Whether something is at `path` below `root`, the last component not
/// followed but folders on the way that are links followed, as the folder
/// list follows them (it shows what is there, reads and writes still refuse).
bool existsFollowingFolders(const QString &root, const QString &path);

/// What the link at `path` below `root` points to, as written in it ("?"
/// when empty); empty when `path` is no link.
QString linkTarget(const QString &root, const QString &path);

/// Called with the folder's descriptor, an entry's name and its type
/// (DT_DIR, DT_LNK, DT_UNKNOWN...) for each entry but "." and "..".
using FolderEntries = std::function<void(int folder, const char *name, unsigned char type)>;
/// Lists the folder at `path` below `root` (links to folders on the way
/// followed, as a listing shows what they hold); `*info` gets the folder's
/// attributes. False when it cannot be opened as a folder.
bool listFolder(const QString &root, const QString &path, const FolderEntries &entries,
                struct stat *info = nullptr);

/// The device and inode of the folder at `path` below `root` (links followed,
/// as for listFolder), to tell folders apart in a walk.
bool folderIdentity(const QString &root, const QString &path, dev_t *device, ino_t *inode);

/// A walk of the tree: while one lives, the folders opened below a web root
/// are kept as one chain of descriptors from the root down to the folder
/// opened last, so that each folder is opened from its parent's descriptor
/// (one openat, O_NOFOLLOW) instead of from the root again, and a walk costs
/// in proportion to the folders it visits, not to their depth. Of a deep
/// chain only some levels stay open (every 16th and the last 16). The chain
/// is what the folders were when opened: for one command or one walk, not
/// for a panel that stays open while the tree changes. Main thread only;
/// walks nest.
class Walk {
public:
    Walk();
    ~Walk();
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;
};

/// A number for the outermost walk under way on this thread, new for each
/// (0 when none is): what a caller takes once for a walk is kept under it.
quint64 walkNumber();

/// How many times this thread opened a folder's descriptor (for tests and
/// measurements: a walk opens each folder about once).
quint64 foldersOpened();

/// Forces the folder-by-folder walk instead of openat2 (for tests).
void setOpenat2Enabled(bool enabled);

} // namespace PHWebTreeFile
