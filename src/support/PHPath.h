#pragma once

#include <QString>

/// Path and account helpers every part of the program uses, so that a path is
/// joined, split and found the same way everywhere.
namespace PHPath {

/// The current user's home folder from the password entry (never $HOME, which
/// the caller controls); $HOME only when the system knows no entry.
QString homeFolder();
/// The current user's name from the password entry (never the login session's
/// name), or empty.
QString loginName();

/// Exactly one "/" between the two sides. Joining onto an absent (empty) path
/// gives an absent path, never one relative to the working folder; an empty
/// right side leaves the left one unchanged.
QString joinPath(const QString &left, const QString &right);
/// The last component ("c" of "/a/b/c/"); "/" for the root itself.
QString lastPathComponent(const QString &path);

} // namespace PHPath
