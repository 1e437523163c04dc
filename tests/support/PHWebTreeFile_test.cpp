#include "support/PHTextFile.h"
#include "support/PHWebTreeFile.h"
#include "support/PHWriteLock.h"

#include "common/InChild.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

namespace {

QByteArray contents(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void put(const QString &path, const QByteArray &data, mode_t mode = 0644) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
    file.close();
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

struct stat lstatOf(const QString &path) {
    struct stat info {};
    EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
    return info;
}

QStringList entries(const QString &folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

void link(const QString &target, const QString &at) {
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at).constData()), 0);
}

enum class Resolution { Openat2, Walk, Chain };

// Every case runs with openat2, with the folder-by-folder walk that
// replaces it on older kernels, and inside a walk of the tree, where each
// folder is opened from the chain of its parents' descriptors.
class WebTreeFileTest : public ::testing::TestWithParam<Resolution> {
protected:
    void SetUp() override {
        ASSERT_TRUE(web.isValid());
        ASSERT_TRUE(elsewhere.isValid());
        previousUmask = ::umask(022);
        PHWebTreeFile::setOpenat2Enabled(GetParam() == Resolution::Openat2);
        if (GetParam() == Resolution::Chain)
            walk.emplace();
        root = web.path();
    }
    void TearDown() override {
        walk.reset();
        ::umask(previousUmask);
        PHWebTreeFile::setOpenat2Enabled(true);
        PHWebTreeFile::setAttributes({});
    }
    QString in(const QString &relative) const { return root + QLatin1Char('/') + relative; }

    QTemporaryDir web;
    QTemporaryDir elsewhere;
    QString root;
    mode_t previousUmask = 0;
    std::optional<PHWebTreeFile::Walk> walk;
};

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

TEST_P(WebTreeFileTest, ReadsAndReplacesFilesBelowTheRoot) {
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("a/b")));
    QString error;
    ASSERT_TRUE(PHWebTreeFile::write(root, in("a/b/.htaccess"), "first\n", &error)) << error.toStdString();
    EXPECT_EQ(contents(in("a/b/.htaccess")), "first\n");
    ASSERT_TRUE(PHWebTreeFile::write(root + QLatin1Char('/'), in("a/b/.htaccess"), "second\n", &error));
    EXPECT_EQ(contents(in("a/b/.htaccess")), "second\n");
    EXPECT_EQ(entries(in("a/b")), QStringList{QStringLiteral(".htaccess")}) << "no temporary file is left";

    const PHWebTreeFile::Bytes read = PHWebTreeFile::read(root, in("a/b/.htaccess"));
    EXPECT_EQ(read.status, PHWebTreeFile::Bytes::Status::Read);
    EXPECT_EQ(read.bytes, "second\n");
    EXPECT_EQ(PHWebTreeFile::read(root, in("a/missing/.htaccess")).status,
              PHWebTreeFile::Bytes::Status::Missing);
    EXPECT_EQ(PHWebTreeFile::read(root, in("a/.htaccess")).status, PHWebTreeFile::Bytes::Status::Missing);

    EXPECT_TRUE(PHWebTreeFile::exists(root, in("a/b/.htaccess")));
    ASSERT_TRUE(PHWebTreeFile::remove(root, in("a/b/.htaccess"), &error)) << error.toStdString();
    EXPECT_FALSE(PHWebTreeFile::exists(root, in("a/b/.htaccess")));
    EXPECT_TRUE(PHWebTreeFile::remove(root, in("a/b/.htaccess"), &error))
        << "a missing file counts as removed";

    EXPECT_FALSE(PHWebTreeFile::write(root, in("a/../../x"), "x", &error));
    EXPECT_TRUE(error.contains(QLatin1String("\"..\""))) << error.toStdString();
}

