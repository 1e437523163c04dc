#include "update/PHUpdateController.h"

#include "update/UpdateTestSupport.h"

#include <QAbstractButton>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

/// Stands in for the desktop: records the files it is asked to open.
class OpenRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

namespace {

QByteArray payload(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 253) & 0xff);
    return bytes;
}

class UpdateDownload : public UpdateFixture {
protected:
    void SetUp() override {
        UpdateFixture::SetUp();
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "open");
        PHSettingsStore::instance()->setObjectForKey(startFolder.path(), QStringLiteral("SU Default Folder"));
        target = QDir(saveFolder.path()).filePath(QStringLiteral("Porthold 1.3.tar.gz"));
        PHUpdateController::setSavePanelAnswerer([this](const QString &folder, const QString &name) {
            asked.append(folder + QStringLiteral(" | ") + name);
            return std::make_pair(saveAnswer, target);
        });
    }
    void TearDown() override {
        PHUpdateController::setSavePanelAnswerer({});
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        ASSERT_TRUE(QTest::qWaitFor([] { return PHUpdateController::runningWorkers() == 0; }, 5000));
    }

    /// A check that offers 1.3 of `size` bytes with the SHA-256 `sha256Hex`,
    /// at an address on another host.
    void offerNewVersion(qint64 size, const QByteArray &sha256Hex = QByteArray(64, 'a')) {
        server.setReply(
            "/PHSVersions.php",
            signedReply(versionReply(
                QStringLiteral("1.3"), {},
                "<key>version byte size</key><integer>" + QByteArray::number(size) +
                    "</integer>\n<key>version sha256</key><string>" + sha256Hex +
                    "</string>\n<key>download URL</key><string>"
                    "http://elsewhere.example/files/Porthold%201.3.tar.gz?from=panel#top</string>\n")));
        runCheck();
        ASSERT_TRUE(controller.updateSheet()->isVisible());
        PHAlertSheet::clearRecorded();
    }
    /// The same, for exactly this file.
    void offerNewVersion(const QByteArray &body) {
        offerNewVersion(body.size(), QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex());
    }
    QString storedFolder() const {
        return PHSettingsStore::instance()
            ->stringForKey(QStringLiteral("SU Default Folder"))
            .value_or(QString());
    }
    /// An earlier file where the new version is to be saved.
    void writePrevious() {
        QFile previous(target);
        ASSERT_TRUE(previous.open(QIODevice::WriteOnly));
        previous.write("previous contents");
    }
    bool previousIsIntact() const {
        QFile file(target);
        return file.open(QIODevice::ReadOnly) && file.readAll() == "previous contents";
    }
    /// Starts the download and waits until it has been handled on this side.
    void download() {
        const int before = int(server.requests().size());
        controller.downloadNewVersion();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return !recorder.opened.isEmpty() || !PHAlertSheet::recorded().isEmpty(); }, 10000));
        EXPECT_EQ(server.requests().size(), before + 1);
    }

    OpenRecorder recorder;
    QTemporaryDir startFolder;
    QTemporaryDir saveFolder;
    QString target;
    int saveAnswer = 1;
    QStringList asked;
};

