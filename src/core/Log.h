#pragma once

#include <QString>

/// Single lines to the system log (ident "Porthold"), copied to standard error
/// when PORTHOLD_LOG_STDERR=1. Tests can capture the lines.
namespace Log {
void write(const QString &line);
/// Whether a line written now goes anywhere (the system log, standard error or
/// a capture). Lines written in bulk, such as one per folder listed, are only
/// worth making when it does.
bool isRecorded();
/// printf-style convenience: Log::format("Error %d: %s", 3, "x").
void format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// Test hook: while a capture is installed every line is also appended to it.
void setCapture(QStringList *lines);
} // namespace Log
