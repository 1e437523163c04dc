#include "update/PHUpdateController.h"

#include "core/NotificationCenter.h"
#include "model/PHListModel.h"
#include "update/PHUpdateSignature.h"
#include "update/UpdateTestSupport.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include <gtest/gtest.h>

namespace {

using UpdateCheck = UpdateFixture;

TEST_F(UpdateCheck, SendsTheRequestByteForByte) {
    server.setReply("/PHSVersions.php", signedReply(versionReply(QStringLiteral("1.2"))));
    runCheck();
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests().first(),
              "GET /PHSVersions.php HTTP/1.0\nHOST: " + server.hostPort() + "\nUser-Agent: Porthold/1.2\n\n");
}

TEST_F(UpdateCheck, DecidesByVersionOrder) {
    const double before = QDateTime::currentMSecsSinceEpoch() / 1000.0 - 978307200;
    server.setReply("/PHSVersions.php",
                    signedReply(versionReply(QStringLiteral("1.2"), QStringLiteral("Be well"))));
    EXPECT_EQ(runCheck(), QStringList({"PHSWUStarted", "PHSWUEnded", "PHSWUUpdated"}));
    EXPECT_TRUE(PHAlertSheet::recorded().size() == 1 && PHAlertSheet::recorded().first().informational)
        << "being up to date is news, not a warning";
    EXPECT_EQ(takeSheet(),
              QStringLiteral("Up to Date | This version of Porthold is up to date.\n\nPHS Notes: Be well"
                             "\n\n(PHS Notes are news from Quillmere Software, the maker of "
                             "Porthold.) | up to date"));
    EXPECT_GE(updatedSeconds, before);
    EXPECT_LT(updatedSeconds, before + 60);
    EXPECT_FALSE(controller.updateSheet()->isVisible());

    // A pre-release of the running version is older than it.
    server.setReply("/PHSVersions.php", signedReply(versionReply(QStringLiteral("1.2b1"))));
    runCheck();
    EXPECT_EQ(takeSheet(),
              QStringLiteral("Up to Date | This version of Porthold is up to date. | up to date"));

    for (const QString &offered : {QStringLiteral("1.2.1"), QStringLiteral("1.3")}) {
        controller.hideUpdateSheet();
        server.setReply("/PHSVersions.php", signedReply(versionReply(offered)));
        runCheck();
        EXPECT_EQ(takeSheet(), QStringLiteral("0 sheets")) << offered.toStdString();
        EXPECT_TRUE(controller.updateSheet()->isVisible()) << offered.toStdString();
        EXPECT_EQ(controller.ds()->objectAtRowColumn(0, QStringLiteral("current version")).toString(),
                  offered);
    }
}

TEST_F(UpdateCheck, ANewerVersionFillsTheUpdatePanel) {
    server.setReply(
        "/PHSVersions.php",
        signedReply(versionReply(
            QStringLiteral("1.3"), QStringLiteral("Spring is here"),
            "<key>version byte size</key><integer>123456</integer>\n"
            "<key>release notes</key><string>Faster &amp; smaller.</string>\n"
            "<key>info page</key><string>http://www.quillmere.com/porthold/</string>\n"
            "<key>download URL</key><string>http://www.quillmere.com/files/Porthold-1.3.tar.gz</string>\n")));
    runCheck();
    EXPECT_EQ(takeSheet(), QStringLiteral("0 sheets"));
    ASSERT_TRUE(controller.updateSheet()->isVisible());
    EXPECT_EQ(controller.releaseNotes()->toPlainText(), QStringLiteral("Faster & smaller."));
    EXPECT_EQ(controller.phsNotes()->text(), QStringLiteral("Spring is here"));
    EXPECT_EQ(controller.infoURL(), QUrl(QStringLiteral("http://www.quillmere.com/porthold/")));
    EXPECT_EQ(controller.downloadURL(),
              QUrl(QStringLiteral("http://www.quillmere.com/files/Porthold-1.3.tar.gz")));
    EXPECT_EQ(controller.suProgress()->minimum(), 0);
    EXPECT_EQ(controller.suProgress()->maximum(), 123456);
    EXPECT_FALSE(controller.suProgress()->isVisible());
    // The table shows the product record as its one row, by the layout's columns.
    QAbstractItemModel *model = controller.newVersion()->model();
    ASSERT_NE(model, nullptr);
    ASSERT_EQ(model->rowCount(), 1);
    EXPECT_EQ(model->index(0, 0).data().toString(), QStringLiteral("1.3"));
    EXPECT_EQ(model->index(0, 1).data().toString(), QStringLiteral("123456"));
    // And the view shows that row (it had counted none before the offer).
    EXPECT_EQ(controller.newVersion()->verticalHeader()->count(), 1);
    EXPECT_FALSE(controller.newVersion()->visualRect(model->index(0, 0)).isEmpty());
}

