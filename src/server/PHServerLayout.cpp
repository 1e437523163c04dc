#include "server/PHServerLayout.h"

#include "model/PHSettings.h"
#include "support/PHSettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct KnownLayout {
    const char *binary;
    const char *confDirectory;
    const char *confFile;
    const char *logDirectory;
};

// In the order they are tried: a system with several takes the distribution's own.
const KnownLayout kKnownLayouts[] = {
    {"usr/sbin/apache2", "etc/apache2/", "apache2.conf", "var/log/apache2/"},     // Debian, Ubuntu
    {"usr/sbin/httpd", "etc/httpd/conf/", "httpd.conf", "var/log/httpd/"},        // Red Hat, Fedora
    {"usr/sbin/httpd", "etc/httpd/", "httpd.conf", "var/log/httpd/"},             // older Red Hat
    {"usr/sbin/httpd-prefork", "etc/apache2/", "httpd.conf", "var/log/apache2/"}, // SUSE
    {"usr/sbin/httpd", "etc/apache2/", "httpd.conf", "var/log/apache2/"},         // SUSE, Arch
    {"usr/local/apache2/bin/httpd", "usr/local/apache2/conf/", "httpd.conf", "usr/local/apache2/logs/"},
};

QString underRoot(const QString &root, const char *path) {
    QString base = root.isEmpty() ? QStringLiteral("/") : root;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return base + QString::fromLatin1(path);
}

bool isMemberOf(gid_t group) {
    if (getegid() == group)
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    QList<gid_t> groups(count);
    const int filled = getgroups(count, groups.data());
    for (int i = 0; i < filled; ++i)
        if (groups.at(i) == group)
            return true;
    return false;
}

QString groupName(gid_t group) {
    const struct group *entry = getgrgid(group);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(group);
}

} // namespace

std::optional<PHServerLayout> PHServerLayout::detect(const QString &root) {
    for (const KnownLayout &known : kKnownLayouts) {
        const QString binary = underRoot(root, known.binary);
        const QString confDirectory = underRoot(root, known.confDirectory);
        const QFileInfo program(binary);
        if (!program.isFile() || !program.isExecutable())
            continue;
        if (!QFileInfo(confDirectory + QString::fromLatin1(known.confFile)).isFile())
            continue;
        return PHServerLayout{binary, confDirectory, QString::fromLatin1(known.confFile),
                              underRoot(root, known.logDirectory)};
    }
    return std::nullopt;
}

void PHServerLayout::store(PHSettingsStore *defaults) const {
    defaults->setObjectForKey(binary, PHSettings::Key::ApacheBinaryLocation);
    defaults->setBoolForKey(true, PHSettings::Key::OverrideConfDirectory);
    defaults->setObjectForKey(confDirectory, PHSettings::Key::ApacheConfDirectory);
    defaults->setObjectForKey(confFile, PHSettings::Key::ApacheConfFile);
    defaults->setBoolForKey(true, PHSettings::Key::OverrideLogDirectory);
    defaults->setObjectForKey(logDirectory, PHSettings::Key::ApacheLogDirectory);
}

bool PHServerLayout::detectIfUnset(PHSettingsStore *defaults, const QString &root) {
    if (defaults->hasStoredValueForKey(PHSettings::Key::ApacheBinaryLocation))
        return false;
    const std::optional<PHServerLayout> layout = detect(root);
    if (!layout)
        return false;
    layout->store(defaults);
    return true;
}

QString PHServerLayout::binaryProblem(const QString &binary) {
    if (binary.isEmpty())
        return QStringLiteral("No server program is set: choose Detect in Options.");
    const QFileInfo program(binary);
    if (!program.exists())
        return QStringLiteral("%1 is not installed: choose Detect in Options, or install Apache.")
            .arg(binary);
    if (!program.isFile() || !program.isExecutable())
        return QStringLiteral("%1 is not a program this user can run.").arg(binary);
    return {};
}

QString PHServerLayout::logFolderProblem(const QString &folder) {
    if (folder.isEmpty())
        return QStringLiteral("No log folder is set: choose Detect in Options.");
    struct stat info {};
    if (stat(QFile::encodeName(folder).constData(), &info) != 0)
        return QStringLiteral("The log folder %1 does not exist.").arg(folder);
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("%1 is not a folder.").arg(folder);
    if (access(QFile::encodeName(folder).constData(), R_OK | X_OK) == 0)
        return {};
    // Debian's logs are root:adm 0750: say which group opens them.
    if ((info.st_mode & S_IRGRP) && (info.st_mode & S_IXGRP) && !isMemberOf(info.st_gid))
        return QStringLiteral("Logs are readable by the %1 group; you are not in it.")
            .arg(groupName(info.st_gid));
    return QStringLiteral("You may not read the log folder %1.").arg(folder);
}