TEST_P(WebTreeFileTest, AFolderListedAgainListsEverythingAndAReadIsWholeWhateverItsSize) {
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("a/x")));
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("a/y")));
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("b")));
    const auto listed = [&](const QString &path) {
        QStringList names;
        EXPECT_TRUE(PHWebTreeFile::listFolder(root, path, [&](int, const char *name, unsigned char) {
            names.append(QString::fromUtf8(name));
        }));
        names.sort();
        return names;
    };
    // Again at once, after a folder below it, and after one beside it: the
    // chain's descriptor has been read through each time.
    const QStringList both{QStringLiteral("x"), QStringLiteral("y")};
    EXPECT_EQ(listed(in("a")), both);
    EXPECT_EQ(listed(in("a")), both);
    EXPECT_TRUE(listed(in("a/x")).isEmpty());
    EXPECT_EQ(listed(in("a")), both);
    EXPECT_TRUE(listed(in("b")).isEmpty());
    EXPECT_EQ(listed(in("a")), both);
    EXPECT_EQ(listed(root), (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
    EXPECT_EQ(listed(root), (QStringList{QStringLiteral("a"), QStringLiteral("b")}));

    // Read whole at every size around the room first asked for.
    QString error;
    for (const int size : {0, 1, 4095, 4096, 4097, 70000}) {
        const QByteArray bytes(size, 'r');
        ASSERT_TRUE(PHWebTreeFile::write(root, in("a/x/.htaccess"), bytes, &error)) << error.toStdString();
        const PHWebTreeFile::Bytes read = PHWebTreeFile::read(root, in("a/x/.htaccess"));
        EXPECT_EQ(read.status, PHWebTreeFile::Bytes::Status::Read);
        EXPECT_EQ(read.bytes, bytes) << size;
    }
}

TEST_P(WebTreeFileTest, LinksAtTheFileOrOnTheWayAreRefusedAndNothingIsWritten) {
    const QString secret = elsewhere.filePath(QStringLiteral("shadow"));
    put(secret, "root:$6$hash:19000:0:99999:7:::\n", 0600);
    link(secret, in(QStringLiteral(".htusers")));

    QString error;
    EXPECT_FALSE(PHWebTreeFile::write(root, in(".htusers"), "alice:hash\n", &error));
    EXPECT_EQ(error,
              in(".htusers") + QStringLiteral(" is a symbolic link; Porthold does not write through links"));
    EXPECT_FALSE(PHWebTreeFile::remove(root, in(".htusers"), &error));
    EXPECT_TRUE(error.contains(QLatin1String("is a symbolic link")));
    const PHWebTreeFile::Bytes read = PHWebTreeFile::read(root, in(".htusers"));
    EXPECT_EQ(read.status, PHWebTreeFile::Bytes::Status::Unreadable);
    EXPECT_TRUE(read.bytes.isEmpty());
    EXPECT_TRUE(read.error.contains(QLatin1String("is a symbolic link")));
    const PHTextFile text = PHTextFile::readBelow(root, in(".htusers"));
    EXPECT_EQ(text.status, PHTextFile::Status::Unreadable);
    EXPECT_TRUE(text.text.isEmpty());

    // A folder that is a link, to another site's folder.
    ASSERT_TRUE(QDir(elsewhere.path()).mkpath(QStringLiteral("admin")));
    put(elsewhere.filePath(QStringLiteral("admin/.htaccess")), "Require user boss\n");
    link(elsewhere.filePath(QStringLiteral("admin")), in(QStringLiteral("private")));
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("deep")));
    link(elsewhere.filePath(QStringLiteral("admin")), in(QStringLiteral("deep/inner")));
    for (const QString &folder : {QStringLiteral("private"), QStringLiteral("deep/inner")}) {
        const QString file = in(folder + QStringLiteral("/.htaccess"));
        EXPECT_FALSE(PHWebTreeFile::write(root, file, "Require user eve\n", &error));
        EXPECT_EQ(error,
                  in(folder) + QStringLiteral(" is a symbolic link; Porthold does not write through links"));
        EXPECT_FALSE(PHWebTreeFile::remove(root, file, &error));
        EXPECT_EQ(PHWebTreeFile::read(root, file).status, PHWebTreeFile::Bytes::Status::Unreadable);
    }
    EXPECT_EQ(contents(secret), "root:$6$hash:19000:0:99999:7:::\n");
    EXPECT_EQ(contents(elsewhere.filePath(QStringLiteral("admin/.htaccess"))), "Require user boss\n");
    EXPECT_EQ(entries(elsewhere.filePath(QStringLiteral("admin"))), QStringList{QStringLiteral(".htaccess")});
    EXPECT_TRUE(S_ISLNK(lstatOf(in(".htusers")).st_mode)) << "the link itself stays as it was";
}