/// Stands in for the browser: records the addresses it is asked to open.
class BrowserRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

TEST_F(UpdateCheck, TheInfoPageIsFollowedOnlyWhenHttps) {
    BrowserRecorder browser;
    const QStringList schemes{"http", "https", "file", "ftp", "javascript"};
    for (const QString &scheme : schemes)
        QDesktopServices::setUrlHandler(scheme, &browser, "open");
    for (const QString &page :
         {QStringLiteral("http://www.quillmere.com/porthold/"), QStringLiteral("file:///etc/passwd"),
          QStringLiteral("ftp://example.test/x"), QStringLiteral("https:relative"),
          QStringLiteral("https://www.quillmere.com/porthold/")}) {
        server.setReply("/PHSVersions.php", signedReply(versionReply(QStringLiteral("1.3"), {},
                                                                     "<key>info page</key><string>" +
                                                                         xmlString(page) + "</string>\n")));
        runCheck();
        auto *info = controller.updateSheet()->findChild<QAbstractButton *>(QStringLiteral("infoButton"));
        ASSERT_NE(info, nullptr);
        const bool secure = page.startsWith(QStringLiteral("https://"));
        EXPECT_EQ(info->isEnabled(), secure) << page.toStdString();
        controller.viewInfoPage();
        EXPECT_EQ(browser.opened, secure ? QList<QUrl>{QUrl(page)} : QList<QUrl>{}) << page.toStdString();
        browser.opened.clear();
    }
    for (const QString &scheme : schemes)
        QDesktopServices::unsetUrlHandler(scheme);
}

TEST_F(UpdateCheck, APackagedCopyIsUpdatedByThePackageManager) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString listPath = folder.filePath(QStringLiteral("porthold.list"));
    QFile list(listPath);
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write("/.\n/usr\n" + QFile::encodeName(QCoreApplication::applicationFilePath()) + "\n");
    list.close();
    const auto offer = [&](const char *file) {
        server.setReply("/PHSVersions.php",
                        signedReply(versionReply(QStringLiteral("1.3"), {},
                                                 QByteArray("<key>version byte size</key><integer>9"
                                                            "</integer><key>version sha256</key><string>") +
                                                     QByteArray(64, 'c') +
                                                     "</string><key>download URL</key><string>https://"
                                                     "www.quillmere.com/files/" +
                                                     file + "</string>\n")));
        runCheck();
        auto *button =
            controller.updateSheet()->findChild<QAbstractButton *>(QStringLiteral("downloadButton"));
        auto *headline = controller.updateSheet()->findChild<QLabel *>(QStringLiteral("headline"));
        return std::pair(button && button->isEnabled(), headline ? headline->text() : QString());
    };

    // Not from the package: any file is offered, nothing about the package said.
    EXPECT_FALSE(PHUpdateController::installedFromPackage());
    auto [enabled, text] = offer("Porthold-1.3.tar.gz");
    EXPECT_TRUE(enabled);
    EXPECT_FALSE(text.contains(QStringLiteral("package manager")));

    PHUpdateController::setPackageFileListForTesting(listPath);
    EXPECT_TRUE(PHUpdateController::installedFromPackage());
    std::tie(enabled, text) = offer("Porthold-1.3.tar.gz");
    EXPECT_FALSE(enabled) << "only the package itself is offered";
    EXPECT_TRUE(text.contains(QStringLiteral("updates come through the package manager")))
        << qPrintable(text);
    std::tie(enabled, text) = offer("porthold_1.3_amd64.deb");
    EXPECT_TRUE(enabled);
    PHUpdateController::setPackageFileListForTesting({});
    EXPECT_FALSE(PHUpdateController::installedFromPackage());
}

