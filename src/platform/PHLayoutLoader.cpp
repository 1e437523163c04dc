#include "platform/PHLayoutLoader.h"

#include <QCoreApplication>

/// Hides Qt's plug-in folders while it lives, so that QUiLoader's constructor
/// finds no "designer" folder to load from. Plug-in folders already searched
/// (platform, image formats, styles) are not searched again when the list is
/// given back.
struct PHLayoutLoader::PluginSearchOff {
    PluginSearchOff() : m_paths(QCoreApplication::libraryPaths()) { QCoreApplication::setLibraryPaths({}); }
    ~PluginSearchOff() { QCoreApplication::setLibraryPaths(m_paths); }
    PluginSearchOff(const PluginSearchOff &) = delete;
    PluginSearchOff &operator=(const PluginSearchOff &) = delete;

private:
    QStringList m_paths;
};

// The temporary lives until the delegated constructor, and with it QUiLoader's, has run.
PHLayoutLoader::PHLayoutLoader(QObject *parent) : PHLayoutLoader(parent, PluginSearchOff()) {
}

PHLayoutLoader::PHLayoutLoader(QObject *parent, const PluginSearchOff &) : QUiLoader(parent) {
}
