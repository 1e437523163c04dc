// Whether Apache can check groups, asked of the server itself: its own list
// of loaded modules for the configuration the panel manages.

#include "pane/PHGroupFileModule.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const char *const kApache = "/usr/sbin/apache2";
const QString kModules = QStringLiteral("/usr/lib/apache2/modules");

QString writeConf(const QTemporaryDir &dir, const QString &name, bool withGroups) {
    QString text =
        QStringLiteral("ServerRoot \"%1\"\nServerName 127.0.0.1\nListen 127.0.0.1:1\n"
                       "PidFile \"%1/httpd.pid\"\nDefaultRuntimeDir \"%1\"\nErrorLog \"%1/error_log\"\n"
                       "LoadModule mpm_prefork_module %2/mod_mpm_prefork.so\n"
                       "LoadModule authz_core_module %2/mod_authz_core.so\n")
            .arg(dir.path(), kModules);
    if (withGroups)
        text += QStringLiteral("LoadModule authz_groupfile_module %1/mod_authz_groupfile.so\n").arg(kModules);
    const QString path = dir.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
    return path;
}

TEST(GroupFileModule, TheManagedServerSaysWhetherItLoadsTheModule) {
    if (!QFileInfo(kApache).isExecutable() || !QFileInfo::exists(kModules + "/mod_authz_groupfile.so"))
        GTEST_SKIP() << "Debian's apache2 is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_EQ(PHGroupFileModule::loadedByServer(kApache, writeConf(dir, "with.conf", true)),
              std::optional(true));
    EXPECT_EQ(PHGroupFileModule::loadedByServer(kApache, writeConf(dir, "without.conf", false)),
              std::optional(false));

    // A server that cannot be asked gives no answer, never a guess.
    EXPECT_EQ(PHGroupFileModule::loadedByServer(dir.filePath("no-apache"), dir.filePath("with.conf")),
              std::nullopt);
    EXPECT_EQ(PHGroupFileModule::loadedByServer(kApache, dir.filePath("missing.conf")), std::nullopt);
    QFile broken(dir.filePath("broken.conf"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("Lissen 1\n");
    broken.close();
    EXPECT_EQ(PHGroupFileModule::loadedByServer(kApache, broken.fileName()), std::nullopt);

    // The machine's own Debian configuration, read with its environment file.
    if (QFileInfo::exists("/etc/apache2/apache2.conf") && QFileInfo::exists("/etc/apache2/envvars")) {
        EXPECT_EQ(PHGroupFileModule::loadedByServer(kApache, "/etc/apache2/apache2.conf"),
                  std::optional(QFileInfo::exists("/etc/apache2/mods-enabled/authz_groupfile.load")));
    }
}

} // namespace