TEST_F(UpdateCheck, RepliesThatSayNothingUsable) {
    server.setReply("/PHSVersions.php", signedReply(versionReply(std::nullopt)));
    runCheck();
    EXPECT_EQ(takeSheet(),
              QStringLiteral("Product Not Found | This application is not currently listed in Quillmere "
                             "Software's version checking system. Please contact the author for more "
                             "information | product not found"));

    // No offered version, or one that does not parse, is nothing newer.
    server.setReply("/PHSVersions.php", signedReply(versionReply(QString())));
    runCheck();
    EXPECT_EQ(takeSheet(),
              QStringLiteral("Up to Date | This version of Porthold is up to date. | up to date"));
    server.setReply("/PHSVersions.php", signedReply(versionReply(QStringLiteral("2.0-beta"))));
    runCheck();
    EXPECT_EQ(takeSheet(),
              QStringLiteral("Up to Date | This version of Porthold is up to date. | up to date"));

    // A header block that ends after byte 511 stays in front of the body.
    server.setReply("/PHSVersions.php", signedReply(versionReply(QStringLiteral("1.3")),
                                                    "X-Padding: " + QByteArray(520, 'p') + "\r\n"));
    runCheck();
    EXPECT_EQ(takeSheet(), QStringLiteral("Could not connect to server | ") + kConnectionText +
                               QStringLiteral(" | version net access"));

    // A body that is not UTF-8 is no reply.
    QByteArray latin1 = versionReply(QStringLiteral("1.3"), QStringLiteral("caf"));
    latin1.replace("caf<", "caf\xE9<");
    server.setReply("/PHSVersions.php", signedReply(latin1));
    runCheck();
    EXPECT_EQ(takeSheet(), QStringLiteral("Could not connect to server | ") + kConnectionText +
                               QStringLiteral(" | version net access"));
    EXPECT_FALSE(controller.updateSheet()->isVisible());
}

