#pragma once

#include "model/PHViewProtocols.h"

#include <QHash>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <memory>

class PHFSItem;
class PHOutlineView;
class QFileSystemWatcher;
class QMenu;

/// Data source and delegate of the folder outline: one top row (the web
/// folder itself), subfolders listed as rows are expanded, a mode pop-up per
/// row, a delete button where an access file exists. Mode changes and new
/// selections wait for the panel's unsaved-manual-edits prompt, and folders
/// reopen as they were when rows come into view, also after a rebuild. The
/// folders of the rows shown are watched: an access file another program
/// changed is read again (unless it is the one being edited by hand) and
/// `accessFileChangedOnDisk` names its folder.
class PHFSDataSource : public QObject, public PHOutlineViewDataSource, public PHOutlineViewDelegate {
    Q_OBJECT
public:
    /// Drawn after the mode of a folder whose protection also comes from a
    /// folder above (its tooltip says which).
    static inline const QString inheritedMark = QStringLiteral("\u2191");
    /// Beside a mode that is not what the server does (refused, cannot tell,
    /// open without the password the mode asks for).
    static inline const QString noteMark = QStringLiteral("\u26A0");
    /// Rooted at "/".
    explicit PHFSDataSource(QObject *parent = nullptr);
    PHFSDataSource(const QString &rootPath, QObject *parent = nullptr);
    ~PHFSDataSource() override;

    /// Replaces the tree with a new one for the path; the old tree goes.
    void setRootPath(const QString &path);
    QString rootPath() const;
    PHFSItem *rootItem() const { return m_rootItem.get(); }
    void setMenu(QMenu *menu) { m_popup = menu; }
    /// Why no folder's protection can be changed now (a web folder that is
    /// missing or cannot be written), or empty. While set, the pop-ups and
    /// delete buttons are disabled and the pop-ups' tooltips say why.
    void setChangeRefusal(const QString &reason) { m_changeRefusal = reason; }
    const QString &changeRefusal() const { return m_changeRefusal; }
    QMenu *menu() const { return m_popup; }
    /// Redraws the outline.
    void refresh(QObject *view);

    /// Reads again the access files of the watched folders that changed on
    /// disk; the watcher calls it when a folder changes.
    void folderChangedOnDisk(const QString &path);

    /// The mode a folder shows: 0 when disabled, 4 above status 3, else its status.
    static qint32 modeIndexForItem(const PHFSItem *item);

    // Data source.
    qint32 outlineViewNumberOfChildrenOfItem(QObject *outline, void *item) override;
    bool outlineViewIsItemExpandable(QObject *outline, void *item) override;
    void *outlineViewChildOfItem(QObject *outline, qint32 index, void *item) override;
    QVariant outlineViewObjectValueForTableColumnByItem(QObject *outline, const QString &column,
                                                        void *item) override;
    void outlineViewSetObjectValueForTableColumnByItem(QObject *outline, const QVariant &value,
                                                       const QString &column, void *item) override;
    void *outlineViewParentOfItem(QObject *outline, void *item, bool *known) override;
    /// Every node knows its parent, and a tree is replaced only together
    /// with a reload of the outline.
    bool outlineViewKnowsParents(QObject *) override { return true; }
    // Delegate.
    bool outlineViewShouldEditTableColumnItem(QObject *outline, const QString &column, void *item) override;
    void outlineViewWillDisplayCellForTableColumnItem(QObject *outline, PHCell &cell, const QString &column,
                                                      void *item) override;
    bool outlineViewShouldSelectItem(QObject *outline, void *item) override;
    void outlineViewSelectionDidChange(QObject *outline) override;
    void outlineViewItemWillExpand(QObject *outline, void *item) override;
    void outlineViewItemWillCollapse(QObject *outline, void *item) override;

signals:
    /// The access file of `item` was changed by another program and read again.
    void accessFileChangedOnDisk(PHFSItem *item);

private:
    PHFSItem *nodeFor(void *item) const;
    /// The loaded node of a folder path, or nullptr.
    PHFSItem *loadedNodeForPath(const QString &path) const;
    void watch(PHFSItem *node);
    QIcon iconForPath(const QString &path);
    void restoreExpansion(PHOutlineView *outline, PHFSItem *node);

    std::unique_ptr<PHFSItem> m_rootItem;
    QPointer<QMenu> m_popup;
    QIcon m_deleteIdle;
    QIcon m_deletePressed;
    QHash<QString, QIcon> m_icons;
    QSet<PHFSItem *> m_pendingExpansions;
    QFileSystemWatcher *m_watcher;
    QSet<QString> m_watched; // the paths watch() was asked for, watched or not a folder
    QString m_changeRefusal;
};
