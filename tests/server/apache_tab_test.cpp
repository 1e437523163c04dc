// The server tab on real widgets (offscreen): the configuration test's error
// view, the padlock's effect on the controls, status, logs.

#include "server/PHApacheController.h"

#include "ServerTestSupport.h"
#include "common/TestModelContext.h"
#include "core/Log.h"
#include "core/PHException.h"
#include "core/PHProcess.h"
#include "server/PHLogWindow.h"
#include "server/PHServerLogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class ApacheTabTest : public ::testing::Test {
protected:
    void SetUp() override {
        servertest::application();
        ASSERT_TRUE(dir.isValid());
        servertest::freshDefaults(dir.filePath("config"),
                                  {{"ApacheBinaryLocation", dir.filePath("phsrvnone")}});
        bundle = dir.filePath("Porthold.panel");
        QDir().mkpath(bundle + "/Resources");
        ASSERT_TRUE(QFile::copy(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/ApacheControl.ui"),
                                bundle + "/Resources/ApacheControl.ui"));
        context.bundle = bundle;
    }
    void TearDown() override { PHConfParser::waitForAllParses(); }

    /// A control script whose configuration test fails while `flag` exists.
    QString configScript(const QString &flag) {
        const QString script = dir.filePath("apachectl");
        servertest::writeFile(script,
                              QStringLiteral("#!/bin/sh\n[ \"$1\" = configtest ] || exit 2\n"
                                             "if [ -e '%1' ]; then\n"
                                             "  echo 'AH00526: Syntax error on line 3 of /x.conf:' >&2\n"
                                             "  echo 'Invalid command Lissen' >&2\n  exit 1\nfi\n"
                                             "echo 'Syntax OK' >&2\n")
                                  .arg(flag)
                                  .toUtf8());
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return script;
    }

    QTemporaryDir dir;
    QString bundle;
    TestModelContext context;
};

