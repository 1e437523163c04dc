// The real server through the real tool, as root: the padlock unlocks, the
// tool runs the control script, which drives apache2 with
// this test's own configuration on 127.0.0.1. The machine's Apache
// configuration is not touched.

#include "server/PHApacheController.h"

#include "ServerTestSupport.h"
#include "common/ApacheHarness.h"
#include "common/TestModelContext.h"
#include "core/PHProcess.h"
#include "platform/PHMessageLine.h"

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const kApache = "/usr/sbin/apache2";
const char *const kModules = "/usr/lib/apache2/modules";

class ApacheServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "drives the real server through the root tool: needs root";
        if (!QFileInfo(kApache).isExecutable() ||
            !QFileInfo::exists(QString(kModules) + "/mod_mpm_prefork.so"))
            GTEST_SKIP() << "Debian's apache2 is not installed";
        servertest::application();
        ASSERT_TRUE(dir.isValid());
        // The server's children run as nobody and must reach the document root.
        chmod(QFile::encodeName(dir.path()).constData(), 0755);

        // The machine's own program, as a Debian system runs it: only the
        // PidFile and the configuration tell this server from another.
        binary = kApache;
        servertest::freshDefaults(dir.filePath("config"), {{"ApacheBinaryLocation", binary},
                                                           {"Override Conf Directory Location", true},
                                                           {"Apache Conf Directory", dir.path() + "/"},
                                                           {"Apache Conf File", "httpd.conf"}});
        QDir().mkpath(dir.filePath("tmp"));
        qputenv("TMPDIR", QFile::encodeName(dir.filePath("tmp")));

        bundle = dir.filePath("Porthold.panel");
        ASSERT_NO_FATAL_FAILURE(servertest::installToolBundle(bundle, SENTREL_SERVER_TEST_PROGRAM));
        context.bundle = bundle;

        port = servertest::freeLoopbackPort();
        ASSERT_NE(port, 0);
        for (const char *folder : {"run", "logs", "www"})
            QDir().mkpath(dir.filePath(folder));
        servertest::writeFile(dir.filePath("www/index.html"), "<p>Porthold test</p>\n");
        conf = dir.filePath("httpd.conf");
        servertest::writeFile(conf, configuration(dir.path(), port));
        // The test copy of the tool runs this script as its control script.
        servertest::writeFile(SERVER_TEST_APACHECTL, QStringLiteral("#!/bin/sh\n"
                                                                    "case \"$1\" in\n"
                                                                    "  configtest) exec '%1' -f '%2' -t ;;\n"
                                                                    "  *) exec '%1' -f '%2' -k \"$1\" ;;\n"
                                                                    "esac\n")
                                                         .arg(binary, conf)
                                                         .toUtf8());
        chmod(SERVER_TEST_APACHECTL, 0755);
        prepared = true;
    }

    void TearDown() override {
        if (!prepared)
            return;
        // Leave no server behind, whatever happened: each stopped by its own number.
        for (const QString &root : {dir.path(), dir.filePath("foreign")}) {
            const pid_t pid = pidIn(root);
            if (pid > 1)
                kill(pid, SIGTERM);
            servertest::waitFor([&] { return pid <= 1 || kill(pid, 0) != 0; }, 10000);
        }
        QFile::remove(SERVER_TEST_APACHECTL);
        PHConfParser::waitForAllParses();
    }

    /// A private server's configuration: its files below `root`, on `listen`.
    static QByteArray configuration(const QString &root, quint16 listen) {
        return QStringLiteral("ServerRoot \"%1\"\n"
                              "Listen 127.0.0.1:%2\n"
                              "ServerName 127.0.0.1\n"
                              "PidFile \"%1/run/httpd.pid\"\n"
                              "DefaultRuntimeDir \"%1/run\"\n"
                              "ErrorLog \"%1/logs/error_log\"\n"
                              "LogLevel notice\n"
                              "LoadModule mpm_prefork_module %3/mod_mpm_prefork.so\n"
                              "LoadModule authz_core_module %3/mod_authz_core.so\n"
                              "User nobody\nGroup nogroup\n"
                              "DocumentRoot \"%1/www\"\n"
                              "<Directory \"%1/www\">\n  Require all granted\n</Directory>\n")
            .arg(root)
            .arg(listen)
            .arg(kModules)
            .toUtf8();
    }

    /// The number in the pid file of the server below `root`, 0 when none.
    static pid_t pidIn(const QString &root) {
        bool ok = false;
        const int pid =
            QString::fromLatin1(servertest::readFile(root + "/run/httpd.pid")).trimmed().toInt(&ok);
        return ok ? pid : 0;
    }

    bool running() const {
        const pid_t pid = pidIn(dir.path());
        return pid > 1 && kill(pid, 0) == 0;
    }

    QTemporaryDir dir;
    TestModelContext context;
    QString binary, bundle, conf;
    quint16 port = 0;
    bool prepared = false;
};

