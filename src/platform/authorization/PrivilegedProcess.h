#pragma once

// Plain C++ and POSIX: the start-up hygiene and small I/O helpers of the root
// helper, which pkexec starts with the caller's descriptors, limits and mask.

#include <cstddef>

namespace PrivilegedProcess {

/// The whole environment of every program a root program starts: the search
/// path and the C locale.
inline constexpr const char *kCleanPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
inline constexpr const char *kCleanLanguage = "LANG=C";

/// Start-up of a program that runs as root for someone else: descriptors 0 to 2 exist
/// (the null device stands in for a closed one, so nothing opened later lands
/// on them), every other inherited descriptor is closed, the environment is
/// emptied, signals are back to their defaults, the file mode mask is 077 and
/// the working folder is "/". Call after PosixLog::open.
void sanitize();

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

} // namespace PrivilegedProcess
