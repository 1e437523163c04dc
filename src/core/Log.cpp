#include "core/Log.h"

#include <QMutex>
#include <QStringList>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <paths.h>
#include <sys/stat.h>
#include <syslog.h>

namespace {
QMutex g_mutex;
QStringList *g_capture = nullptr;

bool copyToStderr() {
    const char *value = secure_getenv("PORTHOLD_LOG_STDERR");
    return value && std::strcmp(value, "1") == 0;
}

// With no system logger listening there is nowhere for a line to go, yet
// syslog(3) makes a new socket and a failed connect for every one of them:
// a panel listing ten thousand folders spent a fifth of its start-up so.
// The logger's socket is looked for again at most once a second, so one
// started later is used from then on.
bool loggerListening() {
    static std::atomic<bool> listening{true};
    static std::atomic<std::time_t> nextLook{0};
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (now.tv_sec >= nextLook.load(std::memory_order_relaxed)) {
        struct stat info {};
        listening.store(::stat(_PATH_LOG, &info) == 0 && S_ISSOCK(info.st_mode), std::memory_order_relaxed);
        nextLook.store(now.tv_sec + 1, std::memory_order_relaxed);
    }
    return listening.load(std::memory_order_relaxed);
}
} // namespace

namespace Log {

void write(const QString &message) {
    // One line each: a folder or user name must not forge further log lines.
    QString line = message;
    line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    const QByteArray bytes = line.toUtf8();
    static const bool opened = [] {
        openlog("Porthold", LOG_PID, LOG_USER);
        return true;
    }();
    (void)opened;
    if (loggerListening())
        syslog(LOG_NOTICE, "%s", bytes.constData());
    if (copyToStderr())
        std::fprintf(stderr, "Porthold: %s\n", bytes.constData());
    QMutexLocker lock(&g_mutex);
    if (g_capture)
        g_capture->append(line);
}

bool isRecorded() {
    if (loggerListening() || copyToStderr())
        return true;
    QMutexLocker lock(&g_mutex);
    return g_capture != nullptr;
}

void format(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char buffer[4096];
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    write(QString::fromUtf8(buffer));
}

void setCapture(QStringList *lines) {
    QMutexLocker lock(&g_mutex);
    g_capture = lines;
}

} // namespace Log
