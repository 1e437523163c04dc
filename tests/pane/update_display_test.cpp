#include "pane/PHUpdateDisplay.h"

#include "core/PHException.h"
#include "platform/PHMessageLine.h"
#include "update/PHUpdateController.h"
#include "update/UpdateTestSupport.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <ctime>

namespace {

// Fixed before Qt reads the zone: the last-check lines are local times. The
// zone has daylight saving, so day boundaries are not 24 hours apart in March.
const bool kZoneFixed = [] {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    return true;
}();

double referenceSeconds(const QDate &date, const QTime &time) {
    return double(QDateTime(date, time).toSecsSinceEpoch() - 978307200);
}

TEST(LastCheckLine, NamesTheDayAndTheTime) {
    ASSERT_TRUE(kZoneFixed);
    const QDateTime now(QDate(2024, 6, 15), QTime(14, 0));
    const auto line = [&](const QDate &date, const QTime &time) {
        return PHUpdateDisplay::lastCheckLine(referenceSeconds(date, time), now);
    };
    EXPECT_EQ(PHUpdateDisplay::lastCheckLine(0.0, now), QStringLiteral("Last Check: never"));
    EXPECT_EQ(line(QDate(2024, 6, 15), QTime(8, 0)), QStringLiteral("Last Check: Today at 8:00 AM"));
    EXPECT_EQ(line(QDate(2024, 6, 15), QTime(0, 0)), QStringLiteral("Last Check: Today at 12:00 AM"));
    EXPECT_EQ(line(QDate(2024, 6, 14), QTime(23, 30)), QStringLiteral("Last Check: Yesterday at 11:30 PM"));
    EXPECT_EQ(line(QDate(2024, 6, 14), QTime(0, 0)), QStringLiteral("Last Check: Yesterday at 12:00 AM"));
    EXPECT_EQ(line(QDate(2024, 6, 13), QTime(23, 59)), QStringLiteral("Last Check: June 13 at 11:59 PM"));
    EXPECT_EQ(line(QDate(2024, 3, 3), QTime(21, 5)), QStringLiteral("Last Check: March 3 at 9:05 PM"));
    EXPECT_EQ(line(QDate(2024, 1, 1), QTime(0, 0)), QStringLiteral("Last Check: January 1 at 12:00 AM"));
    // Last December belongs to an earlier year and says so.
    EXPECT_EQ(line(QDate(2023, 12, 31), QTime(23, 59)),
              QStringLiteral("Last Check: December 31, 2023 at 11:59 PM"));
    EXPECT_EQ(line(QDate(2019, 7, 4), QTime(12, 0)), QStringLiteral("Last Check: July 4, 2019 at 12:00 PM"));

    // Across the change to daylight saving time the day boundaries stay local midnights.
    const QDateTime afterChange(QDate(2024, 3, 11), QTime(1, 0));
    EXPECT_EQ(PHUpdateDisplay::lastCheckLine(referenceSeconds(QDate(2024, 3, 10), QTime(0, 30)), afterChange),
              QStringLiteral("Last Check: Yesterday at 12:30 AM"));
    EXPECT_EQ(PHUpdateDisplay::lastCheckLine(referenceSeconds(QDate(2024, 3, 9), QTime(23, 30)), afterChange),
              QStringLiteral("Last Check: March 9 at 11:30 PM"));
}

class UpdateDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        PHSettingsStore::instance()->registerDefaults({{QStringLiteral("Check for Updates"), true}});
        PHSettingsStore::instance()->setBoolForKey(true, QStringLiteral("Check for Updates"));
        widgets.versionCheckButton = &button;
        widgets.versionCheckProgress = &spinner;
        widgets.launchVersionCheck = &launchCheck;
        widgets.lastCheckText = &lastCheck;
        widgets.window = &window;
        widgets.messageLine = &messageLine;
        button.setText(QStringLiteral("Check Now"));
        auto *layout = new QVBoxLayout(&window);
        for (QWidget *widget : {static_cast<QWidget *>(&button), static_cast<QWidget *>(&spinner),
                                static_cast<QWidget *>(&launchCheck), static_cast<QWidget *>(&lastCheck)})
            layout->addWidget(widget);
        PHUpdateDisplay::resetFirstSelectionForTesting();
        display = std::make_unique<PHUpdateDisplay>(widgets);
        display->setInterfacePath(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/SWU.ui"));
        display->setClock([] { return QDateTime::currentDateTime(); });
        window.show();
    }
    void TearDown() override {
        display.reset();
        ASSERT_TRUE(QTest::qWaitFor([] { return PHUpdateController::runningWorkers() == 0; }, 5000));
    }
    /// Loads the controller and points it at the test server.
    PHUpdateController *prepared() {
        display->prepSWU();
        PHUpdateController *controller = display->SWUController();
        EXPECT_TRUE(controller->setUpdateServer(QString::fromLatin1(server.hostPort())));
        return controller;
    }
    QString storedLastCheck() const {
        return PHSettingsStore::instance()->objectForKey(QStringLiteral("Last Version Check")).toString();
    }

