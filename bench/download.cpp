// phbench-download: the panel's update check offers a new version of SIZE
// bytes (signed, with its SHA-256) from an HTTPS server on the loopback, and
// the update panel downloads and saves it, as the user's "Download" does.
//
//   phbench-download SIZE [SHA256]          check, then download and save
//   phbench-download --idle SIZE [SHA256]   the same check and panel, no download
//
// SHA256 is the body's digest (SIZE bytes of 'x'); without it, it is worked
// out first.
// Exits non-zero when the file saved is not the one offered. The server is a
// thread of this process that sends the body from one 64 KiB buffer.

#include "common/TestApplication.h"
#include "common/TestModelContext.h"
#include "core/NotificationCenter.h"
#include "platform/PHAlertSheet.h"
#include "support/PHSettingsStore.h"
#include "update/PHUpdateController.h"
#include "update/TestHttpServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>

namespace {

/// The update tests' signing key, whose public half the test build trusts.
EVP_PKEY *signingKey() {
    FILE *file = std::fopen(PORTHOLD_SOURCE_DIR "/tests/update/keys/test-update-signing-key.pem", "r");
    EVP_PKEY *key = file ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
    if (file)
        std::fclose(file);
    return key;
}

QByteArray signature(const QByteArray &message) {
    QByteArray bytes(64, '\0');
    size_t length = size_t(bytes.size());
    EVP_PKEY *key = signingKey();
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    const bool made = key && context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
                      EVP_DigestSign(context, reinterpret_cast<unsigned char *>(bytes.data()), &length,
                                     reinterpret_cast<const unsigned char *>(message.constData()),
                                     size_t(message.size())) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return made ? bytes : QByteArray();
}

/// The SHA-256 of `size` bytes of the server's filler ('x'), in pieces.
QByteArray fillerDigest(qint64 size) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const QByteArray piece(64 * 1024, 'x');
    for (qint64 left = size; left > 0; left -= piece.size())
        hash.addData(QByteArrayView(piece).first(qsizetype(std::min<qint64>(left, piece.size()))));
    return hash.result().toHex();
}

} // namespace

int main(int argc, char **argv) {
    const bool idle = argc >= 2 && QByteArray(argv[1]) == "--idle";
    const int first = idle ? 2 : 1;
    const qint64 size = argc > first ? QByteArray(argv[first]).toLongLong() : 0;
    if (argc < first + 1 || argc > first + 2 || size <= 0) {
        std::fprintf(stderr, "usage: phbench-download [--idle] SIZE [SHA256]\n");
        return 2;
    }
    const QByteArray digest = argc == first + 2 ? QByteArray(argv[first + 1]) : fillerDigest(size);
    QTemporaryDir home;
    ::setenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()).constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testApplication("phbench-download");
    TestModelContext context;
    context.setInfo(QStringLiteral("CFBundleVersion"), QStringLiteral("1.2"));
    PHSettingsStore::instance()->setApplicationIdentifier(QStringLiteral("com.quillmere.porthold"));
    PHAlertSheet::setAnswerer([](const PHAlertSheet::Request &) { return int(PHAlertSheet::Default); });
    trustTestAuthority();

    TestHttpServer server;
    PHUpdateController controller;
    if (!controller.loadInterface(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/SWU.ui")) ||
        !controller.setUpdateServer(QString::fromLatin1(server.hostPort()))) {
        std::fprintf(stderr, "phbench-download: the update panel could not be set up\n");
        return 1;
    }
    controller.setNetworkTimeout(std::chrono::seconds(30));

    const QByteArray record = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                              "<plist version=\"1.0\"><dict>\n<key>Porthold</key><dict>\n"
                              "<key>current version</key><string>1.3</string>\n"
                              "<key>version byte size</key><integer>" +
                              QByteArray::number(size) + "</integer>\n<key>version sha256</key><string>" +
                              digest +
                              "</string>\n<key>download URL</key><string>"
                              "http://elsewhere.example/files/Porthold%201.3.tar.gz</string>\n</dict>\n"
                              "<key>QOTD</key><string></string>\n</dict></plist>\n";
    server.setReply(
        "/PHSVersions.php",
        TestHttpServer::ok(record, "Porthold-Signature: ed25519 " + signature(record).toBase64() + "\r\n"));
    bool ended = false;
    ObserverRegistration observer(QString(), &controller, [&](const Notification &note) {
        ended =
            ended || note.name == QLatin1String("PHSWUEnded") || note.name == QLatin1String("PHSWUCancelled");
    });
    controller.checkForNewVersion();
    if (!QTest::qWaitFor([&] { return ended; }, 30000) || !controller.updateSheet()->isVisible()) {
        std::fprintf(stderr, "phbench-download: the check did not offer the new version\n");
        return 1;
    }
    QCoreApplication::processEvents();
    if (idle)
        return 0;

    QTemporaryDir saveFolder;
    const QString target = QDir(saveFolder.path()).filePath(QStringLiteral("Porthold 1.3.tar.gz"));
    PHUpdateController::setSavePanelAnswerer(
        [&](const QString &, const QString &) { return std::make_pair(1, target); });
    server.setReply(
        "/files/Porthold%201.3.tar.gz",
        {"HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(size) + "\r\n\r\n", 0, 0, 0, size});
    PHAlertSheet::clearRecorded();
    controller.downloadNewVersion();
    const bool told = QTest::qWaitFor([] { return !PHAlertSheet::recorded().isEmpty(); }, 300000);
    const bool saved = told && QFileInfo(target).size() == size &&
                       PHAlertSheet::recorded().first().title == QLatin1String("New Version Saved");
    (void)QTest::qWaitFor([] { return PHUpdateController::runningWorkers() == 0; }, 10000);
    if (!saved) {
        std::fprintf(stderr, "phbench-download: the new version was not saved (%s)\n",
                     told ? qPrintable(PHAlertSheet::recorded().first().message) : "no answer");
        return 1;
    }
    return 0;
}