TEST_F(ApacheServerTest, StartGracefulStopAndConfigurationTest) {
    PHApacheController controller(nullptr, context.model(), context.bundle);
    ASSERT_NE(controller.tabViewItem(), nullptr);
    QLabel statusLine;
    controller.setStatusDisplay(&statusLine);
    controller.setControlScriptPath(SERVER_TEST_APACHECTL);
    auto *toggle = controller.tabViewItem()->findChild<QPushButton *>("toggleButton");
    auto *restart = controller.tabViewItem()->findChild<QPushButton *>("restartButton");
    auto *repair = controller.tabViewItem()->findChild<QPushButton *>("sentrelButton");
    ASSERT_TRUE(toggle && restart && repair);

    // The padlock stands for polkit's two actions, unlocked by a third that implies them.
    EXPECT_EQ(controller.authView()->unlockAction(), "com.quillmere.porthold.unlock");
    EXPECT_EQ(controller.authView()->actions(), QStringList({"com.quillmere.porthold.replace-configuration",
                                                             "com.quillmere.porthold.control-server"}));

    controller.checkApacheStatus();
    EXPECT_EQ(statusLine.text(), "Apache status: Stopped");
    ASSERT_TRUE(controller.authView()->authorize());
    EXPECT_TRUE(toggle->isEnabled());
    EXPECT_TRUE(repair->isEnabled());
    EXPECT_FALSE(restart->isEnabled());

    // Start: shown at once, confirmed by the check.
    toggle->click();
    EXPECT_EQ(statusLine.text(), "Apache status: Running");
    ASSERT_TRUE(servertest::waitFor([&] { return running() && servertest::answers(port); }, 15000));
    // The check two seconds after the command finds the server.
    statusLine.clear();
    EXPECT_TRUE(servertest::waitFor([&] { return !statusLine.text().isEmpty(); }, 5000));
    EXPECT_EQ(statusLine.text(), "Apache status: Running");
    EXPECT_EQ(toggle->text(), "Stop Apache");
    EXPECT_TRUE(restart->isEnabled());

    // Graceful restart (the default), seen in the server's own log.
    restart->click();
    EXPECT_TRUE(servertest::waitFor(
        [&] {
            return servertest::readFile(dir.filePath("logs/error_log"))
                .contains("Graceful restart requested");
        },
        15000))
        << servertest::readFile(dir.filePath("logs/error_log")).toStdString();
    EXPECT_TRUE(servertest::waitFor([&] { return servertest::answers(port); }, 15000));

    // Stop.
    toggle->click();
    EXPECT_EQ(statusLine.text(), "Apache status: Stopped");
    ASSERT_TRUE(servertest::waitFor([&] { return !running(); }, 15000));
    controller.checkApacheStatus();
    EXPECT_EQ(statusLine.text(), "Apache status: Stopped");
    EXPECT_EQ(toggle->text(), "Start Apache");
    EXPECT_FALSE(restart->isEnabled());

    // A broken configuration: the server's own words in the error view.
    controller.checkApacheConfig();
    auto *status = controller.tabViewItem()->findChild<QLabel *>("configCheckStatus");
    auto *errors = controller.tabViewItem()->findChild<QPlainTextEdit *>("configErrorView");
    EXPECT_EQ(status->text(), "Syntax OK");
    QFile file(conf);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("Lissen 127.0.0.1:1\n");
    file.close();
    controller.checkApacheConfig();
    EXPECT_EQ(status->text(), "Syntax Errors Encountered!");
    EXPECT_TRUE(errors->toPlainText().contains("Invalid command 'Lissen'"))
        << errors->toPlainText().toStdString();
    EXPECT_FALSE(errors->toPlainText().endsWith('\n'));
    EXPECT_TRUE(controller.errorPanelIsVisible());
}

