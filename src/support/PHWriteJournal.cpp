#include "support/PHWriteJournal.h"

#include "support/PHFileName.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Journal {
    bool dryRun = false;
    bool keepBytes = true;
    QList<PHWriteJournal::Entry> entries;
};

std::optional<Journal> g_journal;

/// The bytes at `path` now, or none when there is no regular file to read
/// (a missing file; anything unreadable is left to the writer to report).
std::optional<QByteArray> bytesOnDisk(const QString &path) {
    const QByteArray name = PHFileName::encode(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        bytes.append(buffer, got);
    }
    ::close(fd);
    return bytes;
}

PHWriteJournal::Entry *entryFor(const QString &path) {
    for (PHWriteJournal::Entry &entry : g_journal->entries)
        if (entry.path == path)
            return &entry;
    return nullptr;
}

/// Records that `path` goes to `after`; true when that changes what it holds.
bool record(const QString &path, const std::optional<QByteArray> &after) {
    PHWriteJournal::Entry *entry = entryFor(path);
    // What the file holds now: on disk, or as held by this dry run.
    const std::optional<QByteArray> current = entry && g_journal->dryRun ? entry->after : bytesOnDisk(path);
    if (current == after)
        return false;
    if (!entry) {
        g_journal->entries.append(PHWriteJournal::Entry{path, current, after});
        return true;
    }
    entry->after = after;
    return true;
}

} // namespace

namespace PHWriteJournal {

Scope::Scope(bool dryRun, bool keepBytes) {
    g_journal = Journal{dryRun, keepBytes || dryRun, {}};
}

Scope::~Scope() {
    g_journal.reset();
}

QList<Entry> Scope::changes() const {
    QList<Entry> changed;
    for (const Entry &entry : g_journal->entries)
        if (!entry.bytesKept || entry.before != entry.after)
            changed.append(entry);
    return changed;
}

bool isOpen() {
    return g_journal.has_value();
}

bool isDryRun() {
    return g_journal && g_journal->dryRun;
}

bool keepsBytes() {
    return g_journal && g_journal->keepBytes;
}

void recordStreamedWrite(const QString &path) {
    if (!g_journal)
        return;
    if (PHWriteJournal::Entry *entry = entryFor(path)) {
        entry->bytesKept = false;
        entry->after = QByteArray();
        return;
    }
    g_journal->entries.append(PHWriteJournal::Entry{path, QByteArray(), QByteArray(), false});
}

bool recordWrite(const QString &path, const QByteArray &data) {
    if (!g_journal)
        return true;
    return record(path, data) && !g_journal->dryRun;
}

bool recordRemoval(const QString &path) {
    if (!g_journal)
        return true;
    return record(path, std::nullopt) && !g_journal->dryRun;
}

std::optional<QByteArray> pendingBytes(const QString &path, bool *removed) {
    *removed = false;
    if (!isDryRun())
        return std::nullopt;
    const Entry *entry = entryFor(path);
    if (!entry)
        return std::nullopt;
    *removed = !entry->after.has_value();
    return entry->after;
}

} // namespace PHWriteJournal
