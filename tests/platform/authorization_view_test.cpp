// The padlock on real widgets (offscreen). A root panel's padlock asks
// nobody; otherwise the answers come from polkit on a system bus of the
// test's own (as root, polkit says yes: the rules for other users are the
// tool tests' business), and without a bus or polkit the padlock says so.

#include "common/PolkitTestSupport.h"
#include "common/PrivilegedTestSupport.h"
#include "common/TestApplication.h"
#include "platform/PHAuthorizationLock.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace privileged_test;

namespace {

/// The padlock's news, in the order it was given.
struct Recorder {
    QStringList calls;
    void follow(PHAuthorizationLock *view) {
        QObject::connect(view, &PHAuthorizationLock::unlocked, [this] { calls << "unlocked"; });
        QObject::connect(view, &PHAuthorizationLock::locked, [this] { calls << "locked"; });
    }
};

const QString kPrefix = QStringLiteral("com.quillmere.porthold.viewtest");

class AuthorizationView : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testApplication("authorization_view_test"); }
    void SetUp() override {
        window.resize(400, 100);
        view = new PHAuthorizationLock(&window);
        view->setPolkitActions(kPrefix + ".unlock",
                               {kPrefix + ".replace-configuration", kPrefix + ".control-server"});
        delegate.follow(view);
        window.show();
        padlock = view->findChild<QToolButton *>("padlock");
        label = view->findChild<QLabel *>("padlockStatus");
        ASSERT_TRUE(padlock && label);
    }
    void TearDown() override {
        PHAuthorizationLock::setRootAsksPolkit(false);
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    /// Runs the event loop until the padlock waits for nothing (or the time is up).
    bool settled(int milliseconds = 15000) {
        QElapsedTimer timer;
        timer.start();
        while (view->isWaiting() && timer.elapsed() < milliseconds)
            QTest::qWait(20);
        return !view->isWaiting();
    }

    QWidget window;
    PHAuthorizationLock *view = nullptr;
    QToolButton *padlock = nullptr;
    QLabel *label = nullptr;
    Recorder delegate;
};

} // namespace

TEST_F(AuthorizationView, ARootPanelsPadlockUnlocksAtOnceAndLocksAgain) {
    if (!isRoot())
        GTEST_SKIP() << "a root panel's padlock";
    EXPECT_EQ(view->authorizationState(), PHAuthorizationLock::LockedState);
    EXPECT_EQ(padlock->text(), "Locked");
    EXPECT_EQ(label->text(), "Click the padlock to make changes.");
    padlock->click();
    EXPECT_FALSE(view->isWaiting());
    EXPECT_EQ(view->authorizationState(), PHAuthorizationLock::UnlockedState);
    EXPECT_EQ(padlock->text(), "Unlocked");
    EXPECT_EQ(label->text(), "Click the padlock to prevent further changes.");
    EXPECT_EQ(delegate.calls, QStringList({"unlocked"}));
    padlock->click();
    EXPECT_EQ(view->authorizationState(), PHAuthorizationLock::LockedState);
    EXPECT_EQ(delegate.calls, QStringList({"unlocked", "locked"}));
    EXPECT_FALSE(view->deauthorize()) << "already locked";
}

TEST_F(AuthorizationView, WithoutABusOrPolkitItSaysWhatToInstallAndNeverBlocks) {
    PHAuthorizationLock::setRootAsksPolkit(true);
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    // No bus at all: the connection fails at once.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", QFile::encodeName("unix:path=" + folder.filePath("nothing")));
    {
        PHAuthorizationLock alone;
        alone.setPolkitActions(kPrefix + ".unlock", {});
        alone.updateStatus();
        QElapsedTimer timer;
        timer.start();
        while (alone.isWaiting() && timer.elapsed() < 5000)
            QTest::qWait(20);
        EXPECT_EQ(alone.authorizationState(), PHAuthorizationLock::UnavailableState);
        EXPECT_TRUE(alone.statusText().contains("No system message bus")) << alone.statusText().toStdString();
        EXPECT_FALSE(alone.findChild<QToolButton *>("padlock")->isEnabled());
    }
}

