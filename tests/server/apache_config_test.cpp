// Finding the server's configuration and logs, and repairing the configuration.

#include "server/PHApacheController.h"

#include "ServerTestSupport.h"
#include "common/TestModelContext.h"
#include "core/Log.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHMessageLine.h"
#include "support/PHTextFile.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
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
            return controller.logList()->logs().size() >= count;
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
        PHSettingsStore *defaults = PHSettingsStore::instance();
        defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
        defaults->setObjectForKey(conf, QStringLiteral("Apache Conf Directory"));
        context.webRoot = dir.filePath("www");
    }

    /// Makes `text` the server's main configuration and `folder` the web
    /// folder; the repair's changes, file by file.
    QList<std::pair<QString, QList<PHApacheController::RepairChange>>> planFor(const QByteArray &text,
                                                                               const QString &folder) {
        const QString conf = dir.filePath("plan");
        servertest::writeFile(conf + "/httpd.conf", text);
        PHSettingsStore *defaults = PHSettingsStore::instance();
        defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
        defaults->setObjectForKey(conf, QStringLiteral("Apache Conf Directory"));
        context.webRoot = folder;
        PHApacheController controller(nullptr, context.model(), context.bundle);
        return controller.repairPreview();
    }

    /// Runs the rewrite over bytes; the written bytes and whether a line changed.
    /// The file is the server's main configuration, `folder` (when given) the web folder.
    std::pair<QByteArray, bool> rewrite(PHApacheController &controller, const QByteArray &input,
                                        qint32 *error = nullptr, const QString &folder = {}) {
        const QString path = dir.filePath("rewrite.conf");
        servertest::writeFile(path, input);
        PHSettingsStore *defaults = PHSettingsStore::instance();
        defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
        defaults->setObjectForKey(dir.path(), QStringLiteral("Apache Conf Directory"));
        defaults->setObjectForKey(QStringLiteral("rewrite.conf"), QStringLiteral("Apache Conf File"));
        controller.getApacheConfFile();
        if (!folder.isEmpty())
            context.webRoot = folder;
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        const bool changed = controller.grepFileWriteTo(path, out, error);
        return {out.data(), changed};
    }

    QTemporaryDir dir;
    TestModelContext context; // no bundle: no tab and no tool
};

