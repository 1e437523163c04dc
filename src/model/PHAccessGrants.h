#pragma once

#include "model/PHFSItem.h"

#include <QList>
#include <QString>
#include <QStringList>

/// Where a user or group is let in: the folders of a web tree whose access
/// files have a "Require user" or "Require group" line in force naming it, and
/// taking a deleted user or group out of them.
///
/// The access text is read as the server reads it (every uncommented line,
/// names compared exactly), not through the panel's lists, which only hold
/// names the user and group files know: a name that is no longer a user still
/// lets a new user of that name in.
class PHAccessGrants {
public:
    enum class Kind { User, Group };

    /// A folder whose access file lets the name in.
    struct Folder {
        PHFSItemPointer node;
        /// The folder relative to the root of the walk, "." for the root itself.
        QString relativePath;
        /// Its file is edited by hand only: reported, never rewritten.
        bool handManaged = false;
    };

    /// What removing a name did, by folder (relative paths).
    struct Removal {
        QStringList changed;
        /// "folder: why" for each file that could not be rewritten.
        QStringList failed;
        /// Hand-managed files that still let the name in.
        QStringList leftAlone;
        bool succeeded() const { return failed.isEmpty(); }
    };

    /// Every folder at or below `root` (subfolders listed as needed, each
    /// folder once however many links lead to it) that lets the name in.
    /// Folders more than PHFSItem::kMaxDepth levels down are not walked;
    /// `*notWalked` gets the first folder whose subfolders were left out
    /// (relative to `root`), or is emptied when none were.
    static QList<Folder> foldersRequiring(PHFSItem *root, const QString &name, Kind kind,
                                          QString *notWalked = nullptr);
    /// Whether an access text has a line in force requiring the name.
    static bool textRequires(const QString &accessText, const QString &name, Kind kind);
    /// Rewrites each folder's access file without the name (each file
    /// replaced atomically by the folder itself). Hand-managed files are left
    /// as they are. A file that still names it afterwards counts as failed.
    static Removal removeName(const QList<Folder> &folders, const QString &name, Kind kind);

    /// "photos", "photos and docs", "a, b and c".
    static QString joinedFolderNames(const QList<Folder> &folders);
};
