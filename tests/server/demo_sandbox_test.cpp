// The demo's server controls act on the demo's private Apache only. The
// sandbox and its control script come from scripts/run itself; the tool is a
// copy built, as the demo build is, with that control script fixed in it.
// The machine's own control script is replaced, in this process's private
// mount namespace, by a probe that records every call: it must stay silent.

#include "server/PHApacheController.h"

#include "ServerTestSupport.h"
#include "common/ApacheHarness.h"
#include "common/TestModelContext.h"
#include "core/PHProcess.h"
#include "model/PHPasswordHash.h"
#include "platform/PHMessageLine.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

const char *const kSystemControlScript = "/usr/sbin/apache2ctl"; // apachectl links to it
const char *const kProbe = DEMO_TEST_BUILD_DIR "/system-apachectl-probe";
const char *const kProbeCalls = DEMO_TEST_BUILD_DIR "/system-apachectl.calls";

/// Puts the probe over the system's control script. Done before main, while
/// the process has one thread (a mount namespace cannot be entered later).
bool installProbe() {
    if (geteuid() != 0 || access(kSystemControlScript, X_OK) != 0)
        return false;
    mkdir(DEMO_TEST_BUILD_DIR, 0755);
    FILE *probe = std::fopen(kProbe, "w");
    if (!probe)
        return false;
    std::fprintf(probe, "#!/bin/sh\necho \"$*\" >>'%s'\nexit 1\n", kProbeCalls);
    std::fclose(probe);
    chmod(kProbe, 0755);
    if (unshare(CLONE_NEWNS) != 0)
        return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    return mount(kProbe, kSystemControlScript, nullptr, MS_BIND, nullptr) == 0;
}
const bool probeInstalled = installProbe();

class DemoSandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "drives the demo's server through the set-user-ID tool: needs root";
        if (!QFileInfo("/usr/sbin/apache2").isExecutable())
            GTEST_SKIP() << "Debian's apache2 is not installed";
        ASSERT_TRUE(probeInstalled) << "the probe could not be put over " << kSystemControlScript;
        // The probe answers in place of the system's script.
        QFile::remove(kProbeCalls);
        QProcess::execute(QString::fromLatin1("/usr/sbin/apachectl"), {"probe-check"});
        ASSERT_EQ(servertest::readFile(kProbeCalls), "probe-check\n");
        QFile::remove(kProbeCalls);

        servertest::application();
        ASSERT_TRUE(dir.isValid());
        chmod(QFile::encodeName(dir.path()).constData(), 0755);
        demo = dir.filePath("demo");
        port = servertest::freeLoopbackPort();
        ASSERT_NE(port, 0);

        QProcess run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PORTHOLD_DEMO_DIR", demo);
        environment.insert("PORTHOLD_DEMO_PORT", QString::number(port));
        environment.insert("PORTHOLD_DEMO_BUILD_DIR", DEMO_TEST_BUILD_DIR);
        run.setProcessEnvironment(environment);
        run.start(PORTHOLD_SOURCE_DIR "/scripts/run", {"--prepare-only"});
        ASSERT_TRUE(run.waitForFinished(60000));
        ASSERT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
        controlScript = QStringLiteral(DEMO_TEST_BUILD_DIR "/demo-apachectl");
        ASSERT_TRUE(QFileInfo(controlScript).isExecutable());

        // The demo's own settings, as the demo's panel reads them.
        servertest::freshDefaults(demo + "/config");
        QDir().mkpath(dir.filePath("tmp"));
        qputenv("TMPDIR", QFile::encodeName(dir.filePath("tmp")));

        const QString bundle = dir.filePath("Porthold.panel");
        ASSERT_NO_FATAL_FAILURE(servertest::installToolBundle(bundle, SENTREL_DEMO_TEST_PROGRAM));
        context.bundle = bundle;
        prepared = true;
    }

    void TearDown() override {
        if (!prepared)
            return;
        bool ok = false;
        const int pid =
            QString::fromLatin1(servertest::readFile(demo + "/apache/run/httpd.pid")).trimmed().toInt(&ok);
        if (ok && pid > 1)
            kill(pid, SIGTERM);
        servertest::waitFor([&] { return !servertest::answers(port); }, 10000);
        PHConfParser::waitForAllParses();
    }

    QTemporaryDir dir;
    TestModelContext context;
    QString demo, controlScript;
    quint16 port = 0;
    bool prepared = false;
};