TEST_F(ApacheConfigTest, RepairChangesOnlyTheSectionThatGovernsTheWebFolder) {
    const QByteArray conf = "<Directory />\n"                       // 1
                            "    AllowOverride None\n"              // 2
                            "</Directory>\n"                        // 3
                            "<Directory /usr/share>\n"              // 4
                            "    AllowOverride None\n"              // 5
                            "</Directory>\n"                        // 6
                            "<Directory /srv/www/>\n"               // 7
                            "\tOptions Indexes\n"                   // 8
                            "\tAllowOverride   None\n"              // 9
                            "</Directory>\n"                        // 10
                            "#<Directory /srv/www/site>\n"          // 11
                            "#\tAllowOverride None\n"               // 12
                            "#</Directory>\n"                       // 13
                            "<Directory \"/srv/www/site\">\n"       // 14
                            "  Require all granted\n"               // 15
                            "</Directory>\n"                        // 16
                            "<DirectoryMatch \"^/srv/www/site\">\n" // 17
                            "  AllowOverride None\n"                // 18
                            "</DirectoryMatch>\n"                   // 19
                            "<Directory /home/*/public_html>\n"     // 20
                            "  AllowOverride FileInfo AuthConfig\n" // 21
                            "</Directory>\n";                       // 22
    const QString file = dir.filePath("plan/httpd.conf");

    // Below /srv/www/ in general: that section's own line, nothing else.
    auto changes = planFor(conf, "/srv/www/other");
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes.at(0).first, file);
    ASSERT_EQ(changes.at(0).second.size(), 1);
    EXPECT_EQ(changes.at(0).second.at(0).line, 9);
    EXPECT_EQ(changes.at(0).second.at(0).block, "<Directory /srv/www/>");
    EXPECT_EQ(changes.at(0).second.at(0).before, "AllowOverride   None");
    EXPECT_EQ(changes.at(0).second.at(0).after, "AllowOverride All");

    // A folder with a section of its own (the commented-out one and the
    // regular-expression one are not it): a line added in it.
    changes = planFor(conf, "/srv/www/site");
    ASSERT_EQ(changes.size(), 1);
    ASSERT_EQ(changes.at(0).second.size(), 1);
    EXPECT_EQ(changes.at(0).second.at(0).line, 15);
    EXPECT_EQ(changes.at(0).second.at(0).block, "<Directory \"/srv/www/site\">");
    EXPECT_TRUE(changes.at(0).second.at(0).before.isEmpty());

    // The user folders' section by its wildcard: AuthConfig alone does not
    // let the address rules in.
    changes = planFor(conf, "/home/alice/public_html/");
    ASSERT_EQ(changes.size(), 1);
    ASSERT_EQ(changes.at(0).second.size(), 1);
    EXPECT_EQ(changes.at(0).second.at(0).line, 21);
    EXPECT_EQ(changes.at(0).second.at(0).before, "AllowOverride FileInfo AuthConfig");

    // Only "<Directory />" applies: a section of the folder's own, at the end.
    changes = planFor(conf, "/opt/site \"one\"");
    ASSERT_EQ(changes.size(), 1);
    ASSERT_EQ(changes.at(0).second.size(), 3);
    EXPECT_EQ(changes.at(0).second.at(0).line, 24); // after the empty line every rewrite adds
    EXPECT_EQ(changes.at(0).second.at(0).after, "<Directory \"/opt/site \\\"one\\\"\">");
    EXPECT_EQ(changes.at(0).second.at(1).after, "AllowOverride All");
    EXPECT_EQ(changes.at(0).second.at(2).after, "</Directory>");

    // The written file: exactly those lines differ.
    PHApacheController controller(nullptr, context.model(), context.bundle);
    context.webRoot = "/srv/www/other";
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    EXPECT_TRUE(controller.grepFileWriteTo(file, out));
    EXPECT_EQ(out.data(), QByteArray(conf).replace("\tAllowOverride   None", "\tAllowOverride All") + "\n");

    // Honoured already, by "All" or by AuthConfig with Limit: nothing.
    EXPECT_TRUE(planFor(QByteArray(conf).replace("FileInfo AuthConfig", "AuthConfig Limit"),
                        "/home/alice/public_html")
                    .isEmpty());
    EXPECT_TRUE(planFor("<Directory />\n  AllowOverride None\n</Directory>\n"
                        "<Directory /srv>\n  AllowOverride All\n</Directory>\n",
                        "/srv/site")
                    .isEmpty());
    // ... but not by a section that is not in force.
    EXPECT_FALSE(planFor("<Directory />\n  AllowOverride None\n</Directory>\n"
                         "#<Directory /srv>\n#  AllowOverride All\n#</Directory>\n",
                         "/srv/site")
                     .isEmpty());
}

TEST_F(ApacheConfigTest, RepairFollowsIncludesAndRewritesTheFileBehindALink) {
    const QString conf = dir.filePath("plan");
    servertest::writeFile(conf + "/sites-available/site.conf",
                          "<VirtualHost *:80>\n  <Directory /srv/site>\n    AllowOverride None\n"
                          "  </Directory>\n</VirtualHost>\n");
    QDir().mkpath(conf + "/sites-enabled");
    ASSERT_TRUE(QFile::link("../sites-available/site.conf", conf + "/sites-enabled/site.conf"));
    const auto changes = planFor("<Directory />\n  AllowOverride None\n</Directory>\n"
                                 "Define SITES sites-enabled\nIncludeOptional ${SITES}/*.conf\n",
                                 "/srv/site/blog");
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes.at(0).first, conf + "/sites-available/site.conf");
    ASSERT_EQ(changes.at(0).second.size(), 1);
    EXPECT_EQ(changes.at(0).second.at(0).line, 3);
    EXPECT_EQ(changes.at(0).second.at(0).block, "<Directory /srv/site>");
}

