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
    // The link is followed only to a regular file whose owner also owns the
    // link's folder and the target's folder; any other link is refused. A
    // link in a web folder must not lead a privileged writer to a system file.
    ReplaceOwnersTarget,
};

bool write(const QString &path, const QByteArray &data, QString *error = nullptr,
           LinkPolicy links = LinkPolicy::ReplaceTarget);

/// Removes the file at `path` (a link itself, not what it leads to). A file
/// that is not there counts as removed; otherwise false with `*error` (an
/// errno value).
bool remove(const QString &path, int *error = nullptr);

/// The same replacement for data that arrives in pieces (a download): the
/// pieces go straight to the temporary file, and only commit() puts it in
/// place. A writer destroyed, or abandoned, before a successful commit removes
/// its temporary file and leaves the target as it was.
class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    /// Creates the temporary file beside `path`; false (with `*error`) when it
    /// cannot be made.
    bool open(const QString &path, QString *error = nullptr, LinkPolicy links = LinkPolicy::ReplaceTarget);
    /// Appends to the temporary file; false (with `*error`) on a failed write.
    bool append(const char *data, qsizetype size, QString *error = nullptr);
    /// Flushes the temporary file and renames it over the target.
    bool commit(QString *error = nullptr);
    /// Removes the temporary file; the target stays as it was.
    void abandon();
    qint64 written() const { return m_written; }

private:
    int m_fd = -1;
    QByteArray m_temporary;
    QByteArray m_target;
    qint64 m_written = 0;
};

} // namespace PHAtomicFile
