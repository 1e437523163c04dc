// Finding the server's configuration and logs, and repairing the configuration.

#include "server/PHApacheController.h"

#include "ServerTestSupport.h"
#include "common/TestPanelContext.h"
#include "platform/Log.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHMessageLine.h"
#include "support/PHTextFile.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class ApacheConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        servertest::application();
        ASSERT_TRUE(dir.isValid());
        servertest::freshDefaults(dir.filePath("config"));
        // Temporary copies of repairs land here, so a test can see none is left.
        QDir().mkpath(dir.filePath("tmp"));
        qputenv("TMPDIR", QFile::encodeName(dir.filePath("tmp")));
    }
    void TearDown() override { PHConfParser::waitForAllParses(); }

    /// Runs discovery's parses until the controller lists at least `count` logs.
    static bool logsFound(const PHApacheController &controller, qsizetype count) {
        return servertest::waitFor([&] {
            PHConfParser::waitForAllParses();
            QCoreApplication::processEvents();
            PHConfParser::waitForAllParses();
            QCoreApplication::processEvents();
            return controller.logs().size() >= count;
        });
    }

    /// A stand-in tool that leaves `marker` when it runs, and a server
    /// configuration that ignores access files: a repair has work to do.
    void prepareRepair(const QString &marker) {
        const QString bundle = dir.filePath("Porthold.panel");
        servertest::writeFile(bundle + "/Sentrel",
                              QStringLiteral("#!/bin/sh\ntouch '%1'\n").arg(marker).toUtf8());
        QFile::setPermissions(bundle + "/Sentrel", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        context.bundle = bundle;
        const QString conf = dir.filePath("conf");
        servertest::writeFile(conf + "/httpd.conf", "<Directory />\nAllowOverride None\n</Directory>\n");
        PHUserDefaults *defaults = PHUserDefaults::standardUserDefaults();
        defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
        defaults->setObjectForKey(conf, QStringLiteral("Apache Conf Directory"));
    }

    /// Runs the rewrite over bytes; the written bytes and whether a line changed.
    std::pair<QByteArray, bool> rewrite(PHApacheController &controller, const QByteArray &input,
                                        qint32 *error = nullptr) {
        const QString path = dir.filePath("rewrite.conf");
        servertest::writeFile(path, input);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        const bool changed = controller.grepFileWriteTo(path, out, error);
        return {out.data(), changed};
    }

    QTemporaryDir dir;
    TestPanelContext context; // no bundle: no tab and no tool
};

TEST_F(ApacheConfigTest, RepairRulesRewriteOnlyDocumentRootBlocks) {
    PHApacheController controller(nullptr);
    const QByteArray input = "AllowOverride None\n"
                             "<Directory \"/var/www/html\">\n"
                             "    AllowOverride None   # keep this comment\n"
                             "</Directory>\n"
                             "AllowOverride None\n"
                             "<Directory />\n"
                             "\tAllowOverride   None\n"
                             "</Directory>\n"
                             "<Directory /usr/share/doc>\n"
                             "    allowoverride none\n"
                             "    AllowOverride None\n"
                             "</Directory>\n"
                             "<Directory \"/usr/share/doc\">\n"
                             "    AllowOverride None\n"
                             "</Directory>\n"
                             "<Directory \"/home/user1/public_html/\">\n"
                             "    AllowOverride None\n"
                             "</Directory>\n"
                             "<Directory \"/home/user1/public_html\">\n"
                             "    AllowOverride None\n"
                             "</Directory>\n"
                             "<Directory \"/home/user1/www\">\n"
                             "    AllowOverride None\n"
                             "</Directory>";
    const QByteArray expected = "AllowOverride None\n"
                                "<Directory \"/var/www/html\">\n"
                                "    AllowOverride All   # keep this comment\n"
                                "</Directory>\n"
                                "AllowOverride None\n"
                                "<Directory />\n"
                                "\tAllowOverride All\n"
                                "</Directory>\n"
                                "<Directory /usr/share/doc>\n"
                                "    allowoverride none\n"
                                "    AllowOverride All\n"
                                "</Directory>\n"
                                "<Directory \"/usr/share/doc\">\n"
                                "    AllowOverride None\n"
                                "</Directory>\n"
                                "<Directory \"/home/user1/public_html/\">\n"
                                "    AllowOverride All\n"
                                "</Directory>\n"
                                "<Directory \"/home/user1/public_html\">\n"
                                "    AllowOverride All\n"
                                "</Directory>\n"
                                "<Directory \"/home/user1/www\">\n"
                                "    AllowOverride None\n"
                                "</Directory>\n"; // a file without a final line feed gains one
    const auto [output, changed] = rewrite(controller, input);
    EXPECT_EQ(output.toStdString(), expected.toStdString());
    EXPECT_TRUE(changed);

    const auto [same, unchanged] =
        rewrite(controller, "<Directory \"/srv\">\nAllowOverride None\n</Directory>");
    EXPECT_FALSE(unchanged);
}

