#pragma once

#include "model/PHEffectiveAccess.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <optional>

class PHServerConfig;

/// What the server's own configuration does to the requests for a folder:
/// the sections that apply to it, in the order the server merges them
/// (server-wide lines, <Directory> from the shortest path to the longest with
/// each folder's access file after its sections, then <DirectoryMatch>,
/// <Files>/<FilesMatch> and <Location>/<LocationMatch>), what AllowOverride
/// and AllowOverrideList let each folder's access file set, and which of the
/// modules the access files need are loaded.
///
/// <IfModule> and <IfDefine> are resolved against the modules loaded and the
/// names defined above them; the sections of the virtual host that serves the
/// web root (the one whose DocumentRoot holds it, or the first one) count
/// with the main server's.
class PHServerRules {
public:
    /// Reads the configuration `mainFile` names (with `serverRoot` and the
    /// control script's `environment`, as PHServerConfig reads it). A file
    /// that cannot be read gives rules that are not `isRead()`.
    static std::shared_ptr<const PHServerRules> read(const QString &mainFile, const QString &serverRoot,
                                                     const QHash<QString, QString> &environment);
    /// The configuration named in the settings (or the one the server program
    /// says it reads), read once and again when the main file changes (looked
    /// at every few seconds at most). Null when none is known.
    static std::shared_ptr<const PHServerRules> fromSettings();
    /// Makes the next fromSettings() look at the settings and the file again
    /// (after the configuration's place was changed).
    static void forgetSettings();
    /// The rules of fromSettings() when they were read and serve `root` (a
    /// DocumentRoot, an Alias or a UserDir holds it), or null: the tree's
    /// answers then come from its access files alone.
    static std::shared_ptr<const PHServerRules> servingRoot(const QString &root);
    /// Empty when servingRoot(root) has rules; otherwise what the front ends
    /// show beside their predictions for the tree.
    static QString unreadNote(const QString &root);

    explicit PHServerRules(const PHServerConfig &config);

    bool isRead() const { return m_read; }

    /// How the server reads the access file of `directory` (absolute, links
    /// resolved): what AllowOverride in force lets it set, and the modules
    /// missing for what it may say.
    PHEffectiveAccess::Reading readingAt(const QString &directory) const;

    /// What the server merges for a folder, in its order: layersDownTo()
    /// the web root (the server-wide lines, and for every folder from "/"
    /// down to the root its <Directory> sections and, above the root, the
    /// access file the server reads there); then, for each folder below,
    /// directoryLayers() and the folder's own access file, read as
    /// readingAt() says; and for the folder asked about, finalLayers()
    /// (<DirectoryMatch>, <Files*>, <Location*>). Paths are absolute, links
    /// resolved.
    QList<PHEffectiveAccess::Layer> layersDownTo(const QString &root) const;
    QList<PHEffectiveAccess::Layer> directoryLayers(const QString &directory) const;
    QList<PHEffectiveAccess::Layer> finalLayers(const QString &folder) const;
    /// Changes whenever an access file above `root` that the server reads
    /// changes (each is looked at with an lstat).
    QString aboveRootStamp(const QString &root) const;

    /// The path of `folder` in the server's address space ("/team/"), or
    /// empty when no DocumentRoot, Alias or UserDir serves it.
    QString urlPathOf(const QString &folder) const;

    /// Whether a <Directory> section written for `pattern` (its path split
    /// into components, with the shell wildcards the server allows) applies
    /// to `folder` and what is below it.
    static bool directoryApplies(const QStringList &pattern, const QStringList &folder);
    /// `path` with links resolved, remembered for the few web roots a process
    /// asks about.
    static QString canonicalPath(const QString &path);

private:
    struct Section {
        enum class Kind {
            Server,
            Directory,
            DirectoryMatch,
            Files,
            FilesMatch,
            Location,
            LocationMatch,
            Other
        };
        Kind kind = Kind::Server;
        QString pattern;
        QStringList components; ///< of a Directory's path
        QString origin;         ///< "file:line" of its header
        QString header;         ///< as written
        QString text;           ///< the lines inside, as the access-file reader reads them
        bool hasAccessLines = false;
        std::optional<QStringList> allowOverride, allowOverrideList;
        QString overrideOrigin;
        int host = -1; ///< the virtual host it is in, -1 for the main server
    };

    /// Whether a section of this kind applies to every file of the folder
    /// (true), to none (false), or to some (nothing).
    std::optional<bool> appliesToFilesOf(const Section &section, const QString &folder) const;
    std::optional<QString> aboveRootText(const QString &directory) const;
    int hostFor(const QString &folder) const;
    void appendDirectorySections(QList<PHEffectiveAccess::Layer> &layers, const QString &directory,
                                 int host) const;
    PHEffectiveAccess::Reading readingFromSections(const QString &directory) const;

    bool m_read = false;
    QList<Section> m_sections;
    QSet<QString> m_modules; ///< loaded, as "authz_groupfile"
    struct Host {
        QString documentRoot;
        QList<std::pair<QString, QString>> aliases; ///< URL path, folder
    };
    QList<Host> m_hosts;
    Host m_main;
    QString m_userDir;
    mutable std::mutex m_cacheMutex;
    mutable QHash<QString, PHEffectiveAccess::Reading> m_readings;
    mutable QHash<QString, bool> m_serves; ///< web roots asked about, by servingRoot()
    /// Access files above the web root: when last read, and their text.
    mutable QHash<QString, std::pair<QString, std::optional<QString>>> m_aboveRoot;
};
