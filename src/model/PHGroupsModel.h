#pragma once

#include "model/PHItemModel.h"
#include "model/PHModelContext.h"
#include "model/PHUserItem.h"
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
/// As an item model: groups at the top, their members below (each index's
/// internal pointer is its node); column "group" names them, a check column
/// says whether the selected folder requires the group. Users dropped onto a
/// group join it.
///
/// Failures: a write that cannot be made (unwritable folder, a name that is
/// not ASCII or would break the line format) leaves the old file whole, reads
/// the tree again from disk, logs the failure and reports
/// `kGroupFileWriteError`. A file that exists but cannot be read is logged,
/// reported with `kGroupFileReadError`, and is not written over until a later
/// read succeeds; nor is it while the user file could not be read (every
/// member would look unknown and be lost).
class PHGroupsModel : public PHItemModel {
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
    explicit PHGroupsModel(const PHModelContext &context, QObject *parent = nullptr);
    /// The tree of the group file at the front end's group-file location,
    /// members filtered against `users`.
    PHGroupsModel(const PHModelContext &context, const QStringList &users, QObject *parent = nullptr);
    ~PHGroupsModel() override;

    /// Reads the group file (see the class comment for failures) and returns
    /// its root; the model's own tree is not replaced.
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
    /// The group file's path, or empty when the front end names no web folder.
    QString groupfilePath() const;

    /// The tree a group-file text holds. One group per line, "name: member
    /// member ..."; a "\r" before the line feed is dropped; lines without a
    /// colon or with a blank name are skipped; members are split at single
    /// blanks and kept only when they are exactly one of `users`.
    static PHUserItem::Ptr rootFromText(const QString &text, const QStringList &users);
    /// The group-file text of a tree, or none when a name would not read back
    /// (`*why` says which).
    static std::optional<QString> textFromRoot(const PHUserItem &root, QString *why = nullptr);

    // ----- The item model.

    /// The index of a node of this tree (invalid for the root or a stranger).
    QModelIndex indexForNode(const PHUserItem *node, int column = 0) const;
    /// The node behind an index, or null.
    PHUserItem *nodeForIndex(const QModelIndex &index) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    /// A group without members has nothing to show under an arrow.
    bool hasChildren(const QModelIndex &parent = {}) const override;
    /// "group": the name (a group's may be typed into). Any other column: a
    /// check box, whether the selected folder requires the group (none for a
    /// member).
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    /// "group" renames a group (blanks, colons, tabs and line ends removed);
    /// any other column ticks or clears it for the selected folder. Members
    /// ignore both.
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    /// The in-place editor's check of a new group name.
    bool acceptsEditedText(const QModelIndex &index, const QString &text) override;
    /// A closing group is selected, so the selection never hides in it.
    void expansionChanged(const QModelIndex &index, bool expanded) override;
    QStringList mimeTypes() const override;
    /// Users may be dropped onto a group.
    bool canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                         const QModelIndex &parent) const override;
    /// Makes the dragged user a member at the row, unless it is one already.
    bool dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                      const QModelIndex &parent) override;
    /// Makes a user of the panel's user file a member of `group` at the child
    /// index (clamped) and saves the group file; what a drop does, for menus.
    bool addMember(const QString &user, PHUserItem *group, qint32 childIndex);

    /// The name a typed group name is stored under.
    static QString cleanGroupName(const QString &typed);

signals:
    /// A folder now requires this group (the panel checks that Apache can use groups).
    void groupRequired(const QString &name);
    /// A name could not be used as asked (typed, ticked or dropped); the
    /// message says why, for the person who asked.
    void nameRefused(const QString &message);
    /// A new group name is still required by some access files: said once
    /// before the name is taken.
    void nameStillRequired(const QString &name, const QString &message);

private:
    enum class Report { Quietly, Loudly };
    PHUserItem::Ptr readGroupfile(const QStringList &users, Report report);
    QStringList currentUsers() const;
    QString webRootPath() const;
    void failWrite(const QString &path, const QString &why);
    /// Each group with its members as one line's worth of text.
    static QList<std::pair<QString, QString>> entriesOf(const PHUserItem &root);
    /// Folds in what another program changed on disk since the last read or
    /// write; false when the file cannot be read now.
    bool mergeChangesOnDisk(const QString &path);
    bool belongsToTree(const PHUserItem *item) const;
    /// Puts `root` in place of the tree and shows it.
    void replaceTree(PHUserItem::Ptr root);
    bool renameGroup(PHUserItem *node, const QString &typed);
    bool setRequired(PHUserItem *node, bool required);

    PHModelContext m_context;
    PHUserItem::Ptr m_rootItem;
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
