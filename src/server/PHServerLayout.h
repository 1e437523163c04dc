#pragma once

#include <QString>

#include <optional>

class PHSettingsStore;

/// Where the web server's program, configuration and logs live on this
/// system: Debian's apache2 layout, Red Hat's and SUSE's httpd layouts, or
/// Apache's own build under /usr/local. Found by looking, so that a fresh
/// installation manages the server that is actually there.
struct PHServerLayout {
    QString binary;        ///< the server program
    QString confDirectory; ///< the folder of the main configuration file, ending in "/"
    QString confFile;      ///< the main configuration file's name in that folder
    QString logDirectory;  ///< the folder of the logs, ending in "/"

    /// The first known layout whose program and configuration both exist
    /// under `root` ("/" on a real system). Paths include the root.
    static std::optional<PHServerLayout> detect(const QString &root = QStringLiteral("/"));

    /// Writes the layout to the settings, with the overrides that make the
    /// panel use these folders rather than ask the program.
    void store(PHSettingsStore *defaults) const;

    /// On first start: when the settings do not name the server program yet,
    /// detects the layout and stores it. True when a layout was stored.
    static bool detectIfUnset(PHSettingsStore *defaults, const QString &root = QStringLiteral("/"));

    /// Why the server program cannot be used, or an empty text.
    static QString binaryProblem(const QString &binary);
    /// Why the logs in `folder` cannot be read by this user, or an empty text
    /// ("Logs are readable by the adm group; you are not in it").
    static QString logFolderProblem(const QString &folder);
};
