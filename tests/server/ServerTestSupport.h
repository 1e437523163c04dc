#pragma once

// Shared set-up of the server tests: one offscreen application, a private
// settings folder, and the defaults the panel registers for the server tab.

#include "common/LoopbackPort.h"
#include "common/TestApplication.h"
#include "platform/PHAuthorizationLock.h"
#include "support/PHSettingsStore.h"

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
#include <optional>
#include <sys/stat.h>

#include <functional>

namespace servertest {

inline QApplication *application() {
    static QApplication *app = [] {
        qputenv("QT_QPA_PLATFORM",
                qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
        return &testApplication("server_test");
    }();
    return app;
}

/// A fresh settings store in a folder of its own, with the server tab's
/// defaults registered as the panel registers them.
inline void freshDefaults(const QString &configHome, const QVariantMap &overrides = {}) {
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome));
    PHSettingsStore::resetInstanceForTesting();
    PHSettingsStore *defaults = PHSettingsStore::instance();
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

/// A panel bundle at `bundle` holding the server tab's layout and the given
/// copy of the tool. The tests run as root, whose panel starts the tool itself
/// and whose padlock unlocks without asking.
inline void installToolBundle(const QString &bundle, const QString &tool) {
    QDir().mkpath(bundle + "/Resources");
    ASSERT_TRUE(QFile::copy(PORTHOLD_SOURCE_DIR "/resources/ApacheControl.ui",
                            bundle + "/Resources/ApacheControl.ui"));
    ASSERT_TRUE(QFile::copy(tool, bundle + "/Sentrel"));
    ::chmod(QFile::encodeName(bundle + "/Sentrel").constData(), 0755);
}

/// Writes root's list of the files a test copy of the tool may replace (root
/// only: the tool reads a list nobody else may change). Replaced whole, never
/// seen half written.
inline void writeManagedFiles(const QString &list, const QStringList &files) {
    const QString partial = list + QStringLiteral(".partial");
    writeFile(partial, (files.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    ::chmod(QFile::encodeName(partial).constData(), 0644);
    ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(list).constData());
}

using loopback::answers;

/// A loopback port nobody listens on at the moment it is asked (0: none).
inline quint16 freeLoopbackPort() {
    return loopback::freePort();
}

} // namespace servertest