template <typename T> T *child(PHApacheController &controller, const char *name) {
    T *widget = controller.tabViewItem()->findChild<T *>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

TEST_F(ApacheTabTest, MissingLayoutIsLoggedAndTheControllerGoesOn) {
    QFile::remove(bundle + "/Resources/ApacheControl.ui");
    QStringList lines;
    Log::setCapture(&lines);
    PHApacheController controller(nullptr, context.model(), context.bundle);
    Log::setCapture(nullptr);
    EXPECT_EQ(controller.tabViewItem(), nullptr);
    EXPECT_TRUE(lines.contains("An error occurred loading ApacheControl.nib"));
    // Everything that acts on the tab is harmless without it.
    controller.setApacheState(1);
    controller.showErrorPanel(true);
    controller.enable();
    controller.disable();
    EXPECT_TRUE(controller.isApacheRunning());
}

TEST_F(ApacheTabTest, FailingTestsShowTheErrorsAndMoveTheBoxesOnce) {
    PHApacheController controller(nullptr, context.model(), context.bundle);
    QWidget *tab = controller.tabViewItem();
    ASSERT_NE(tab, nullptr);
    tab->resize(640, 700);
    tab->show();
    tab->layout()->activate();
    auto *apachectlBox = child<QGroupBox>(controller, "apachectlBox");
    auto *logBox = child<QGroupBox>(controller, "logBox");
    auto *sentrelBox = child<QGroupBox>(controller, "sentrelBox");
    auto *status = child<QLabel>(controller, "configCheckStatus");
    auto *errors = child<QPlainTextEdit>(controller, "configErrorView");
    ASSERT_TRUE(apachectlBox && logBox && sentrelBox && status && errors);
    const QRect box = apachectlBox->geometry();
    const int logY = logBox->y();
    const int sentrelY = sentrelBox->y();
    EXPECT_FALSE(controller.errorPanelIsVisible());
    EXPECT_FALSE(errors->isVisibleTo(tab));

    const QString flag = dir.filePath("broken");
    servertest::writeFile(flag, "");
    controller.setControlScriptPath(configScript(flag));
    // A configuration test runs without any authorization.
    for (int i = 0; i < 2; ++i) {
        controller.checkApacheConfig();
        tab->layout()->activate();
        EXPECT_TRUE(controller.errorPanelIsVisible());
        EXPECT_EQ(status->text(), "Syntax Errors Encountered!");
        EXPECT_EQ(status->palette().color(QPalette::WindowText),
                  PHThemeColors::textColor(tab->palette(), PHThemeColors::Meaning::Warning));
        EXPECT_EQ(errors->toPlainText(),
                  "AH00526: Syntax error on line 3 of /x.conf:\nInvalid command Lissen");
        EXPECT_TRUE(errors->isVisibleTo(tab));
        EXPECT_EQ(apachectlBox->y(), box.y());
        EXPECT_EQ(apachectlBox->height(), box.height() + 78);
        EXPECT_EQ(logBox->y(), logY + 78);
        EXPECT_EQ(sentrelBox->y(), sentrelY + 78);
    }

    QFile::remove(flag);
    controller.checkApacheConfig();
    tab->layout()->activate();
    EXPECT_FALSE(controller.errorPanelIsVisible());
    EXPECT_EQ(status->text(), "Syntax OK");
    EXPECT_EQ(status->palette().color(QPalette::WindowText),
              PHThemeColors::textColor(tab->palette(), PHThemeColors::Meaning::Positive));
    EXPECT_FALSE(errors->isVisibleTo(tab));
    EXPECT_EQ(apachectlBox->geometry(), box);
    EXPECT_EQ(logBox->y(), logY);
    EXPECT_EQ(sentrelBox->y(), sentrelY);

    // A script that cannot run is a failed test, not a passing one.
    controller.setControlScriptPath(dir.filePath("no-such-script"));
    controller.checkApacheConfig();
    EXPECT_EQ(status->text(), "Syntax Errors Encountered!");
    EXPECT_TRUE(controller.errorPanelIsVisible());
}

TEST_F(ApacheTabTest, PadlockEnablesOnlyWhatTheServerStateAllows) {
    PHApacheController controller(nullptr, context.model(), context.bundle);
    ASSERT_NE(controller.tabViewItem(), nullptr);
    auto *toggle = child<QPushButton>(controller, "toggleButton");
    auto *restart = child<QPushButton>(controller, "restartButton");
    auto *graceful = child<QCheckBox>(controller, "gracefulSwitch");
    auto *repair = child<QPushButton>(controller, "sentrelButton");
    ASSERT_TRUE(toggle && restart && graceful && repair);
    ASSERT_NE(controller.authView(), nullptr);
    for (QWidget *control : {static_cast<QWidget *>(toggle), static_cast<QWidget *>(restart),
                             static_cast<QWidget *>(graceful), static_cast<QWidget *>(repair)})
        EXPECT_FALSE(control->isEnabled());

    QLabel statusLine;
    controller.setStatusDisplay(&statusLine);
    controller.setApacheState(0);
    EXPECT_EQ(statusLine.text(), "Apache status: Stopped");
    const QColor stopped = statusLine.palette().color(QPalette::WindowText);
    EXPECT_GT(stopped.red(), stopped.green() + 60) << "bad news reads red";
    EXPECT_GE(PHThemeColors::contrastRatio(stopped, statusLine.palette().color(QPalette::Window)), 4.5);
    EXPECT_EQ(toggle->text(), "Start Apache");

    emit controller.authView()->unlocked();
    EXPECT_TRUE(toggle->isEnabled());
    EXPECT_TRUE(repair->isEnabled());
    EXPECT_FALSE(restart->isEnabled());
    EXPECT_FALSE(graceful->isEnabled());
    ASSERT_NE(controller.authTimer(), nullptr);
    EXPECT_TRUE(controller.authTimer()->isActive());
    EXPECT_TRUE(controller.authTimer()->isSingleShot());
    EXPECT_EQ(controller.authTimer()->interval(), 270 * 1000);

    emit controller.authView()->locked();
    for (QWidget *control : {static_cast<QWidget *>(toggle), static_cast<QWidget *>(restart),
                             static_cast<QWidget *>(graceful), static_cast<QWidget *>(repair)})
        EXPECT_FALSE(control->isEnabled());
    EXPECT_FALSE(controller.authTimer()->isActive());

    // With the server running, authorizing enables all four.
    controller.setApacheState(1);
    EXPECT_EQ(statusLine.text(), "Apache status: Running");
    EXPECT_EQ(statusLine.palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(toggle->text(), "Stop Apache");
    // Not authorized (the padlock is locked): restart stays off while running.
    EXPECT_FALSE(restart->isEnabled());
    emit controller.authView()->unlocked();
    for (QWidget *control : {static_cast<QWidget *>(toggle), static_cast<QWidget *>(restart),
                             static_cast<QWidget *>(graceful), static_cast<QWidget *>(repair)})
        EXPECT_TRUE(control->isEnabled());

    // A later authorization restarts the countdown rather than keeping the old one.
    controller.authTimer()->start(5000);
    emit controller.authView()->unlocked();
    EXPECT_GT(controller.authTimer()->remainingTime(), 260 * 1000);

    // Unchecking graceful restart is stored at once.
    graceful->click();
    EXPECT_FALSE(controller.isGraceful());
    EXPECT_FALSE(PHSettingsStore::instance()->boolForKey("Graceful Restart"));
    graceful->click();
    EXPECT_TRUE(controller.isGraceful());
    EXPECT_TRUE(PHSettingsStore::instance()->boolForKey("Graceful Restart"));
}

TEST_F(ApacheTabTest, UnknownCommandIsAProgrammingError) {
    PHApacheController controller(nullptr, context.model(), context.bundle);
    try {
        controller.apachectl(QStringLiteral("status"));
        FAIL() << "no failure raised";
    } catch (const PHException &e) {
        EXPECT_EQ(e.reason(), "Invalid parameter not satisfying: m_validCommands.contains(command)");
    }
}

TEST_F(ApacheTabTest, StatusComesFromTheServersOwnPidFileAndTheProcessBehindIt) {
    // The "server" is a shell under a link of its own name: its program is
    // the shell, its command line names a configuration with -f, as the
    // server's does.
    const QString name = QStringLiteral("phsrvtst%1").arg(getpid() % 100000);
    const QString binary = dir.filePath(name);
    ASSERT_TRUE(QFile::link(QStringLiteral("/bin/sh"), binary));
    const QString conf = dir.filePath("conf/httpd.conf");
    servertest::writeFile(conf, QStringLiteral("ServerRoot \"%1\"\nDefine RUN run\n"
                                               "# PidFile /nowhere/else.pid\n"
                                               "PidFile ${RUN}/httpd.pid\n")
                                    .arg(dir.path())
                                    .toUtf8());
    const QString other = dir.filePath("conf/other.conf");
    servertest::writeFile(other, "PidFile /tmp/other.pid\n");
    QDir().mkpath(dir.filePath("run"));
    const QString pidFile = dir.filePath("run/httpd.pid");
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->setObjectForKey(binary, "ApacheBinaryLocation");
    defaults->setBoolForKey(true, "Override Conf Directory Location");
    defaults->setObjectForKey(dir.filePath("conf/"), "Apache Conf Directory");
    defaults->setObjectForKey(QStringLiteral("httpd.conf"), "Apache Conf File");

    PHApacheController controller(nullptr, context.model(), context.bundle);
    QLabel statusLine;
    controller.setStatusDisplay(&statusLine);
    EXPECT_EQ(controller.server().pidFile, pidFile);

    std::vector<std::unique_ptr<PHProcess>> running;
    auto spawn = [&](const QString &program, const QString &configuration) {
        auto process = std::make_unique<PHProcess>(
            program, QStringList{"-c", "sleep 30; :", "httpd", "-k", "start", "-f", configuration});
        // The shell's sleep outlives a killed shell: it keeps no output of the test's open.
        process->setStandardInput(PHProcess::Stream::Null);
        process->setStandardOutput(PHProcess::Stream::Null);
        process->setStandardError(PHProcess::Stream::Null);
        EXPECT_TRUE(process->launch());
        const pid_t pid = process->processIdentifier();
        running.push_back(std::move(process));
        return pid;
    };
    auto pointAt = [&](pid_t pid) { servertest::writeFile(pidFile, QByteArray::number(pid) + "\n"); };
    auto check = [&] {
        controller.checkApacheStatus();
        return statusLine.text();
    };

    // A process of that name with that very configuration, but no pid file:
    // names say nothing.
    const pid_t ours = spawn(binary, conf);
    ASSERT_TRUE(servertest::waitFor([&] { return PHApacheController::allProcessNames().contains(name); }));
    EXPECT_EQ(check(), "Apache status: Stopped");
    EXPECT_FALSE(controller.isApacheRunning());

    // The pid file names another server: the same program, another configuration.
    const pid_t foreign = spawn(binary, other);
    pointAt(foreign);
    EXPECT_EQ(check(), "Apache status: Stopped");
    // ... or another program that took a stale number over.
    auto sleeper = std::make_unique<PHProcess>(QStringLiteral("/bin/sleep"), QStringList{"30"});
    ASSERT_TRUE(sleeper->launch());
    pointAt(sleeper->processIdentifier());
    EXPECT_EQ(check(), "Apache status: Stopped");
    // ... or nothing a server would write.
    servertest::writeFile(pidFile, QByteArray::number(ours) + "x\n");
    EXPECT_EQ(check(), "Apache status: Stopped");
    servertest::writeFile(pidFile, "-1\n");
    EXPECT_EQ(check(), "Apache status: Stopped");

    // Its own pid file and its own process: running.
    pointAt(ours);
    EXPECT_EQ(check(), "Apache status: Running");
    EXPECT_TRUE(controller.isApacheRunning());
    EXPECT_EQ(controller.server().runningProcess(), ours);

    // A link in the pid file's place is not the server's file.
    const QString elsewhere = dir.filePath("elsewhere.pid");
    servertest::writeFile(elsewhere, QByteArray::number(ours) + "\n");
    QFile::remove(pidFile);
    ASSERT_TRUE(QFile::link(elsewhere, pidFile));
    EXPECT_EQ(check(), "Apache status: Stopped");
    QFile::remove(pidFile);
    pointAt(ours);
    EXPECT_EQ(check(), "Apache status: Running");

    // Ended but not yet reaped, then gone with the pid file left behind.
    kill(ours, SIGKILL);
    EXPECT_TRUE(servertest::waitFor([&] { return check() == "Apache status: Stopped"; }));
    running.front().reset();
    EXPECT_EQ(check(), "Apache status: Stopped");

    // Another program's name in the settings: the same process is not it.
    const pid_t again = spawn(binary, conf);
    pointAt(again);
    EXPECT_TRUE(servertest::waitFor([&] { return check() == "Apache status: Running"; }));
    defaults->setObjectForKey(QStringLiteral("/bin/sleep"), "ApacheBinaryLocation");
    EXPECT_EQ(check(), "Apache status: Stopped");
    QString why;
    EXPECT_EQ(controller.server().runningProcess(&why), 0);
    EXPECT_TRUE(why.contains("runs")) << why.toStdString();

    for (auto &process : running)
        if (process)
            kill(process->processIdentifier(), SIGTERM);
    kill(sleeper->processIdentifier(), SIGTERM);
    running.clear(); // each reaps its child
}

TEST_F(ApacheTabTest, PidFileFollowsIncludesDefinesAndDebiansEnvvars) {
    // Debian's layout: the PidFile comes from envvars, which the control
    // script reads, through an included file.
    const QString etc = dir.filePath("etc/apache2");
    servertest::writeFile(etc + "/envvars",
                          "if [ \"${APACHE_CONFDIR##/etc/apache2-}\" != \"${APACHE_CONFDIR}\" ]"
                          " ; then SUFFIX=x; fi\n"
                          "export APACHE_RUN_DIR=/var/run/phtest$SUFFIX\n"
                          "export APACHE_PID_FILE=$APACHE_RUN_DIR/apache2.pid\n");
    servertest::writeFile(etc + "/apache2.conf", "DefaultRuntimeDir ${APACHE_RUN_DIR}\n"
                                                 "IncludeOptional conf-enabled/*.conf\n"
                                                 "IncludeOptional nowhere/*.conf\n");
    servertest::writeFile(etc + "/conf-enabled/a.conf", "PidFile /var/run/early.pid\n");
    servertest::writeFile(etc + "/conf-enabled/b.conf",
                          "<IfModule x>\n  PidFile ${APACHE_PID_FILE}\n</IfModule>\n");
    const PHServerProcess server = PHServerProcess::locate(QString(), etc + "/apache2.conf");
    EXPECT_EQ(server.pidFile, "/var/run/phtest/apache2.pid");

    // Relative to ServerRoot (as the server puts it, whatever
    // DefaultRuntimeDir says); the compiled-in file when none is named; a
    // name nobody defines stays.
    servertest::writeFile(dir.filePath("r.conf"),
                          "ServerRoot /srv/web\nDefaultRuntimeDir state\nPidFile a.pid\n");
    EXPECT_EQ(PHServerProcess::pidFileOf(dir.filePath("r.conf"), "/etc", {}, "/run/x.pid"), "/srv/web/a.pid");
    servertest::writeFile(dir.filePath("d.conf"), "ServerRoot /srv/web\n");
    EXPECT_EQ(PHServerProcess::pidFileOf(dir.filePath("d.conf"), "/etc", {}, "/run/x.pid"), "/run/x.pid");
    EXPECT_EQ(PHServerProcess::pidFileOf(dir.filePath("d.conf"), "/etc", {}, "logs/h.pid"),
              "/srv/web/logs/h.pid");
    servertest::writeFile(dir.filePath("u.conf"), "PidFile /run/${NOBODY}.pid\n");
    EXPECT_EQ(PHServerProcess::pidFileOf(dir.filePath("u.conf"), "/etc", {}, {}), "/run/${NOBODY}.pid");
    // A file that includes itself ends.
    servertest::writeFile(
        dir.filePath("loop.conf"),
        QStringLiteral("Include %1\nPidFile /run/l.pid\n").arg(dir.filePath("loop.conf")).toUtf8());
    EXPECT_EQ(PHServerProcess::pidFileOf(dir.filePath("loop.conf"), "/etc", {}, {}), "/run/l.pid");

    // The machine's own Debian server, when installed.
    if (QFileInfo("/usr/sbin/apache2").isExecutable() && QFileInfo("/etc/apache2/envvars").isFile()) {
        const PHServerProcess stock =
            PHServerProcess::locate("/usr/sbin/apache2", "/etc/apache2/apache2.conf");
        EXPECT_EQ(stock.pidFile, "/var/run/apache2/apache2.pid");
        EXPECT_EQ(stock.httpdRoot, "/etc/apache2");
        EXPECT_EQ(stock.defaultConfFile, "apache2.conf");
    }
}

TEST_F(ApacheTabTest, StatusTimerRunsWhileEnabled) {
    PHSettingsStore::instance()->setDoubleForKey(0.5, "ApacheCheckInterval");
    PHApacheController controller(nullptr, context.model(), context.bundle);
    QLabel statusLine;
    controller.setStatusDisplay(&statusLine);
    controller.enable();
    ASSERT_NE(controller.statusTimer(), nullptr);
    EXPECT_EQ(controller.statusTimer()->interval(), 500);
    EXPECT_TRUE(servertest::waitFor([&] { return statusLine.text() == "Apache status: Stopped"; }, 2000));
    controller.enable(); // a second enable keeps the one timer
    controller.disable();
    EXPECT_EQ(controller.statusTimer(), nullptr);
}

TEST_F(ApacheTabTest, StatusIntervalsOutsideHalfASecondToAnHourAreCorrected) {
    QStringList lines;
    Log::setCapture(&lines);
    // Below a millisecond the timer would fire on every pass of the event
    // loop; above about 25 days Qt refuses it and nothing is ever checked.
    const QList<std::pair<double, int>> cases{{0.0004, 500},    {0.2, 500},   {3e6, 3600000},
                                              {1e300, 3600000}, {-1.0, 2000}, {7.5, 7500}};
    for (const auto &[seconds, milliseconds] : cases) {
        PHSettingsStore::instance()->setDoubleForKey(seconds, "ApacheCheckInterval");
        PHApacheController controller(nullptr, context.model(), context.bundle);
        controller.enable();
        ASSERT_NE(controller.statusTimer(), nullptr);
        EXPECT_EQ(controller.statusTimer()->interval(), milliseconds) << seconds;
        EXPECT_TRUE(controller.statusTimer()->isActive()) << seconds;
        controller.disable();
    }
    Log::setCapture(nullptr);
    EXPECT_EQ(lines.filter("ApacheCheckInterval").size(), 5) << lines.join('\n').toStdString();
}

TEST_F(ApacheTabTest, LogsOpenInAWindowThatFollowsTheFile) {
    const QString logs = dir.filePath("logs");
    servertest::writeFile(logs + "/error_log", "[notice] started\n");
    servertest::writeFile(logs + "/access_log", "127.0.0.1 GET /\n");
    PHSettingsStore::instance()->setBoolForKey(true, "Override Log Directory");
    PHSettingsStore::instance()->setObjectForKey(logs, "Apache Log Directory");
    PHApacheController controller(nullptr, context.model(), context.bundle);
    auto *picker = child<QComboBox>(controller, "logPicker");
    auto *show = child<QPushButton>(controller, "logDisplayButton");
    ASSERT_TRUE(picker && show);
    EXPECT_EQ(picker->count(), 2);
    EXPECT_EQ(picker->itemText(1), "error_log");
    EXPECT_TRUE(picker->isEnabled());
    EXPECT_TRUE(show->isEnabled());

    controller.logList()->open(-1);
    controller.logList()->open(2);
    EXPECT_TRUE(controller.logList()->windows().isEmpty());

    picker->setCurrentIndex(1);
    show->click();
    ASSERT_EQ(controller.logList()->windows().size(), 1);
    PHLogWindow *window = controller.logList()->windows().first();
    EXPECT_EQ(window->text(), "[notice] started");
    QFile log(logs + "/error_log");
    ASSERT_TRUE(log.open(QIODevice::Append));
    log.write("[error] one\n[error] unfinished");
    log.close();
    window->refresh();
    EXPECT_EQ(window->text(), "[notice] started\n[error] one");
    // Log rotation: a new, shorter file starts the view over.
    servertest::writeFile(logs + "/error_log", "fresh\n");
    window->refresh();
    EXPECT_EQ(window->text(), "fresh");

    // A log that cannot be read says so instead of showing nothing.
    PHLogWindow unreadable(logs, nullptr);
    EXPECT_FALSE(unreadable.isReadable());
    EXPECT_TRUE(unreadable.text().startsWith(QStringLiteral("The log \"%1\" cannot be shown").arg(logs)));
}

TEST_F(ApacheTabTest, ConfigTestWithoutRightsOnDebianReadsTheServersOwnCheck) {
    if (!QFileInfo::exists("/etc/apache2/envvars") || !QFileInfo("/usr/sbin/apachectl").isExecutable() ||
        !QFileInfo("/usr/sbin/apache2").isExecutable())
        GTEST_SKIP() << "Debian's apache2 is not installed";
    if (geteuid() == 0) {
        // Debian's control script fails for an ordinary user before it tests
        // anything; run this same test as one.
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            GTEST_SKIP() << "setpriv is not installed";
        const auto result = PHProcess::run(
            setpriv,
            {"--reuid=65534", "--regid=65534", "--clear-groups", QCoreApplication::applicationFilePath(),
             "--gtest_filter=ApacheTabTest.ConfigTestWithoutRightsOnDebianReadsTheServersOwnCheck"},
            PHProcess::Stream::Pipe, PHProcess::Stream::Pipe, {"TMPDIR=/tmp", "HOME=/tmp"});
        EXPECT_EQ(result.status, 0) << result.output.toStdString() << result.error.toStdString();
        EXPECT_TRUE(result.output.contains("[  PASSED  ] 1 test")) << result.output.toStdString();
        return;
    }
    PHSettingsStore::instance()->setObjectForKey(QStringLiteral("/usr/sbin/apache2"), "ApacheBinaryLocation");
    PHApacheController controller(nullptr, context.model(), context.bundle);
    ASSERT_NE(controller.tabViewItem(), nullptr);
    controller.setControlScriptPath(QStringLiteral("/usr/sbin/apachectl"));
    controller.checkApacheConfig();
    auto *status = child<QLabel>(controller, "configCheckStatus");
    auto *errors = child<QPlainTextEdit>(controller, "configErrorView");
    EXPECT_EQ(status->text(), "Syntax OK") << errors->toPlainText().toStdString();
    EXPECT_FALSE(controller.errorPanelIsVisible());
}

} // namespace
