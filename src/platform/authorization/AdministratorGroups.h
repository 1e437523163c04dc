#pragma once

// Plain C++ and POSIX: who counts as an administrator. Root always; besides,
// the members of the groups named in a configuration file that only root may
// change. The file's path is fixed when the helper is built.

#include <string>
#include <vector>

/// The groups of a system without the file: "sudo" where Debian's layout is
/// found (/etc/debian_version), else "wheel".
std::vector<std::string> defaultAdministratorGroups();

/// The group names the file at `path` lists: one or more per line, separated
/// by blanks, "#" starting a comment. A missing file gives the defaults. A
/// file that is not a regular file owned by root, that others may change, or
/// that holds an invalid name gives no group at all (only root is an
/// administrator then), with a sentence in `problem`.
std::vector<std::string> administratorGroups(const std::string &path, std::string *problem = nullptr);

/// Whether the account `name` is root or a member (primary or supplementary)
/// of one of `groups`.
bool isAdministrator(const std::string &name, const std::vector<std::string> &groups);
