#pragma once

// Plain C++ and POSIX only: the set-user-ID programs link this file.

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

/// One program to start with posix_spawn, and how its process begins:
///
/// - its standard descriptors 0 to 2 are each inherited, the null device, or a
///   descriptor of ours; the child has no other descriptor (everything from 3
///   up is closed in it, whatever its close-on-exec flag says);
/// - its signal mask is empty, and SIGPIPE (or, with `SignalDefaults::All`,
///   every signal) is at its default disposition, whatever this process
///   ignores;
/// - its environment is exactly `environment`, or this process's when absent;
/// - `program` is run by its path (never looked up in PATH) with argv[0] the
///   path itself; a relative path is refused unless `allowRelativeProgram`.
///
/// The descriptors handed over may be any of ours, 0 to 2 included and in any
/// order (the child's input may be our output, two streams may share one
/// descriptor): each is copied above 2 before the child's streams are set up,
/// so setting one never clobbers another.
struct PHSpawn {
    static constexpr int kInherit = -1;
    static constexpr int kNullDevice = -2;

    enum class SignalDefaults {
        Pipe, ///< SIGPIPE to its default; other ignored signals stay ignored
        All   ///< every signal to its default
    };

    std::string program;
    std::vector<std::string> arguments;                  ///< after argv[0], which is `program`
    std::optional<std::vector<std::string>> environment; ///< "NAME=value" entries
    int streams[3] = {kInherit, kInherit, kInherit};     ///< kInherit, kNullDevice or a descriptor
    SignalDefaults signalDefaults = SignalDefaults::Pipe;
    bool allowRelativeProgram = false;

    /// Starts the program: 0 with the child's process ID in `*child`, or the
    /// errno value of what failed (EINVAL for a refused path, ENOENT or EACCES
    /// for a program that cannot be run, EMFILE, ENOMEM...). Nothing is left
    /// open in this process either way.
    int start(pid_t *child) const;
};

/// Waits for `child` to end, retrying when a signal interrupts the wait; false
/// (errno set) when it cannot be waited for. `*status` is waitpid's raw status.
bool PHWaitForChild(pid_t child, int *status);
