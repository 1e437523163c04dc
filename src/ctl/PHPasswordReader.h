#pragma once

#include <QString>

#include <optional>

/// Reads a new password from standard input: one line; on a terminal it is
/// asked for twice, without echo, the prompts on the terminal.
namespace PHPasswordReader {

struct Entry {
    QString password;
    QString confirmation;
};

/// Absent when standard input could not be read (a terminal closed while
/// asking). End of input before any line gives an empty password.
std::optional<Entry> read(const QString &prompt, const QString &confirmPrompt);

/// Reads a password to check: one line, asked once without echo on a
/// terminal. Absent when standard input could not be read.
std::optional<QString> readOnce(const QString &prompt);

} // namespace PHPasswordReader
