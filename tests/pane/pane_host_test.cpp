// The settings host with the bundle of the build tree: it loads the plug-in,
// starts the panel and renders it; a missing bundle is refused with a message,
// and so is a layout that lacks a widget the panel works with.

#include "PaneFixture.h"

#include "core/Log.h"
#include "platform/PHEventLoopIdle.h"

#include <QByteArray>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace {

const QString kHost = QStringLiteral(PORTHOLD_BINARY_DIR "/porthold");

QProcessEnvironment sandbox(const QTemporaryDir &dir) {
    // Its own settings: no update check over the network, no server managed.
    QDir().mkpath(dir.filePath("config/porthold"));
    QFile settings(dir.filePath("config/porthold/com.quillmere.porthold.plist"));
    EXPECT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write(QStringLiteral(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>Check for Updates</key><false/>
<key>Uses Remote Apache</key><true/>
<key>Allow Custom Web Dir</key><true/>
<key>Porthold Protected Folder</key><integer>2</integer>
<key>Web Dir</key><string>%1</string>
</dict></plist>
)")
                       .arg(dir.filePath("www"))
                       .toUtf8());
    QDir().mkpath(dir.filePath("www/members"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    return env;
}

TEST(SettingsHost, ScreenshotLoadsTheBundleAndRendersThePanel) {
    if (!QFileInfo(kHost).isExecutable() ||
        !QFileInfo::exists(PORTHOLD_BINARY_DIR "/Porthold.panel/Porthold.so"))
        GTEST_SKIP() << "build the porthold and porthold_bundle targets first";
    QTemporaryDir dir;
    QProcess host;
    host.setProcessEnvironment(sandbox(dir));
    const QString picture = dir.filePath("panel.png");
    host.start(kHost, {"--screenshot", picture});
    ASSERT_TRUE(host.waitForFinished(60000));
    EXPECT_EQ(host.exitCode(), 0) << host.readAllStandardError().constData();
    const QImage image(picture);
    ASSERT_FALSE(image.isNull());
    EXPECT_GE(image.width(), 600);
    EXPECT_GE(image.height(), 400);
    // Rendering is not a visit: the user and group files are not created.
    EXPECT_FALSE(QFile::exists(dir.filePath("www/.htusers")));
}

TEST(SettingsHost, RefusesWhatIsNotABundleAndExplainsAMissingDisplay) {
    if (!QFileInfo(kHost).isExecutable())
        GTEST_SKIP() << "build the porthold target first";
    QTemporaryDir dir;
    QProcess host;
    host.setProcessEnvironment(sandbox(dir));
    host.start(kHost, {"--screenshot", dir.filePath("x.png"), dir.filePath("nothing.panel")});
    ASSERT_TRUE(host.waitForFinished(30000));
    EXPECT_NE(host.exitCode(), 0);
    EXPECT_TRUE(host.readAllStandardError().contains("does not exist"));
    EXPECT_FALSE(QFile::exists(dir.filePath("x.png")));

    host.start(kHost, {});
    ASSERT_TRUE(host.waitForFinished(30000));
    EXPECT_EQ(host.exitCode(), 1);
    EXPECT_TRUE(host.readAllStandardError().contains("--screenshot"));
}

TEST_F(PaneFixture, TheScreenshotMomentFindsTheStatusLineLaidOutForItsText) {
    // Started as the host starts it, with the server managed: the status line
    // gets its text from the first status check, queued when the panel is
    // selected, and the layout follows only after that.
    preset("Allow Custom Web Dir", true);
    preset("Porthold Protected Folder", 2);
    preset("Web Dir", web);
    preset("Uses Remote Apache", false);
    preset("Check for Updates", false);
    window = std::make_unique<QWidget>();
    auto *layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    pref = std::make_unique<PortholdPref>(makeBundle(QFileInfo(web).absolutePath())); // the fixture's
    QWidget *view = pref->loadMainView(window.get());
    ASSERT_NE(view, nullptr);
    layout->addWidget(view);
    window->show();
    pref->didSelect();

    auto *status = child<QLabel>("portholdStatus");
    bool grabbed = false;
    QString text;
    int width = 0;
    QEventLoop loop;
    PHEventLoopIdle::whenIdle(window.get(), [&] {
        grabbed = true;
        text = status->text();
        width = status->contentsRect().width();
        loop.quit();
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    ASSERT_TRUE(grabbed);
    EXPECT_TRUE(text.startsWith("Apache status")) << text.toStdString();
    EXPECT_GE(width, status->fontMetrics().horizontalAdvance(text)) << "the status line is cut";
}

TEST_F(PaneFixture, ALayoutWithoutARequiredWidgetIsRefusedNamingIt) {
    // The bundle's layout with the users' delete button renamed away.
    const QString bundle = makeBundle(web);
    const QString layout = bundle + "/Resources/Porthold.ui";
    QString text = readFile(layout);
    ASSERT_TRUE(text.contains(R"(name="userDeleteButton")"));
    text.replace(R"(name="userDeleteButton")", R"(name="somethingElse")");
    writeFile(layout, text);
    QStringList log;
    Log::setCapture(&log);
    window = std::make_unique<QWidget>();
    pref = std::make_unique<PortholdPref>(bundle);
    EXPECT_EQ(pref->loadMainView(window.get()), nullptr);
    Log::setCapture(nullptr);
    EXPECT_TRUE(log.join('\n').contains("Porthold.ui: it has no userDeleteButton"))
        << log.join('\n').toStdString();
    EXPECT_TRUE(window->findChildren<QTabWidget *>().isEmpty()) << "the half-made view is gone";
}

} // namespace
