#pragma once

#include "common/TestModelContext.h"
#include "core/Log.h"
#include "support/PHSettingsStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

/// A web folder of its own, a model context pointing at it, settings in a
/// private folder, and the log captured.
class UsersGroupsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_config.isValid() && m_root.isValid());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        PHSettingsStore::resetInstanceForTesting();
        PHSettingsStore::instance()->setApplicationIdentifier(QStringLiteral("com.quillmere.porthold.tests"));
        context.webRoot = m_root.path();
        Log::setCapture(&log);
    }
    void TearDown() override {
        Log::setCapture(nullptr);
        ::chmod(QFile::encodeName(m_root.path()).constData(), 0700);
    }

    QString root() const { return m_root.path(); }
    QString usersPath() const { return QDir(root()).filePath(QStringLiteral(".htusers")); }
    QString groupsPath() const { return QDir(root()).filePath(QStringLiteral(".htgroups")); }

    static void writeFile(const QString &path, const QByteArray &bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
        ASSERT_EQ(file.write(bytes), bytes.size());
    }
    static QByteArray readFile(const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    /// The names in the web folder, hidden ones included (to spot leftovers).
    QStringList folderEntries() const {
        return QDir(root()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }
    static void setSetting(const char *key, bool value) {
        PHSettingsStore::instance()->setBoolForKey(value, QString::fromLatin1(key));
    }

    /// Runs `check` where the web folder cannot be written: as a plain user the
    /// folder loses its write bits; as root (who writes anyway) in a child that
    /// has become "nobody" and finds the folder root's. True when `check` held.
    bool whereFolderIsUnwritable(const std::function<bool()> &check) {
        const QByteArray folder = QFile::encodeName(root());
        if (::geteuid() != 0) {
            ::chmod(folder.constData(), 0555);
            const bool held = check();
            ::chmod(folder.constData(), 0700);
            return held;
        }
        ::chmod(folder.constData(), 0755);
        const pid_t child = ::fork();
        if (child == 0) {
            const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
            ::_exit(dropped && check() ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ::chmod(folder.constData(), 0700);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    TestModelContext context;
    QStringList log;

private:
    QTemporaryDir m_config;
    QTemporaryDir m_root;
};