    UpdateTestScope scope;
    TestHttpServer server;
    QWidget window;
    QPushButton button{&window};
    QProgressBar spinner{&window};
    QCheckBox launchCheck{&window};
    QLabel lastCheck{&window};
    PHMessageLine messageLine{&window};
    PHUpdateDisplay::Widgets widgets;
    std::unique_ptr<PHUpdateDisplay> display;
};

TEST_F(UpdateDisplay, TheFirstSelectionChecksAndTheControlsFollow) {
    server.setReply(
        "/PHSVersions.php",
        {signedReply(versionReply(QStringLiteral("1.2"), QStringLiteral("hello"))).bytes, 0, 0, 150});
    PHUpdateController *controller = prepared();
    EXPECT_FALSE(spinner.isVisible());

    display->didSelect();
    EXPECT_EQ(button.text(), QStringLiteral("Cancel"));
    EXPECT_TRUE(spinner.isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isChecking(); }, 5000));
    EXPECT_EQ(button.text(), QStringLiteral("Check Now"));
    EXPECT_FALSE(spinner.isVisible());
    EXPECT_TRUE(lastCheck.text().startsWith(QStringLiteral("Last Check: Today at ")))
        << lastCheck.text().toStdString();
    EXPECT_NE(PHSettingsStore::instance()->doubleForKey(QStringLiteral("Last Version Check")), 0.0);
    // A check started by the panel ends like one the user asked for.
    ASSERT_EQ(PHAlertSheet::recorded().size(), 1);
    EXPECT_EQ(PHAlertSheet::recorded().first().title, QStringLiteral("Up to Date"));

    // Later selections do not check again; the button does.
    display->didSelect();
    QTest::qWait(50);
    EXPECT_EQ(server.requests().size(), 1);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(button.text(), QStringLiteral("Cancel"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isChecking(); }, 5000));
    EXPECT_EQ(server.requests().size(), 2);
    EXPECT_EQ(button.text(), QStringLiteral("Check Now"));
}

TEST_F(UpdateDisplay, AStartWithoutNetworkFailsQuietlyAndCheckNowSaysWhy) {
    PHUpdateController *controller = prepared();
    ASSERT_TRUE(controller->setUpdateServer(QStringLiteral("porthold-test.invalid")));
    display->didSelect();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isChecking(); }, 10000));
    QCoreApplication::processEvents();
    EXPECT_TRUE(PHAlertSheet::recorded().isEmpty()) << "no sheet as the first thing a user sees";
    EXPECT_EQ(messageLine.meaning(), PHMessageLine::Meaning::Warning);
    EXPECT_EQ(messageLine.text(),
              QStringLiteral("Could not check for updates: 'porthold-test.invalid' could not be found. Use "
                             "\u201cCheck Now\u201d to try again."));
    EXPECT_EQ(button.text(), QStringLiteral("Check Now"));

    // Asked for, the same failure shows the sheet with the reason.
    QTest::mouseClick(&button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !PHAlertSheet::recorded().isEmpty(); }, 10000));
    EXPECT_EQ(PHAlertSheet::recorded().first().title, QStringLiteral("Could not connect to server"));
    EXPECT_TRUE(PHAlertSheet::recorded().first().message.endsWith(
        QStringLiteral("'porthold-test.invalid' could not be found")));
}

TEST_F(UpdateDisplay, NoCheckAtLaunchWhenTurnedOffAndTheBoxWritesTheSetting) {
    launchCheck.click(); // on
    launchCheck.click(); // off
    EXPECT_FALSE(PHSettingsStore::instance()->boolForKey(QStringLiteral("Check for Updates")));
    prepared();
    display->didSelect();
    QTest::qWait(50);
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_EQ(button.text(), QStringLiteral("Check Now"));
    // The first selection is used up even though it did not check.
    PHSettingsStore::instance()->setBoolForKey(true, QStringLiteral("Check for Updates"));
    display->didSelect();
    QTest::qWait(50);
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(UpdateDisplay, TheCancelButtonStopsTheRunningCheck) {
    server.setReply("/PHSVersions.php", {signedReply(versionReply(QStringLiteral("1.3"))).bytes, 0, 0, 5000});
    PHUpdateController *controller = prepared();
    QTest::mouseClick(&button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !server.requests().isEmpty(); }, 5000));
    EXPECT_EQ(button.text(), QStringLiteral("Cancel"));
    QTest::mouseClick(&button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return button.text() == QLatin1String("Check Now"); }, 3000));
    EXPECT_FALSE(controller->isChecking());
    EXPECT_FALSE(spinner.isVisible());
    EXPECT_TRUE(PHAlertSheet::recorded().isEmpty());
    EXPECT_FALSE(controller->updateSheet()->isVisible());
}