TEST_F(ApacheConfigTest, RewriteKeepsLineEndsAndGrowsTheFinalLine) {
    PHApacheController controller(nullptr);
    const auto [crlf, changed] =
        rewrite(controller, "<Directory />\r\n  AllowOverride None\r\n</Directory>\r\n");
    EXPECT_TRUE(changed);
    EXPECT_EQ(crlf.toStdString(), "<Directory />\r\n  AllowOverride All\r\n</Directory>\r\n\n");

    // Every pass adds one more empty line at the end.
    const auto [once, c1] = rewrite(controller, "ServerName x\n");
    EXPECT_EQ(once, "ServerName x\n\n");
    const auto [twice, c2] = rewrite(controller, once);
    EXPECT_EQ(twice, "ServerName x\n\n\n");
}

TEST_F(ApacheConfigTest, RewriteKeepsTheFilesEncoding) {
    PHApacheController controller(nullptr);
    // Latin-1: the unchanged comment keeps its byte, not a UTF-8 pair.
    const QByteArray latin1 =
        "# Serveur de d\xe9veloppement pour l'\xe9quipe\n<Directory />\nAllowOverride None\n</Directory>";
    const auto [latinOut, c1] = rewrite(controller, latin1);
    EXPECT_EQ(latinOut.toStdString(), QByteArray("# Serveur de d\xe9veloppement pour l'\xe9quipe\n<Directory "
                                                 "/>\nAllowOverride All\n</Directory>\n")
                                          .toStdString());

    // UTF-16 with a byte-order mark stays UTF-16, mark included.
    const QString text =
        QStringLiteral("# caf\u00e9\n<Directory \"/var/www/html\">\nAllowOverride None\n</Directory>\n");
    QByteArray utf16("\xff\xfe", 2);
    utf16.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    const auto [utf16Out, c2] = rewrite(controller, utf16);
    ASSERT_TRUE(c2);
    const PHTextFile decoded = PHTextFile::decode(utf16Out);
    ASSERT_TRUE(decoded.ok());
    EXPECT_TRUE(decoded.byteOrderMark);
    EXPECT_EQ(decoded.text, QString(text).replace("None", "All") + QStringLiteral("\n"));
}

