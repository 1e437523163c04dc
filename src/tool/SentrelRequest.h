#pragma once

// Plain C++: the root helper's command line and caller.
//
//   Sentrel replace-configuration -file TARGET -data PREPARED
//   Sentrel control-server [-data start|stop|restart|graceful]

#include <cstring>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

/// A request: the operation, which is the first argument (what polkit's action
/// matched through pkexec), and at most one -file and one -data. Arguments are
/// kept as the bytes they are: a path need not be UTF-8.
struct SentrelRequest {
    std::string operation;
    std::optional<std::string> file;
    std::optional<std::string> data;

    bool operator==(const SentrelRequest &) const = default;
};

/// The request of the arguments after the program's path, or nothing: no
/// operation, an unknown key, a key twice, a key without a value or a stray
/// word refuses the whole command line. The operation itself is not checked
/// here.
inline std::optional<SentrelRequest> parseSentrelRequest(const std::vector<std::string> &arguments) {
    if (arguments.empty())
        return std::nullopt;
    SentrelRequest request;
    request.operation = arguments[0];
    for (std::size_t i = 1; i < arguments.size(); i += 2) {
        if (i + 1 >= arguments.size())
            return std::nullopt;
        const std::string &key = arguments[i];
        std::optional<std::string> *slot = key == "-file"   ? &request.file
                                           : key == "-data" ? &request.data
                                                            : nullptr;
        if (!slot || *slot)
            return std::nullopt;
        *slot = arguments[i + 1];
    }
    return request;
}

inline std::optional<SentrelRequest> parseSentrelRequest(int argc, const char *const *argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    return parseSentrelRequest(arguments);
}

/// The user polkit authorized, from pkexec's PKEXEC_UID (null: root started
/// the tool itself, so root is the caller). Anything but a plain decimal user
/// number below the "no user" value is no caller at all.
inline std::optional<uid_t> sentrelCallerOf(const char *pkexecUid) {
    if (!pkexecUid)
        return uid_t{0};
    const std::size_t length = std::strlen(pkexecUid);
    if (length == 0 || length > 10)
        return std::nullopt;
    unsigned long long value = 0;
    for (const char *c = pkexecUid; *c; ++c) {
        if (*c < '0' || *c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(*c - '0');
    }
    if (value >= static_cast<unsigned long long>(static_cast<uid_t>(-1)))
        return std::nullopt;
    return static_cast<uid_t>(value);
}
