// Finding the server on first start: Debian's and Red Hat's layouts on a
// fake root, stored only when the settings do not name the server yet, and
// the reasons given when the program or the logs cannot be used.

#include "server/PHServerLayout.h"

#include "ServerTestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace {

void makeProgram(const QString &path) {
    servertest::writeFile(path, "#!/bin/sh\nexit 0\n");
    chmod(QFile::encodeName(path).constData(), 0755);
}

void debianLayout(const QString &root) {
    makeProgram(root + "/usr/sbin/apache2");
    servertest::writeFile(root + "/etc/apache2/apache2.conf", "ServerRoot \"/etc/apache2\"\n");
    QDir().mkpath(root + "/var/log/apache2");
}

TEST(ServerLayout, DebianRedHatAndNothingOnAFakeRoot) {
    servertest::application();
    QTemporaryDir debian, redHat, empty;
    debianLayout(debian.path());
    // Red Hat keeps its configuration one folder down, and may also have a stray apache2 folder.
    makeProgram(redHat.path() + "/usr/sbin/httpd");
    servertest::writeFile(redHat.path() + "/etc/httpd/conf/httpd.conf", "Listen 80\n");
    // A program without its configuration is not a layout.
    makeProgram(empty.path() + "/usr/sbin/apache2");

    const auto found = PHServerLayout::detect(debian.path());
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->binary, debian.path() + "/usr/sbin/apache2");
    EXPECT_EQ(found->confDirectory, debian.path() + "/etc/apache2/");
    EXPECT_EQ(found->confFile, "apache2.conf");
    EXPECT_EQ(found->logDirectory, debian.path() + "/var/log/apache2/");

    const auto redHatFound = PHServerLayout::detect(redHat.path());
    ASSERT_TRUE(redHatFound.has_value());
    EXPECT_EQ(redHatFound->binary, redHat.path() + "/usr/sbin/httpd");
    EXPECT_EQ(redHatFound->confDirectory, redHat.path() + "/etc/httpd/conf/");
    EXPECT_EQ(redHatFound->confFile, "httpd.conf");
    EXPECT_EQ(redHatFound->logDirectory, redHat.path() + "/var/log/httpd/");

    EXPECT_FALSE(PHServerLayout::detect(empty.path()).has_value());
}

TEST(ServerLayout, FirstStartStoresTheLayoutOnceAndNeverOverridesTheUsersChoice) {
    servertest::application();
    QTemporaryDir root, config;
    debianLayout(root.path());
    servertest::freshDefaults(config.path());
    PHSettingsStore *defaults = PHSettingsStore::instance();
    // The registered default is Red Hat's program; that does not count as named.
    EXPECT_EQ(defaults->stringForKey("ApacheBinaryLocation"), "/usr/sbin/httpd");

    EXPECT_TRUE(PHServerLayout::detectIfUnset(defaults, root.path()));
    EXPECT_EQ(defaults->stringForKey("ApacheBinaryLocation"), root.path() + "/usr/sbin/apache2");
    EXPECT_TRUE(defaults->boolForKey("Override Conf Directory Location"));
    EXPECT_EQ(defaults->stringForKey("Apache Conf Directory"), root.path() + "/etc/apache2/");
    EXPECT_EQ(defaults->stringForKey("Apache Conf File"), "apache2.conf");
    EXPECT_TRUE(defaults->boolForKey("Override Log Directory"));
    EXPECT_EQ(defaults->stringForKey("Apache Log Directory"), root.path() + "/var/log/apache2/");
    // Written to the settings file, so the next start reads it.
    EXPECT_TRUE(servertest::readFile(PHSettingsStore::storagePath("com.quillmere.porthold"))
                    .contains(QFile::encodeName(root.path() + "/usr/sbin/apache2")));

    // A program the user named stays, even one that is not there.
    defaults->setObjectForKey(QStringLiteral("/opt/apache/bin/httpd"), "ApacheBinaryLocation");
    EXPECT_FALSE(PHServerLayout::detectIfUnset(defaults, root.path()));
    EXPECT_EQ(defaults->stringForKey("ApacheBinaryLocation"), "/opt/apache/bin/httpd");
}

TEST(ServerLayout, ReasonsNameWhatIsMissing) {
    QTemporaryDir dir;
    EXPECT_EQ(PHServerLayout::binaryProblem(dir.filePath("httpd")),
              dir.filePath("httpd") + " is not installed: choose Detect in Options, or install Apache.");
    servertest::writeFile(dir.filePath("plain"), "not a program");
    chmod(QFile::encodeName(dir.filePath("plain")).constData(), 0644);
    EXPECT_TRUE(
        PHServerLayout::binaryProblem(dir.filePath("plain")).contains("not a program this user can run"));
    EXPECT_EQ(PHServerLayout::binaryProblem("/bin/sh"), "");
    EXPECT_EQ(PHServerLayout::logFolderProblem(dir.filePath("none")),
              "The log folder " + dir.filePath("none") + " does not exist.");
    EXPECT_EQ(PHServerLayout::logFolderProblem(dir.path()), "");
}

TEST(ServerLayout, DebiansLogFolderNamesTheGroupThatMayReadIt) {
    if (geteuid() != 0)
        GTEST_SKIP() << "makes a folder of root's group adm and reads it as nobody: needs root";
    const struct group *adm = getgrnam("adm");
    if (!adm)
        GTEST_SKIP() << "this system has no group adm";
    QTemporaryDir dir;
    chmod(QFile::encodeName(dir.path()).constData(), 0755);
    const QString logs = dir.filePath("apache2");
    QDir().mkpath(logs);
    ASSERT_EQ(chown(QFile::encodeName(logs).constData(), 0, adm->gr_gid), 0);
    ASSERT_EQ(chmod(QFile::encodeName(logs).constData(), 0750), 0);

    // Asked by a user outside the group, as an ordinary desktop user is.
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(channel[0]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        const QByteArray answer = PHServerLayout::logFolderProblem(logs).toUtf8();
        const ssize_t written = write(channel[1], answer.constData(), size_t(answer.size()));
        _exit(written == answer.size() ? 0 : 3);
    }
    close(channel[1]);
    QByteArray answer;
    char buffer[256];
    ssize_t n;
    while ((n = read(channel[0], buffer, sizeof buffer)) > 0)
        answer.append(buffer, n);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(answer, "Logs are readable by the adm group; you are not in it.");
}

} // namespace
