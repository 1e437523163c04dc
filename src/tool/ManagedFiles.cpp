#include "tool/ManagedFiles.h"

#include "tool/FileReplacement.h"

#include "platform/authorization/PosixLog.h"

namespace {

/// An absolute path without empty, "." or ".." components and without a
/// trailing "/"; "/" itself is no file.
bool isPlainPath(const std::string &path) {
    if (path.size() < 2 || path[0] != '/' || path.back() == '/')
        return false;
    std::size_t start = 1;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == "..")
            return false;
        start = end + 1;
    }
    return path.find('\0') == std::string::npos;
}

std::string trimmed(const std::string &line) {
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

std::optional<ManagedFiles> ManagedFiles::load(const std::string &path, std::string *problem) {
    std::string text;
    if (!readRootFile(path, kMaximumSize, &text, problem))
        return std::nullopt;
    return parse(text);
}

ManagedFiles ManagedFiles::parse(const std::string &text) {
    ManagedFiles list;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        if (!isPlainPath(line)) {
            PosixLog::write("Sentrel skips the line \"%s\" of its managed files: not a plain absolute path",
                            line.c_str());
            continue;
        }
        const std::size_t slash = line.rfind('/');
        const std::string name = line.substr(slash + 1);
        if (name.find('*') == std::string::npos) {
            list.m_files.push_back(line);
        } else if (name[0] == '*' && name.find('*', 1) == std::string::npos && line.find('*') == slash + 1) {
            list.m_patterns.emplace_back(line.substr(0, slash + 1), name.substr(1));
        } else {
            PosixLog::write("Sentrel skips the line \"%s\" of its managed files: only a last component "
                            "\"*ending\" may hold \"*\"",
                            line.c_str());
        }
    }
    return list;
}

bool ManagedFiles::lists(const std::string &target) const {
    if (!isPlainPath(target))
        return false;
    for (const std::string &file : m_files)
        if (file == target)
            return true;
    for (const auto &[folder, ending] : m_patterns) {
        if (target.size() <= folder.size() || target.compare(0, folder.size(), folder) != 0)
            continue;
        const std::string name = target.substr(folder.size());
        if (name.find('/') == std::string::npos && name[0] != '.' && name.size() > ending.size() &&
            name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
            return true;
    }
    return false;
}
