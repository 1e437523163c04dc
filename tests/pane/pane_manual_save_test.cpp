// The manual editor against a real Apache: a save the server cannot read is
// said at once with the server's own words, and Revert puts the earlier file
// back; a sound save is just saved.

#include "PaneFixture.h"

#include "common/ApacheHarness.h"
#include "platform/PHMessageLine.h"

#include <QAbstractButton>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

#include <sys/stat.h>

namespace {

class PaneManualSave : public PaneFixture {
protected:
    void SetUp() override {
        PaneFixture::SetUp();
        // The server's workers must reach the tree.
        for (QString folder = web; folder.size() > 1 && folder != QDir::tempPath();
             folder = QFileInfo(folder).path())
            ::chmod(QFile::encodeName(folder).constData(), 0755);
    }
    QString message() const { return pref->messageLine() ? pref->messageLine()->text() : QString(); }
    /// Saves, sees the server asked on a worker while the panel goes on, and
    /// waits for its answer.
    void save() {
        // On the editor's tab, as a user who clicks Save is.
        child<QTabWidget>("userAddressTabs")->setCurrentWidget(child<QWidget>("custom"));
        auto *button = child<QAbstractButton>("customSaveButton");
        auto *progress = child<QProgressBar>("customCheckProgress");
        button->click();
        // The click has returned before the server answered: the answer
        // comes back through the event loop, which has not run yet.
        EXPECT_TRUE(pref->folders()->editor()->isCheckingSave());
        EXPECT_FALSE(button->isEnabled()) << "no second save while the first is checked";
        EXPECT_TRUE(progress->isVisible());
        ASSERT_TRUE(QTest::qWaitFor([this] { return !pref->folders()->editor()->isCheckingSave(); }, 30000));
        settle();
        EXPECT_FALSE(progress->isVisible());
    }
};

TEST_F(PaneManualSave, AnUnknownDirectiveIsCaughtAndRevertPutsTheEarlierFileBack) {
    if (const std::string why = apache_harness::unavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    writeFile(web + "/private/.htaccess", "# kept by hand\n");
    apache_harness::ApacheServer server(web.toStdString());
    preset("Apache Site Protocol", "http");
    preset("Apache Site Address", QStringLiteral("127.0.0.1:%1").arg(server.port()));
    preset("Apache Log Directory", QString::fromStdString(server.serverRoot().string()));
    start();
    clickFolder(folder("private"));

    typeIntoEditor("Bogusdirective on\n");
    save();
    ASSERT_EQ(server.get("/private/"), 500) << "the server does refuse the typed file";
    EXPECT_TRUE(readFile(web + "/private/.htaccess").contains("Bogusdirective on"));
    ASSERT_NE(pref->messageLine(), nullptr);
    EXPECT_EQ(pref->messageLine()->meaning(), PHThemeColors::Meaning::Negative);
    EXPECT_TRUE(
        message().startsWith("The web server cannot read the saved .htaccess in private: it answers 500 "
                             "Internal Server Error"))
        << qPrintable(message());
    EXPECT_TRUE(message().contains("Invalid command 'Bogusdirective'")) << qPrintable(message());

    const QList<QPushButton *> buttons = pref->messageLine()->buttons();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons.first()->text(), "Revert");
    buttons.first()->click();
    settle();
    EXPECT_TRUE(readFile(web + "/private/.htaccess").contains("# kept by hand\n"));
    EXPECT_FALSE(readFile(web + "/private/.htaccess").contains("Bogusdirective"));
    EXPECT_NE(server.get("/private/"), 500);
    EXPECT_EQ(message(), "Put back the earlier .htaccess in private");

    // A file the server reads is only said to be saved.
    clickFolder(folder("private"));
    typeIntoEditor("# still by hand\n");
    save();
    EXPECT_NE(server.get("/private/"), 500);
    EXPECT_EQ(message(), "Saved .htaccess in private");
    EXPECT_TRUE(pref->messageLine()->buttons().isEmpty());

    // Typing while the server is asked: Save stays off until the answer is
    // in, then offers the new text.
    typeIntoEditor("Bogusdirective again\n");
    child<QAbstractButton>("customSaveButton")->click();
    // Typed without letting the event loop run, so the answer cannot come first.
    QTest::keyClicks(child<QPlainTextEdit>("customViewText"), "# typed meanwhile");
    ASSERT_TRUE(pref->folders()->editor()->isCheckingSave());
    EXPECT_FALSE(child<QAbstractButton>("customSaveButton")->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !pref->folders()->editor()->isCheckingSave(); }, 30000));
    EXPECT_TRUE(child<QAbstractButton>("customSaveButton")->isEnabled());
    EXPECT_TRUE(message().startsWith("The web server cannot read the saved .htaccess in private"))
        << qPrintable(message());

    // A panel closed before the answer arrives hears nothing of it.
    child<QAbstractButton>("customSaveButton")->click();
    ASSERT_TRUE(pref->folders()->editor()->isCheckingSave());
    pref.reset();
    window.reset();
    QTest::qWait(1500);
    QCoreApplication::processEvents();
    EXPECT_TRUE(readFile(web + "/private/.htaccess").contains("# typed meanwhile"))
        << "the save itself stands";
}

} // namespace
