#include "platform/Log.h"

#include <QMutex>
#include <QStringList>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

namespace {
QMutex g_mutex;
QStringList *g_capture = nullptr;

bool copyToStderr() {
    const char *value = secure_getenv("PORTHOLD_LOG_STDERR");
    return value && std::strcmp(value, "1") == 0;
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
    syslog(LOG_NOTICE, "%s", bytes.constData());
    if (copyToStderr())
        std::fprintf(stderr, "Porthold: %s\n", bytes.constData());
    QMutexLocker lock(&g_mutex);
    if (g_capture)
        g_capture->append(line);
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
