// The groups outline's side of the group tree: groups with their members, the
// check column that edits the selected folder's "Require group" list, renaming
// a group in place, and users dropped onto a group.

#include "model/PHGroupsDataSource.h"

#include "core/Log.h"
#include "model/PHEditRules.h"
#include "model/PHFSItem.h"
#include "model/PHNameRule.h"
#include "model/PHSettings.h"
#include "model/PHUsersDataSource.h"
#include "platform/PanelContext.h"
#include "support/PHExtensions.h"
#include "support/PHUserDefaults.h"

#include <QMimeData>
#include <QPointer>

#include <algorithm>

namespace {

const QString kGroupColumn = QStringLiteral("group");
const QString kActiveColumn = QStringLiteral("active");

PHUserItem *nodeOf(void *item) {
    return static_cast<PHUserItem *>(item);
}

void logInvalidStructure() {
    Log::write(QStringLiteral("Porthold Error: Invalid Group Structure"));
}

} // namespace

QString PHGroupsDataSource::cleanGroupName(const QString &typed) {
    return PHEditRules::cleanGroupName(typed);
}

// ---------------------------------------------------------------- shape

qint32 PHGroupsDataSource::outlineViewNumberOfChildrenOfItem(QObject *, void *item) {
    const PHUserItem *node = item ? nodeOf(item) : m_rootItem.get();
    return node->hasChildren() ? qint32(node->children().size()) : 0;
}

bool PHGroupsDataSource::outlineViewIsItemExpandable(QObject *, void *item) {
    // A group without members has nothing to show under an arrow.
    return item && nodeOf(item)->hasChildren() && !nodeOf(item)->children().isEmpty();
}

void *PHGroupsDataSource::outlineViewChildOfItem(QObject *, qint32 index, void *item) {
    const PHUserItem *node = item ? nodeOf(item) : m_rootItem.get();
    if (index < 0 || index >= node->children().size())
        return nullptr;
    return node->children().at(index).get();
}

void *PHGroupsDataSource::outlineViewParentOfItem(QObject *, void *item, bool *known) {
    *known = item && belongsToTree(nodeOf(item));
    if (!*known)
        return nullptr;
    PHUserItem *parent = nodeOf(item)->parent().get();
    return parent == m_rootItem.get() ? nullptr : parent;
}

// ---------------------------------------------------------------- values

QVariant PHGroupsDataSource::outlineViewObjectValueForTableColumnByItem(QObject *, const QString &column,
                                                                        void *item) {
    if (!item) {
        logInvalidStructure();
        return QString();
    }
    const PHUserItem *node = nodeOf(item);
    if (column == kGroupColumn)
        return node->value();
    if (!node->hasChildren())
        return false;
    const PHFSItem *folder = activeDirectory();
    return folder && folder->listForKey(PHFSItem::RequireGroupKey).contains(node->value());
}

void PHGroupsDataSource::outlineViewSetObjectValueForTableColumnByItem(QObject *outline,
                                                                       const QVariant &value,
                                                                       const QString &column, void *item) {
    if (!item) {
        logInvalidStructure();
        return;
    }
    PHUserItem *node = nodeOf(item);
    if (!node->hasChildren() || !belongsToTree(node))
        return; // members have neither a name to edit nor a check box

    if (column == kGroupColumn) {
        const QString name = cleanGroupName(value.toString());
        if (name == node->value())
            return;
        const PHUserItem::Children &groups = m_rootItem->children();
        const bool taken = std::any_of(groups.cbegin(), groups.cend(), [&](const PHUserItem::Ptr &group) {
            return group.get() != node && group->value().compare(name, Qt::CaseInsensitive) == 0;
        });
        // What is left must still read back as this one group. (The editor
        // has already refused blanks and colons with its own message.)
        const QString why = PHNameRule::refusal(name, PHNameRule::Kind::Group);
        if (!why.isEmpty() || taken) {
            Log::write(
                QStringLiteral("The group \"%1\" cannot be renamed to \"%2\"").arg(node->value(), name));
            emit beepRequested();
            return;
        }
        // A failed write replaces the tree, and with it this node: hold it first.
        const PHUserItem::Ptr kept = node->shared_from_this();
        node->setValue(name);
        if (PHUserDefaults::standardUserDefaults()->boolForKey(PHSettings::Key::SortGroups))
            sortGroups();
        if (!writeGroupfile())
            return; // the tree now shows the file on disk, and the outline was reloaded
        emit reloadRequested(outline ? outline : m_associatedView.data());
        // The reload forgets the selection: keep the renamed group selected.
        if (QObject *view = outline ? outline : m_associatedView.data()) {
            QPointer<QObject> guarded(view);
            QMetaObject::invokeMethod(
                this,
                [this, guarded, kept] {
                    if (guarded)
                        emit selectionRequested(guarded, kept.get());
                },
                Qt::QueuedConnection);
        }
        return;
    }

    PHFSItem *folder = activeDirectory();
    if (!folder || !folder->isPasswordProtected())
        return; // the check box is disabled
    const QString name = node->value();
    QStringList list = folder->listForKey(PHFSItem::RequireGroupKey);
    const bool ticked = value.toBool();
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
            return;
        }
        list.append(name);
        added = true;
    }
    folder->setListForKey(PHFSItem::RequireGroupKey, list);
    if (folder->writeAccessFile() && added)
        emit groupRequired(name);
}