TEST_F(ApacheConfigTest, RewriteKeepsLineEndsAndGrowsTheFinalLine) {
    PHApacheController controller(nullptr, context.model(), context.bundle);
    const auto [crlf, changed] = rewrite(
        controller, "<Directory /srv>\r\n  AllowOverride None\r\n</Directory>\r\n", nullptr, "/srv/a");
    EXPECT_TRUE(changed);
    EXPECT_EQ(crlf.toStdString(), "<Directory /srv>\r\n  AllowOverride All\r\n</Directory>\r\n\n");
    const auto [added, grown] = rewrite(controller, "<Directory /srv>\r\n  Options None\r\n</Directory>\r\n");
    EXPECT_TRUE(grown);
    EXPECT_EQ(added.toStdString(),
              "<Directory /srv>\r\n  AllowOverride All\r\n  Options None\r\n</Directory>\r\n\n");

    // Every pass adds one more empty line at the end.
    const QByteArray honoured = "<Directory /srv>\nAllowOverride All\n</Directory>\n";
    const auto [once, c1] = rewrite(controller, honoured);
    EXPECT_FALSE(c1);
    EXPECT_EQ(once, honoured + "\n");
    const auto [twice, c2] = rewrite(controller, once);
    EXPECT_EQ(twice, honoured + "\n\n");

    // With no section but the server's default (None), the folder gets one.
    const auto [bare, c3] = rewrite(controller, "ServerName x\n");
    EXPECT_TRUE(c3);
    EXPECT_EQ(bare, "ServerName x\n\n<Directory \"/srv/a\">\n    AllowOverride All\n</Directory>\n");
}

TEST_F(ApacheConfigTest, RewriteKeepsTheFilesEncoding) {
    PHApacheController controller(nullptr, context.model(), context.bundle);
    // Latin-1: the unchanged comment keeps its byte, not a UTF-8 pair.
    const QByteArray latin1 =
        "# Serveur de d\xe9veloppement pour l'\xe9quipe\n<Directory /srv>\nAllowOverride None\n</Directory>";
    const auto [latinOut, c1] = rewrite(controller, latin1, nullptr, "/srv/www");
    EXPECT_EQ(latinOut.toStdString(), QByteArray("# Serveur de d\xe9veloppement pour l'\xe9quipe\n<Directory "
                                                 "/srv>\nAllowOverride All\n</Directory>\n")
                                          .toStdString());

    // UTF-16 with a byte-order mark stays UTF-16, mark included.
    const QString text =
        QStringLiteral("# caf\u00e9\n<Directory \"/var/www/html\">\nAllowOverride None\n</Directory>\n");
    QByteArray utf16("\xff\xfe", 2);
    utf16.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    const auto [utf16Out, c2] = rewrite(controller, utf16, nullptr, "/var/www/html");
    ASSERT_TRUE(c2);
    const PHTextFile decoded = PHTextFile::decode(utf16Out);
    ASSERT_TRUE(decoded.ok());
    EXPECT_TRUE(decoded.byteOrderMark);
    EXPECT_EQ(decoded.text, QString(text).replace("None", "All") + QStringLiteral("\n"));
}

