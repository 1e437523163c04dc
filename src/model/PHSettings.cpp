#include "model/PHSettings.h"

#include "model/PHPasswordHash.h"
#include "support/PHPath.h"
#include "support/PHSettingsStore.h"

#include <QSet>

namespace PHSettings {

QList<std::pair<QString, QVariant>> defaultsTable() {
    return {
        {Key::AddressArray, QVariantList{QStringLiteral("127.0.0.1")}},
        {Key::CheckForUpdates, true},
        {Key::ShouldDiscoverAddresses, true},
        {Key::ShowDeleteDialog, true},
        {Key::UserDeleteDialog, true},
        {Key::GroupDeleteDialog, true},
        {Key::GracefulRestart, true},
        {Key::SortUsers, false},
        {Key::SortGroups, false},
        {Key::ShowManualEditor, false},
        {Key::UsesRemoteApache, false},
        {Key::AllowCustomWebDir, false},
        {Key::ProtectedFolder, 0},
        {Key::WebDir, QString()},
        {Key::UpdateDefaultFolder, PHPath::joinPath(PHPath::homeFolder(), QStringLiteral("Desktop"))},
        {Key::ApacheBinaryLocation, QStringLiteral("/usr/sbin/httpd")},
        {Key::ApacheCheckInterval, 2.0},
        {Key::OverrideConfDirectory, false},
        {Key::ApacheConfFile, QStringLiteral("httpd.conf")},
        {Key::ApacheConfDirectory, QStringLiteral("/etc/httpd/")},
        {Key::ApacheUserConfDirectory, QStringLiteral("users")},
        {Key::StripVolumes, 0},
        {Key::FolderPrefix, QString()},
        {Key::OverrideLogDirectory, false},
        {Key::ApacheLogDirectory, QStringLiteral("/var/log/httpd/")},
        {Key::SiteProtocol, QStringLiteral("http")},
        {Key::SiteAddress, QStringLiteral("127.0.0.1")},
        {Key::SitePort, QStringLiteral("80")},
        {Key::NewFileExtension, QStringLiteral(".new")},
        {PHPasswordHash::settingKey, PHPasswordHash::bcryptValue},
    };
}

void registerDefaults(const QString &identifier) {
    static QSet<QString> registered;
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->setApplicationIdentifier(identifier);
    // A store reset since (tests do) has lost its registrations.
    if (registered.contains(identifier) && defaults->registeredDefaultForKey(Key::AddressArray).isValid())
        return;
    QVariantMap table;
    for (const auto &[key, value] : defaultsTable())
        table.insert(key, value);
    defaults->registerDefaults(table);
    registered.insert(identifier);
}

} // namespace PHSettings