TEST_F(UpdateDownload, SavesTheBodyWithProgressAndOpensNothingByItself) {
    const QByteArray body = payload(24000);
    offerNewVersion(body);
    server.setReply("/files/Porthold%201.3.tar.gz",
                    {TestHttpServer::ok(body, "Server: test\r\n").bytes, 1500, 5, 0});
    QSignalSpy progress(controller.suProgress(), &QProgressBar::valueChanged);
    download();

    EXPECT_TRUE(recorder.opened.isEmpty()) << "what was downloaded is not run";
    QFile saved(target);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_TRUE(saved.readAll() == body) << "the file holds the body only";
    EXPECT_EQ(controller.fileSaveName(), target);
    // The save panel started in the stored folder with the address's file name.
    EXPECT_EQ(asked, QStringList({startFolder.path() + QStringLiteral(" | Porthold 1.3.tar.gz")}));
    EXPECT_EQ(storedFolder(), saveFolder.path());
    // Always the update server, with the address's path as it stands.
    EXPECT_TRUE(server.requests().last().startsWith(
        "GET /files/Porthold%201.3.tar.gz HTTP/1.0\nHOST: " + server.hostPort() + "\n"));
    // The bar moved chunk by chunk and ended full.
    EXPECT_GE(progress.count(), 5);
    EXPECT_EQ(controller.suProgress()->maximum(), body.size());
    EXPECT_EQ(controller.suProgress()->value(), body.size());
    EXPECT_FALSE(controller.updateSheet()->isVisible());
    // Where it went is said, with a way to its folder.
    ASSERT_EQ(PHAlertSheet::recorded().size(), 1);
    const PHAlertSheet::Request told = PHAlertSheet::recorded().first();
    EXPECT_EQ(told.title, "New Version Saved");
    EXPECT_EQ(
        told.message,
        QStringLiteral("The new version of Porthold was saved as %1. It has not been opened.").arg(target));
    EXPECT_EQ(told.alternateButton, "Show in Folder");
    EXPECT_EQ(told.otherButton, "Open");
    EXPECT_TRUE(told.informational);
}

TEST_F(UpdateDownload, AFileThatIsNotTheSignedOneIsDeletedAndSaid) {
    const QByteArray body = payload(6000);
    offerNewVersion(body);
    writePrevious();
    // The same size, one byte changed.
    QByteArray other = body;
    other[5000] = char(other[5000] ^ 0x20);
    server.setReply("/files/Porthold%201.3.tar.gz", TestHttpServer::ok(other));
    download();

    const QList<PHAlertSheet::Request> sheets = PHAlertSheet::recorded();
    ASSERT_EQ(sheets.size(), 1);
    EXPECT_EQ(sheets.first().title, "The new version was not saved");
    EXPECT_TRUE(sheets.first().message.contains(
        QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex())))
        << qPrintable(sheets.first().message);
    EXPECT_TRUE(sheets.first().message.contains("so it was deleted"));
    // Nothing kept beside the earlier file, which is untouched, and nothing opened.
    EXPECT_EQ(QDir(saveFolder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({QStringLiteral("Porthold 1.3.tar.gz")}));
    EXPECT_TRUE(previousIsIntact());
    EXPECT_TRUE(recorder.opened.isEmpty());
}

TEST_F(UpdateDownload, OnlyADownloadTheSignedRecordDescribesIsOffered) {
    const auto downloadOffered = [&](const QByteArray &moreKeys) {
        server.setReply("/PHSVersions.php",
                        signedReply(versionReply(QStringLiteral("1.3"), {},
                                                 moreKeys + "<key>download URL</key><string>"
                                                            "https://x.example/files/P.tar.gz</string>\n")));
        controller.hideUpdateSheet();
        runCheck();
        auto *button =
            controller.updateSheet()->findChild<QAbstractButton *>(QStringLiteral("downloadButton"));
        return button && button->isEnabled();
    };
    const QByteArray size = "<key>version byte size</key><integer>10</integer>\n";
    const QByteArray hash = "<key>version sha256</key><string>" + QByteArray(64, 'b') + "</string>\n";
    EXPECT_TRUE(downloadOffered(size + hash));
    EXPECT_FALSE(downloadOffered(size)) << "no SHA-256";
    EXPECT_FALSE(downloadOffered(hash)) << "no size";
    EXPECT_FALSE(downloadOffered(size + "<key>version sha256</key><string>abc</string>\n"))
        << "not a SHA-256";
}