TEST_F(AuthorizationView, AnswersComeFromPolkitWhileTheWindowKeepsWorking) {
    if (!isRoot())
        GTEST_SKIP() << "starts polkitd, which runs as root";
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    polkit_test::PrivateSystemBus bus(folder.path().toStdString(),
                                      polkit_test::PrivateSystemBus::Placement::Private);
    PHAuthorizationLock::setRootAsksPolkit(true);
    const std::string why = bus.start();
    if (why.find("not installed") != std::string::npos)
        GTEST_SKIP() << why;
    ASSERT_EQ(why, "");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", QByteArray::fromStdString(bus.address()));
    const polkit_test::PolkitFile actions(
        "/usr/share/polkit-1/actions/" + kPrefix.toStdString() + ".policy",
        polkit_test::actionFile(kPrefix.toStdString(), "/nonexistent/Sentrel"));
    ASSERT_TRUE(bus.waitForAction(kPrefix.toStdString() + ".unlock")) << bus.log("polkitd.log");

    // Every question is asynchronous: the padlock waits (and says so) while
    // timers of the window keep firing.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    QSignalSpy waiting(view, &PHAuthorizationLock::waitingChanged);
    view->updateStatus();
    EXPECT_TRUE(view->isWaiting());
    EXPECT_FALSE(padlock->isEnabled());
    EXPECT_EQ(label->text(), QString::fromUtf8("Waiting for polkit\u2026"));
    auto *busy = view->findChild<QProgressBar *>("padlockBusy");
    ASSERT_NE(busy, nullptr);
    EXPECT_TRUE(busy->isVisibleTo(view)) << "nothing shows that the padlock is working";
    ASSERT_TRUE(settled());
    EXPECT_FALSE(busy->isVisibleTo(view));
    EXPECT_GE(waiting.count(), 2);
    // Root is authorized for everything: unlocked without a click.
    EXPECT_EQ(view->authorizationState(), PHAuthorizationLock::UnlockedState) << label->text().toStdString();
    EXPECT_EQ(padlock->text(), "Unlocked");
    EXPECT_TRUE(padlock->isEnabled());
    EXPECT_EQ(delegate.calls, QStringList({"unlocked"}));

    // Locked by the user, it stays locked whatever polkit still keeps, until clicked.
    padlock->click();
    EXPECT_EQ(view->authorizationState(), PHAuthorizationLock::LockedState);
    view->updateStatus();
    ASSERT_TRUE(settled());
    EXPECT_EQ(view->authorizationState(), PHAuthorizationLock::LockedState);
    padlock->click();
    EXPECT_TRUE(view->isWaiting());
    ASSERT_TRUE(settled());
    EXPECT_EQ(view->authorizationState(), PHAuthorizationLock::UnlockedState) << label->text().toStdString();
    ticker.stop();
    EXPECT_GT(ticks, 0) << "the window's own timers never ran while polkit was asked";

    // An action polkit does not know: the actions are said to be missing.
    PHAuthorizationLock unknown;
    unknown.setPolkitActions(QStringLiteral("com.quillmere.porthold.nosuchaction"), {});
    unknown.updateStatus();
    QElapsedTimer timer;
    timer.start();
    while (unknown.isWaiting() && timer.elapsed() < 15000)
        QTest::qWait(20);
    EXPECT_EQ(unknown.authorizationState(), PHAuthorizationLock::UnavailableState);
    EXPECT_TRUE(unknown.statusText().contains("polkit actions are not installed"))
        << unknown.statusText().toStdString();

    // polkitd gone, the bus still there: polkit is named as what is missing.
    bus.stopPolkitd();
    PHAuthorizationLock orphan;
    orphan.setPolkitActions(kPrefix + ".unlock", {});
    orphan.updateStatus();
    timer.restart();
    while (orphan.isWaiting() && timer.elapsed() < 15000)
        QTest::qWait(20);
    EXPECT_EQ(orphan.authorizationState(), PHAuthorizationLock::UnavailableState);
    EXPECT_TRUE(orphan.statusText().contains("polkit is not running")) << orphan.statusText().toStdString();
    EXPECT_TRUE(orphan.statusText().contains("polkitd")) << orphan.statusText().toStdString();
}

