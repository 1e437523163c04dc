#pragma once

// Plain C++ and POSIX: the system log of the root helper.

/// Single lines to the system log under the program's ident, copied to
/// standard error when PORTHOLD_LOG_STDERR=1. The variable is read with
/// secure_getenv, so a set-user-ID start ignores it (and pkexec clears it).
namespace PosixLog {
/// Call once, first thing in main (before the environment is cleared).
void open(const char *ident);
void write(const char *format, ...) __attribute__((format(printf, 1, 2)));
} // namespace PosixLog
