#include "model/PHWebRoot.h"

#include "model/PHSettings.h"
#include "support/PHPath.h"
#include "support/PHSettingsStore.h"

#include <QStringList>

namespace PHWebRoot {

QString userWebFolder() {
    return PHPath::joinPath(PHPath::homeFolder(), QStringLiteral("public_html"));
}

QString systemWebFolder() {
    return QStringLiteral("/var/www/html/");
}

QString configured() {
    PHSettingsStore *defaults = PHSettingsStore::instance();
    switch (defaults->integerForKey(PHSettings::Key::ProtectedFolder)) {
    case 1:
        return systemWebFolder();
    case 2:
        return defaults->stringForKey(PHSettings::Key::WebDir).value_or(QString());
    default:
        return userWebFolder();
    }
}

QString location(const QString &root, PathKind kind) {
    // No folder chosen yet: there is no user or group file either, rather
    // than one in whatever folder the program was started from.
    if (root.isEmpty())
        return {};
    switch (kind) {
    case UserFile:
        return PHPath::joinPath(root, QStringLiteral(".htusers"));
    case GroupFile:
        return PHPath::joinPath(root, QStringLiteral(".htgroups"));
    case Root:
        return root;
    }
    return {};
}

QString adjusted(const QString &path) {
    if (path.isEmpty())
        return {};
    PHSettingsStore *defaults = PHSettingsStore::instance();
    // Components with "/" as the first one of an absolute path.
    QStringList components;
    if (path.startsWith(QLatin1Char('/')))
        components.append(QStringLiteral("/"));
    components.append(path.split(QLatin1Char('/'), Qt::SkipEmptyParts));
    if (defaults->boolForKey(PHSettings::Key::StripVolumes) && components.size() >= 2 &&
        components.at(0) == QLatin1String("/") && components.at(1) == QLatin1String("Volumes"))
        components.removeAt(1);
    QString joined;
    for (const QString &component : components)
        joined = joined.isEmpty() ? component : PHPath::joinPath(joined, component);
    const QString prefix = defaults->stringForKey(PHSettings::Key::FolderPrefix).value_or(QString());
    return prefix.isEmpty() ? joined : PHPath::joinPath(prefix, joined);
}

} // namespace PHWebRoot