TEST_F(UpdateCheck, OnlyRepliesSignedWithTheMakersKeyAreRead) {
    const QString connectionSheet = QStringLiteral("Could not connect to server | ") + kConnectionText +
                                    QStringLiteral(" | version net access");
    const QByteArray offer = versionReply(QStringLiteral("9.9"));
    const auto refused = [&](const TestHttpServer::Reply &reply, const char *what) {
        controller.hideUpdateSheet();
        server.setReply("/PHSVersions.php", reply);
        runCheck();
        EXPECT_EQ(takeSheet(), connectionSheet) << what;
        EXPECT_FALSE(controller.updateSheet()->isVisible()) << what;
        EXPECT_EQ(controller.ds()->numberOfRows(), 0) << what << ": nothing of the reply was taken";
    };

    refused(TestHttpServer::ok(offer), "unsigned");
    refused(signedReply(offer, {}, strangerSigningKey()), "signed by another key");
    // The maker's signature, but over another body.
    refused(TestHttpServer::ok(offer, signatureHeader(versionReply(QStringLiteral("1.0")))),
            "signature of another body");
    // A body longer than what was signed: a record appended after the signature.
    QByteArray longer = offer;
    longer.insert(longer.indexOf("<key>QOTD"), "<key>Porthold</key><dict><key>current version</key>"
                                               "<string>9.9</string></dict>\n");
    refused(TestHttpServer::ok(longer, signatureHeader(offer)), "longer than signed");
    refused(TestHttpServer::ok(offer + " ", signatureHeader(offer)), "one byte past the signed body");
    // Two signatures, one of them good: neither is taken.
    refused(TestHttpServer::ok(offer, signatureHeader(offer, strangerSigningKey()) + signatureHeader(offer)),
            "two signatures");
    // Signatures that are not Ed25519 signatures at all.
    refused(TestHttpServer::ok(offer, "Porthold-Signature: rsa " +
                                          ed25519Signature(testSigningKey(), offer).toBase64() + "\r\n"),
            "another algorithm");
    refused(TestHttpServer::ok(offer, "Porthold-Signature: ed25519 !!notbase64!!\r\n"), "not base64");
    refused(TestHttpServer::ok(offer, "Porthold-Signature: ed25519 " +
                                          ed25519Signature(testSigningKey(), offer).left(63).toBase64() +
                                          "\r\n"),
            "a short signature");
    // Not the signature field as HTTP spells it: white space before the
    // colon, or a line that continues the field above it.
    const QByteArray good = signatureHeader(offer);
    refused(TestHttpServer::ok(offer, QByteArray(good).replace(":", " :")), "space before the colon");
    refused(TestHttpServer::ok(offer, "X-Other: header\r\n " + good), "a continued field");

    // The maker's signature over exactly the body: the offer is shown.
    server.setReply("/PHSVersions.php", signedReply(offer, "X-Other: header\r\n"));
    runCheck();
    EXPECT_EQ(takeSheet(), QStringLiteral("0 sheets"));
    EXPECT_TRUE(controller.updateSheet()->isVisible());
    EXPECT_EQ(controller.ds()->objectAtRowColumn(0, QStringLiteral("current version")).toString(), "9.9");
}

TEST(UpdateSignature, ChecksEd25519AgainstTheKeyGiven) {
    const QByteArray message = "any bytes\r\n\r\nat all\0";
    const QByteArray signature = ed25519Signature(testSigningKey(), message);
    const QByteArray key = PHUpdateSignature::trustedKey();
    ASSERT_EQ(key.size(), 32);
    EXPECT_TRUE(PHUpdateSignature::verify(message, signature, key));
    QByteArray flipped = signature;
    flipped[10] = char(flipped[10] ^ 1);
    EXPECT_FALSE(PHUpdateSignature::verify(message, flipped, key));
    EXPECT_FALSE(PHUpdateSignature::verify(message + "x", signature, key));
    EXPECT_FALSE(PHUpdateSignature::verify(message, signature, key.left(31)));
    EXPECT_FALSE(PHUpdateSignature::verify(message, signature.left(63), key));
    EXPECT_FALSE(PHUpdateSignature::verify(message, signature, QByteArray(32, '\0')));

    EXPECT_EQ(PHUpdateSignature::sha256FromHex(QString(64, u'A')), QByteArray(32, '\xAA'));
    EXPECT_FALSE(PHUpdateSignature::sha256FromHex(QString(63, u'a')));
    EXPECT_FALSE(PHUpdateSignature::sha256FromHex(QString(62, u'a') + QStringLiteral("g0")));
}