TEST_F(ApacheServerTest, TheTabShowsItsOwnServerWhileAForeignOneRuns) {
    // Another private apache2 on loopback, the same program with its own
    // configuration, started here and stopped by its number in TearDown.
    const QString foreign = dir.filePath("foreign");
    for (const char *folder : {"run", "logs", "www"})
        QDir().mkpath(foreign + "/" + folder);
    const quint16 foreignPort = servertest::freeLoopbackPort();
    ASSERT_NE(foreignPort, 0);
    ASSERT_NE(foreignPort, port);
    servertest::writeFile(foreign + "/httpd.conf", configuration(foreign, foreignPort));
    ASSERT_EQ(QProcess::execute(kApache, {"-f", foreign + "/httpd.conf", "-k", "start"}), 0);
    ASSERT_TRUE(
        servertest::waitFor([&] { return pidIn(foreign) > 1 && servertest::answers(foreignPort); }, 15000))
        << servertest::readFile(foreign + "/logs/error_log").toStdString();

    PHApacheController controller(nullptr, context.model(), context.bundle);
    QLabel statusLine;
    controller.setStatusDisplay(&statusLine);
    controller.setControlScriptPath(SERVER_TEST_APACHECTL);
    auto *toggle = controller.tabViewItem()->findChild<QPushButton *>("toggleButton");
    auto *restart = controller.tabViewItem()->findChild<QPushButton *>("restartButton");
    auto *graceful = controller.tabViewItem()->findChild<QCheckBox *>("gracefulSwitch");
    ASSERT_TRUE(toggle && restart && graceful);
    EXPECT_EQ(controller.server().pidFile, dir.filePath("run/httpd.pid"));
    ASSERT_TRUE(controller.authView()->authorize());

    // Another apache2 runs; this tab's server does not.
    controller.checkApacheStatus();
    EXPECT_EQ(statusLine.text(), "Apache status: Stopped");
    EXPECT_EQ(toggle->text(), "Start Apache");
    EXPECT_FALSE(restart->isEnabled());
    // A stale pid file that names the other server is not this one running.
    servertest::writeFile(dir.filePath("run/httpd.pid"), QByteArray::number(pidIn(foreign)) + "\n");
    controller.checkApacheStatus();
    EXPECT_EQ(statusLine.text(), "Apache status: Stopped");
    QFile::remove(dir.filePath("run/httpd.pid"));

    // A restart of a stopped server starts it, and says so.
    controller.resetApache();
    EXPECT_EQ(controller.messageLine()->text(), "Apache started");
    ASSERT_TRUE(servertest::waitFor([&] { return running() && servertest::answers(port); }, 15000))
        << servertest::readFile(dir.filePath("logs/error_log")).toStdString();
    controller.checkApacheStatus();
    EXPECT_EQ(statusLine.text(), "Apache status: Running");
    EXPECT_EQ(controller.server().runningProcess(), pidIn(dir.path()));

    // Restarts of a running one say which.
    restart->click();
    EXPECT_EQ(controller.messageLine()->text(), "Apache restarted gracefully");
    ASSERT_TRUE(servertest::waitFor([&] { return running() && servertest::answers(port); }, 15000));
    graceful->click();
    ASSERT_FALSE(controller.isGraceful());
    ASSERT_TRUE(servertest::waitFor(
        [&] {
            controller.checkApacheStatus();
            return restart->isEnabled();
        },
        15000));
    restart->click();
    EXPECT_EQ(controller.messageLine()->text(), "Apache restarted");
    ASSERT_TRUE(servertest::waitFor([&] { return running() && servertest::answers(port); }, 15000));

    // Stopped by the tab: shown stopped, with a Start button, while the other runs on.
    ASSERT_TRUE(servertest::waitFor(
        [&] {
            controller.checkApacheStatus();
            return controller.isApacheRunning();
        },
        15000));
    toggle->click();
    EXPECT_EQ(controller.messageLine()->text(), "Apache stopped");
    ASSERT_TRUE(servertest::waitFor([&] { return !servertest::answers(port); }, 15000));
    EXPECT_TRUE(servertest::waitFor(
        [&] {
            controller.checkApacheStatus();
            return statusLine.text() == "Apache status: Stopped";
        },
        15000));
    EXPECT_EQ(toggle->text(), "Start Apache");
    EXPECT_FALSE(restart->isEnabled());
    EXPECT_TRUE(servertest::answers(foreignPort));

    // Started from the tab: "started".
    toggle->click();
    EXPECT_EQ(controller.messageLine()->text(), "Apache started");
    ASSERT_TRUE(servertest::waitFor([&] { return running() && servertest::answers(port); }, 15000));
}

