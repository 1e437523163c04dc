#include "platform/authorization/PosixLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

namespace {
bool copyToStandardError = false;
}

void PosixLog::open(const char *ident) {
    const char *copy = secure_getenv("PORTHOLD_LOG_STDERR");
    copyToStandardError = copy && std::strcmp(copy, "1") == 0;
    openlog(ident, LOG_PID, LOG_AUTHPRIV);
}

void PosixLog::write(const char *format, ...) {
    char line[2048];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    // One line each: a caller-supplied path must not forge further log lines.
    for (char *c = line; *c; ++c)
        if (*c == '\n' || *c == '\r')
            *c = ' ';
    syslog(LOG_NOTICE, "%s", line);
    if (copyToStandardError)
        std::fprintf(stderr, "%s\n", line);
}