// ---------------------------------------------------------------- cells and editing

bool PHGroupsDataSource::outlineViewShouldEditTableColumnItem(QObject *, const QString &column, void *item) {
    if (column != kGroupColumn)
        return true;
    return item && nodeOf(item)->hasChildren();
}

void PHGroupsDataSource::outlineViewWillDisplayCellForTableColumnItem(QObject *, PHCell &cell,
                                                                      const QString &column, void *item) {
    if (column != kActiveColumn || !item)
        return;
    if (nodeOf(item)->hasChildren()) {
        const PHFSItem *folder = activeDirectory();
        cell.enabled = folder && folder->isPasswordProtected() && !folder->isHandManaged();
        cell.transparent = false;
        if (folder && folder->isHandManaged())
            cell.toolTip = PHFSItem::handManagedMessage;
    } else {
        cell.enabled = false;
        cell.transparent = true;
    }
}

void PHGroupsDataSource::outlineViewSelectionDidChange(QObject *outline) {
    if (outline)
        emit actionRequested(outline);
}

void PHGroupsDataSource::outlineViewItemWillCollapse(QObject *outline, void *item) {
    if (!outline || !item)
        return;
    emit selectionRequested(outline, item);
    emit actionRequested(outline);
}

bool PHGroupsDataSource::outlineViewValidateText(QObject *, const QString &text) {
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

QStringList PHGroupsDataSource::outlineViewPasteboardTypes(QObject *) {
    return {PHUsersDataSource::pasteboardType};
}

bool PHGroupsDataSource::outlineViewValidateDrop(QObject *, const QMimeData *drag, void *&item,
                                                 qint32 &childIndex) {
    if (childIndex < 0)
        childIndex = 0;
    if (!drag || !drag->hasFormat(PHUsersDataSource::pasteboardType) || !item)
        return false;
    const PHUserItem *node = nodeOf(item);
    return node->hasChildren() && node != m_rootItem.get() && belongsToTree(node);
}

bool PHGroupsDataSource::outlineViewAcceptDrop(QObject *outline, const QMimeData *drag, void *item,
                                               qint32 childIndex) {
    if (!drag || !item)
        return false;
    const QString text = QString::fromUtf8(drag->data(PHUsersDataSource::pasteboardType));
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    return addMember(outline, colon < 0 ? text : text.left(colon), nodeOf(item), childIndex);
}

bool PHGroupsDataSource::addMember(QObject *outline, const QString &name, PHUserItem *group,
                                   qint32 childIndex) {
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
    QObject *view = outline ? outline : m_associatedView.data();
    emit reloadRequested(view);
    const bool written = writeGroupfile();
    // Show the new member in its group.
    if (view && written) {
        QPointer<QObject> guarded(view);
        QMetaObject::invokeMethod(
            this,
            [this, guarded, groupPtr] {
                if (guarded)
                    emit expansionRequested(guarded, groupPtr.get());
            },
            Qt::QueuedConnection);
    }
    return written;
}
