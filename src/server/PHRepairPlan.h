#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

/// One line a repair changes: its number (in the file as it will be), the
/// section it is in, and the line before and after (`before` empty for a
/// line the repair adds).
struct PHRepairChange {
    qint32 line = 0;
    QString block;
    QString before;
    QString after;
};

/// What makes the server read the access files of a web folder, touching
/// only the section that governs that folder: the most specific
/// <Directory> section in force that applies to it (the document root's,
/// the virtual host's, userdir's "/home/*/public_html"), never
/// "<Directory />" (the whole disk), never a section of another folder and
/// never a commented-out line; or, when no section but "/" applies, one
/// added for the folder at the end of the main file.
struct PHRepairPlan {
    /// One line replaced or added.
    struct Edit {
        enum class Kind { Replace, InsertAfter, Append };
        Kind kind = Kind::Replace;
        qint32 line = 0; ///< the line replaced (first to last), or the one the new line follows
        qint32 lastLine = 0;
        QString text;          ///< the new line, indented as its neighbours
        PHRepairChange change; ///< for Append, `line` is filled in when the file is written
    };

    /// Files to rewrite (links resolved), each with its edits in file order.
    QList<std::pair<QString, QList<Edit>>> files;
    /// The folder's access files are read already: nothing to do.
    bool honoured = false;
    /// The section whose AllowOverride is in force for the folder ("" for
    /// the server's default, None).
    QString governing;
    /// Something the repair cannot change but the user should know.
    QString note;

    /// The plan for `webFolders` (the same folder under each of its names:
    /// as the server sees it, links resolved) under the configuration read
    /// from `mainFile` with `serverRoot` and `environment`.
    static PHRepairPlan make(const QString &mainFile, const QString &serverRoot,
                             const QHash<QString, QString> &environment, const QStringList &webFolders);

    /// Whether AllowOverride with these arguments lets the server read what
    /// Porthold writes: the password directives (AuthConfig) and the address
    /// ones (Limit).
    static bool honoursAccessFiles(const QStringList &overrides);

    /// The edits for `file` (links resolved), none when it is not changed.
    QList<Edit> editsFor(const QString &file) const;
};
