#pragma once

#include "model/PHConfigText.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <utility>
#include <vector>

/// The server's configuration as the server reads it: the main file, and in
/// place of every Include and IncludeOptional the files it names (a folder's
/// files, or a pattern's matches, sorted), with ServerRoot as it stands at
/// that line for relative names, and ${NAME} filled from Define and then from
/// the environment (a name neither knows stays as written). Comments and
/// blank lines are left out.
class PHServerConfig {
public:
    /// One line in force.
    struct Line {
        QString file;            ///< the file it is in, links resolved (the file a repair rewrites)
        PHConfigText::Line line; ///< as read, before ${NAME}s are filled
        QString text;            ///< joined, trimmed and filled
        QStringList words;       ///< of `text`
        /// The directive, lower-case: "allowoverride", "<directory", "</directory"...
        QString directive() const { return words.isEmpty() ? QString() : words.first().toLower(); }
    };

    PHServerConfig(const QString &serverRoot, const QHash<QString, QString> &environment);

    /// Reads `confFile` and what it includes. Files beyond a few hundred, and
    /// Includes nested deeper than the server allows, are not read.
    void read(const QString &confFile);
    /// The configuration `confFile` gives, as read(): the one read last for
    /// the same file, root and environment while none of the files it read
    /// has changed and every Include still matches the same files (the
    /// server's status check and the rules the outline shows read the same
    /// configuration within moments of each other); read anew otherwise.
    static std::shared_ptr<const PHServerConfig> readKept(const QString &confFile, const QString &serverRoot,
                                                          const QHash<QString, QString> &environment);

    const QList<Line> &lines() const { return m_lines; }
    QString serverRoot() const { return m_serverRoot; }
    /// Lines of a file read, its last line ending included (0 when not read).
    int lineCount(const QString &file) const { return m_lineCounts.value(file); }

    /// What Debian's control script exports after reading envvars in
    /// `confDirectory` (empty without one): the names the configuration
    /// refers to as ${NAME}.
    static QHash<QString, QString> debianEnvironment(const QString &confDirectory);
    /// `path` below `base` unless it is absolute.
    static QString absoluteBelow(const QString &base, const QString &path);
    /// The value of a "-D NAME="value"" line of the server program's "-V"
    /// output, or empty.
    static QString compiledSetting(const QString &output, const QString &name);
    /// What the server program says of itself with "-V" (each empty when it
    /// does not say).
    struct CompiledSettings {
        QString httpdRoot;        ///< HTTPD_ROOT
        QString serverConfigFile; ///< SERVER_CONFIG_FILE, as written
        QString defaultPidLog;    ///< DEFAULT_PIDLOG, as written
    };
    /// The program's answer, kept between runs while the program is the same
    /// (see PHServerConfigCache); empty when it cannot be run.
    static CompiledSettings compiledSettings(const QString &binary);
    /// The configuration file the server program reads when it is given
    /// none (its SERVER_CONFIG_FILE, below HTTPD_ROOT when relative), or
    /// empty when the program cannot tell.
    static QString compiledConfigFile(const QString &binary);

private:
    void readFile(const QString &path, int depth);
    void include(const QString &value, int depth);
    QString expanded(const QString &text) const;

    QString m_serverRoot;
    QHash<QString, QString> m_environment;
    QHash<QString, QString> m_defines;
    QHash<QString, int> m_lineCounts;
    QList<Line> m_lines;
    int m_files = 0;
    /// What the lines came from: each file read (its identity and state
    /// when read) and each Include's matches.
    struct Source {
        QString path;
        QByteArray state;
    };
    std::vector<Source> m_sources;
    std::vector<std::pair<QString, QStringList>> m_includes;
    /// A file changed just before it was read could change again within the
    /// same tick of the file system's clock, and look the same: not kept.
    bool m_racy = false;
    qint64 m_readStart = 0;
    bool isCurrent() const;
};