TEST_F(AuthorizationView, ThePadlocksPictureFollowsTheLockEveryTime) {
    if (!isRoot())
        GTEST_SKIP() << "a root panel's padlock changes without asking polkit";
    QTemporaryDir bundle;
    ASSERT_TRUE(bundle.isValid());
    QDir().mkpath(bundle.filePath("Resources"));
    const QString images = QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/images/");
    for (const char *file :
         {"padlock-locked.png", "padlock-locked@2x.png", "padlock-unlocked.png", "padlock-unlocked@2x.png"})
        ASSERT_TRUE(QFile::copy(images + file, bundle.filePath("Resources/") + file));
    QIcon::setThemeSearchPaths({bundle.filePath("no-themes")});
    QIcon::setThemeName(QStringLiteral("none"));
    const auto shipped = [&](const QString &name) {
        QIcon icon;
        icon.addFile(images + name + ".png");
        icon.addFile(images + name + "@2x.png");
        return icon.pixmap(32, 32).toImage();
    };
    const QImage locked = shipped("padlock-locked");
    const QImage unlocked = shipped("padlock-unlocked");
    ASSERT_FALSE(locked.isNull());
    ASSERT_NE(locked, unlocked);

    PHAuthorizationLock second(&window);
    second.setBundlePath(bundle.path());
    second.setPolkitActions(kPrefix + ".unlock", {});
    auto *button = second.findChild<QToolButton *>("padlock");
    ASSERT_NE(button, nullptr);
    const auto shown = [&] { return button->icon().pixmap(32, 32).toImage(); };
    EXPECT_EQ(shown(), locked);
    // Each picture is made once and then reused: both states, in both orders, twice.
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(second.authorize());
        EXPECT_EQ(shown(), unlocked) << "round " << round;
        ASSERT_TRUE(second.deauthorize());
        EXPECT_EQ(shown(), locked) << "round " << round;
    }
}

TEST(AuthorizationViewIcon, ThePadlockIsDrawnWithoutAThemeFromTheBundle) {
    testApplication("authorization_view_test");
    QTemporaryDir bundle;
    ASSERT_TRUE(bundle.isValid());
    QDir().mkpath(bundle.filePath("Resources"));
    for (const char *file : {"padlock-locked.png", "padlock-locked@2x.png"})
        ASSERT_TRUE(QFile::copy(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/images/") + file,
                                bundle.filePath("Resources/") + file));
    // A desktop without an icon theme.
    QIcon::setThemeSearchPaths({bundle.filePath("no-themes")});
    QIcon::setThemeName(QStringLiteral("none"));

    PHAuthorizationLock view;
    view.setBundlePath(bundle.path());
    auto *padlock = view.findChild<QToolButton *>("padlock");
    ASSERT_NE(padlock, nullptr);
    ASSERT_FALSE(padlock->icon().isNull()) << "the padlock has no picture";
    const QImage image = padlock->icon().pixmap(32, 32).toImage();
    ASSERT_FALSE(image.isNull());
    // The body of the lock is opaque below the middle; the corners stay clear.
    EXPECT_EQ(image.pixelColor(16, 24).alpha(), 255);
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
}

// ---- The padlock of an ordinary user: this program again, run as test users
// against polkitd with rules for them, one role each.

namespace {

const char *const kChildRole = "PORTHOLD_VIEW_CHILD_ROLE";
const std::string kViewAdminPassword = "View-Adm1n-30";

bool waitFor(const std::function<bool()> &condition, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < milliseconds)
        QTest::qWait(20);
    return condition();
}

} // namespace