TEST_F(UpdateDownload, ShowInFolderAndOpenAreTheUsersChoice) {
    const QByteArray body = payload(3000);
    offerNewVersion(body);
    server.setReply("/files/Porthold%201.3.tar.gz", TestHttpServer::ok(body, "Server: test\r\n"));
    PHAlertSheet::setAnswerer([](const PHAlertSheet::Request &) { return int(PHAlertSheet::Alternate); });
    download();
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.opened.size() == 1; }, 5000));
    EXPECT_EQ(recorder.opened.last(), QUrl::fromLocalFile(saveFolder.path())) << "the folder, not the file";

    // "Open" opens the file, and only then.
    PHAlertSheet::clearRecorded();
    offerNewVersion(body);
    PHAlertSheet::setAnswerer([](const PHAlertSheet::Request &) { return int(PHAlertSheet::Other); });
    controller.downloadNewVersion();
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.opened.size() == 2; }, 10000));
    EXPECT_EQ(recorder.opened.last(), QUrl::fromLocalFile(target));

    // No program to open the file (and none for folders): both are said.
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    const QByteArray path = qgetenv("PATH");
    QTemporaryDir empty;
    qputenv("PATH", QFile::encodeName(empty.path()));
    for (const int answer : {int(PHAlertSheet::Other), int(PHAlertSheet::Alternate)}) {
        PHAlertSheet::clearRecorded();
        offerNewVersion(body);
        PHAlertSheet::setAnswerer([answer](const PHAlertSheet::Request &) { return answer; });
        controller.downloadNewVersion();
        EXPECT_TRUE(QTest::qWaitFor([&] { return PHAlertSheet::recorded().size() >= 2; }, 10000));
        ASSERT_GE(PHAlertSheet::recorded().size(), 2);
        EXPECT_EQ(PHAlertSheet::recorded().at(1).title, answer == PHAlertSheet::Other
                                                            ? "Could not open the new version"
                                                            : "Could not show the folder");
    }
    qputenv("PATH", path);
}

TEST_F(UpdateDownload, CancellingTheSavePanelStartsNothing) {
    offerNewVersion(100);
    saveAnswer = 0;
    const int before = int(server.requests().size());
    controller.downloadNewVersion();
    QTest::qWait(100);
    EXPECT_EQ(asked.size(), 1);
    EXPECT_EQ(server.requests().size(), before);
    EXPECT_EQ(storedFolder(), startFolder.path());
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_FALSE(controller.suProgress()->isVisible());
    EXPECT_TRUE(recorder.opened.isEmpty());
}

TEST_F(UpdateDownload, AFailedDownloadWritesAndOpensNothing) {
    const QByteArray body = payload(5000);
    offerNewVersion(body);
    writePrevious();
    const QString connectionSheet = QStringLiteral("Could not connect to server | ") + kConnectionText +
                                    QStringLiteral(" | version net access");

    // An error page.
    server.setReply("/files/Porthold%201.3.tar.gz",
                    {"HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nNot found"});
    download();
    EXPECT_EQ(takeSheet(), connectionSheet);
    EXPECT_TRUE(previousIsIntact());

    // A transfer cut short of the offered size.
    server.setReply("/files/Porthold%201.3.tar.gz", TestHttpServer::ok(body.left(4000)));
    download();
    EXPECT_EQ(takeSheet(), connectionSheet);
    EXPECT_TRUE(previousIsIntact());

    // A transfer cut short of what the server announced.
    server.setReply("/files/Porthold%201.3.tar.gz",
                    {"HTTP/1.0 200 OK\r\nContent-Length: 6000\r\n\r\n" + body});
    download();
    EXPECT_EQ(takeSheet(), connectionSheet);
    EXPECT_TRUE(previousIsIntact());

    EXPECT_TRUE(recorder.opened.isEmpty());
    // The update panel stays for another try, its progress bar hidden.
    EXPECT_TRUE(controller.updateSheet()->isVisible());
    EXPECT_FALSE(controller.suProgress()->isVisible());
}

// Peak resident memory of this process so far, in KiB.
long peakKilobytes() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

