// The groups outline's side of the group tree: groups with their members, the
// check column that edits the selected folder's "Require group" list, renaming
// a group in place, and users dropped onto a group.

#include "model/PHGroupsModel.h"

#include "core/Log.h"
#include "model/PHEditRules.h"
#include "model/PHFSItem.h"
#include "model/PHNameRule.h"
#include "model/PHSettings.h"
#include "model/PHUsersModel.h"
#include "support/PHExtensions.h"
#include "support/PHSettingsStore.h"

#include <QMimeData>
#include <QPointer>

#include <algorithm>

namespace {

const QString kGroupColumn = QStringLiteral("group");
const QString kActiveColumn = QStringLiteral("active");

} // namespace

QString PHGroupsModel::cleanGroupName(const QString &typed) {
    return PHEditRules::cleanGroupName(typed);
}

// ---------------------------------------------------------------- shape

QModelIndex PHGroupsModel::indexForNode(const PHUserItem *node, int column) const {
    if (!node || node == m_rootItem.get() || !belongsToTree(node) || column < 0 || column >= columnCount())
        return {};
    return createIndex(node->indexInParent(), column, const_cast<PHUserItem *>(node));
}

PHUserItem *PHGroupsModel::nodeForIndex(const QModelIndex &index) const {
    return index.isValid() && index.model() == this ? static_cast<PHUserItem *>(index.internalPointer())
                                                    : nullptr;
}

QModelIndex PHGroupsModel::index(int row, int column, const QModelIndex &parent) const {
    if (row < 0 || column < 0 || column >= columnCount() || (parent.isValid() && parent.column() != 0))
        return {};
    const PHUserItem *node = parent.isValid() ? nodeForIndex(parent) : m_rootItem.get();
    if (!node || !node->hasChildren() || row >= node->children().size())
        return {};
    return createIndex(row, column, node->children().at(row).get());
}

QModelIndex PHGroupsModel::parent(const QModelIndex &child) const {
    const PHUserItem *node = nodeForIndex(child);
    if (!node)
        return {};
    const PHUserItem::Ptr above = node->parent();
    return above && above != m_rootItem ? indexForNode(above.get(), 0) : QModelIndex();
}

int PHGroupsModel::rowCount(const QModelIndex &parent) const {
    if (parent.isValid() && parent.column() != 0)
        return 0;
    const PHUserItem *node = parent.isValid() ? nodeForIndex(parent) : m_rootItem.get();
    return node && node->hasChildren() ? int(node->children().size()) : 0;
}

bool PHGroupsModel::hasChildren(const QModelIndex &parent) const {
    return rowCount(parent) > 0;
}

// ---------------------------------------------------------------- values

QVariant PHGroupsModel::data(const QModelIndex &index, int role) const {
    const PHUserItem *node = nodeForIndex(index);
    if (!node)
        return {};
    const QString column = identifierForColumn(index.column());
    const ColumnKind kind = kindOfColumn(index.column());
    if (column == kGroupColumn) {
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            return node->value();
        return PHItemModel::data(index, role);
    }
    if (kind != ColumnKind::Check)
        return PHItemModel::data(index, role);
    const PHFSItem *folder = activeDirectory();
    switch (role) {
    case Qt::CheckStateRole:
        if (!node->hasChildren())
            return {};
        return folder && folder->listForKey(PHFSItem::RequireGroupKey).contains(node->value())
                   ? Qt::Checked
                   : Qt::Unchecked;
    case EnabledRole:
        return node->hasChildren() && folder && folder->isPasswordProtected() && !folder->isHandManaged();
    case HiddenRole:
        return !node->hasChildren();
    case Qt::ToolTipRole:
        return node->hasChildren() && folder && folder->isHandManaged()
                   ? QVariant(PHFSItem::handManagedMessage)
                   : QVariant();
    default:
        return PHItemModel::data(index, role);
    }
}