TEST_P(WebTreeFileTest, NewFilesAre0644WhateverTheUmaskAndOldOnesKeepTheirMode) {
    for (const mode_t mask : {mode_t(077), mode_t(000)}) {
        SCOPED_TRACE(mask);
        ::umask(mask);
        const QString file = in(QStringLiteral(".htaccess"));
        QFile::remove(file);
        ASSERT_TRUE(PHWebTreeFile::write(root, file, "new\n"));
        EXPECT_EQ(lstatOf(file).st_mode & 07777, 0644u);
        ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0604), 0);
        ASSERT_TRUE(PHWebTreeFile::write(root, file, "again\n"));
        EXPECT_EQ(lstatOf(file).st_mode & 07777, 0604u);
    }
}

TEST_P(WebTreeFileTest, NewFilesFollowTheRootsStricterFilesTheServerCanRead) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand a file to the web server's group";
    const group *server = ::getgrnam("www-data");
    if (!server)
        GTEST_SKIP() << "no www-data group";
    const QString users = in(QStringLiteral(".htusers"));
    put(users, "alice:x\n", 0640);
    ASSERT_EQ(::chown(QFile::encodeName(users).constData(), 0, server->gr_gid), 0);
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("sub")));
    ASSERT_TRUE(PHWebTreeFile::write(root, in("sub/.htaccess"), "x\n"));
    EXPECT_EQ(lstatOf(in("sub/.htaccess")).st_mode & 07777, 0640u);
    EXPECT_EQ(lstatOf(in("sub/.htaccess")).st_gid, server->gr_gid);

    // Stricter still, but then the server could not read it: 0644 instead.
    ASSERT_EQ(::chmod(QFile::encodeName(users).constData(), 0600), 0);
    ASSERT_TRUE(PHWebTreeFile::write(root, in(".htgroups"), "g: alice\n"));
    EXPECT_EQ(lstatOf(in(".htgroups")).st_mode & 07777, 0644u);

    // Asked for: owner, group and mode of every file written.
    PHWebTreeFile::setAttributes({uid_t(65534), server->gr_gid, mode_t(0640)});
    ASSERT_TRUE(PHWebTreeFile::write(root, users, "alice:y\n"));
    EXPECT_EQ(lstatOf(users).st_uid, 65534u);
    EXPECT_EQ(lstatOf(users).st_gid, server->gr_gid);
    EXPECT_EQ(lstatOf(users).st_mode & 07777, 0640u);
}

TEST_P(WebTreeFileTest, AFileOverTheLimitIsRefusedQuicklyWithoutBeingRead) {
    const QString file = in(QStringLiteral(".htaccess"));
    {
        QFile big(file);
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        ASSERT_TRUE(big.resize(300LL << 20)); // sparse: costs the disk nothing
    }
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    QElapsedTimer timer;
    timer.start();
    const PHTextFile text = PHTextFile::readBelow(root, file);
    EXPECT_LT(timer.elapsed(), 1000);
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024) << "kilobytes more at the peak";
    EXPECT_EQ(text.status, PHTextFile::Status::Unreadable);
    EXPECT_TRUE(text.error.contains(QLatin1String("larger than 8 MiB"))) << text.error.toStdString();

    // Just under the limit is read.
    {
        QFile fits(file);
        ASSERT_TRUE(fits.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_TRUE(fits.write(QByteArray(PHWebTreeFile::kMaxFileSize, '#')));
    }
    const PHWebTreeFile::Bytes read = PHWebTreeFile::read(root, file);
    EXPECT_EQ(read.status, PHWebTreeFile::Bytes::Status::Read);
    EXPECT_EQ(read.bytes.size(), PHWebTreeFile::kMaxFileSize);
}