TEST_F(UpdateCheck, ConnectionFailuresAndTheRememberedLookupError) {
    ASSERT_TRUE(controller.setUpdateServer(QStringLiteral("127.0.0.1:%1").arg(TestHttpServer::closedPort())));
    runCheck();
    EXPECT_EQ(takeSheet(), QStringLiteral("Could not connect to server | ") + kConnectionText +
                               QStringLiteral(" | version net access"));

    ASSERT_TRUE(controller.setUpdateServer(QStringLiteral("porthold-test.invalid")));
    EXPECT_EQ(controller.updateServer(), QStringLiteral("porthold-test.invalid"));
    runCheck();
    const QString lookupText =
        QStringLiteral("Could not connect to server | ") + kConnectionText +
        QStringLiteral(".\n\n'porthold-test.invalid' could not be found | version net access");
    EXPECT_EQ(takeSheet(), lookupText);

    // The text of the failed lookup stays for later failures of any kind.
    ASSERT_TRUE(controller.setUpdateServer(QStringLiteral("127.0.0.1:%1").arg(TestHttpServer::closedPort())));
    runCheck();
    EXPECT_EQ(takeSheet(), lookupText);
}

TEST_F(UpdateCheck, AServerThatCannotProveItsNameIsNotAsked) {
    const QString start = QStringLiteral("Could not connect to server | ") + kConnectionText +
                          QStringLiteral(".\n\nNo secure connection to '127.0.0.1' could be made: ");
    const auto check = [&](TestHttpServer::Transport transport) {
        TestHttpServer impostor(transport);
        impostor.setReply("/PHSVersions.php", signedReply(versionReply(QStringLiteral("9.9"))));
        EXPECT_TRUE(controller.setUpdateServer(QString::fromLatin1(impostor.hostPort())));
        runCheck();
        EXPECT_TRUE(impostor.requests().isEmpty() || !impostor.requests().first().contains("GET "));
        return takeSheet();
    };
    for (const auto &[transport, reason] :
         {std::pair(TestHttpServer::Transport::WrongName, "host name did not match"),
          std::pair(TestHttpServer::Transport::Expired, "certificate has expired"),
          std::pair(TestHttpServer::Transport::UnknownAuthority, "self-signed, and untrusted"),
          std::pair(TestHttpServer::Transport::Plain, "the server did not answer in TLS")}) {
        const QString sheet = check(transport);
        EXPECT_TRUE(sheet.startsWith(start) && sheet.contains(QLatin1String(reason)) &&
                    sheet.endsWith(QStringLiteral(" | version net access")))
            << qPrintable(sheet);
    }
    EXPECT_FALSE(controller.updateSheet()->isVisible()) << "nothing an impostor says is offered";
}

TEST_F(UpdateCheck, CancellingEndsTheCheckWithoutASheet) {
    server.setReply("/PHSVersions.php", {signedReply(versionReply(QStringLiteral("1.3"))).bytes, 0, 0, 5000});
    QStringList seen;
    ObserverRegistration observer(QString(), &controller,
                                  [&](const Notification &note) { seen.append(note.name); });
    controller.checkForNewVersion();
    EXPECT_TRUE(controller.isChecking());
    ASSERT_TRUE(server.requests().isEmpty()
                    ? QTest::qWaitFor([&] { return !server.requests().isEmpty(); }, 5000)
                    : true);
    const auto started = std::chrono::steady_clock::now();
    controller.cancelCheck();
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.contains(QStringLiteral("PHSWUCancelled")); }, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(seen, QStringList({"PHSWUStarted", "PHSWUCancelled"}));
    EXPECT_FALSE(controller.isChecking());
    QTest::qWait(50);
    EXPECT_TRUE(PHAlertSheet::recorded().isEmpty());
}

TEST_F(UpdateCheck, AResultForAControllerThatIsGoneIsDropped) {
    server.setReply("/PHSVersions.php", {signedReply(versionReply(QStringLiteral("1.3"))).bytes, 0, 0, 200});
    {
        PHUpdateController shortLived;
        ASSERT_TRUE(shortLived.setUpdateServer(QString::fromLatin1(server.hostPort())));
        shortLived.checkForNewVersion();
    }
    ASSERT_TRUE(QTest::qWaitFor([] { return PHUpdateController::runningWorkers() == 0; }, 5000));
    QTest::qWait(50);
    EXPECT_TRUE(PHAlertSheet::recorded().isEmpty());
}

