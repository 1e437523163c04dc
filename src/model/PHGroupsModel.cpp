#include "model/PHGroupsModel.h"

#include "core/Log.h"
#include "core/NotificationCenter.h"
#include "model/PHAuthFiles.h"
#include "model/PHConfigText.h"
#include "model/PHFileMerge.h"
#include "model/PHSettings.h"
#include "model/PHWebRoot.h"
#include "support/PHExtensions.h"
#include "support/PHSettingsStore.h"
#include "support/PHTextFile.h"
#include "support/PHWebTreeFile.h"
#include "support/PHWriteLock.h"

#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <utility>

namespace {

PHUserItem::Ptr emptyRoot() {
    return PHUserItem::itemWithValueParentChildren(QString(), nullptr, PHUserItem::Children());
}

bool isAscii(const QString &text) {
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

// A colon would end the group name early; a line feed would start a new group.
bool breaksLine(const QString &name) {
    return name.contains(QLatin1Char(':')) || name.contains(QLatin1Char('\n'));
}

/// Each group of a group-file text with every member listed, known or not.
PHFileMerge::Entries rawEntries(const QString &text) {
    QStringList words;
    for (const PHGroupFile::Group &group : PHGroupFile::read(text))
        words += group.members;
    PHFileMerge::Entries entries;
    const PHUserItem::Ptr root = PHGroupsModel::rootFromText(text, words);
    for (const PHUserItem::Ptr &group : root->children()) {
        QStringList members;
        for (const PHUserItem::Ptr &member : group->children())
            members.append(member->value());
        entries.append({group->value(), members.join(QLatin1Char(' '))});
    }
    return entries;
}

/// What a tree that never read the file holds as the file's groups: a group
/// without a name, which no file can hold. Such a tree has no version of the
/// file to merge from, and writes its own.
const PHFileMerge::Entries &neverRead() {
    static const PHFileMerge::Entries marker{{QString(), QString()}};
    return marker;
}

/// The entries with only the members who are users.
PHFileMerge::Entries knownMembersOnly(const PHFileMerge::Entries &entries, const QStringList &users) {
    PHFileMerge::Entries known;
    for (const auto &[group, members] : entries) {
        QStringList kept;
        for (const QString &member : members.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            if (users.contains(member))
                kept.append(member);
        known.append({group, kept.join(QLatin1Char(' '))});
    }
    return known;
}

} // namespace

PHGroupsModel::PHGroupsModel(const PHModelContext &context, QObject *parent)
    : PHItemModel(parent), m_context(context), m_rootItem(emptyRoot()), m_savedEntries(neverRead()) {
}

PHGroupsModel::PHGroupsModel(const PHModelContext &context, const QStringList &users, QObject *parent)
    : PHItemModel(parent), m_context(context), m_rootItem(emptyRoot()) {
    m_rootItem = parseGroupfileWithUsers(users);
}

PHGroupsModel::~PHGroupsModel() = default;

QString PHGroupsModel::groupfilePath() const {
    return m_context.location(PHWebRoot::GroupFile);
}

QString PHGroupsModel::webRootPath() const {
    return m_context.location(PHWebRoot::Root);
}

// ---------------------------------------------------------------- reading

PHUserItem::Ptr PHGroupsModel::rootFromText(const QString &text, const QStringList &users) {
    PHUserItem::Ptr root = emptyRoot();
    const QSet<QString> known(users.cbegin(), users.cend());
    // A line whose name is blank makes no group.
    for (const PHGroupFile::Group &read : PHGroupFile::read(text)) {
        if (read.name.isEmpty())
            continue;
        PHUserItem::Ptr group =
            PHUserItem::itemWithValueParentChildren(read.name, root, PHUserItem::Children());
        root->children().append(group);
        for (const QString &member : read.members)
            if (known.contains(member))
                group->children().append(
                    PHUserItem::itemWithValueParentChildren(member, group, std::nullopt));
    }
    return root;
}

PHUserItem::Ptr PHGroupsModel::readGroupfile(const QStringList &users, Report report) {
    m_users = users;
    m_loadFailed = false;
    const QString path = groupfilePath();
    if (path.isEmpty())
        return emptyRoot();
    const PHTextFile file = PHTextFile::readBelow(webRootPath(), path);
    switch (file.status) {
    case PHTextFile::Status::Read: {
        m_savedEntries = rawEntries(file.text);
        return rootFromText(file.text, users);
    }
    case PHTextFile::Status::Missing:
        m_savedEntries.clear();
        return emptyRoot();
    case PHTextFile::Status::Unreadable:
    case PHTextFile::Status::Undecodable:
        break;
    }
    m_loadFailed = true;
    Log::write(QStringLiteral("could not read the group file %1: %2").arg(path, file.error));
    if (report == Report::Loudly) {
        m_context.displayError(kGroupFileReadError, QStringLiteral("%1: %2").arg(path, file.error));
    }
    return emptyRoot();
}

PHUserItem::Ptr PHGroupsModel::parseGroupfileWithUsers(const QStringList &users) {
    return readGroupfile(users, Report::Loudly);
}

QStringList PHGroupsModel::currentUsers() const {
    // The panel's list is the current one; the list given when the tree was
    // read misses users added since.
    return m_context.names ? m_context.names->userNames() : m_users;
}

// ---------------------------------------------------------------- writing

std::optional<QString> PHGroupsModel::textFromRoot(const PHUserItem &root, QString *why) {
    auto refuse = [why](const QString &reason) -> std::optional<QString> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    QString text;
    for (const PHUserItem::Ptr &group : root.children()) {
        const QString &name = group->value();
        if (breaksLine(name) || PHString::stringByRemovingSurroundingWhitespace(name).isEmpty())
            return refuse(QStringLiteral("the group name \"%1\" cannot be stored in a group file").arg(name));
        text += name + QStringLiteral(": ");
        for (const PHUserItem::Ptr &member : group->children()) {
            if (breaksLine(member->value()))
                return refuse(QStringLiteral("the member \"%1\" of \"%2\" cannot be stored in a group file")
                                  .arg(member->value(), name));
            // A member the server would read as a quoted word is written as one.
            const QString word = PHConfigText::quotedWord(member->value());
            if (word.isEmpty())
                return refuse(QStringLiteral("the member \"%1\" of \"%2\" cannot be stored in a group file")
                                  .arg(member->value(), name));
            text += word + QLatin1Char(' ');
        }
        text += QLatin1Char('\n');
    }
    // What is written must read back, as the server reads it, as these groups.
    const QList<PHGroupFile::Group> readBack = PHGroupFile::read(text);
    if (readBack.size() != root.children().size())
        return refuse(QStringLiteral("a group name would not read back as itself from the group file"));
    for (qsizetype i = 0; i < readBack.size(); ++i) {
        const PHUserItem &group = *root.children().at(i);
        QStringList members;
        for (const PHUserItem::Ptr &member : group.children())
            members.append(member->value());
        if (readBack.at(i).name != group.value() || readBack.at(i).members != members)
            return refuse(QStringLiteral("the group \"%1\" would not read back as itself from the group file")
                              .arg(group.value()));
    }
    return text;
}

void PHGroupsModel::failWrite(const QString &path, const QString &why) {
    Log::write(QStringLiteral("could not save the group file %1: %2").arg(path, why));
    // Show what is in force rather than what failed to be saved.
    replaceTree(readGroupfile(currentUsers(), Report::Quietly));
    m_context.displayError(kGroupFileWriteError, QStringLiteral("%1: %2").arg(path, why));
}

bool PHGroupsModel::writeGroupfile() {
    const QString path = groupfilePath();
    if (path.isEmpty())
        return false;
    if (m_loadFailed) {
        failWrite(path, QStringLiteral("it could not be read, and saving over it would lose its groups"));
        return false;
    }
    if (m_userFileLoadFailed) {
        failWrite(path,
                  QStringLiteral("the user file could not be read, and saving would drop every member"));
        return false;
    }
    // Held from the reading that merges another program's changes to the
    // rename, so that writers at once keep each other's groups and members.
    const PHWriteLock lock(webRootPath(), QStringLiteral(".htgroups"));
    if (lock.timedOut()) {
        failWrite(path, lock.error());
        return false;
    }
    if (!mergeChangesOnDisk(path))
        return false;
    QString why;
    const std::optional<QString> text = textFromRoot(*m_rootItem, &why);
    if (!text) {
        failWrite(path, why);
        return false;
    }
    if (!isAscii(*text)) {
        failWrite(path, QStringLiteral("a group or member name is not plain ASCII"));
        return false;
    }
    if (!PHWebTreeFile::write(webRootPath(), path, text->toLatin1(), &why)) {
        failWrite(path, why);
        return false;
    }
    m_savedEntries = rawEntries(*text);
    NotificationCenter::defaultCenter().post(GroupFileDidSaveNotification, this,
                                             {{QStringLiteral("path"), path}});
    return true;
}

QList<std::pair<QString, QString>> PHGroupsModel::entriesOf(const PHUserItem &root) {
    QList<std::pair<QString, QString>> entries;
    for (const PHUserItem::Ptr &group : root.children()) {
        QStringList members;
        for (const PHUserItem::Ptr &member : group->children())
            members.append(member->value());
        entries.append({group->value(), members.join(QLatin1Char(' '))});
    }
    return entries;
}

bool PHGroupsModel::mergeChangesOnDisk(const QString &path) {
    const PHTextFile file = PHTextFile::readBelow(webRootPath(), path);
    if (file.status == PHTextFile::Status::Unreadable || file.status == PHTextFile::Status::Undecodable) {
        failWrite(path, QStringLiteral("it could not be read again before saving: %1").arg(file.error));
        return false;
    }
    const auto onDisk =
        file.status == PHTextFile::Status::Read ? rawEntries(file.text) : PHFileMerge::Entries();
    if (onDisk == m_savedEntries || m_savedEntries == neverRead())
        return true;
    // Both versions of the file as this tree reads them: members who are no
    // users are left out alike, so only real changes count.
    const QStringList users = currentUsers();
    const PHFileMerge::Result merge =
        PHFileMerge::threeWay(knownMembersOnly(m_savedEntries, users), entriesOf(*m_rootItem),
                              knownMembersOnly(onDisk, users), PHFileMerge::mergeNameLists);
    PHUserItem::Ptr root = emptyRoot();
    for (const auto &[name, members] : merge.merged) {
        PHUserItem::Ptr group = PHUserItem::itemWithValueParentChildren(name, root, PHUserItem::Children());
        root->children().append(group);
        for (const QString &member : members.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            group->children().append(PHUserItem::itemWithValueParentChildren(member, group, std::nullopt));
    }
    replaceTree(root);
    if (!merge.conflicts.isEmpty()) {
        Log::write(QStringLiteral("the group file %1 was changed by another program; kept its version of %2")
                       .arg(path, merge.conflicts.join(QStringLiteral(", "))));
        m_context.displayError(kGroupFileConflictError);
    }
    return true;
}

bool PHGroupsModel::writeGroupfileUnlessEmptyAndMissing() {
    const QString path = groupfilePath();
    if (m_rootItem->children().isEmpty() && (path.isEmpty() || !QFileInfo(path).exists()))
        return true;
    // Every change since the failed read was refused and reported when it
    // was made: there is nothing unsaved to report again.
    if (m_loadFailed || m_userFileLoadFailed)
        return false;
    if (entriesOf(*m_rootItem) == m_savedEntries)
        return true; // nothing changed here since the file was read or written
    return writeGroupfile();
}

// ---------------------------------------------------------------- editing

QStringList PHGroupsModel::list() const {
    QStringList names;
    names.reserve(m_rootItem->children().size());
    for (const PHUserItem::Ptr &group : m_rootItem->children())
        names.append(group->value());
    return names;
}

PHUserItem::Ptr PHGroupsModel::addNewGroup(const QString &name) {
    PHUserItem::Ptr group = PHUserItem::itemWithValueParentChildren(name, m_rootItem, PHUserItem::Children());
    m_rootItem->children().append(group);
    // Not a re-ordering the outline could follow (a row was added): the
    // caller reloads it.
    if (PHSettingsStore::instance()->boolForKey(PHSettings::Key::SortGroups))
        PHUserItem::sortItems(m_rootItem->children());
    return group;
}

QString PHGroupsModel::newGroupName() const {
    // At most one name per group is taken, so this ends within groups + 1 tries.
    for (qint32 number = 1;; ++number) {
        QString name = QStringLiteral("Group %1").arg(number);
        if (!containsItem(name))
            return name;
    }
}

void PHGroupsModel::sortGroups() {
    // The groups change places, none added or removed: the view's rows,
    // selection and expansion move with them.
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    QList<PHUserItem *> nodes;
    for (const QModelIndex &index : before)
        nodes.append(nodeForIndex(index));
    PHUserItem::sortItems(m_rootItem->children());
    QModelIndexList after;
    for (qsizetype i = 0; i < before.size(); ++i)
        after.append(nodes.at(i) ? indexForNode(nodes.at(i), before.at(i).column()) : QModelIndex());
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void PHGroupsModel::replaceTree(PHUserItem::Ptr root) {
    // The old nodes live until the view has let go of them.
    const PHUserItem::Ptr old = std::exchange(m_rootItem, std::move(root));
    reload();
}

bool PHGroupsModel::containsItem(const QString &name) const {
    const PHUserItem *edited = editedItem();
    const PHUserItem::Children &groups = m_rootItem->children();
    return std::any_of(groups.cbegin(), groups.cend(), [&](const PHUserItem::Ptr &group) {
        return group.get() != edited && group->value().compare(name, Qt::CaseInsensitive) == 0;
    });
}

void PHGroupsModel::removeUserFromGroups(const QString &user) {
    const QString name = PHString::stringByRemovingSurroundingWhitespace(user);
    PHUserItem::Children removed; // kept until the view has let go of them
    for (const PHUserItem::Ptr &group : m_rootItem->children()) {
        // Members only: a group's own children list holds no groups.
        group->children().removeIf([&name, &removed](const PHUserItem::Ptr &member) {
            const bool match = !member->hasChildren() && member->value() == name;
            if (match)
                removed.append(member);
            return match;
        });
    }
    if (removed.isEmpty())
        return;
    writeGroupfile();
    reload();
}

bool PHGroupsModel::belongsToTree(const PHUserItem *item) const {
    for (PHUserItem::Ptr above = item->parent(); above; above = above->parent()) {
        if (above == m_rootItem)
            return true;
    }
    return false;
}

bool PHGroupsModel::removeItem(PHUserItem *item) {
    if (!item || !belongsToTree(item))
        return false;
    const PHUserItem::Ptr parent = item->parent();
    const qint32 index = item->indexInParent();
    if (index < 0)
        return false;
    // Kept until the view has let go of it.
    const PHUserItem::Ptr removed = parent->children().takeAt(index);
    const bool written = writeGroupfile();
    reload();
    return written;
}

PHUserItem::Ptr PHGroupsModel::groupNamed(const QString &name) const {
    for (const PHUserItem::Ptr &group : m_rootItem->children())
        if (group->value() == name)
            return group;
    return nullptr;
}

QStringList PHGroupsModel::memberNames(const PHUserItem &group) {
    QStringList names;
    for (const PHUserItem::Ptr &member : group.children())
        names.append(member->value());
    return names;
}

bool PHGroupsModel::deleteGroup(const QString &name) {
    const PHUserItem::Ptr group = groupNamed(name);
    return group && removeItem(group.get());
}

bool PHGroupsModel::removeMember(const QString &group, const QString &user) {
    const PHUserItem::Ptr item = groupNamed(group);
    if (!item)
        return false;
    for (const PHUserItem::Ptr &member : item->children())
        if (member->value() == user)
            return removeItem(member.get());
    return false;
}

bool PHGroupsModel::setMembers(const QString &group, const QStringList &names) {
    const PHUserItem::Ptr item = groupNamed(group);
    if (!item)
        return false;
    PHUserItem::Children members;
    for (const QString &name : names) {
        const PHUserItem::Children &current = item->children();
        const auto kept =
            std::find_if(current.cbegin(), current.cend(),
                         [&name](const PHUserItem::Ptr &member) { return member->value() == name; });
        members.append(kept != current.cend()
                           ? *kept
                           : PHUserItem::itemWithValueParentChildren(name, item, std::nullopt));
    }
    const PHUserItem::Children old = std::exchange(item->children(), members);
    const bool written = writeGroupfile();
    reload();
    return written;
}

PHFSItem *PHGroupsModel::activeDirectory() const {
    return m_context.selectedItem();
}