TEST_F(ApacheConfigTest, UndecodableOrUnwritableConfigurationIsNeverInstalled) {
    PHApacheController controller(nullptr, context.model(), context.bundle);
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
    PHSettingsStore::instance()->setObjectForKey(QStringLiteral("/usr/sbin/apache2"),
                                                 QStringLiteral("ApacheBinaryLocation"));
    PHApacheController controller(nullptr, context.model(), context.bundle);
    // "apache2 -V" names "apache2.conf" relative to HTTPD_ROOT "/etc/apache2".
    EXPECT_EQ(controller.httpdConfRoot(), "/etc/apache2");
    EXPECT_EQ(controller.httpdConfFile(), "/etc/apache2/apache2.conf");
    const passwd *user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(controller.userConfFile(), QStringLiteral("/etc/apache2/users/%1.conf").arg(user->pw_name));

    // The real file is untouched by discovery and by the repair's plan; its
    // logs are all named through variables (unquoted), so none is listed.
    const QByteArray original = servertest::readFile("/etc/apache2/apache2.conf");
    context.webRoot = "/var/www/html";
    EXPECT_EQ(controller.repairPreview().size(), 1);
    controller.logList()->find(controller.httpdConfFile());
    PHConfParser::waitForAllParses();
    QCoreApplication::processEvents();
    EXPECT_TRUE(controller.logList()->logs().isEmpty());
    EXPECT_EQ(servertest::readFile("/etc/apache2/apache2.conf"), original);
}

TEST_F(ApacheConfigTest, OnACopyOfDebiansStockConfigurationOnlyTheWebFoldersSectionChanges) {
    if (!QFileInfo::exists("/etc/apache2/apache2.conf") || !QFileInfo::exists("/etc/apache2/envvars"))
        GTEST_SKIP() << "Debian's apache2 is not installed";
    const QString copy = dir.filePath("apache2");
    ASSERT_EQ(QProcess::execute("/bin/cp", {"-a", "/etc/apache2", copy}), 0);
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
    defaults->setObjectForKey(copy + "/", QStringLiteral("Apache Conf Directory"));
    defaults->setObjectForKey(QStringLiteral("apache2.conf"), QStringLiteral("Apache Conf File"));
    PHApacheController controller(nullptr, context.model(), context.bundle);
    const QByteArray stock = servertest::readFile(copy + "/apache2.conf");
    const QList<QByteArray> stockLines = stock.split('\n');
    const auto lineOf = [&](const QByteArray &text, int from = 0) {
        for (int i = from; i < stockLines.size(); ++i)
            if (stockLines.at(i) == text)
                return i + 1;
        return 0;
    };
    const int varWww = lineOf("<Directory /var/www/>");
    ASSERT_GT(varWww, 0);
    const int varWwwOverride = lineOf("\tAllowOverride None", varWww);

    // /var/www/html: only the AllowOverride of <Directory /var/www/>; not
    // <Directory />, not /usr/share, not the commented-out /srv/ example.
    context.webRoot = "/var/www/html";
    auto preview = controller.repairPreview();
    ASSERT_EQ(preview.size(), 1);
    EXPECT_EQ(preview.at(0).first, copy + "/apache2.conf");
    ASSERT_EQ(preview.at(0).second.size(), 1);
    EXPECT_EQ(preview.at(0).second.at(0).line, varWwwOverride);
    EXPECT_EQ(preview.at(0).second.at(0).block, "<Directory /var/www/>");
    EXPECT_EQ(preview.at(0).second.at(0).before, "AllowOverride None");
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    ASSERT_TRUE(controller.grepFileWriteTo(copy + "/apache2.conf", out));
    const QList<QByteArray> written = out.data().split('\n');
    ASSERT_EQ(written.size(), stockLines.size() + 1);
    for (int i = 0; i < stockLines.size(); ++i)
        EXPECT_EQ(written.at(i), i + 1 == varWwwOverride ? "\tAllowOverride All" : stockLines.at(i)) << i + 1;

    // ~/public_html with userdir off (Debian's default): the folder gets a
    // section of its own, and the note says what serves it.
    context.webRoot = "/home/phuser/public_html";
    preview = controller.repairPreview();
    ASSERT_EQ(preview.size(), 1);
    EXPECT_EQ(preview.at(0).first, copy + "/apache2.conf");
    ASSERT_EQ(preview.at(0).second.size(), 3);
    EXPECT_EQ(preview.at(0).second.at(0).after, "<Directory \"/home/phuser/public_html\">");
    EXPECT_TRUE(controller.repairPlan().note.contains("a2enmod userdir"));

    // With userdir enabled, as a2enmod enables it: userdir.conf governs the
    // folder and already lets AuthConfig and Limit in.
    for (const char *name : {"userdir.conf", "userdir.load"})
        ASSERT_TRUE(
            QFile::link(QStringLiteral("../mods-available/%1").arg(name), copy + "/mods-enabled/" + name));
    EXPECT_TRUE(controller.repairPreview().isEmpty());
    EXPECT_TRUE(controller.repairPlan().honoured);
    EXPECT_EQ(controller.repairPlan().governing, "<Directory /home/*/public_html>");
    EXPECT_TRUE(controller.repairPlan().note.isEmpty());
    // ... and when it does not, its line is the one that changes, in the file behind the link.
    const QString userdir = copy + "/mods-available/userdir.conf";
    servertest::writeFile(
        userdir, servertest::readFile(userdir).replace("AllowOverride FileInfo AuthConfig Limit Indexes",
                                                       "AllowOverride None"));
    preview = controller.repairPreview();
    ASSERT_EQ(preview.size(), 1);
    EXPECT_EQ(preview.at(0).first, userdir);
    ASSERT_EQ(preview.at(0).second.size(), 1);
    EXPECT_EQ(preview.at(0).second.at(0).block, "<Directory /home/*/public_html>");
    EXPECT_EQ(preview.at(0).second.at(0).before, "AllowOverride None");
    // /var/www/html is still governed by apache2.conf alone.
    context.webRoot = "/var/www/html";
    preview = controller.repairPreview();
    ASSERT_EQ(preview.size(), 1);
    EXPECT_EQ(preview.at(0).first, copy + "/apache2.conf");
}

