#pragma once

// Shared set-up of the update tests: an offscreen application, settings in a
// private folder, a panel context with a known product and version, and
// alert sheets answered "OK" and recorded, and the test authority trusted.

#include "common/TestApplication.h"
#include "common/TestPanelContext.h"
#include "platform/NotificationCenter.h"
#include "platform/PHAlertSheet.h"
#include "support/PHUserDefaults.h"
#include "update/PHSUController.h"
#include "update/TestHttpServer.h"

#include <QApplication>
#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

inline QApplication &updateTestApplication() {
    static QTemporaryDir *config = [] {
        auto *dir = new QTemporaryDir;
        setenv("XDG_CONFIG_HOME", dir->path().toLocal8Bit().constData(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return dir;
    }();
    (void)config;
    return testApplication("porthold-update-test");
}

/// Installs the context and the sheet answerer for one test.
class UpdateTestScope {
public:
    explicit UpdateTestScope(const QString &version = QStringLiteral("1.2")) {
        updateTestApplication();
        context.info.insert(QStringLiteral("CFBundleVersion"), version);
        PHUserDefaults::standardUserDefaults()->setApplicationIdentifier(
            QStringLiteral("com.quillmere.porthold"));
        PHAlertSheet::clearRecorded();
        PHAlertSheet::setAnswerer([](const PHAlertSheet::Request &) { return int(PHAlertSheet::Default); });
        trustTestAuthority();
    }
    ~UpdateTestScope() {
        PHAlertSheet::setAnswerer({});
        PHAlertSheet::clearRecorded();
        AbstractSocket::setTrustedAuthorities({});
    }
    TestPanelContext context;
};

inline const QString kConnectionText =
    QStringLiteral("Porthold encountered an error while checking for new versions. Please check your "
                   "internet connection or try "
                   "again later");

inline QByteArray xmlString(const QString &text) {
    return text.toHtmlEscaped().toUtf8();
}

/// A version reply: the product record (when `version` is not null) and the note.
inline QByteArray versionReply(const std::optional<QString> &version, const QString &quote = {},
                               const QByteArray &moreProductKeys = {}) {
    QByteArray body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\"><dict>\n";
    if (version) {
        body += "<key>Porthold</key><dict>\n";
        if (!version->isNull())
            body += "<key>current version</key><string>" + xmlString(*version) + "</string>\n";
        body += moreProductKeys + "</dict>\n";
    }
    body += "<key>QOTD</key><string>" + xmlString(quote) + "</string>\n</dict></plist>\n";
    return body;
}

class UpdateFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(controller.loadInterface(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/SWU.ui")));
        ASSERT_TRUE(controller.setUpdateServer(QString::fromLatin1(server.hostPort())));
        controller.setNetworkTimeout(std::chrono::seconds(5));
    }

    /// Runs one check to its end and answers the notifications it posted.
    QStringList runCheck() {
        QStringList seen;
        ObserverRegistration observer(QString(), &controller, [&](const Notification &note) {
            seen.append(note.name);
            if (note.name == QLatin1String("PHSWUUpdated"))
                updatedSeconds = note.userInfo.value(QStringLiteral("PHSWUSeconds")).toDouble();
        });
        controller.checkForNewVersion();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return seen.contains(QStringLiteral("PHSWUEnded")) ||
                       seen.contains(QStringLiteral("PHSWUCancelled"));
            },
            10000));
        QCoreApplication::processEvents(); // the sheet's own end
        return seen;
    }

    /// The one sheet shown since the last call, as "title | message | context".
    QString takeSheet() {
        const QList<PHAlertSheet::Request> sheets = PHAlertSheet::recorded();
        PHAlertSheet::clearRecorded();
        if (sheets.size() != 1)
            return QStringLiteral("%1 sheets").arg(sheets.size());
        EXPECT_EQ(sheets.first().defaultButton, QStringLiteral("OK"));
        EXPECT_TRUE(sheets.first().alternateButton.isEmpty());
        return sheets.first().title + " | " + sheets.first().message + " | " + sheets.first().context;
    }

    UpdateTestScope scope;
    TestHttpServer server;
    PHSUController controller;
    double updatedSeconds = 0;
};
