#pragma once

// Shared set-up of the server tests: one offscreen application, a private
// settings folder, and the defaults the panel registers for the server tab.

#include "support/PHUserDefaults.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdlib>

#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace servertest {

inline QApplication *application() {
    static int argc = 1;
    static char name[] = "server_test";
    static char *argv[] = {name, nullptr};
    static QApplication *app = [] {
        qputenv("QT_QPA_PLATFORM",
                qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
        return new QApplication(argc, argv);
    }();
    return app;
}

/// A fresh settings store in a folder of its own, with the server tab's
/// defaults registered as the panel registers them.
inline void freshDefaults(const QString &configHome, const QVariantMap &overrides = {}) {
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome));
    PHUserDefaults::resetStandardUserDefaultsForTesting();
    PHUserDefaults *defaults = PHUserDefaults::standardUserDefaults();
    defaults->setApplicationIdentifier(QStringLiteral("com.quillmere.porthold"));
    QVariantMap registered{
        {"Graceful Restart", true},
        {"ApacheBinaryLocation", "/usr/sbin/httpd"},
        {"ApacheCheckInterval", 2.0},
        {"Override Conf Directory Location", false},
        {"Apache Conf File", "httpd.conf"},
        {"Apache Conf Directory", "/etc/httpd/"},
        {"Apache User Conf Directory", "users"},
        {"Override Log Directory", false},
        {"Apache Log Directory", "/var/log/httpd/"},
    };
    for (auto it = overrides.begin(); it != overrides.end(); ++it)
        registered.insert(it.key(), it.value());
    defaults->registerDefaults(registered);
}

/// Runs the event loop until the condition holds or the time is up.
inline bool waitFor(const std::function<bool()> &condition, int milliseconds = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

inline void writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

inline QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// A loopback port nobody listens on at the moment it is asked.
inline quint16 freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

/// Whether something accepts connections on the loopback port.
inline bool answers(quint16 port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

} // namespace servertest
