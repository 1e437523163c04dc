#pragma once

#include "model/PHItemModel.h"
#include "model/PHModelContext.h"

#include <QHash>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <memory>

class PHFSItem;
class PHFolderWatcher;

/// The folder outline's model: one top row (the web folder itself), each
/// folder's subfolders listed when the view first opens it (fetchMore), a
/// mode pop-up per row, a delete button where an access file exists. Each
/// index's internal pointer is its folder's node. Mode changes and new
/// selections wait for the panel's unsaved-manual-edits prompt, and folders
/// reopen as they were when rows come into view, also after a rebuild. The
/// folders of the rows shown are watched: an access file another program
/// changed is read again (unless it is the one being edited by hand) and
/// `accessFileChangedOnDisk` names its folder. The rows a closed folder hides
/// are not watched; their access files are read again when they show again.
class PHFolderModel : public PHItemModel {
    Q_OBJECT
public:
    /// Drawn after the mode of a folder whose protection also comes from a
    /// folder above (its tooltip says which).
    static inline const QString inheritedMark = QStringLiteral("\u2191");
    /// Beside a mode that is not what the server does (refused, cannot tell,
    /// open without the password the mode asks for).
    static inline const QString noteMark = QStringLiteral("\u26A0");
    /// Rooted at "/".
    explicit PHFolderModel(QObject *parent = nullptr);
    PHFolderModel(const QString &rootPath, QObject *parent = nullptr);
    ~PHFolderModel() override;

    /// What the trees' access files are read against, and the guard of the
    /// manual editor's unsaved text; handed to the tree now and to each new one.
    void setContext(const PHModelContext &context);
    /// The panel's bundle, whose Resources hold the delete button's images.
    void setBundlePath(const QString &bundlePath);
    /// Replaces the tree with a new one for the path; the old tree goes.
    void setRootPath(const QString &path);
    QString rootPath() const;
    PHFSItem *rootItem() const { return m_rootItem.get(); }
    /// Why no folder's protection can be changed now (a web folder that is
    /// missing or cannot be written), or empty. While set, the pop-ups and
    /// delete buttons are disabled and the pop-ups' tooltips say why.
    void setChangeRefusal(const QString &reason) { m_changeRefusal = reason; }
    const QString &changeRefusal() const { return m_changeRefusal; }

    /// What follows the folders shown for changes.
    PHFolderWatcher *watcher() const { return m_watcher; }
    /// Reads again the access files of the watched folders that changed on
    /// disk; the watcher calls it when a folder changes.
    void folderChangedOnDisk(const QString &path);

    /// The mode a folder shows: 0 when disabled, 4 above status 3, else its status.
    static qint32 modeIndexForItem(const PHFSItem *item);

    /// The index of a folder of this tree whose row the view has been given
    /// (its folder listed); invalid otherwise.
    QModelIndex indexForFolder(const PHFSItem *folder, int column = 0) const;
    /// The folder behind an index, or null.
    PHFSItem *folderForIndex(const QModelIndex &index) const;
    /// Shows a folder's row again, and with `children` those of its listed subfolders.
    void refreshFolder(const PHFSItem *folder, bool children = false);

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    /// The subfolders of a listed folder; none until it is listed.
    int rowCount(const QModelIndex &parent = {}) const override;
    /// A folder below the top row is taken to have subfolders until it is listed.
    bool hasChildren(const QModelIndex &parent = {}) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    /// Lists the folder; one found empty loses its arrow.
    void fetchMore(const QModelIndex &parent) override;
    /// "dir": the folder's name and icon. "protect": the mode pop-up
    /// (EditRole its item, DisplayRole the mode's name), its mark and why.
    /// Any other column: the delete button, where there is an access file.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    /// A mode chosen in the pop-up, once no unsaved manual edit is in the way.
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    /// Held back while the manual editor has unsaved text.
    bool maySelect(const QModelIndex &index) override;
    /// Remembered by path, so a rebuilt tree opens the same folders.
    void expansionChanged(const QModelIndex &index, bool expanded) override;

signals:
    /// The access file of `item` was changed by another program and read again.
    void accessFileChangedOnDisk(PHFSItem *item);
    /// A folder's mode was chosen from its pop-up and its file rewritten.
    void modeChanged(PHFSItem *item);

private:
    /// The loaded node of a folder path, or nullptr.
    PHFSItem *loadedNodeForPath(const QString &path) const;
    void watch(PHFSItem *node) const;
    void unwatchBelow(PHFSItem *folder);
    QIcon iconForPath(const QString &path) const;
    /// Opens a folder that was open before the tree was rebuilt, as its row comes into view.
    void restoreExpansion(PHFSItem *node) const;
    void chooseMode(PHFSItem *node, qint32 mode);

    PHModelContext m_context;
    std::unique_ptr<PHFSItem> m_rootItem;
    QIcon m_deleteIdle;
    QIcon m_deletePressed;
    mutable QHash<QString, QIcon> m_icons;
    // Folders waiting for a queued reopening, and those the view has open.
    mutable QSet<const PHFSItem *> m_pendingExpansions;
    QSet<const PHFSItem *> m_expanded;
    // Where the folders that have rows shown below them sit.
    mutable QHash<const PHFSItem *, int> m_parentRows;
    // The folder being listed, whose rows are not announced yet.
    PHFSItem *m_listing = nullptr;
    PHFolderWatcher *m_watcher;
    // Folders no longer followed since a folder above them was closed: read
    // again when their rows show again.
    mutable QSet<QString> m_lapsed;
    QString m_changeRefusal;
};