TEST_P(WebTreeFileTest, ADeepChainCostsOneOpenPerFolderAndALinkDeepDownIsStillRefused) {
    // 400 levels of "d", made level by level, with an access file every 50
    // levels and, 300 levels down, a link to another site's folder.
    constexpr int kLevels = 400;
    QStringList paths{root};
    int folder = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 1; i <= kLevels && folder >= 0; ++i) {
        ASSERT_EQ(::mkdirat(folder, "d", 0755), 0) << i;
        const int next = ::openat(folder, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(folder);
        folder = next;
        paths.append(paths.last() + QStringLiteral("/d"));
        if (i % 50 == 0) {
            const int file = ::openat(folder, ".htaccess", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_EQ(::write(file, "Require valid-user\n", 19), 19);
            ::close(file);
        }
    }
    ASSERT_GE(folder, 0);
    ::close(folder);
    ASSERT_TRUE(QDir(elsewhere.path()).mkpath(QStringLiteral("admin")));
    put(elsewhere.filePath(QStringLiteral("admin/.htaccess")), "Require user boss\n");
    const QString linked = paths.at(300) + QStringLiteral("/lnk");
    ASSERT_EQ(::symlinkat(QFile::encodeName(elsewhere.filePath(QStringLiteral("admin"))).constData(),
                          AT_FDCWD, QFile::encodeName(linked).constData()),
              0);

    // What a walk asks of every folder: its entries, its identity, whether
    // it has an access file, and the file.
    const quint64 before = PHWebTreeFile::foldersOpened();
    const int descriptorsBefore = openDescriptors();
    int mostDescriptors = 0;
    int accessFiles = 0;
    for (const QString &path : std::as_const(paths)) {
        int subfolders = 0;
        ASSERT_TRUE(PHWebTreeFile::listFolder(root, path, [&](int, const char *name, unsigned char) {
            subfolders += std::strcmp(name, "d") == 0;
        })) << path.size();
        EXPECT_EQ(subfolders, path == paths.last() ? 0 : 1);
        dev_t device = 0;
        ino_t inode = 0;
        EXPECT_TRUE(PHWebTreeFile::folderIdentity(root, path, &device, &inode));
        const QString file = path + QStringLiteral("/.htaccess");
        if (PHWebTreeFile::existsFollowingFolders(root, file)) {
            EXPECT_EQ(PHWebTreeFile::read(root, file).bytes, "Require valid-user\n");
            ++accessFiles;
        }
        mostDescriptors = std::max(mostDescriptors, openDescriptors() - descriptorsBefore);
    }
    EXPECT_EQ(accessFiles, kLevels / 50);
    const quint64 opened = PHWebTreeFile::foldersOpened() - before;
    if (GetParam() == Resolution::Chain) {
        // One open per folder (and the root's), however deep, and never a
        // descriptor per level of the chain.
        EXPECT_LE(opened, quint64(kLevels + 2));
        EXPECT_LE(mostDescriptors, 2 * 16 + kLevels / 16 + 2);
    } else {
        // Each folder from the root again, by path or level by level: no
        // descriptor is kept.
        EXPECT_LE(mostDescriptors, 4);
    }

    // The link folder is listed with what it points to, never written,
    // removed or read through, however deep; the folder beside it still is.
    QStringList names;
    EXPECT_TRUE(PHWebTreeFile::listFolder(
        root, linked, [&](int, const char *name, unsigned char) { names.append(QString::fromUtf8(name)); }));
    EXPECT_EQ(names, QStringList{QStringLiteral(".htaccess")});
    EXPECT_EQ(PHWebTreeFile::linkTarget(root, linked), elsewhere.filePath(QStringLiteral("admin")));
    EXPECT_TRUE(PHWebTreeFile::linkTarget(root, paths.at(300)).isEmpty());
    QString error;
    const QString through = linked + QStringLiteral("/.htaccess");
    EXPECT_TRUE(PHWebTreeFile::existsFollowingFolders(root, through));
    EXPECT_FALSE(PHWebTreeFile::exists(root, through));
    EXPECT_FALSE(PHWebTreeFile::write(root, through, "Require user eve\n", &error));
    EXPECT_EQ(error, PHWebTreeFile::linkRefusal(linked));
    EXPECT_FALSE(PHWebTreeFile::remove(root, through, &error));
    EXPECT_EQ(PHWebTreeFile::read(root, through).status, PHWebTreeFile::Bytes::Status::Unreadable);
    EXPECT_FALSE(PHWebTreeFile::write(root, linked + QStringLiteral("/d/.htaccess"), "x\n", &error));
    EXPECT_EQ(contents(elsewhere.filePath(QStringLiteral("admin/.htaccess"))), "Require user boss\n");
    EXPECT_EQ(entries(elsewhere.filePath(QStringLiteral("admin"))), QStringList{QStringLiteral(".htaccess")});
    ASSERT_TRUE(PHWebTreeFile::write(root, paths.at(300) + QStringLiteral("/.htaccess"), "Require user amy\n",
                                     &error))
        << error.toStdString();
    EXPECT_EQ(contents(paths.at(300) + QStringLiteral("/.htaccess")), "Require user amy\n");
}

INSTANTIATE_TEST_SUITE_P(Resolution, WebTreeFileTest,
                         ::testing::Values(Resolution::Openat2, Resolution::Walk, Resolution::Chain),
                         [](const auto &info) {
                             switch (info.param) {
                             case Resolution::Openat2:
                                 return "openat2";
                             case Resolution::Walk:
                                 return "walk";
                             case Resolution::Chain:
                                 return "chain";
                             }
                             return "";
                         });

TEST(WriteLockTest, WaitsForAnotherHolderSaysSoAndGivesUpInTime) {
    QTemporaryDir web;
    ASSERT_TRUE(web.isValid());
    const QByteArray folder = QFile::encodeName(web.path());
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    // Another process holds the folder's lock for a while.
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY);
        ::flock(fd, LOCK_EX);
        (void)::write(ready[1], "x", 1);
        ::usleep(600 * 1000);
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    QStringList said;
    PHWriteLock::setWaitingReporter([&said](const QString &message) { said.append(message); });
    PHWriteLock::setTimeout(std::chrono::milliseconds(150));
    {
        const PHWriteLock lock(web.path(), QStringLiteral(".htusers"));
        EXPECT_FALSE(lock.held());
        EXPECT_TRUE(lock.timedOut());
        EXPECT_TRUE(lock.error().contains(QLatin1String("another Porthold has been writing .htusers")));
    }
    EXPECT_EQ(said,
              QStringList{QStringLiteral("waiting for another Porthold to finish writing .htusers\u2026")});

    PHWriteLock::setTimeout(std::chrono::seconds(10));
    {
        QElapsedTimer timer;
        timer.start();
        const PHWriteLock lock(web.path(), QStringLiteral(".htusers"));
        EXPECT_TRUE(lock.held()) << "had once the other process lets go";
        // Nested on the same folder in this process: no second wait.
        const PHWriteLock inner(web.path(), QStringLiteral(".htgroups"));
        EXPECT_TRUE(inner.held());
        EXPECT_GE(timer.elapsed(), 200);
        // Still held after the inner scope is gone? A child cannot take it.
        EXPECT_EQ(inChild([&] {
                      const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY);
                      return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
                  }),
                  0);
    }
    int status = 0;
    ::waitpid(holder, &status, 0);
    PHWriteLock::setWaitingReporter(nullptr);
    PHWriteLock::setTimeout(std::chrono::seconds(30));
}

} // namespace