TEST_F(ApacheServerTest, RepairMakesTheServerReadTheWebFoldersAccessFiles) {
    // The whole disk says None, the document root's section sets no
    // AllowOverride: the access file is ignored.
    servertest::writeFile(conf,
                          "<Directory />\n  AllowOverride None\n</Directory>\n" + servertest::readFile(conf));
    servertest::writeFile(dir.filePath("www/.htaccess"), "Require all denied\n");
    context.webRoot = dir.filePath("www");
    PHApacheController controller(nullptr, context.model(), context.bundle);
    controller.setControlScriptPath(SERVER_TEST_APACHECTL);
    ASSERT_TRUE(controller.authView()->authorize());
    controller.apachectl("start");
    ASSERT_TRUE(servertest::waitFor([&] { return running() && servertest::answers(port); }, 15000));
    ASSERT_TRUE(servertest::waitFor(
        [&] {
            controller.checkApacheStatus();
            return controller.isApacheRunning();
        },
        15000));
    EXPECT_EQ(apache_harness::httpStatus(port, "/index.html"), 200)
        << servertest::readFile(dir.filePath("logs/error_log")).toStdString();

    const auto preview = controller.repairPreview();
    ASSERT_EQ(preview.size(), 1);
    EXPECT_EQ(preview.at(0).first, conf);
    ASSERT_EQ(preview.at(0).second.size(), 1);
    EXPECT_EQ(preview.at(0).second.at(0).block,
              QStringLiteral("<Directory \"%1\">").arg(dir.filePath("www")));
    const QByteArray before = servertest::readFile(conf);
    servertest::writeManagedFiles(SENTREL_SERVER_TEST_PROGRAM_MANAGED_FILES, {conf});

    // Repaired through the tool, then restarted gracefully: the access file counts.
    controller.sentrel();
    EXPECT_EQ(servertest::readFile(conf + ".preporthold"), before);
    const QList<QByteArray> lines = servertest::readFile(conf).split('\n');
    ASSERT_GT(lines.size(), preview.at(0).second.at(0).line);
    EXPECT_EQ(lines.at(preview.at(0).second.at(0).line - 1), "  AllowOverride All");
    EXPECT_TRUE(
        servertest::waitFor([&] { return apache_harness::httpStatus(port, "/index.html") == 403; }, 15000))
        << servertest::readFile(dir.filePath("logs/error_log")).toStdString();
    EXPECT_TRUE(controller.repairPreview().isEmpty());
}

TEST_F(ApacheServerTest, RepairInstallsThroughTheToolAndKeepsABackup) {
    PHSettingsStore::instance()->setObjectForKey(dir.filePath("etc/"), "Apache Conf Directory");
    context.webRoot = "/var/www/html";
    PHApacheController controller(nullptr, context.model(), context.bundle);
    ASSERT_TRUE(controller.authView()->authorize());
    const QString target = dir.filePath("etc/httpd.conf");
    const QByteArray original = "<Directory \"/var/www/html\">\r\n    AllowOverride None\r\n</Directory>\r\n";
    servertest::writeFile(target, original);
    chmod(QFile::encodeName(target).constData(), 0640);
    chown(QFile::encodeName(target).constData(), 0, 65534);
    servertest::writeManagedFiles(SENTREL_SERVER_TEST_PROGRAM_MANAGED_FILES, {target});

    EXPECT_EQ(controller.repairConfFile(target), 0);
    EXPECT_EQ(servertest::readFile(target),
              QByteArray("<Directory \"/var/www/html\">\r\n    AllowOverride All\r\n</Directory>\r\n\n"));
    EXPECT_EQ(servertest::readFile(target + ".preporthold"), original);
    struct stat info {};
    ASSERT_EQ(stat(QFile::encodeName(target).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_gid, 65534u);
    // The temporary copy went with the tool.
    EXPECT_TRUE(QDir(dir.filePath("tmp"))
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());

    // A second repair keeps the first backup.
    EXPECT_EQ(controller.repairConfFile(target), 0);
    EXPECT_EQ(servertest::readFile(target + ".preporthold"), original);

    // A file root's list does not name is refused, whatever the panel asks: 7.
    const QString other = dir.filePath("etc/other.conf");
    servertest::writeFile(other, original);
    EXPECT_EQ(controller.repairConfFile(other), 7);
    EXPECT_EQ(servertest::readFile(other), original);
    EXPECT_FALSE(QFileInfo::exists(other + ".preporthold"));
}

} // namespace
