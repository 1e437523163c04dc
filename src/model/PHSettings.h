#pragma once

#include <QList>
#include <QString>
#include <QVariant>

#include <utility>

/// The panel's settings: the name of every key, and the defaults both front
/// ends register, so that a key never stored reads the same in the panel and
/// in portholdctl.
namespace PHSettings {

/// The settings store's identifier when the bundle names none.
inline const QString defaultIdentifier = QStringLiteral("com.quillmere.porthold");

namespace Key {
inline const QString AddressArray = QStringLiteral("Address Array");
inline const QString CheckForUpdates = QStringLiteral("Check for Updates");
inline const QString LastVersionCheck = QStringLiteral("Last Version Check");
inline const QString ShouldDiscoverAddresses = QStringLiteral("Should Discover Addresses");
inline const QString ShowDeleteDialog = QStringLiteral("Show Delete Dialog");
inline const QString UserDeleteDialog = QStringLiteral("User Delete Dialog");
inline const QString GroupDeleteDialog = QStringLiteral("Group Delete Dialog");
inline const QString GracefulRestart = QStringLiteral("Graceful Restart");
inline const QString SortUsers = QStringLiteral("Sort Users");
inline const QString SortGroups = QStringLiteral("Sort Groups");
inline const QString CaseSensitiveCompare = QStringLiteral("Case Sensitive Compare");
inline const QString ShowManualEditor = QStringLiteral("Show Manual Editor");
inline const QString UsesRemoteApache = QStringLiteral("Uses Remote Apache");
inline const QString AllowCustomWebDir = QStringLiteral("Allow Custom Web Dir");
/// Which web root: 0 the user's, 1 the system's, 2 `WebDir`.
inline const QString ProtectedFolder = QStringLiteral("Porthold Protected Folder");
inline const QString WebDir = QStringLiteral("Web Dir");
inline const QString CustomWebDir = QStringLiteral("Custom Web Dir");
inline const QString UpdateDefaultFolder = QStringLiteral("SU Default Folder");
inline const QString ApacheBinaryLocation = QStringLiteral("ApacheBinaryLocation");
inline const QString ApacheCheckInterval = QStringLiteral("ApacheCheckInterval");
inline const QString OverrideConfDirectory = QStringLiteral("Override Conf Directory Location");
inline const QString ApacheConfFile = QStringLiteral("Apache Conf File");
inline const QString ApacheConfDirectory = QStringLiteral("Apache Conf Directory");
inline const QString ApacheUserConfDirectory = QStringLiteral("Apache User Conf Directory");
inline const QString StripVolumes = QStringLiteral("stripVolumesFromPortholdFolder");
inline const QString FolderPrefix = QStringLiteral("portholdFolderPrefix");
inline const QString OverrideLogDirectory = QStringLiteral("Override Log Directory");
inline const QString ApacheLogDirectory = QStringLiteral("Apache Log Directory");
inline const QString SiteProtocol = QStringLiteral("Apache Site Protocol");
inline const QString SiteAddress = QStringLiteral("Apache Site Address");
inline const QString SitePort = QStringLiteral("Apache Site Port");
inline const QString NewFileExtension = QStringLiteral("New File Extension");
} // namespace Key

/// The registered defaults, in registration order.
QList<std::pair<QString, QVariant>> defaultsTable();

/// Points the settings store at `identifier` and registers `defaultsTable()`
/// (once per identifier and process).
void registerDefaults(const QString &identifier = defaultIdentifier);

} // namespace PHSettings
