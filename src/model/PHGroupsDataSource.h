#pragma once

#include "model/PHUserItem.h"
#include "model/PHViewProtocols.h"
#include "support/posix/PHErrorCode.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class PHFSItem;

/// The web groups: the group file `.htgroups` read into a tree of
/// `PHUserItem` nodes (root → groups → members), written back whole after
/// every change. Members are kept only when they are known users; group names
/// are kept exactly as written, surrounding blanks included.
///
/// The outline's questions (`outlineViewChildOfItem`, ...) take the outline as
/// a plain `QObject *` and nodes as `PHUserItem *`; the outline's item-model
/// adapter forwards to them. Rows changes are announced with
/// `reloadRequested`, never by touching a view.
///
/// Failures: a write that cannot be made (unwritable folder, a name that is
/// not ASCII or would break the line format) leaves the old file whole, reads
/// the tree again from disk, logs the failure and reports
/// `kGroupFileWriteError`. A file that exists but cannot be read is logged,
/// reported with `kGroupFileReadError`, and is not written over until a later
/// read succeeds; nor is it while the user file could not be read (every
/// member would look unknown and be lost).
class PHGroupsDataSource : public QObject, public PHOutlineViewDataSource, public PHOutlineViewDelegate {
    Q_OBJECT

public:
    /// The group file could not be saved (the tree now shows the file on disk).
    static constexpr qint32 kGroupFileWriteError = PHError::GroupFileWrite;
    /// The group file exists but could not be read; it is left alone.
    static constexpr qint32 kGroupFileReadError = PHError::GroupFileRead;
    /// Posted after the group file was written; userInfo "path" names it.
    static inline const QString GroupFileDidSaveNotification = QStringLiteral("PHGroupFileDidSave");
    /// Another program changed some of the groups this tree changed; its
    /// version was kept.
    static constexpr qint32 kGroupFileConflictError = PHError::GroupFileConflict;

    /// An empty tree.
    explicit PHGroupsDataSource(QObject *parent = nullptr);
    /// The tree of the group file at the panel's group-file location, members
    /// filtered against `users`.
    explicit PHGroupsDataSource(const QStringList &users, QObject *parent = nullptr);
    ~PHGroupsDataSource() override;

    /// Reads the group file (see the class comment for failures) and returns
    /// its root; the data source's own tree is not replaced.
    PHUserItem::Ptr parseGroupfileWithUsers(const QStringList &users);
    /// Writes the tree; true when the file on disk now holds it.
    bool writeGroupfile();
    /// Writes unless the tree is empty and there is no file (leaving the panel
    /// must not create files nobody asked for), nor while it or the user file
    /// could not be read (false, quietly: refused changes were reported then).
    bool writeGroupfileUnlessEmptyAndMissing();

    PHUserItem *rootItem() const { return m_rootItem.get(); }
    /// The groups, in tree order.
    PHUserItem::Children rootArray() const { return m_rootItem->children(); }
    /// The group names in tree order.
    QStringList list() const;
    /// Appends a group with no members (re-sorting the groups when "Sort
    /// Groups" is on) and returns it. Writes nothing.
    PHUserItem::Ptr addNewGroup(const QString &name);
    /// "Group N" with the smallest N from 1 up that `containsItem` reports
    /// free: the name a freshly added group gets until it is renamed.
    QString newGroupName() const;
    /// Orders the groups with `PHUserItem::compareTo`.
    void sortGroups();
    /// Whether another group has this name ignoring letter case. The group
    /// being renamed in the outline does not count, so a group can change the
    /// case of its own name.
    bool containsItem(const QString &name) const;
    /// Removes every membership of the user (name trimmed; repeated ones
    /// too), then writes the file once and reloads the outline when anything
    /// went.
    void removeUserFromGroups(const QString &user);
    /// Removes a group or a membership, writes the file and reloads the
    /// outline. False for a node that is not in this tree (nothing is written)
    /// or when the removal could not be saved.
    bool removeItem(PHUserItem *item);
    /// The group named exactly `name`, or null.
    PHUserItem::Ptr groupNamed(const QString &name) const;
    /// The members of a group, in file order.
    static QStringList memberNames(const PHUserItem &group);
    /// Removes the group named exactly `name`, as removeItem does.
    bool deleteGroup(const QString &name);
    /// Takes `user` out of the group named `group`, as removeItem does.
    bool removeMember(const QString &group, const QString &user);
    /// Makes `names` the members of the group named `group`, in that order
    /// (members that stay keep their nodes), and writes the file. The caller
    /// has checked the names. False when there is no such group or the file
    /// could not be saved.
    bool setMembers(const QString &group, const QStringList &names);
    /// The folder selected in the panel, whose "Require group" list the outline edits.
    PHFSItem *activeDirectory() const;

    /// The groups outline, used for reloads and to learn which group is being
    /// renamed.
    void setOutlineView(QObject *outlineView) { m_associatedView = outlineView; }
    QObject *associatedView() const { return m_associatedView; }
    /// Asks the outline which node's name is being edited right now (null
    /// when none). Without one, no edit is ever in progress.
    void setEditedItemProvider(std::function<PHUserItem *()> provider) { m_editedItem = std::move(provider); }
    PHUserItem *editedItem() const { return m_editedItem ? m_editedItem() : nullptr; }
    /// Asks which folders' access files still require a group name (their
    /// names joined for people; empty when none). A group renamed to such a
    /// name is refused with a warning (`nameStillRequired`) until the person
    /// has read it (`acknowledgeRequiredName`); then the same name is taken.
    void setRequiredElsewhereProvider(std::function<QString(const QString &)> provider) {
        m_requiredElsewhere = std::move(provider);
    }
    void acknowledgeRequiredName(const QString &name) { m_acknowledgedRequiredName = name; }

