#pragma once

// Plain C++ and POSIX only: the set-user-ID programs link this file.

#include <cstddef>

/// Writes all `length` bytes to `fd`, however few each write takes and however
/// often a signal interrupts one. False when a write fails, or writes nothing
/// (EIO then); errno and `*error` (when given) hold the reason.
bool PHWriteAll(int fd, const void *buffer, std::size_t length, int *error = nullptr);

/// The same for a socket, sent with MSG_NOSIGNAL: a peer that has gone away
/// gives EPIPE, never SIGPIPE, whatever this process does with that signal.
bool PHSendAll(int socket, const void *buffer, std::size_t length, int *error = nullptr);
