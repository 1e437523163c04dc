#pragma once

#include <QString>

#include <optional>

/// Unified diffs of a file's text, as `diff -u` prints them.
namespace PHUnifiedDiff {

/// The diff from `before` to `after` (none: the file does not exist, shown as
/// /dev/null), headed by `path`, with three lines of context around each
/// change; empty when the texts are equal.
QString diff(const QString &path, const std::optional<QString> &before, const std::optional<QString> &after);

} // namespace PHUnifiedDiff