Qt::ItemFlags PHGroupsModel::flags(const QModelIndex &index) const {
    const PHUserItem *node = nodeForIndex(index);
    if (!node)
        return Qt::ItemIsDropEnabled;
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDropEnabled;
    switch (kindOfColumn(index.column())) {
    case ColumnKind::Text:
        if (identifierForColumn(index.column()) != kGroupColumn || node->hasChildren())
            flags |= Qt::ItemIsEditable;
        break;
    case ColumnKind::Check:
        if (isEnabled(index) && !isHidden(index))
            flags |= Qt::ItemIsUserCheckable;
        break;
    default:
        break;
    }
    return flags;
}

bool PHGroupsModel::setData(const QModelIndex &index, const QVariant &value, int role) {
    PHUserItem *node = nodeForIndex(index);
    if (!node)
        return false;
    const ColumnKind kind = kindOfColumn(index.column());
    if (kind == ColumnKind::Check && role == Qt::CheckStateRole) {
        if (!isEnabled(index) || isHidden(index))
            return false;
    } else if (role != Qt::EditRole || (kind == ColumnKind::Text && !(flags(index) & Qt::ItemIsEditable))) {
        return false;
    }
    if (!node->hasChildren() || !belongsToTree(node))
        return true; // members have neither a name to edit nor a check box
    const QPersistentModelIndex kept(index);
    if (identifierForColumn(index.column()) == kGroupColumn)
        renameGroup(node, value.toString());
    else
        setRequired(node, kind == ColumnKind::Check ? value.toInt() == Qt::Checked : value.toBool());
    rowChanged(kept);
    return true;
}

bool PHGroupsModel::renameGroup(PHUserItem *node, const QString &typed) {
    const QString name = cleanGroupName(typed);
    if (name == node->value())
        return false;
    const PHUserItem::Children &groups = m_rootItem->children();
    const bool taken = std::any_of(groups.cbegin(), groups.cend(), [&](const PHUserItem::Ptr &group) {
        return group.get() != node && group->value().compare(name, Qt::CaseInsensitive) == 0;
    });
    // What is left must still read back as this one group. (The editor
    // has already refused blanks and colons with its own message.)
    const QString why = PHNameRule::refusal(name, PHNameRule::Kind::Group);
    if (!why.isEmpty() || taken) {
        Log::write(QStringLiteral("The group \"%1\" cannot be renamed to \"%2\"").arg(node->value(), name));
        emit beepRequested();
        return false;
    }
    // A failed write replaces the tree, and with it this node: hold it first.
    const PHUserItem::Ptr kept = node->shared_from_this();
    node->setValue(name);
    if (PHSettingsStore::instance()->boolForKey(PHSettings::Key::SortGroups))
        sortGroups();
    if (!writeGroupfile())
        return false; // the tree now shows the file on disk, and the outline was reloaded
    reload();
    // The reload forgets the selection: keep the renamed group selected.
    QMetaObject::invokeMethod(
        this,
        [this, kept] {
            if (const QModelIndex index = indexForNode(kept.get()); index.isValid())
                emit selectionRequested(index);
        },
        Qt::QueuedConnection);
    return true;
}

bool PHGroupsModel::setRequired(PHUserItem *node, bool ticked) {
    PHFSItem *folder = activeDirectory();
    if (!folder || !folder->isPasswordProtected())
        return false; // the check box is disabled
    const QString name = node->value();
    QStringList list = folder->listForKey(PHFSItem::RequireGroupKey);
    bool added = false;
    if (!ticked && list.contains(name)) {
        list.removeAll(name);
    } else if (ticked && !list.contains(name)) {
        // "Require group Group 1" names two groups to Apache; other names it
        // would misread are shown as the file has them, but never required.
        const QString why = PHNameRule::refusal(name, PHNameRule::Kind::Group);
        if (!why.isEmpty()) {
            Log::write(QStringLiteral("The group \"%1\" cannot be named in an access file").arg(name));
            emit beepRequested();
            emit nameRefused(
                QStringLiteral("The group \"%1\" cannot be let into a folder. %2; give it a new name first.")
                    .arg(name, why));
            return false;
        }
        list.append(name);
        added = true;
    }
    folder->setListForKey(PHFSItem::RequireGroupKey, list);
    const bool written = folder->writeAccessFile();
    if (written && added)
        emit groupRequired(name);
    return written;
}

// ---------------------------------------------------------------- editing