    /// Whether the last read of the group file failed (writing is suspended).
    bool loadFailed() const { return m_loadFailed; }
    /// The panel tells the groups when the user file could not be read: the
    /// members then cannot be told from strangers, so nothing is written.
    void setUserFileLoadFailed(bool failed) { m_userFileLoadFailed = failed; }
    /// The group file's path, or empty when the panel names no web folder.
    static QString groupfilePath();

    /// The tree a group-file text holds. One group per line, "name: member
    /// member ..."; a "\r" before the line feed is dropped; lines without a
    /// colon or with a blank name are skipped; members are split at single
    /// blanks and kept only when they are exactly one of `users`.
    static PHUserItem::Ptr rootFromText(const QString &text, const QStringList &users);
    /// The group-file text of a tree, or none when a name would not read back
    /// (`*why` says which).
    static std::optional<QString> textFromRoot(const PHUserItem &root, QString *why = nullptr);

    // ----- The groups outline: groups at the top, their members below.

    qint32 outlineViewNumberOfChildrenOfItem(QObject *outline, void *item) override;
    bool outlineViewIsItemExpandable(QObject *outline, void *item) override;
    void *outlineViewChildOfItem(QObject *outline, qint32 index, void *item) override;
    void *outlineViewParentOfItem(QObject *outline, void *item, bool *known) override;
    /// "group": the name. Any other column: whether the selected folder
    /// requires the group (false for a member).
    QVariant outlineViewObjectValueForTableColumnByItem(QObject *outline, const QString &column,
                                                        void *item) override;
    /// "group" renames a group (blanks, colons, tabs and line ends removed);
    /// any other column ticks or clears it for the selected folder. Members
    /// ignore both.
    void outlineViewSetObjectValueForTableColumnByItem(QObject *outline, const QVariant &value,
                                                       const QString &column, void *item) override;
    bool outlineViewShouldEditTableColumnItem(QObject *outline, const QString &column, void *item) override;
    void outlineViewWillDisplayCellForTableColumnItem(QObject *outline, PHCell &cell, const QString &column,
                                                      void *item) override;
    void outlineViewSelectionDidChange(QObject *outline) override;
    /// Selects the collapsing node, so the selection never hides in a closed group.
    void outlineViewItemWillCollapse(QObject *outline, void *item) override;
    bool validatesText() const override { return true; }
    /// The in-place editor's check of a new group name.
    bool outlineViewValidateText(QObject *outline, const QString &text) override;
    QStringList outlineViewPasteboardTypes(QObject *outline) override;
    /// Users may be dropped onto a group (a negative child index becomes 0).
    bool outlineViewValidateDrop(QObject *outline, const QMimeData *drag, void *&item,
                                 qint32 &childIndex) override;
    /// Makes the dragged user a member at the child index, unless it is one already.
    bool outlineViewAcceptDrop(QObject *outline, const QMimeData *drag, void *item,
                               qint32 childIndex) override;
    /// Makes a user of the panel's user file a member of `group` at the child
    /// index (clamped) and saves the group file; what a drop does, for menus.
    bool addMember(QObject *outline, const QString &user, PHUserItem *group, qint32 childIndex);

    /// The name a typed group name is stored under.
    static QString cleanGroupName(const QString &typed);

signals:
    /// The tree changed; the outline (the view passed, or any when null) must
    /// be reloaded.
    void reloadRequested(QObject *view);
    /// The groups are about to change places (none added or removed), and
    /// have: the outline moves its rows, selection and expansion with them.
    void groupsAboutToBeReordered();
    void groupsReordered();
    /// A folder now requires this group (the panel checks that Apache can use groups).
    void groupRequired(const QString &name);
    /// A name could not be used as asked (typed, ticked or dropped); the
    /// message says why, for the person who asked.
    void nameRefused(const QString &message);
    /// A new group name is still required by some access files: said once
    /// before the name is taken.
    void nameStillRequired(const QString &name, const QString &message);
    /// The outline `view` should select `item` alone.
    void selectionRequested(QObject *view, void *item);
    /// The outline `view` should show `item`'s children.
    void expansionRequested(QObject *view, void *item);
    /// The outline `view` should send its action, as after a click.
    void actionRequested(QObject *view);
    /// An edit was refused without words: the view beeps.
    void beepRequested();

private:
    enum class Report { Quietly, Loudly };
    PHUserItem::Ptr readGroupfile(const QStringList &users, Report report);
    QStringList currentUsers() const;
    void failWrite(const QString &path, const QString &why);
    /// Each group with its members as one line's worth of text.
    static QList<std::pair<QString, QString>> entriesOf(const PHUserItem &root);
    /// Folds in what another program changed on disk since the last read or
    /// write; false when the file cannot be read now.
    bool mergeChangesOnDisk(const QString &path);
    bool belongsToTree(const PHUserItem *item) const;

    PHUserItem::Ptr m_rootItem;
    QPointer<QObject> m_associatedView;
    std::function<PHUserItem *()> m_editedItem;
    std::function<QString(const QString &)> m_requiredElsewhere;
    QString m_warnedRequiredName;       // a required name being warned about
    QString m_acknowledgedRequiredName; // ... and the person has read the warning
    QStringList m_users;
    bool m_loadFailed = false;
    bool m_userFileLoadFailed = false;
    /// The groups as the file held them when last read or written here.
    QList<std::pair<QString, QString>> m_savedEntries;
};
