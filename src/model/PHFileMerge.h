#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>

/// Three-way merge of a file of named entries (users with their password
/// hashes, groups with their members) that this process changed while another
/// one changed the file on disk.
namespace PHFileMerge {

/// A name and its whole value; a name appears once.
using Entries = QList<std::pair<QString, QString>>;

struct Result {
    Entries merged;
    /// Names both sides changed differently: the version on disk was kept.
    QStringList conflicts;
};

/// `base` is the file as this process last read or wrote it, `mine` what it
/// holds now, `theirs` the file as it is on disk. Each name takes the side
/// that changed it (an entry added, removed or given a new value); when both
/// changed it differently, the disk's version wins and the name is reported.
/// The order is the disk's, then names only this process added, in its order.
/// `mergeValues`, when given, is asked about a name both sides kept but
/// changed differently (base absent when both added it): a value it returns
/// is taken without a conflict.
using ValueMerge = std::function<std::optional<QString>(const std::optional<QString> &base,
                                                        const QString &mine, const QString &theirs)>;
Result threeWay(const Entries &base, const Entries &mine, const Entries &theirs,
                const ValueMerge &mergeValues = {});

/// Merges space-separated lists of names (a group's members) as sets: the
/// disk's list, less what this side removed, plus what it added.
std::optional<QString> mergeNameLists(const std::optional<QString> &base, const QString &mine,
                                      const QString &theirs);

} // namespace PHFileMerge
