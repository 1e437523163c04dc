#include "support/PHAtomicFile.h"

#include "common/InChild.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

QByteArray contents(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void put(const QString &path, const QByteArray &data, mode_t mode) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
    file.close();
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

struct stat statOf(const QString &path) {
    struct stat info {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
    return info;
}

// Every file in the folder: a failed write must leave no temporary behind.
QStringList entries(const QString &folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

class AtomicFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previousUmask = ::umask(022);
    }
    void TearDown() override { ::umask(previousUmask); }
    QString path(const QString &name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    mode_t previousUmask = 0;
};

TEST_F(AtomicFileTest, NewAndReplacedFilesGetTheRightModeAndContents) {
    QString error;
    ASSERT_TRUE(PHAtomicFile::write(path("new"), "fresh\n", &error)) << error.toStdString();
    EXPECT_EQ(contents(path("new")), "fresh\n");
    EXPECT_EQ(statOf(path("new")).st_mode & 07777, 0644u);

    put(path(".htaccess"), "old text", 0640);
    ASSERT_TRUE(PHAtomicFile::write(path(".htaccess"), "new text", &error)) << error.toStdString();
    EXPECT_EQ(contents(path(".htaccess")), "new text");
    EXPECT_EQ(statOf(path(".htaccess")).st_mode & 07777, 0640u);

    // An empty write empties the file, and leaves nothing else behind.
    ASSERT_TRUE(PHAtomicFile::write(path(".htaccess"), QByteArray()));
    EXPECT_EQ(contents(path(".htaccess")), "");
    EXPECT_EQ(entries(dir.path()), QStringList({".htaccess", "new"}));
}

TEST_F(AtomicFileTest, ASymbolicLinkKeepsPointingAtTheReplacedTarget) {
    ASSERT_TRUE(QDir(dir.path()).mkpath("real"));
    put(path("real/users"), "old", 0604);
    ASSERT_EQ(::symlink("real/users", QFile::encodeName(path("link")).constData()), 0);
    // A chain of two links, the second relative to its own folder.
    ASSERT_TRUE(QDir(dir.path()).mkpath("other"));
    ASSERT_EQ(::symlink("../link", QFile::encodeName(path("other/chain")).constData()), 0);

    ASSERT_TRUE(PHAtomicFile::write(path("other/chain"), "through the chain"));
    EXPECT_EQ(QFile::symLinkTarget(path("link")), path("real/users"));
    EXPECT_TRUE(QFileInfo(path("other/chain")).isSymLink());
    EXPECT_EQ(contents(path("real/users")), "through the chain");
    EXPECT_EQ(statOf(path("real/users")).st_mode & 07777, 0604u);

    // A dangling link creates the file it names.
    ASSERT_EQ(::symlink("real/created", QFile::encodeName(path("dangling")).constData()), 0);
    ASSERT_TRUE(PHAtomicFile::write(path("dangling"), "made"));
    EXPECT_EQ(contents(path("real/created")), "made");

    // A cycle of links fails instead of looping.
    ASSERT_EQ(::symlink("loop2", QFile::encodeName(path("loop1")).constData()), 0);
    ASSERT_EQ(::symlink("loop1", QFile::encodeName(path("loop2")).constData()), 0);
    QString error;
    EXPECT_FALSE(PHAtomicFile::write(path("loop1"), "x", &error));
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(AtomicFileTest, AReadOnlyFolderFailsAndLeavesTheOldFile) {
    ASSERT_TRUE(QDir(dir.path()).mkpath("locked"));
    const QString target = path("locked/.htusers");
    put(target, "alice:xyz\n", 0644);
    const QByteArray folder = QFile::encodeName(path("locked"));
    if (::geteuid() == 0) {
        // Root ignores permissions: try as nobody instead.
        ASSERT_EQ(::chown(QFile::encodeName(dir.path()).constData(), kNobody, kNobody), 0);
        ASSERT_EQ(::chown(folder.constData(), kNobody, kNobody), 0);
        ASSERT_EQ(::chown(QFile::encodeName(target).constData(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(::chmod(folder.constData(), 0555), 0);
    const int result = inChild([&] {
        if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            return 2;
        QString error;
        const bool written = PHAtomicFile::write(target, "mallory:abc\n", &error);
        return written ? 1 : (error.isEmpty() ? 3 : 0);
    });
    ::chmod(folder.constData(), 0755);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(contents(target), "alice:xyz\n");
    EXPECT_EQ(entries(path("locked")), QStringList({".htusers"}));
}

TEST_F(AtomicFileTest, AWriteCutShortByTheFileSizeLimitLeavesTheOldFileWhole) {
    const QString target = path(".htaccess");
    const QByteArray old(3000, 'o');
    put(target, old, 0644);
    const int result = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
        QString error;
        return PHAtomicFile::write(target, QByteArray(100000, 'n'), &error) ? 1 : (error.isEmpty() ? 3 : 0);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(contents(target), old);
    EXPECT_EQ(entries(dir.path()), QStringList({".htaccess"}));
}

TEST_F(AtomicFileTest, OwnerAndGroupAreRestoredWhenPermitted) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    const QString target = path("owned");
    put(target, "old", 0640);
    ASSERT_EQ(::chown(QFile::encodeName(target).constData(), kNobody, kNobody), 0);
    ASSERT_TRUE(PHAtomicFile::write(target, "new"));
    const struct stat info = statOf(target);
    EXPECT_EQ(info.st_uid, kNobody);
    EXPECT_EQ(info.st_gid, kNobody);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(AtomicFileTest, ANonRegularTargetOrMissingFolderFails) {
    ASSERT_TRUE(QDir(dir.path()).mkpath("folder"));
    QString error;
    EXPECT_FALSE(PHAtomicFile::write(path("folder"), "x", &error));
    EXPECT_FALSE(PHAtomicFile::write(path("absent/file"), "x", &error));
    EXPECT_FALSE(PHAtomicFile::write(QString(), "x", &error));
    EXPECT_TRUE(QFileInfo(path("folder")).isDir());
}

} // namespace
