// Options: the web server's program and folders. On a fresh start with this
// machine's Apache installed, the panel finds it by itself; typing another
// program says at once why the status cannot be known; Detect puts it right.

#include "PaneFixture.h"

#include "platform/PHMessageLine.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

class PaneServerOptions : public PaneFixture {
protected:
    /// The panel with its managed server (the fixture's default has none).
    void startManaging() {
        preset("Allow Custom Web Dir", true);
        preset("Porthold Protected Folder", 2);
        preset("Web Dir", web);
        preset("Check for Updates", false);
        window = std::make_unique<QWidget>();
        pref = std::make_unique<PortholdPref>(makeBundle(temp()));
        ASSERT_NE(pref->loadMainView(window.get()), nullptr);
        window->resize(900, 650);
        window->show();
        pref->didSelect();
        settle();
    }
    /// The fixture's temporary folder (the web tree's parent).
    QString temp() const { return QFileInfo(web).path(); }
};

TEST_F(PaneServerOptions, FreshStartFindsDebiansApacheAndDetectRestoresIt) {
    if (!QFileInfo("/usr/sbin/apache2").isExecutable() || !QFileInfo::exists("/etc/apache2/apache2.conf"))
        GTEST_SKIP() << "Debian's apache2 is not installed";
    startManaging();
    PHSettingsStore *defaults = PHSettingsStore::instance();
    EXPECT_EQ(defaults->stringForKey("ApacheBinaryLocation"), "/usr/sbin/apache2");
    EXPECT_EQ(defaults->stringForKey("Apache Conf Directory"), "/etc/apache2/");
    EXPECT_EQ(defaults->stringForKey("Apache Log Directory"), "/var/log/apache2/");

    auto *binary = child<QLineEdit>("binaryField");
    auto *conf = child<QLineEdit>("confDirField");
    auto *logs = child<QLineEdit>("logDirField");
    auto *detect = child<QPushButton>("detectServerButton");
    ASSERT_TRUE(binary && conf && logs && detect);
    EXPECT_EQ(binary->text(), "/usr/sbin/apache2");
    EXPECT_EQ(conf->text(), "/etc/apache2/");
    EXPECT_EQ(logs->text(), "/var/log/apache2/");
    EXPECT_EQ(pref->server()->apache()->httpdConfFile(), "/etc/apache2/apache2.conf");

    // A program that is not there: said on the server tab, where the status is.
    auto *problem = pref->server()->apache()->tabViewItem()->findChild<QLabel *>("serverProblem");
    ASSERT_NE(problem, nullptr);
    EXPECT_TRUE(problem->text().isEmpty());
    binary->setFocus();
    binary->selectAll();
    QTest::keyClicks(binary, QDir(temp()).filePath("no-httpd"));
    QTest::keyClick(binary, Qt::Key_Return);
    settle();
    EXPECT_EQ(defaults->stringForKey("ApacheBinaryLocation"), QDir(temp()).filePath("no-httpd"));
    EXPECT_EQ(problem->text(), QDir(temp()).filePath("no-httpd") +
                                   " is not installed: choose Detect in Options, or install Apache.");

    // Logs somewhere empty: the log box says so instead of an empty list.
    logs->setFocus();
    logs->selectAll();
    QDir().mkpath(QDir(temp()).filePath("nologs"));
    QTest::keyClicks(logs, QDir(temp()).filePath("nologs"));
    QTest::keyClick(logs, Qt::Key_Return);
    settle();
    EXPECT_EQ(defaults->stringForKey("Apache Log Directory"), QDir(temp()).filePath("nologs") + "/");
    auto *logProblem = pref->server()->apache()->tabViewItem()->findChild<QLabel *>("logProblem");
    ASSERT_NE(logProblem, nullptr);
    EXPECT_EQ(logProblem->text(),
              "The log folder " + QDir(temp()).filePath("nologs") + "/ holds no logs yet.");

    detect->click();
    settle();
    EXPECT_EQ(binary->text(), "/usr/sbin/apache2");
    EXPECT_EQ(logs->text(), "/var/log/apache2/");
    EXPECT_TRUE(problem->text().isEmpty());
    ASSERT_NE(pref->messageLine(), nullptr);
    EXPECT_TRUE(pref->messageLine()->isVisible());
    EXPECT_EQ(pref->messageLine()->text(), "Found Apache: /usr/sbin/apache2, configuration "
                                           "/etc/apache2/apache2.conf, logs in /var/log/apache2/");
}

} // namespace