TEST_F(ApacheConfigTest, LocationFromSettingsOrFromTheBinarysAbsolutePath) {
    const QString fake = dir.filePath("httpd");
    servertest::writeFile(fake, "#!/bin/sh\n[ \"$1\" = -V ] || exit 2\n"
                                "echo 'Server version: Apache/2.4'\n"
                                "echo ' -D HTTPD_ROOT=\"/usr\"'\n"
                                "echo ' -D SERVER_CONFIG_FILE=\"/private/etc/apache2/httpd.conf\"'\n");
    QFile::setPermissions(fake, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->setObjectForKey(fake, QStringLiteral("ApacheBinaryLocation"));
    {
        PHApacheController controller(nullptr, context.model(), context.bundle);
        EXPECT_EQ(controller.httpdConfRoot(), "/private/etc/apache2");
        EXPECT_EQ(controller.httpdConfFile(), "/private/etc/apache2/httpd.conf");
    }
    defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
    {
        PHApacheController controller(nullptr, context.model(), context.bundle);
        EXPECT_EQ(controller.httpdConfFile(), "/etc/httpd/httpd.conf");
        const passwd *user = getpwuid(getuid());
        EXPECT_EQ(controller.userConfFile(), QStringLiteral("/etc/httpd/users/%1.conf").arg(user->pw_name));
    }
    // A binary that cannot run leaves the location absent: nothing to read or repair.
    defaults->setBoolForKey(false, QStringLiteral("Override Conf Directory Location"));
    defaults->setObjectForKey(dir.filePath("no-such-binary"), QStringLiteral("ApacheBinaryLocation"));
    PHApacheController controller(nullptr, context.model(), context.bundle);
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
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
    defaults->setObjectForKey(conf, QStringLiteral("Apache Conf Directory"));

    PHApacheController controller(nullptr, context.model(), context.bundle);
    controller.logList()->find(controller.httpdConfFile());
    ASSERT_TRUE(logsFound(controller, 5));
    QStringList found = controller.logList()->logs();
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
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->setBoolForKey(true, QStringLiteral("Override Log Directory"));
    defaults->setObjectForKey(logs + "/", QStringLiteral("Apache Log Directory"));
    PHApacheController controller(nullptr, context.model(), context.bundle);
    controller.logList()->find(controller.httpdConfFile());
    EXPECT_EQ(controller.logList()->logs(),
              (QStringList{logs + "/access_log", logs + "/error_log", logs + "/linked_log"}));

    // Named by the configuration: the same.
    const QString conf = dir.filePath("conf");
    servertest::writeFile(
        conf + "/httpd.conf",
        QStringLiteral("ErrorLog \"%1/dangling_log\"\nCustomLog \"%1/linked_log\" c\n").arg(logs).toUtf8());
    defaults->setBoolForKey(false, QStringLiteral("Override Log Directory"));
    defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
    defaults->setObjectForKey(conf, QStringLiteral("Apache Conf Directory"));
    PHApacheController configured(nullptr, context.model(), context.bundle);
    configured.logList()->find(configured.httpdConfFile());
    ASSERT_TRUE(logsFound(configured, 1));
    EXPECT_EQ(configured.logList()->logs(), QStringList{logs + "/linked_log"});
}

TEST_F(ApacheConfigTest, ARepairWithoutATemporaryFileSaysSoAndStartsNoTool) {
    const QString marker = dir.filePath("tool-ran");
    prepareRepair(marker);
    qputenv("TMPDIR", QFile::encodeName(dir.filePath("no-such-folder")));

    PHApacheController controller(nullptr, context.model(), context.bundle);
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
        PHApacheController controller(nullptr, context.model(), context.bundle);
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

    PHApacheController controller(nullptr, context.model(), context.bundle);
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
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->setBoolForKey(true, QStringLiteral("Override Conf Directory Location"));
    defaults->setObjectForKey(conf, QStringLiteral("Apache Conf Directory"));

    context.webRoot = "/var/www/html";
    PHApacheController controller(nullptr, context.model(), context.bundle);
    const auto preview = controller.repairPreview();
    ASSERT_EQ(preview.size(), 1);
    EXPECT_EQ(preview.at(0).first, conf + "/httpd.conf");
    const QList<PHApacheController::RepairChange> &changes = preview.at(0).second;
    // Only the web folder's own section: not "/" and not /srv/other.
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes.at(0).line, 9);
    EXPECT_EQ(changes.at(0).block, "<Directory \"/var/www/html\">");
    EXPECT_EQ(changes.at(0).before, "AllowOverride None");
    EXPECT_EQ(changes.at(0).after, "AllowOverride All");

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
    EXPECT_TRUE(message.contains(QStringLiteral(
        "line 9, in <Directory \"/var/www/html\">: AllowOverride None \u2192 AllowOverride All")))
        << qPrintable(message);
    EXPECT_TRUE(message.contains("/var/www/html:")) << qPrintable(message);
    EXPECT_FALSE(message.contains("line 2")) << qPrintable(message);
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

    // The web folder's own section says All (as the demo's does): nothing
    // left to change, said, and nothing asked, whatever "/" says.
    servertest::writeFile(conf + "/httpd.conf", QByteArray(text).replace("Indexes\n    AllowOverride None",
                                                                         "Indexes\n    AllowOverride All"));
    controller.confirmRepair();
    answerSheets();
    EXPECT_EQ(asked.size(), 2);
    ASSERT_NE(controller.messageLine(), nullptr);
    EXPECT_TRUE(controller.messageLine()->text().startsWith("Nothing to repair"))
        << qPrintable(controller.messageLine()->text());
    PHAlertSheet::setAnswerer({});
}

} // namespace