TEST_F(ApacheConfigTest, UndecodableOrUnwritableConfigurationIsNeverInstalled) {
    PHApacheController controller(nullptr);
    const QString binary = dir.filePath("binary.conf");
    servertest::writeFile(binary, QByteArray("ServerRoot /x\n\0\0\x01\x02 binary", 25));

    QBuffer out;
    out.open(QIODevice::WriteOnly);
    qint32 error = -1;
    EXPECT_FALSE(controller.grepFileWriteTo(binary, out, &error));
    EXPECT_EQ(error, 9);
    EXPECT_TRUE(out.data().isEmpty());

    // The repair stops before a temporary copy or the tool (there is none: it would say 1).
    EXPECT_EQ(controller.repairConfFile(binary), 9);
    EXPECT_TRUE(QDir(dir.filePath("tmp"))
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
    EXPECT_EQ(controller.repairConfFile(dir.filePath("missing.conf")), 4);
    servertest::writeFile(dir.filePath("empty.conf"), {});
    EXPECT_EQ(controller.repairConfFile(dir.filePath("empty.conf")), 9);

    // A write that fails is reported, not taken for a finished copy.
    QFile full(QStringLiteral("/dev/full"));
    ASSERT_TRUE(full.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    servertest::writeFile(dir.filePath("good.conf"), "<Directory />\nAllowOverride None\n</Directory>\n");
    EXPECT_FALSE(controller.grepFileWriteTo(dir.filePath("good.conf"), full, &error));
    EXPECT_EQ(error, 15);
}

TEST_F(ApacheConfigTest, DebiansConfigurationIsFoundAndRepairedInACopy) {
    if (!QFileInfo::exists("/usr/sbin/apache2") || !QFileInfo::exists("/etc/apache2/apache2.conf"))
        GTEST_SKIP() << "Debian's apache2 is not installed";
    PHUserDefaults::standardUserDefaults()->setObjectForKey(QStringLiteral("/usr/sbin/apache2"),
                                                            QStringLiteral("ApacheBinaryLocation"));
    PHApacheController controller(nullptr);
    // "apache2 -V" names "apache2.conf" relative to HTTPD_ROOT "/etc/apache2".
    EXPECT_EQ(controller.httpdConfRoot(), "/etc/apache2");
    EXPECT_EQ(controller.httpdConfFile(), "/etc/apache2/apache2.conf");
    const passwd *user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(controller.userConfFile(), QStringLiteral("/etc/apache2/users/%1.conf").arg(user->pw_name));

    // Every directory block of Debian's file is written unquoted, so all open up,
    // the commented-out example included (the rules do not read comments).
    const QByteArray original = servertest::readFile("/etc/apache2/apache2.conf");
    const auto [repaired, changed] = rewrite(controller, original);
    EXPECT_TRUE(changed);
    const QList<QByteArray> before = original.split('\n');
    const QList<QByteArray> after = repaired.split('\n');
    ASSERT_EQ(after.size(), before.size() + 1);
    int rewritten = 0;
    for (qsizetype i = 0; i < before.size(); ++i) {
        if (before[i] == after[i])
            continue;
        ++rewritten;
        EXPECT_EQ(QByteArray(before[i]).replace("AllowOverride None", "AllowOverride All"), after[i]);
    }
    EXPECT_EQ(rewritten, std::count_if(before.begin(), before.end(), [](const QByteArray &line) {
                  return line.contains("AllowOverride None");
              }));
    EXPECT_GE(rewritten, 1);

    // The real file is untouched by discovery; its logs are all named through
    // variables (unquoted), so none is listed.
    controller.findLogs();
    PHConfParser::waitForAllParses();
    QCoreApplication::processEvents();
    EXPECT_TRUE(controller.logs().isEmpty());
}

TEST_F(ApacheConfigTest, LocationFromSettingsOrFromTheBinarysAbsolutePath) {
    const QString fake = dir.filePath("httpd");
    servertest::writeFile(fake, "#!/bin/sh\n[ \"$1\" = -V ] || exit 2\n"
                                "echo 'Server version: Apache/2.4'\n"
                                "echo ' -D HTTPD_ROOT=\"/usr\"'\n"
                                "echo ' -D SERVER_CONFIG_FILE=\"/private/etc/apache2/httpd.conf\"'\n");
    QFile::setPermissions(fake, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    PHUserDefaults *defaults = PHUserDefaults::standardUserDefaults();
    defaults->setObjectForKey(fake, QStringLiteral("ApacheBinaryLocation"));
    {
        PHApacheController controller(nullptr);
        EXPECT_EQ(controller.httpdConfRoot(), "/private/etc/apache2");
        EXPECT_EQ(controller.httpdConfFile(), "/private/etc/apache2/httpd.conf");
    }
    defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
    {
        PHApacheController controller(nullptr);
        EXPECT_EQ(controller.httpdConfFile(), "/etc/httpd/httpd.conf");
        const passwd *user = getpwuid(getuid());
        EXPECT_EQ(controller.userConfFile(), QStringLiteral("/etc/httpd/users/%1.conf").arg(user->pw_name));
    }
    // A binary that cannot run leaves the location absent: nothing to read or repair.
    defaults->setBoolForKey(false, QStringLiteral("Override Conf Directory Location"));
    defaults->setObjectForKey(dir.filePath("no-such-binary"), QStringLiteral("ApacheBinaryLocation"));
    PHApacheController controller(nullptr);
    EXPECT_TRUE(controller.httpdConfFile().isEmpty());
    EXPECT_EQ(controller.repairConfFile(controller.httpdConfFile()), 4);
}

TEST_F(ApacheConfigTest, LogsFromQuotedDirectivesAndNestedIncludes) {
    const QString logs = dir.filePath("logs");
    for (const char *name : {"error_log", "access_log", "nested_log", "deep_log", "format_log"})
        servertest::writeFile(logs + "/" + name, "x\n");
    const QString conf = dir.filePath("conf");
    servertest::writeFile(conf + "/httpd.conf", QStringLiteral("ErrorLog \"%1/error_log\" # main\n"
                                                               "ErrorLog %1/access_log\n"
                                                               "CustomLog \"%1/access_log\" common\n"
                                                               "CustomLog \"%1/missing_log\" common\n"
                                                               "# CustomLog \"%1/deep_log\" common\n"
                                                               "ErrorLogFormat \"%1/format_log\"\n"
                                                               "Include %2/extra/*.conf\n"
                                                               "Include \"%2/extra/*.conf\"\n"
                                                               "Include \"%2/httpd.conf\"\n")
                                                    .arg(logs, conf)
                                                    .toUtf8());
    servertest::writeFile(
        conf + "/extra/a.conf",
        QStringLiteral("CustomLog \"%1/nested_log\" combined\nInclude \"%2/extra/deeper/*.conf\"\n")
            .arg(logs, conf)
            .toUtf8());
    // Includes itself and its parent: followed once each.
    servertest::writeFile(conf + "/extra/deeper/b.conf",
                          QStringLiteral("ErrorLog \"%1/deep_log\"\nInclude \"%2/extra/deeper/*.conf\"\n"
                                         "Include \"%2/extra/*.conf\"\n")
                              .arg(logs, conf)
                              .toUtf8());
    PHUserDefaults *defaults = PHUserDefaults::standardUserDefaults();
    defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
    defaults->setObjectForKey(conf, QStringLiteral("Apache Conf Directory"));

    PHApacheController controller(nullptr);
    controller.findLogs();
    ASSERT_TRUE(logsFound(controller, 5));
    QStringList found = controller.logs();
    // The main file's own logs come in its order; included files' in any order.
    EXPECT_EQ(found.mid(0, 3),
              (QStringList{logs + "/error_log", logs + "/access_log", logs + "/format_log"}));
    found.sort();
    EXPECT_EQ(found, (QStringList{logs + "/access_log", logs + "/deep_log", logs + "/error_log",
                                  logs + "/format_log", logs + "/nested_log"}));
}

TEST_F(ApacheConfigTest, LogFolderOverrideSkipsCompressedLogs) {
    const QString logs = dir.filePath("var-log");
    for (const char *name : {"error_log", "error_log.1.gz", "access_log"})
        servertest::writeFile(logs + "/" + name, "x\n");
    // A link to a log that is gone is nothing to show; one to a log is a log.
    ASSERT_TRUE(QFile::link(logs + "/rotated_away", logs + "/dangling_log"));
    ASSERT_TRUE(QFile::link(logs + "/error_log", logs + "/linked_log"));
    PHUserDefaults *defaults = PHUserDefaults::standardUserDefaults();
    defaults->setBoolForKey(true, QStringLiteral("Override Log Directory"));
    defaults->setObjectForKey(logs + "/", QStringLiteral("Apache Log Directory"));
    PHApacheController controller(nullptr);
    controller.findLogs();
    EXPECT_EQ(controller.logs(),
              (QStringList{logs + "/access_log", logs + "/error_log", logs + "/linked_log"}));

    // Named by the configuration: the same.
    const QString conf = dir.filePath("conf");
    servertest::writeFile(
        conf + "/httpd.conf",
        QStringLiteral("ErrorLog \"%1/dangling_log\"\nCustomLog \"%1/linked_log\" c\n").arg(logs).toUtf8());
    defaults->setBoolForKey(false, QStringLiteral("Override Log Directory"));
    defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
    defaults->setObjectForKey(conf, QStringLiteral("Apache Conf Directory"));
    PHApacheController configured(nullptr);
    configured.findLogs();
    ASSERT_TRUE(logsFound(configured, 1));
    EXPECT_EQ(configured.logs(), QStringList{logs + "/linked_log"});
}

TEST_F(ApacheConfigTest, ARepairWithoutATemporaryFileSaysSoAndStartsNoTool) {
    const QString marker = dir.filePath("tool-ran");
    prepareRepair(marker);
    qputenv("TMPDIR", QFile::encodeName(dir.filePath("no-such-folder")));

    PHApacheController controller(nullptr);
    QStringList lines;
    Log::setCapture(&lines);
    controller.sentrel();
    Log::setCapture(nullptr);
    qputenv("TMPDIR", QFile::encodeName(dir.filePath("tmp")));
    // The temporary-file error, whose text says what happened and what to do.
    EXPECT_EQ(context.errors, QList<qint32>{15});
    EXPECT_FALSE(QFileInfo::exists(marker));
    EXPECT_EQ(lines.filter("no temporary file could be created").size(), 1) << lines.join('\n').toStdString();

    QFile errors(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/errors.plist"));
    ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
    const QStringList texts = QString::fromUtf8(errors.readAll()).split("<string>").mid(1);
    ASSERT_GT(texts.size(), 15);
    EXPECT_TRUE(texts.at(15).contains("temporary file"));
    // Neither a tool started without its file nor a prepared file that was
    // swapped is a fault of Porthold to report.
    EXPECT_FALSE(texts.at(3).contains("report it")) << texts.at(3).toStdString();
    EXPECT_TRUE(texts.at(3).contains("temporary folder")) << texts.at(3).toStdString();
    EXPECT_TRUE(texts.at(12).contains("prepared copy")) << texts.at(12).toStdString();
}

TEST_F(ApacheConfigTest, RepairActionReportsFailuresButNotAMissingUserFile) {
    // Without a tool: code 1, nothing else tried.
    {
        PHApacheController controller(nullptr);
        controller.sentrel();
        EXPECT_EQ(context.errors, QList<qint32>{1});
    }
    context.errors.clear();

    // With the tool: an ordinary user's panel asks pkexec, which refuses here
    // (no polkit agrees) before anything runs: 7. A panel that runs as root
    // starts the tool itself, with the operation first. The absent per-user
    // file is not an error worth an alert either way.
    const QString bundle = dir.filePath("Porthold.panel");
    const QString marker = dir.filePath("tool-ran");
    prepareRepair(marker);
    servertest::writeFile(bundle + "/Sentrel",
                          QStringLiteral("#!/bin/sh\necho \"$@\" > '%1'\n").arg(marker).toUtf8());

    PHApacheController controller(nullptr);
    EXPECT_EQ(controller.helperPath(), QFileInfo(bundle + "/Sentrel").absoluteFilePath());
    QStringList lines;
    Log::setCapture(&lines);
    controller.sentrel();
    Log::setCapture(nullptr);
    if (geteuid() == 0) {
        EXPECT_TRUE(context.errors.isEmpty()) << context.errors.size();
        const QString arguments = QString::fromUtf8(servertest::readFile(marker));
        EXPECT_TRUE(arguments.startsWith("replace-configuration -file " + dir.filePath("conf/httpd.conf") +
                                         " -data "))
            << arguments.toStdString();
    } else {
        EXPECT_EQ(context.errors, QList<qint32>{7});
        EXPECT_EQ(lines.filter("pkexec did not run").size(), 1) << lines.join("\n").toStdString();
        EXPECT_FALSE(QFileInfo::exists(marker));
    }
    // The prepared copy never outlives the run; the stand-in changed nothing.
    EXPECT_TRUE(QDir(dir.filePath("tmp"))
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
    EXPECT_EQ(servertest::readFile(dir.filePath("conf/httpd.conf")),
              "<Directory />\nAllowOverride None\n</Directory>\n");
}

TEST_F(ApacheConfigTest, RepairListsTheBlocksItChangesAndTheBackupBeforeItRuns) {
    const QString bundle = dir.filePath("Porthold.panel");
    const QString marker = dir.filePath("tool-ran");
    servertest::writeFile(bundle + "/Sentrel",
                          QStringLiteral("#!/bin/sh\ntouch '%1'\n").arg(marker).toUtf8());
    QFile::setPermissions(bundle + "/Sentrel", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir().mkpath(bundle + "/Resources");
    ASSERT_TRUE(QFile::copy(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/ApacheControl.ui"),
                            bundle + "/Resources/ApacheControl.ui"));
    context.bundle = bundle;
    const QString conf = dir.filePath("conf");
    const QByteArray text = "<Directory />\n    AllowOverride None\n</Directory>\n"
                            "<Directory /srv/other>\n    AllowOverride None\n</Directory>\n"
                            "<Directory \"/var/www/html\">\n    Options Indexes\n    AllowOverride None\n"
                            "</Directory>\n";
    servertest::writeFile(conf + "/httpd.conf", text);
    PHUserDefaults *defaults = PHUserDefaults::standardUserDefaults();
    defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
    defaults->setObjectForKey(conf, QStringLiteral("Apache Conf Directory"));

    PHApacheController controller(nullptr);
    const auto preview = controller.repairPreview();
    ASSERT_EQ(preview.size(), 1);
    EXPECT_EQ(preview.at(0).first, conf + "/httpd.conf");
    const QList<PHApacheController::RepairChange> &changes = preview.at(0).second;
    // Every block whose path starts at "/" is one the rules change: the list shows them all.
    ASSERT_EQ(changes.size(), 3);
    EXPECT_EQ(changes.at(0).line, 2);
    EXPECT_EQ(changes.at(0).block, "<Directory />");
    EXPECT_EQ(changes.at(1).line, 5);
    EXPECT_EQ(changes.at(1).block, "<Directory /srv/other>");
    EXPECT_EQ(changes.at(2).line, 9);
    EXPECT_EQ(changes.at(2).block, "<Directory \"/var/www/html\">");
    EXPECT_EQ(changes.at(2).before, "AllowOverride None");
    EXPECT_EQ(changes.at(2).after, "AllowOverride All");

    // The question lists them and the backup; Cancel runs nothing.
    QList<PHAlertSheet::Request> asked;
    int answer = PHAlertSheet::Other;
    PHAlertSheet::setAnswerer([&](const PHAlertSheet::Request &request) {
        asked.append(request);
        return answer;
    });
    const auto answerSheets = [] {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    };
    controller.confirmRepair();
    answerSheets();
    ASSERT_EQ(asked.size(), 1);
    EXPECT_EQ(asked.at(0).title, "Repair the Apache Configuration?");
    EXPECT_EQ(asked.at(0).defaultButton, "Repair");
    const QString message = asked.at(0).message;
    EXPECT_TRUE(message.contains(
        QStringLiteral("line 2, in <Directory />: AllowOverride None \u2192 AllowOverride All")))
        << qPrintable(message);
    EXPECT_TRUE(message.contains(QStringLiteral("line 9, in <Directory \"/var/www/html\">")))
        << qPrintable(message);
    EXPECT_TRUE(message.contains("<Directory /> is the whole disk")) << qPrintable(message);
    EXPECT_TRUE(message.contains(conf + "/httpd.conf.preporthold")) << qPrintable(message);
    EXPECT_FALSE(QFileInfo::exists(marker));
    EXPECT_TRUE(context.errors.isEmpty());

    // Confirmed: the repair runs. An ordinary user's panel goes through
    // pkexec, which refuses here (no polkit agrees), and the error names the
    // file; a panel run by root starts the stand-in itself.
    answer = PHAlertSheet::Default;
    controller.confirmRepair();
    answerSheets();
    ASSERT_EQ(asked.size(), 2);
    if (geteuid() == 0) {
        EXPECT_TRUE(context.errors.isEmpty());
        EXPECT_TRUE(QFileInfo::exists(marker));
    } else {
        EXPECT_EQ(context.errors, QList<qint32>{7});
        ASSERT_EQ(context.errorDetails.size(), 1);
        EXPECT_TRUE(context.errorDetails.at(0).contains(conf + "/httpd.conf"))
            << qPrintable(context.errorDetails.at(0));
    }
    EXPECT_EQ(servertest::readFile(conf + "/httpd.conf"), text);

    // Nothing left to change: said, and nothing asked.
    servertest::writeFile(conf + "/httpd.conf", "<Directory />\n    AllowOverride All\n</Directory>\n");
    controller.confirmRepair();
    answerSheets();
    EXPECT_EQ(asked.size(), 2);
    ASSERT_NE(controller.messageLine(), nullptr);
    EXPECT_TRUE(controller.messageLine()->text().startsWith("Nothing to repair"))
        << qPrintable(controller.messageLine()->text());
    PHAlertSheet::setAnswerer({});
}

} // namespace
