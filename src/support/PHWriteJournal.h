#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

/// What one command-line run writes, kept so that it can say which files it
/// changed, show each change as a diff, or (in a dry run) change nothing.
///
/// While a journal is open, PHAtomicFile records every replacement and
/// removal: the file's bytes before its first change in the run and after
/// its last. A replacement by the bytes the file already holds is no change
/// and is not made. In a dry run nothing reaches the disk: the new bytes are
/// held here and PHTextFile reads them back, so a command that reads what it
/// wrote sees the same as in a real run. The panel never opens one.
namespace PHWriteJournal {

struct Entry {
    QString path;
    std::optional<QByteArray> before; ///< none: the file did not exist
    std::optional<QByteArray> after;  ///< none: the file was removed
    /// False for a file rewritten in pieces: changed, its bytes not kept.
    bool bytesKept = true;
};

/// Opens the journal until destroyed (one at a time, on the main thread).
class Scope {
public:
    /// Without `keepBytes` a file may be rewritten in pieces and its change
    /// recorded without its bytes (a dry run always keeps them).
    explicit Scope(bool dryRun, bool keepBytes = true);
    ~Scope();
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

    /// The files whose bytes differ from what they were, in the order of
    /// their first change.
    QList<Entry> changes() const;
};

bool isOpen();
bool isDryRun();
/// Whether a writer must hand the journal whole bytes (a dry run, or a run
/// that shows its changes): true while a journal that keeps them is open.
bool keepsBytes();

/// Called by the writers before they replace `path` with `data`. False when
/// the write must not happen: the file already holds `data`, or this is a
/// dry run (the new bytes are then held here).
bool recordWrite(const QString &path, const QByteArray &data);
/// Called after `path` was rewritten in pieces: a change, without its bytes.
void recordStreamedWrite(const QString &path);
/// The same before `path` is removed.
bool recordRemoval(const QString &path);

/// In a dry run, what `path` would hold: the held bytes, or none with
/// `*removed` set when it would be gone. Otherwise none.
std::optional<QByteArray> pendingBytes(const QString &path, bool *removed);

} // namespace PHWriteJournal
