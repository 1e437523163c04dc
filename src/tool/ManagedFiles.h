#pragma once

// Plain C++: the server files the tool may replace, as root's own list says.

#include <optional>
#include <string>
#include <vector>

/// Root's list of the files the tool replaces: one absolute path a line; a
/// line whose last component is "*" followed by an ending ("/etc/apache2/users/*.conf")
/// stands for every file of that folder whose name has that ending and does not
/// begin with ".". Blank lines and lines beginning with "#" are skipped, and so
/// is any line that is not a plain absolute path (no "//", ".", ".." or
/// trailing "/"): it never matches anything.
class ManagedFiles {
public:
    /// The list at `path`, read only when every folder on the way and the file
    /// itself are root's and nobody else may change them, the file is a regular
    /// file (not a link) and at most kMaximumSize bytes; otherwise nothing, and
    /// `problem` says why.
    static std::optional<ManagedFiles> load(const std::string &path, std::string *problem);
    /// The list of this text (no checks of where it came from).
    static ManagedFiles parse(const std::string &text);

    /// Whether `target`, exactly as given, is a file of the list. A path that
    /// is not plain (see above) is never listed.
    bool lists(const std::string &target) const;

    static constexpr std::size_t kMaximumSize = 64 * 1024;

private:
    std::vector<std::string> m_files;
    std::vector<std::pair<std::string, std::string>> m_patterns; ///< folder, ending
};