TEST_F(DemoSandboxTest, EveryServerControlActsOnThePrivateServerOnly) {
    PHApacheController controller(nullptr, context.model(), context.bundle);
    ASSERT_NE(controller.tabViewItem(), nullptr);
    // The demo build has this script fixed in it, as the ordinary build has the system's.
    controller.setControlScriptPath(controlScript);
    QLabel statusLine;
    controller.setStatusDisplay(&statusLine);
    auto *toggle = controller.tabViewItem()->findChild<QPushButton *>("toggleButton");
    auto *restart = controller.tabViewItem()->findChild<QPushButton *>("restartButton");
    auto *status = controller.tabViewItem()->findChild<QLabel *>("configCheckStatus");
    auto *errors = controller.tabViewItem()->findChild<QPlainTextEdit *>("configErrorView");
    ASSERT_TRUE(toggle && restart && status && errors);

    // The configuration is the demo's, found through the demo's settings.
    EXPECT_EQ(controller.httpdConfFile(), demo + "/apache/apache2.conf");
    // Its web folder's own section lets the access files in, whatever "/"
    // says: nothing to repair.
    context.webRoot = demo + "/www";
    EXPECT_TRUE(controller.repairPreview().isEmpty());
    EXPECT_TRUE(controller.repairPlan().honoured);
    EXPECT_EQ(controller.repairPlan().governing, QStringLiteral("<Directory \"%1/www\">").arg(demo));

    // Whatever the machine's own server does, the demo's is stopped.
    controller.checkApacheStatus();
    EXPECT_EQ(statusLine.text(), "Apache status: Stopped");
    ASSERT_TRUE(controller.authView()->authorize());

    toggle->click();
    EXPECT_EQ(controller.messageLine()->text(), "Apache started");
    ASSERT_TRUE(servertest::waitFor([&] { return servertest::answers(port); }, 15000))
        << servertest::readFile(demo + "/apache/logs/error_log").toStdString();
    // The server answers as soon as it listens, a moment before its pid file is written.
    EXPECT_TRUE(servertest::waitFor(
        [&] {
            controller.checkApacheStatus();
            return statusLine.text() == "Apache status: Running";
        },
        15000));

    // The demo's users are stored as the panel stores new passwords (none
    // would show the weak-hash mark), and get into the protected folder with
    // the passwords its page names.
    const QList<QByteArray> users = servertest::readFile(demo + "/www/.htusers").split('\n');
    int stored = 0;
    for (const QByteArray &line : users) {
        if (line.isEmpty())
            continue;
        ++stored;
        const QString hash = QString::fromUtf8(line.mid(line.indexOf(':') + 1));
        EXPECT_FALSE(PHPasswordHash::isWeak(hash)) << line.toStdString();
    }
    EXPECT_EQ(stored, 3);
    EXPECT_EQ(apache_harness::httpStatus(port, "/private/", {"alice", "wonder"}), 200);
    EXPECT_EQ(apache_harness::httpStatus(port, "/private/", {"bob", "builder"}), 200);
    EXPECT_EQ(apache_harness::httpStatus(port, "/private/", {"alice", "builder"}), 401);
    EXPECT_EQ(apache_harness::httpStatus(port, "/private/"), 401);

    restart->click();
    EXPECT_TRUE(servertest::waitFor(
        [&] { return servertest::readFile(demo + "/apache/logs/error_log").contains("Graceful restart"); },
        15000));

    controller.checkApacheConfig();
    EXPECT_EQ(status->text(), "Syntax OK");
    const QString confPath = demo + "/apache/apache2.conf";
    const QByteArray good = servertest::readFile(confPath);
    servertest::writeFile(confPath, good + "Lissen 127.0.0.1:1\n");
    controller.checkApacheConfig();
    EXPECT_EQ(status->text(), "Syntax Errors Encountered!");
    EXPECT_TRUE(errors->toPlainText().contains("Lissen")) << errors->toPlainText().toStdString();
    servertest::writeFile(confPath, good);

    toggle->click();
    EXPECT_EQ(controller.messageLine()->text(), "Apache stopped");
    EXPECT_TRUE(servertest::waitFor([&] { return !servertest::answers(port); }, 15000));
    EXPECT_TRUE(servertest::waitFor(
        [&] {
            controller.checkApacheStatus();
            return statusLine.text() == "Apache status: Stopped";
        },
        15000));

    // A start that fails says so, with the server's own first line.
    servertest::writeFile(confPath, good + "Lissen 127.0.0.1:1\n");
    toggle->click();
    EXPECT_TRUE(controller.messageLine()->isVisibleTo(controller.tabViewItem()));
    EXPECT_EQ(controller.messageLine()->meaning(), PHThemeColors::Meaning::Negative);
    EXPECT_TRUE(
        controller.messageLine()->text().startsWith("Apache did not start: AH00526: Syntax error on line"))
        << controller.messageLine()->text().toStdString();
    EXPECT_EQ(statusLine.text(), "Apache status: Stopped");
    EXPECT_FALSE(servertest::answers(port));

    EXPECT_FALSE(QFileInfo::exists(kProbeCalls))
        << "the system's control script was run: " << servertest::readFile(kProbeCalls).toStdString();
}

} // namespace
