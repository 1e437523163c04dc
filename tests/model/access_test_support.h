#pragma once

#include "common/TestModelContext.h"
#include "core/Log.h"
#include "core/NotificationCenter.h"
#include "model/PHFSItem.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

inline std::ostream &operator<<(std::ostream &out, const QString &text) {
    return out << text.toStdString();
}
inline std::ostream &operator<<(std::ostream &out, const QStringList &list) {
    return out << '[' << list.join(QStringLiteral("|")).toStdString() << ']';
}

/// A web folder of its own with a model context that knows some users,
/// groups and addresses, the log captured, and every "PHAccessFileDidChange"
/// counted.
class AccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_root.isValid());
        context.webRoot = m_root.path();
        context.users = {QStringLiteral("alice"), QStringLiteral("bob"), QStringLiteral("border")};
        context.groups = {QStringLiteral("staff"), QStringLiteral("web")};
        context.knownAddresses = {QStringLiteral("127.0.0.1"), QStringLiteral("10.0.0.0/8"),
                                  QStringLiteral("host.example.org")};
        context.discover = false;
        Log::setCapture(&log);
        m_observer = ObserverRegistration(PHFSItem::AccessFileDidChangeNotification, nullptr,
                                          [this](const Notification &note) { notified.append(note.sender); });
    }
    void TearDown() override {
        Log::setCapture(nullptr);
        ::chmod(QFile::encodeName(m_root.path()).constData(), 0700);
    }

    QString root() const { return m_root.path(); }
    /// A folder below the web root (made when missing).
    QString folder(const QString &name) const {
        QDir(root()).mkpath(name);
        return QDir(root()).filePath(name);
    }
    static QString accessPathIn(const QString &folder) {
        return QDir(folder).filePath(QStringLiteral(".htaccess"));
    }

    static void writeFile(const QString &path, const QByteArray &bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path;
        ASSERT_EQ(file.write(bytes), bytes.size());
    }
    static QByteArray readFile(const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    /// The file's text with its date line replaced by "## on DATE", after
    /// checking that line's form ("Mar 3, 2024 at 09:05 PM").
    static QString withoutDate(const QByteArray &bytes) {
        QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
        if (lines.size() < 2)
            return QString::fromUtf8(bytes);
        static const QRegularExpression form(QStringLiteral(
            "^## on [A-Z][a-z]{2} [1-9][0-9]?, [0-9]{4} at (0[1-9]|1[0-2]):[0-5][0-9] (AM|PM)$"));
        EXPECT_TRUE(form.match(lines.at(1)).hasMatch()) << lines.at(1);
        lines[1] = QStringLiteral("## on DATE");
        return lines.join(QLatin1Char('\n'));
    }
    QStringList filesIn(const QString &folder) const {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                      QDir::Name);
    }

    /// A root node for `path`, read against the test's context.
    std::unique_ptr<PHFSItem> node(const QString &path) {
        auto made = std::make_unique<PHFSItem>(path, nullptr);
        made->setContext(context.model());
        return made;
    }

    /// Runs `check` without the right to write into the web root's folders:
    /// as a plain user the checks run here (the caller removes write bits); as
    /// root, who writes anyway, in a child process that has become "nobody"
    /// (the folders are then root's and closed to it). True when it held.
    bool unprivileged(const std::function<bool()> &check) {
        if (::geteuid() != 0)
            return check();
        ::chmod(QFile::encodeName(root()).constData(), 0755);
        std::fflush(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
            const bool held = dropped && check();
            std::fflush(nullptr);
            ::_exit(held ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    TestModelContext context;
    QStringList log;
    QList<const void *> notified;

private:
    // Memory-backed when the system has it: every write ends in fsync.
    static QString temporaryTemplate() {
        const QString shared = QStringLiteral("/dev/shm");
        const QString base = ::access("/dev/shm", W_OK | X_OK) == 0 ? shared : QDir::tempPath();
        return base + QStringLiteral("/porthold-access-XXXXXX");
    }
    QTemporaryDir m_root{temporaryTemplate()};
    ObserverRegistration m_observer;
};