void PHGroupsModel::expansionChanged(const QModelIndex &index, bool expanded) {
    if (expanded || !index.isValid())
        return;
    emit selectionRequested(index);
    emit actionRequested();
}

bool PHGroupsModel::acceptsEditedText(const QModelIndex &, const QString &text) {
    if (PHString::stringByRemovingSurroundingWhitespace(text).isEmpty() || containsItem(text))
        return false;
    // Checked as typed and as it will be stored: a name the server would
    // misread is explained, one taken is simply not accepted.
    if (const QString why =
            PHEditRules::groupNameRefusal(text, [this](const QString &name) { return containsItem(name); });
        !why.isEmpty()) {
        if (why != PHEditRules::uniqueGroupNameText)
            emit nameRefused(why);
        return false;
    }
    const QString name = cleanGroupName(text);
    // A name access files still let in: whoever joins the group would get in
    // there. Said once; once read, the same name typed again is taken.
    if (!m_requiredElsewhere || name == m_acknowledgedRequiredName)
        return true;
    if (name == m_warnedRequiredName)
        return false; // the warning is still open (the editor lost focus to it)
    if (const QString folders = m_requiredElsewhere(name); !folders.isEmpty()) {
        m_warnedRequiredName = name;
        emit nameStillRequired(
            name, QStringLiteral("The group \"%1\" is still allowed in %2 by their access files; its members "
                                 "will get in there too. Press Return again to use the name anyway.")
                      .arg(name, folders));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- drag and drop

QStringList PHGroupsModel::mimeTypes() const {
    return {PHUsersModel::userMimeType};
}

bool PHGroupsModel::canDropMimeData(const QMimeData *drag, Qt::DropAction, int, int,
                                    const QModelIndex &parent) const {
    const PHUserItem *node = nodeForIndex(parent);
    if (!drag || !drag->hasFormat(PHUsersModel::userMimeType) || !node)
        return false;
    return node->hasChildren() && belongsToTree(node);
}

bool PHGroupsModel::dropMimeData(const QMimeData *drag, Qt::DropAction action, int row, int column,
                                 const QModelIndex &parent) {
    if (!canDropMimeData(drag, action, row, column, parent))
        return false;
    const QString text = QString::fromUtf8(drag->data(PHUsersModel::userMimeType));
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    return addMember(colon < 0 ? text : text.left(colon), nodeForIndex(parent), qMax(row, 0));
}

bool PHGroupsModel::addMember(const QString &name, PHUserItem *group, qint32 childIndex) {
    if (!group || !group->hasChildren() || group == m_rootItem.get() || !belongsToTree(group))
        return false;
    // Only a user of this panel's file can be a member: a drag from elsewhere
    // could carry any text into the group file.
    if (!currentUsers().contains(name)) {
        Log::write(QStringLiteral("\"%1\" is not a user and cannot join \"%2\"").arg(name, group->value()));
        return false;
    }
    // A member Apache would misread in the group file.
    if (const QString why = PHNameRule::refusal(name, PHNameRule::Kind::User); !why.isEmpty()) {
        Log::write(QStringLiteral("\"%1\" cannot join \"%2\": %3").arg(name, group->value(), why));
        emit beepRequested();
        emit nameRefused(QStringLiteral("\"%1\" cannot join a group. %2.").arg(name, why));
        return false;
    }
    PHUserItem::Children &members = group->children();
    if (std::any_of(members.cbegin(), members.cend(),
                    [&name](const PHUserItem::Ptr &m) { return m->value() == name; }))
        return false;
    const qsizetype at = std::clamp<qsizetype>(childIndex, 0, members.size());
    const PHUserItem::Ptr groupPtr = group->shared_from_this();
    members.insert(at, PHUserItem::itemWithValueParentChildren(name, groupPtr, std::nullopt));
    const bool written = writeGroupfile();
    reload();
    // Show the new member in its group.
    if (written)
        QMetaObject::invokeMethod(
            this,
            [this, groupPtr] {
                if (const QModelIndex index = indexForNode(groupPtr.get()); index.isValid())
                    emit expansionRequested(index);
            },
            Qt::QueuedConnection);
    return written;
}