TEST_F(UpdateDisplay, OnlyTheControllersNotificationsCount) {
    prepared();
    int other = 0;
    NotificationCenter::defaultCenter().post(QStringLiteral("PHSWUStarted"), &other);
    EXPECT_EQ(button.text(), QStringLiteral("Check Now"));
    NotificationCenter::defaultCenter().post(QStringLiteral("PHSWUStarted"), display->SWUController());
    EXPECT_EQ(button.text(), QStringLiteral("Cancel"));
    NotificationCenter::defaultCenter().post(QStringLiteral("PHSWUSomethingElse"), display->SWUController());
    EXPECT_EQ(button.text(), QStringLiteral("Cancel"));
    NotificationCenter::defaultCenter().post(QStringLiteral("PHSWUCancelled"), display->SWUController());
    EXPECT_EQ(button.text(), QStringLiteral("Check Now"));
}

TEST_F(UpdateDisplay, AMissingLayoutIsReportedAndStartsNothing) {
    display->setInterfacePath(QStringLiteral("/nonexistent/SWU.ui"));
    try {
        display->beginSWUCheck();
        FAIL() << "no failure raised";
    } catch (const PHException &e) {
        EXPECT_EQ(e.reason(),
                  QStringLiteral("Bundle 'SWU' could not be loaded. Software Update unavailable"));
    }
    EXPECT_TRUE(!display->SWUController() || !display->SWUController()->isChecking());
    EXPECT_EQ(button.text(), QStringLiteral("Check Now"));
    // The button's action is guarded: the failure is logged, the panel goes on,
    // and no check starts that nothing would show or end.
    for (int click = 0; click < 2; ++click) {
        QTest::mouseClick(&button, Qt::LeftButton);
        EXPECT_TRUE(!display->SWUController() || !display->SWUController()->isChecking());
        EXPECT_EQ(button.text(), QStringLiteral("Check Now"));
    }
    QTest::qWait(50);
    EXPECT_EQ(PHUpdateController::runningWorkers(), 0);
}

TEST_F(UpdateDisplay, OnlyTheFirstSelectionInTheProcessChecks) {
    server.setReply("/PHSVersions.php", {signedReply(versionReply(QStringLiteral("1.2"))).bytes, 0, 0, 0});
    PHUpdateController *controller = prepared();
    display->didSelect();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isChecking(); }, 5000));
    ASSERT_EQ(server.requests().size(), 1);
    // A panel loaded again in the same process does not check again.
    display = std::make_unique<PHUpdateDisplay>(widgets);
    display->setInterfacePath(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/SWU.ui"));
    prepared();
    display->didSelect();
    QTest::qWait(50);
    EXPECT_EQ(server.requests().size(), 1);
}

TEST_F(UpdateDisplay, TheLastCheckIsShownAndStoredOnce) {
    display->setClock([] { return QDateTime(QDate(2024, 6, 15), QTime(14, 0)); });
    display->setSecondsSinceCheck(0.0);
    EXPECT_EQ(lastCheck.text(), QStringLiteral("Last Check: never"));

    const double seconds = referenceSeconds(QDate(2024, 6, 15), QTime(8, 0));
    display->setSecondsSinceCheck(seconds);
    EXPECT_EQ(lastCheck.text(), QStringLiteral("Last Check: Today at 8:00 AM"));
    EXPECT_EQ(PHSettingsStore::instance()->doubleForKey(QStringLiteral("Last Version Check")), seconds);

    // The same value again leaves the settings file alone.
    const QString file = PHSettingsStore::storagePath(QStringLiteral("com.quillmere.porthold"));
    ASSERT_TRUE(QFile::exists(file));
    ASSERT_TRUE(QFile::remove(file));
    display->setSecondsSinceCheck(seconds);
    EXPECT_FALSE(QFile::exists(file));
    display->setSecondsSinceCheck(seconds + 60);
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_EQ(lastCheck.text(), QStringLiteral("Last Check: Today at 8:01 AM"));
}

} // namespace