TEST(AuthorizationViewChild, PlaysItsRoleAsTheUser) {
    const QByteArray role = qgetenv(kChildRole);
    if (role.isEmpty())
        GTEST_SKIP() << "run by AuthorizationViewAsAUser as a test user";
    testApplication("authorization_view_test");
    QWidget window;
    PHAuthorizationLock view(&window);
    view.setPolkitActions(kPrefix + ".unlock",
                          {kPrefix + ".replace-configuration", kPrefix + ".control-server"});
    window.show();
    auto *padlock = view.findChild<QToolButton *>("padlock");
    ASSERT_NE(padlock, nullptr);
    // Not authorized without a password: locked.
    view.updateStatus();
    ASSERT_TRUE(waitFor([&] { return !view.isWaiting(); }, 15000));
    EXPECT_EQ(view.authorizationState(), PHAuthorizationLock::LockedState) << view.statusText().toStdString();

    QProcess agent;
    if (role == "ask") {
        // The session's agent: a textual one for this process, typing the
        // administrator's password a moment after it is asked.
        agent.start("script",
                    {"-qfc",
                     QStringLiteral("pkttyagent --process %1").arg(QCoreApplication::applicationPid()),
                     "/dev/null"});
        ASSERT_TRUE(agent.waitForStarted());
        QTest::qWait(1000);
        QTimer::singleShot(1500, [&] { agent.write(QByteArray::fromStdString(kViewAdminPassword + "\n")); });
    }
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    QElapsedTimer asked;
    asked.start();
    padlock->click();
    EXPECT_TRUE(view.isWaiting());
    EXPECT_EQ(view.statusText(), QString::fromUtf8("Waiting for polkit\u2026"));
    ASSERT_TRUE(waitFor([&] { return !view.isWaiting(); }, 30000));
    ticker.stop();
    const qint64 took = asked.elapsed();
    std::printf("role %s: answered after %lld ms, the window's 10 ms timer ran %d times meanwhile\n",
                role.constData(), static_cast<long long>(took), ticks);
    EXPECT_GE(ticks, took / 10 / 4) << "the window did not keep running while polkit was asked";

    if (role == "ask") {
        EXPECT_EQ(view.authorizationState(), PHAuthorizationLock::UnlockedState)
            << view.statusText().toStdString() << "\nagent: " << agent.readAll().toStdString();
        EXPECT_GT(took, 1000) << "unlocked before the agent typed the password";
        // Kept: asked again without interaction, still unlocked.
        view.updateStatus();
        ASSERT_TRUE(waitFor([&] { return !view.isWaiting(); }, 15000));
        EXPECT_EQ(view.authorizationState(), PHAuthorizationLock::UnlockedState);
        // Locked by the user: stays locked, whatever polkit still keeps.
        padlock->click();
        EXPECT_EQ(view.authorizationState(), PHAuthorizationLock::LockedState);
        view.updateStatus();
        ASSERT_TRUE(waitFor([&] { return !view.isWaiting(); }, 15000));
        EXPECT_EQ(view.authorizationState(), PHAuthorizationLock::LockedState);
        agent.kill();
        agent.waitForFinished();
    } else if (role == "no") {
        EXPECT_EQ(view.authorizationState(), PHAuthorizationLock::LockedState);
        EXPECT_TRUE(view.statusText().contains("rules do not allow")) << view.statusText().toStdString();
    } else if (role == "noagent") {
        EXPECT_EQ(view.authorizationState(), PHAuthorizationLock::LockedState);
        EXPECT_TRUE(view.statusText().contains("No authentication agent is running"))
            << view.statusText().toStdString();
        EXPECT_TRUE(view.statusText().contains("apt install")) << view.statusText().toStdString();
    }
}

