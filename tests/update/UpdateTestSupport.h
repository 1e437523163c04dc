#pragma once

// Shared set-up of the update tests: an offscreen application, settings in a
// private folder, a model context with a known product and version, and
// alert sheets answered "OK" and recorded, and the test authority trusted.

#include "common/TestApplication.h"
#include "common/TestModelContext.h"
#include "core/NotificationCenter.h"
#include "platform/PHAlertSheet.h"
#include "support/PHSettingsStore.h"
#include "update/PHUpdateController.h"
#include "update/TestHttpServer.h"

#include <QApplication>
#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include <openssl/evp.h>
#include <openssl/pem.h>

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
        context.setInfo(QStringLiteral("CFBundleVersion"), version);
        PHSettingsStore::instance()->setApplicationIdentifier(QStringLiteral("com.quillmere.porthold"));
        PHAlertSheet::clearRecorded();
        PHAlertSheet::setAnswerer([](const PHAlertSheet::Request &) { return int(PHAlertSheet::Default); });
        trustTestAuthority();
    }
    ~UpdateTestScope() {
        PHAlertSheet::setAnswerer({});
        PHAlertSheet::clearRecorded();
        AbstractSocket::setTrustedAuthorities({});
    }
    TestModelContext context;
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

/// The tests' update signing key, whose public half the update tests trust.
inline EVP_PKEY *testSigningKey() {
    static EVP_PKEY *key = [] {
        FILE *file = std::fopen(PORTHOLD_SOURCE_DIR "/tests/update/keys/test-update-signing-key.pem", "r");
        EVP_PKEY *read = file ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
        if (file)
            std::fclose(file);
        return read;
    }();
    return key;
}

/// A key nobody trusts.
inline EVP_PKEY *strangerSigningKey() {
    static EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    return key;
}

inline QByteArray ed25519Signature(EVP_PKEY *key, const QByteArray &message) {
    QByteArray signature(64, '\0');
    size_t length = static_cast<size_t>(signature.size());
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    const bool signedIt =
        key && context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestSign(context, reinterpret_cast<unsigned char *>(signature.data()), &length,
                       reinterpret_cast<const unsigned char *>(message.constData()),
                       static_cast<size_t>(message.size())) == 1;
    EVP_MD_CTX_free(context);
    if (!signedIt)
        ADD_FAILURE() << "could not sign with the test key";
    return signature;
}

inline QByteArray signatureHeader(const QByteArray &body, EVP_PKEY *key = testSigningKey()) {
    return "Porthold-Signature: ed25519 " + ed25519Signature(key, body).toBase64() + "\r\n";
}

/// A 200 reply whose body is signed as the maker's server signs it.
inline TestHttpServer::Reply signedReply(const QByteArray &body, const QByteArray &extraHeaders = {},
                                         EVP_PKEY *key = testSigningKey()) {
    return TestHttpServer::ok(body, signatureHeader(body, key) + extraHeaders);
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
    PHUpdateController controller;
    double updatedSeconds = 0;
};
