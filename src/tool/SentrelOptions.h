#pragma once

// Plain C++: the command line of the set-user-ID tool.

#include <map>
#include <string>
#include <vector>

/// The tool's options: "-key value" pairs. An argument that begins with "-" is
/// a key (that one "-" removed) and the next argument, whatever it looks like,
/// is its value; a later pair replaces an earlier one with the same key; a key
/// with nothing after it is ignored; any other argument is skipped. Arguments
/// are kept as the bytes they are: a path need not be UTF-8.
using SentrelOptions = std::map<std::string, std::string>;

inline SentrelOptions parseSentrelOptions(const std::vector<std::string> &arguments) {
    SentrelOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument.empty() || argument[0] != '-')
            continue;
        if (i + 1 < arguments.size()) {
            options[argument.substr(1)] = arguments[i + 1];
            ++i;
        }
    }
    return options;
}

/// The options of a program's argument vector (the program path skipped).
inline SentrelOptions parseSentrelOptions(int argc, const char *const *argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    return parseSentrelOptions(arguments);
}

/// The value of `key`, or null when the options hold none.
inline const std::string *sentrelOption(const SentrelOptions &options, const std::string &key) {
    const auto found = options.find(key);
    return found == options.end() ? nullptr : &found->second;
}