TEST(UpdateServerName, AcceptsHostAndOptionalPort) {
    UpdateTestScope scope;
    PHUpdateController controller;
    EXPECT_EQ(controller.updateServer(), QStringLiteral("updates.quillmere.com"));
    EXPECT_TRUE(controller.setUpdateServer(QStringLiteral("example.test:8080")));
    EXPECT_EQ(controller.updateServer(), QStringLiteral("example.test:8080"));
    EXPECT_TRUE(controller.setUpdateServer(QStringLiteral("example.test:443")));
    EXPECT_EQ(controller.updateServer(), QStringLiteral("example.test"));
    for (const QString &bad : {QStringLiteral(""), QStringLiteral("host:0"), QStringLiteral("host:70000"),
                               QStringLiteral("host:x"), QStringLiteral("a b"),
                               QStringLiteral("evil\r\nX: 1"), QStringLiteral(":80")})
        EXPECT_FALSE(controller.setUpdateServer(bad)) << bad.toStdString();
    EXPECT_EQ(controller.updateServer(), QStringLiteral("example.test"));

    qputenv("PORTHOLD_UPDATE_SERVER", "127.0.0.1:8123");
    EXPECT_EQ(PHUpdateController().updateServer(), QStringLiteral("127.0.0.1:8123"));
    qputenv("PORTHOLD_UPDATE_SERVER", "bad host");
    EXPECT_EQ(PHUpdateController().updateServer(), QStringLiteral("updates.quillmere.com"));
    qunsetenv("PORTHOLD_UPDATE_SERVER");
}

TEST(UpdatePanelLayout, IsCheckedWhenTakenAndBuiltOnlyWhenNeeded) {
    updateTestApplication();
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    QFile shipped(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/SWU.ui"));
    ASSERT_TRUE(shipped.open(QIODevice::ReadOnly));
    const QString layout = QString::fromUtf8(shipped.readAll());
    const auto write = [&](const char *name, const QString &text) {
        QFile file(folder.filePath(QLatin1String(name)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
        return file.fileName();
    };
    QString wrongKind = layout;
    wrongKind.replace(QStringLiteral("class=\"QProgressBar\""), QStringLiteral("class=\"QSlider\""));
    QString noPart = layout;
    noPart.replace(QStringLiteral("name=\"phsNotes\""), QStringLiteral("name=\"notes\""));
    // Not a layout, cut short, a part missing or of the wrong kind: refused
    // when taken, as a layout that cannot be built was.
    for (const QString &path :
         {write("empty.ui", QString()), write("text.ui", QStringLiteral("not a layout")),
          write("other.ui", QStringLiteral("<plist><dict/></plist>")),
          write("short.ui", layout.left(layout.size() / 2)), write("kind.ui", wrongKind),
          write("part.ui", noPart)}) {
        PHUpdateController controller;
        EXPECT_FALSE(controller.loadInterface(path)) << path.toStdString();
        EXPECT_EQ(controller.updateSheet(), nullptr) << path.toStdString();
    }
    // The shipped layout is taken; its panel is built at the first question,
    // once, with its parts connected and the progress bar hidden.
    PHUpdateController controller;
    const qsizetype widgets = QApplication::allWidgets().size();
    ASSERT_TRUE(controller.loadInterface(write("SWU.ui", layout)));
    EXPECT_EQ(QApplication::allWidgets().size(), widgets);
    QWidget *sheet = controller.updateSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(controller.updateSheet(), sheet);
    ASSERT_NE(controller.newVersion(), nullptr);
    EXPECT_NE(controller.newVersion()->model(), nullptr);
    ASSERT_NE(controller.suProgress(), nullptr);
    EXPECT_TRUE(controller.suProgress()->isHidden());
}

} // namespace

#include "update_check_test.moc"
