#pragma once

// Plain C++ and POSIX: the start-up hygiene and small I/O helpers shared by the
// set-user-ID programs.

#include <cstddef>
#include <cstdint>

namespace PrivilegedProcess {

/// The whole environment of every program a root program starts: the search
/// path and the C locale.
inline constexpr const char *kCleanPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
inline constexpr const char *kCleanLanguage = "LANG=C";

/// Start-up of a program that may run set-user-ID: descriptors 0 to 2 exist
/// (the null device stands in for a closed one, so nothing opened later lands
/// on them), every other inherited descriptor is closed, the environment is
/// emptied, signals are back to their defaults, the file mode mask is 077 and
/// the working folder is "/". Call after PosixLog::open.
void sanitize();

/// setgroups(0), setgid(0), setuid(0); true when the real and effective user
/// and group are then all root.
bool becomeRootEntirely();

/// For a set-user-ID start: the effective user becomes the real one (the
/// caller) again, keeping root as the saved user. Until `actAsRoot` the
/// process acts with the caller's rights; the caller may signal it either way,
/// since its real user stays the caller's until `becomeRootEntirely`.
bool actAsCaller();
/// Root again as the effective user (the saved user must be root).
bool actAsRoot();

/// Reads until `length` bytes arrived, the input ended, or `seconds` passed,
/// whatever the input is (a FIFO nobody writes to, a terminal, a pipe that
/// another reader empties first); the count read.
std::size_t readWithin(int fd, void *buffer, std::size_t length, int seconds);

/// The resource limits the system gave its first process (root's defaults),
/// in place of whatever the caller handed down; a limit that cannot be read
/// there is lifted instead. Root only. Where even root may not raise a hard
/// limit (a container without CAP_SYS_RESOURCE), the soft limit is raised to
/// the caller's hard one.
void resetLimits();

/// Blocks every signal that can be blocked: nothing the caller or a terminal
/// sends, and no limit, interrupts what follows.
void blockSignals();

/// Reads until `length` bytes arrived or the input ended; the count read.
std::size_t readUpTo(int fd, void *buffer, std::size_t length);

/// Seconds since the epoch.
std::int64_t now();

} // namespace PrivilegedProcess