TEST(AuthorizationViewAsAUser, AnswersForEachRuleAndTheAgentsDialogNeverBlocksTheWindow) {
    if (!isRoot() || !qgetenv(kChildRole).isEmpty())
        GTEST_SKIP() << "starts polkitd and creates users";
    if (::access("/usr/bin/pkttyagent", X_OK) != 0)
        GTEST_SKIP() << "polkitd is not installed";
    // The agent's helper (polkit-agent-helper-1) is set-user-ID like pkexec and
    // reports to polkitd on the bus at the standard socket only.
    TemporaryFolder folder;
    polkit_test::PrivateSystemBus bus(folder.path(), polkit_test::PrivateSystemBus::Placement::Standard);
    const std::string why = bus.start();
    if (why.find("already runs") != std::string::npos)
        GTEST_SKIP() << why << ": the agent's helper always reports there, so the test cannot use its own";
    ASSERT_EQ(why, "");
    const std::string prefix = kPrefix.toStdString();
    const polkit_test::PolkitFile actions("/usr/share/polkit-1/actions/" + prefix + ".policy",
                                          polkit_test::actionFile(prefix, "/nonexistent/Sentrel"));
    const polkit_test::PolkitFile rules(
        "/etc/polkit-1/rules.d/10-porthold-viewtest.rules",
        "polkit.addAdminRule(function(action, subject) {\n"
        "    if (action.id.indexOf(\"" +
            prefix +
            ".\") == 0) return [\"unix-user:phviewadm\"];\n"
            "});\n"
            "polkit.addRule(function(action, subject) {\n"
            "    if (action.id.indexOf(\"" +
            prefix +
            ".\") != 0) return polkit.Result.NOT_HANDLED;\n"
            "    if (subject.user == \"phviewask\") return polkit.Result.AUTH_ADMIN_KEEP;\n"
            "    if (subject.user == \"phviewno\") return polkit.Result.NO;\n"
            "    return polkit.Result.NOT_HANDLED;\n"
            "});\n");
    ASSERT_TRUE(bus.waitForAction(prefix + ".unlock")) << bus.log("polkitd.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const TestUser asker("phviewask", "unused-Passw0rd", false);
    const TestUser refused("phviewno", "unused-Passw0rd", false);
    const TestUser admin("phviewadm", kViewAdminPassword, false);
    ASSERT_TRUE(asker.valid() && refused.valid() && admin.valid());

    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    for (const auto &[role, user] : std::vector<std::pair<std::string, const TestUser *>>{
             {"ask", &asker}, {"no", &refused}, {"noagent", &asker}}) {
        Launch launch;
        launch.arguments = {self, "--gtest_filter=AuthorizationViewChild.*"};
        launch.environment = {"PATH=/usr/bin:/bin",
                              std::string(kChildRole) + "=" + role,
                              "DBUS_SYSTEM_BUS_ADDRESS=" + bus.address(),
                              "QT_QPA_PLATFORM=offscreen",
                              "HOME=" + folder.path(),
                              "XDG_RUNTIME_DIR=" + folder.path(),
                              "PORTHOLD_SOURCE_DIR=" PORTHOLD_SOURCE_DIR};
        if (const char *options = std::getenv("ASAN_OPTIONS"))
            launch.environment.push_back(std::string("ASAN_OPTIONS=") + options);
        if (const char *options = std::getenv("LSAN_OPTIONS"))
            launch.environment.push_back(std::string("LSAN_OPTIONS=") + options);
        launch.uid = user->uid();
        launch.gid = user->gid();
        const Result result = run(launch);
        EXPECT_EQ(result.exitStatus, 0) << role << ":\n" << result.output << result.error;
        EXPECT_NE(result.output.find("[  PASSED  ] 1 test"), std::string::npos) << role << ":\n"
                                                                                << result.output;
        const std::size_t line = result.output.find("role " + role);
        if (line != std::string::npos)
            std::printf("%s", result.output.substr(line, result.output.find('\n', line) - line + 1).c_str());
    }
}
