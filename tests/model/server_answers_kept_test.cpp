// The server program's answers kept between command-line runs: used only
// while everything they came from is unchanged, and never from a file that is
// not the effective user's own.

#include "model/PHServerConfig.h"
#include "model/PHServerConfigCache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class ServerAnswersKept : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_savedCache = qgetenv("XDG_CACHE_HOME");
        qputenv("XDG_CACHE_HOME", QFile::encodeName(path("cache")));
        PHServerConfigCache::setEnabled(true);
    }
    void TearDown() override {
        PHServerConfigCache::setEnabled(false);
        if (m_savedCache.isNull())
            qunsetenv("XDG_CACHE_HOME");
        else
            qputenv("XDG_CACHE_HOME", m_savedCache);
    }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    void write(const QString &name, const QByteArray &text, bool executable = false) {
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(text), text.size());
        file.close();
        if (executable) {
            ASSERT_EQ(::chmod(QFile::encodeName(path(name)).constData(), 0755), 0);
        }
    }
    /// Times the fake program or envvars ran (each run adds a line).
    qsizetype runs() const {
        QFile file(path("runs"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
    }
    /// A server program that names `conf` below /srv/server and counts its runs.
    void writeServer(const QByteArray &conf) {
        write("apache2",
              "#!/bin/sh\necho run >> '" + QFile::encodeName(path("runs")) +
                  "'\necho ' -D HTTPD_ROOT=\"/srv/server\"'\necho ' -D SERVER_CONFIG_FILE=\"" + conf +
                  "\"'\n",
              true);
    }
    QString keptFile(const char *question) const {
        return path("cache/porthold/") + QLatin1String(question) + QStringLiteral(".answer");
    }

    QTemporaryDir m_dir;
    QByteArray m_savedCache;
};

TEST_F(ServerAnswersKept, ServerSettingsAskedOnceUntilTheProgramChanges) {
    writeServer("conf/one.conf");
    const QString binary = path("apache2");
    EXPECT_EQ(PHServerConfig::compiledConfigFile(binary), QStringLiteral("/srv/server/conf/one.conf"));
    EXPECT_EQ(PHServerConfig::compiledConfigFile(binary), QStringLiteral("/srv/server/conf/one.conf"));
    // The server's other settings (its root, its process file) come from the same answer.
    const PHServerConfig::CompiledSettings settings = PHServerConfig::compiledSettings(binary);
    EXPECT_EQ(settings.httpdRoot, QStringLiteral("/srv/server"));
    EXPECT_EQ(settings.serverConfigFile, QStringLiteral("conf/one.conf"));
    EXPECT_EQ(runs(), 1);
    QFileInfo kept(keptFile("server-settings"));
    ASSERT_TRUE(kept.isFile());
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(kept.filePath()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(kept.ownerId(), geteuid());

    // The same size and the same modification time: the change time still differs.
    const QDateTime modified = QFileInfo(binary).lastModified();
    writeServer("conf/two.conf");
    QFile(binary).setFileTime(modified, QFileDevice::FileModificationTime);
    EXPECT_EQ(PHServerConfig::compiledConfigFile(binary), QStringLiteral("/srv/server/conf/two.conf"));
    EXPECT_EQ(runs(), 2);

    // The loader's variables may make it another program; others do not.
    qputenv("PORTHOLD_TEST_OTHER", "1");
    EXPECT_EQ(PHServerConfig::compiledConfigFile(binary), QStringLiteral("/srv/server/conf/two.conf"));
    EXPECT_EQ(runs(), 2);
    qputenv("LD_PORTHOLD_TEST", "1");
    EXPECT_EQ(PHServerConfig::compiledConfigFile(binary), QStringLiteral("/srv/server/conf/two.conf"));
    qunsetenv("LD_PORTHOLD_TEST");
    qunsetenv("PORTHOLD_TEST_OTHER");
    EXPECT_EQ(runs(), 3);

    // Off: always asked.
    PHServerConfigCache::setEnabled(false);
    PHServerConfig::compiledConfigFile(binary);
    EXPECT_EQ(runs(), 4);
}

TEST_F(ServerAnswersKept, EnvvarsReadOnceUntilItChangesAndOnlyWhenItReadsNothingElse) {
    ASSERT_TRUE(QDir().mkpath(path("conf")));
    const QByteArray count = "echo run >> '" + QFile::encodeName(path("runs")) + "'\n";
    write("conf/envvars", "# as Debian's\nunset HOME\nexport APACHE_RUN_USER=www-data\n" + count);
    qputenv("PORTHOLD_TEST_GIVEN", "kept as given");
    const QHash<QString, QString> first = PHServerConfig::debianEnvironment(path("conf"));
    EXPECT_EQ(first.value("APACHE_RUN_USER"), QStringLiteral("www-data"));
    EXPECT_EQ(first.value("PORTHOLD_TEST_GIVEN"), QStringLiteral("kept as given"));
    EXPECT_FALSE(first.contains("HOME"));
    EXPECT_EQ(PHServerConfig::debianEnvironment(path("conf")), first);
    EXPECT_EQ(runs(), 1);
    // What the caller gave is not written down, only what the file changed.
    QFile kept(keptFile("debian-envvars"));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_FALSE(kept.readAll().contains(QByteArray("kept as given").toBase64()));
    qunsetenv("PORTHOLD_TEST_GIVEN");

    // A variable the file reads changes the answer; a new value of one it
    // does not read is passed on as given.
    write("conf/envvars", "export APACHE_RUN_USER=${PORTHOLD_TEST_USER:-nobody}\n" + count);
    EXPECT_EQ(PHServerConfig::debianEnvironment(path("conf")).value("APACHE_RUN_USER"),
              QStringLiteral("nobody"));
    qputenv("PORTHOLD_TEST_USER", "web");
    qputenv("PORTHOLD_TEST_GIVEN", "one");
    EXPECT_EQ(PHServerConfig::debianEnvironment(path("conf")).value("APACHE_RUN_USER"),
              QStringLiteral("web"));
    qputenv("PORTHOLD_TEST_GIVEN", "two");
    const QHash<QString, QString> again = PHServerConfig::debianEnvironment(path("conf"));
    EXPECT_EQ(again.value("APACHE_RUN_USER"), QStringLiteral("web"));
    EXPECT_EQ(again.value("PORTHOLD_TEST_GIVEN"), QStringLiteral("two"));
    qunsetenv("PORTHOLD_TEST_USER");
    qunsetenv("PORTHOLD_TEST_GIVEN");
    EXPECT_EQ(runs(), 3);

    // A file that reads another file, or a command's output, is read every time.
    write("conf/other", "APACHE_RUN_GROUP=web\n");
    write("conf/envvars",
          ". '" + QFile::encodeName(path("conf/other")) + "'\nexport APACHE_RUN_GROUP\n" + count);
    EXPECT_EQ(PHServerConfig::debianEnvironment(path("conf")).value("APACHE_RUN_GROUP"),
              QStringLiteral("web"));
    write("conf/other", "APACHE_RUN_GROUP=www\n");
    EXPECT_EQ(PHServerConfig::debianEnvironment(path("conf")).value("APACHE_RUN_GROUP"),
              QStringLiteral("www"));
    write("conf/envvars", "export APACHE_RUN_GROUP=$(cat '" + QFile::encodeName(path("conf/other")) + "')\n");
    PHServerConfig::debianEnvironment(path("conf"));
    EXPECT_EQ(runs(), 5);
}

TEST_F(ServerAnswersKept, AKeptFileThatIsNotOursAloneOrNotWholeIsIgnored) {
    writeServer("conf/real.conf");
    const QString binary = path("apache2");
    ASSERT_EQ(PHServerConfig::compiledConfigFile(binary), QStringLiteral("/srv/server/conf/real.conf"));
    const QString file = keptFile("server-settings");
    QFile keptFile(file);
    ASSERT_TRUE(keptFile.open(QIODevice::ReadOnly));
    const QByteArray genuine = keptFile.readAll();
    keptFile.close();
    // The same key with another answer, as someone else might plant it.
    QByteArray planted = genuine;
    planted.replace(QByteArray("conf/real.conf").toBase64(), QByteArray("/planted.conf").toBase64());
    ASSERT_NE(planted, genuine);
    const QByteArray native = QFile::encodeName(file);
    const auto plant = [&](const QByteArray &text, mode_t mode) {
        QFile::remove(file);
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(text);
        out.close();
        ASSERT_EQ(::chmod(native.constData(), mode), 0);
    };
    const auto answer = [&] { return PHServerConfig::compiledConfigFile(binary); };
    const QString real = QStringLiteral("/srv/server/conf/real.conf");

    // Ours alone and whole: taken (the planting itself works).
    plant(planted, 0600);
    EXPECT_EQ(answer(), QStringLiteral("/planted.conf"));
    // Writable by the group or by others.
    plant(planted, 0620);
    EXPECT_EQ(answer(), real);
    plant(planted, 0602);
    EXPECT_EQ(answer(), real);
    // Cut short, or with more after its end.
    plant(planted.left(planted.size() - 2), 0600);
    EXPECT_EQ(answer(), real);
    plant(planted + "more\n", 0600);
    EXPECT_EQ(answer(), real);
    // A link to such a file, and a second name of it.
    plant(planted, 0600);
    ASSERT_TRUE(QFile::rename(file, path("elsewhere")));
    ASSERT_EQ(::symlink(QFile::encodeName(path("elsewhere")).constData(), native.constData()), 0);
    EXPECT_EQ(answer(), real);
    QFile::remove(file);
    plant(planted, 0600);
    ASSERT_EQ(::link(native.constData(), QFile::encodeName(path("second")).constData()), 0);
    EXPECT_EQ(answer(), real);
    QFile::remove(path("second"));
    // Another user's.
    plant(planted, 0600);
    if (geteuid() == 0) {
        ASSERT_EQ(::chown(native.constData(), 65534, 65534), 0);
        EXPECT_EQ(answer(), real);
        // The folder not ours alone.
        plant(planted, 0600);
        const QByteArray folder = QFile::encodeName(path("cache/porthold"));
        ASSERT_EQ(::chown(folder.constData(), 65534, 65534), 0);
        EXPECT_EQ(answer(), real);
        ASSERT_EQ(::chown(folder.constData(), 0, 0), 0);
    }
    // Each ignored file was asked again and written over with the real answer.
    plant(planted, 0600);
    EXPECT_EQ(answer(), QStringLiteral("/planted.conf"));
}

} // namespace

TEST_F(ServerAnswersKept, ConfigurationKeptOnlyWhileItsFilesAndIncludesAreUnchanged) {
    ASSERT_TRUE(QDir().mkpath(path("conf/sites")));
    ASSERT_TRUE(QDir().mkpath(path("conf/other")));
    write("conf/main.conf", "PidFile run/one.pid\nInclude sites/*.conf\n");
    write("conf/sites/a.conf", "Listen 8080\n");
    write("conf/other/b.conf", "Listen 8081\n");
    const QString main = path("conf/main.conf");
    const QString root = path("conf");
    const auto listens = [](const PHServerConfig &config) {
        QStringList found;
        for (const PHServerConfig::Line &line : config.lines())
            if (line.directive() == QLatin1String("listen"))
                found.append(line.words.value(1));
        return found;
    };

    // A file changed a moment ago could change again unseen in the same tick
    // of the clock: only a reading of files older than that is kept.
    EXPECT_NE(PHServerConfig::readKept(main, root, {}), PHServerConfig::readKept(main, root, {}));
    QThread::msleep(300);
    const auto first = PHServerConfig::readKept(main, root, {});
    EXPECT_EQ(listens(*first), QStringList{"8080"});
    EXPECT_EQ(PHServerConfig::readKept(main, root, {}), first) << "nothing changed: the same reading";
    EXPECT_NE(PHServerConfig::readKept(main, root, {{"X", "1"}}), first) << "another environment";

    // An included file rewritten with a text of the same length.
    const auto before = PHServerConfig::readKept(main, root, {});
    write("conf/sites/a.conf", "Listen 9090\n");
    const auto rewritten = PHServerConfig::readKept(main, root, {});
    EXPECT_EQ(listens(*rewritten), QStringList{"9090"});
    EXPECT_NE(rewritten, before);

    // A new file the Include matches, then one of them replaced by a link to
    // a file elsewhere.
    write("conf/sites/c.conf", "Listen 7070\n");
    EXPECT_EQ(listens(*PHServerConfig::readKept(main, root, {})), (QStringList{"9090", "7070"}));
    ASSERT_TRUE(QFile::remove(path("conf/sites/c.conf")));
    ASSERT_TRUE(QFile::link(path("conf/other/b.conf"), path("conf/sites/c.conf")));
    EXPECT_EQ(listens(*PHServerConfig::readKept(main, root, {})), (QStringList{"9090", "8081"}));
    // The linked file changed where it is.
    write("conf/other/b.conf", "Listen 6060\n");
    EXPECT_EQ(listens(*PHServerConfig::readKept(main, root, {})), (QStringList{"9090", "6060"}));
}
