#pragma once

// Plain C++ and POSIX: the start-up hygiene and small I/O helpers shared by the
// set-user-ID programs.

#include <cstddef>
#include <cstdint>

namespace PrivilegedProcess {

/// The search path of every program a root program starts.
inline constexpr const char *kCleanPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

/// Start-up of a program that may run set-user-ID: descriptors 0 to 2 exist
/// (the null device stands in for a closed one, so nothing opened later lands
/// on them), every other inherited descriptor is closed, the environment is
/// emptied, signals are back to their defaults, the file mode mask is 077 and
/// the working folder is "/". Call after PosixLog::open.
void sanitize();

/// setgroups(0), setgid(0), setuid(0); true when the real and effective user
/// and group are then all root.
bool becomeRootEntirely();

/// Reads until `length` bytes arrived or the input ended; the count read.
std::size_t readUpTo(int fd, void *buffer, std::size_t length);
bool writeAll(int fd, const void *buffer, std::size_t length);

/// Seconds since the epoch.
std::int64_t now();

} // namespace PrivilegedProcess