TEST_F(UpdateDownload, ABodyPastItsAdvertisedSizeIsDroppedAsItArrives) {
    const QString refusedSheet =
        QStringLiteral("The new version was not saved | The file the update server sent is not the one its "
                       "signed reply describes (the server sent more than the 1048576 bytes advertised), so "
                       "it was deleted. Try again later. | version refused");
    const long before = peakKilobytes();
    ASSERT_GT(before, 0);
    const auto nothingSaved = [&] {
        // Neither the file nor a temporary file beside it.
        return QDir(saveFolder.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
            .isEmpty();
    };

    // A server that never stops: the download ends at the advertised size.
    offerNewVersion(1 << 20);
    server.setReply("/files/Porthold%201.3.tar.gz", {"HTTP/1.0 200 OK\r\n\r\n", 0, 0, 0, -1});
    download();
    EXPECT_EQ(takeSheet(), refusedSheet);
    EXPECT_TRUE(nothingSaved());
    EXPECT_TRUE(recorder.opened.isEmpty());

    // A server that sends more than its own Content-Length, which agrees with
    // the version record: 64 MiB past the 1 MiB both advertise.
    server.setReply("/files/Porthold%201.3.tar.gz",
                    {"HTTP/1.0 200 OK\r\nContent-Length: 1048576\r\n\r\n", 0, 0, 0, (65 << 20)});
    download();
    EXPECT_EQ(takeSheet(), refusedSheet);
    EXPECT_TRUE(nothingSaved());
    EXPECT_TRUE(recorder.opened.isEmpty());

    // Both ended at the advertised size, not at what the server could send,
    // and memory stayed flat: well under the 64 MiB offered.
    EXPECT_LT(server.fillerSent(), qint64(40) << 20);
    EXPECT_LT(peakKilobytes() - before, 32 * 1024);
    // The panel is still there for another try.
    EXPECT_TRUE(controller.updateSheet()->isVisible());
    EXPECT_FALSE(controller.suProgress()->isVisible());
}

TEST_F(UpdateDownload, ADownloadThatCannotBeSavedSaysWhere) {
    const QByteArray body = payload(3000);
    offerNewVersion(body);
    server.setReply("/files/Porthold%201.3.tar.gz", TestHttpServer::ok(body));
    // The chosen folder is gone by the time the file arrives.
    target = QDir(saveFolder.path()).filePath(QStringLiteral("removed/Porthold 1.3.tar.gz"));
    download();
    const QString sheet = takeSheet();
    EXPECT_TRUE(sheet.startsWith(QStringLiteral("Could not save the new version | "))) << sheet.toStdString();
    EXPECT_TRUE(sheet.contains(target)) << sheet.toStdString();
    EXPECT_FALSE(sheet.contains(QStringLiteral("internet connection"))) << sheet.toStdString();
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_TRUE(recorder.opened.isEmpty());
    EXPECT_TRUE(controller.updateSheet()->isVisible());
    EXPECT_FALSE(controller.suProgress()->isVisible());
}

TEST(DownloadReply, OnlyACompleteSuccessHasABody) {
    QString why;
    const QByteArray longHeader = "HTTP/1.1 200 OK\r\nX-Long: " + QByteArray(2000, 'h') + "\r\n\r\n";
    EXPECT_EQ(PHUpdateController::downloadBody(longHeader + "data", 4, &why), QByteArray("data"));
    EXPECT_EQ(PHUpdateController::downloadBody(longHeader + "data", 0), QByteArray("data"));
    EXPECT_EQ(PHUpdateController::downloadBody("HTTP/1.0 200 OK\r\n\r\n", 0), QByteArray());

    EXPECT_FALSE(PHUpdateController::downloadBody("HTTP/1.0 500 Oops\r\n\r\ndata", 0, &why));
    EXPECT_EQ(why, QStringLiteral("server answered \"HTTP/1.0 500 Oops\""));
    EXPECT_FALSE(
        PHUpdateController::downloadBody("HTTP/1.0 200 OK\r\nX: " + QByteArray(70000, 'h') + "\r\n\r\nd", 0));
    EXPECT_FALSE(PHUpdateController::downloadBody("data without any header", 0));
    EXPECT_FALSE(PHUpdateController::downloadBody("HTTP/1.0 200 OK\r\nContent-Length: x\r\n\r\ndata", 0));
    EXPECT_FALSE(PHUpdateController::downloadBody("HTTP/1.0 200 OK\r\ncontent-length: 5\r\n\r\ndata", 0));
    EXPECT_EQ(PHUpdateController::downloadBody("HTTP/1.0 200 OK\r\ncontent-length: 4\r\n\r\ndata", 4),
              QByteArray("data"));
}

} // namespace

#include "update_download_test.moc"
