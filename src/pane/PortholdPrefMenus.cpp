// The panel controller: the context menus of the folder outline, the users
// table and the groups outline. Each entry runs what its button, pop-up or
// drag runs, so the same guards, questions and refusals apply.

#include "pane/PortholdPref.h"

#include "model/PHFSItem.h"
#include "model/PHUserItem.h"
#include "platform/PHAction.h"
#include "support/PHExtensions.h"

#include <QAction>
#include <QMenu>

namespace {

const QString kProtectColumn = QStringLiteral("protect");
const QString kGroupColumn = QStringLiteral("group");

/// Where a menu asked for at `at` opens: at the pointer, or (from the
/// keyboard) at the current row.
QPoint menuPosition(QAbstractItemView *view, const QPoint &at) {
    const QModelIndex index = view->indexAt(at);
    if (index.isValid() || view->viewport()->rect().contains(at))
        return view->viewport()->mapToGlobal(at);
    return view->viewport()->mapToGlobal(view->visualRect(view->currentIndex()).center());
}

/// An entry that runs `action` inside the action guard.
QAction *addEntry(QMenu *menu, const QString &title, const char *name, std::function<void()> action) {
    QAction *entry = menu->addAction(title);
    QObject::connect(entry, &QAction::triggered, menu,
                     [name, action = std::move(action)] { PHAction::run(name, [&] { action(); }); });
    return entry;
}

void popUp(QMenu *menu, const QPoint &global) {
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(global);
    // From the keyboard the arrows start on the first entry that can be chosen.
    for (QAction *entry : menu->actions()) {
        if (entry->isEnabled() && !entry->isSeparator()) {
            menu->setActiveAction(entry);
            break;
        }
    }
}

} // namespace

void PortholdPref::setUpContextMenus() {
    const auto wire = [this](QAbstractItemView *view, void (PortholdPref::*show)(const QPoint &)) {
        if (!view)
            return;
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, show](const QPoint &at) { PHAction::run("contextMenu", [&] { (this->*show)(at); }); });
    };
    wire(m_webDirOutline, &PortholdPref::showFolderMenu);
    wire(m_userTable, &PortholdPref::showUserMenu);
    wire(m_groupOutline, &PortholdPref::showGroupMenu);
}

// ----- Folders -----

void PortholdPref::showFolderMenu(const QPoint &at) {
    if (m_manuallyEdited)
        return;
    // A right click has already selected its row (or raised the save
    // prompt, and then the menu would name the wrong folder).
    PHFSItem *item = selectedFolder();
    const QModelIndex pointed = m_webDirOutline->indexAt(at);
    if (!item || (pointed.isValid() && m_files->folderForIndex(pointed) != item))
        return;
    auto *menu = new QMenu(m_webDirOutline);
    menu->setObjectName(QStringLiteral("folderContextMenu"));
    menu->setAccessibleName(QStringLiteral("Folder %1").arg(item->name()));

    menu->addSection(QStringLiteral("Protection"));
    const QString refusal = whyFoldersCannotChange();
    const qint32 current = qMin(item->authStatus(), 4);
    QPointer<PHFSItem> target(item);
    QPointer<PHFSDataSource> files(m_files);
    const int protect = m_webDirOutline->columnForIdentifier(kProtectColumn);
    for (qint32 mode = 0; mode <= 4; ++mode) {
        QAction *entry =
            addEntry(menu, PHFSItem::modeName(mode), "folderMenu:mode", [files, target, mode, protect] {
                if (files && target)
                    files->setData(files->indexForFolder(target, protect), mode, Qt::EditRole);
            });
        entry->setCheckable(true);
        entry->setChecked(mode == current);
        entry->setEnabled(refusal.isEmpty() && !item->isHandManaged());
        if (!refusal.isEmpty())
            entry->setToolTip(refusal);
    }
    QAction *remove = addEntry(menu, QStringLiteral("Remove Protection…"), "folderMenu:remove",
                               [this] { clearAccessPrompt(m_webDirOutline); });
    remove->setEnabled(refusal.isEmpty() && item->hasAccessFile());
    menu->setToolTipsVisible(true);

    menu->addSeparator();
    addEntry(menu, QStringLiteral("Check Access"), "folderMenu:check",
             [this] { checkSelectionAccess(m_webDirOutline); });
    addEntry(menu, QStringLiteral("View on Web"), "folderMenu:web",
             [this] { viewSelectionOnWeb(m_webDirOutline); });
    addEntry(menu, QStringLiteral("Open Folder"), "folderMenu:open", [this, target] {
        if (target)
            openFolder(target->fullPath());
    });
    popUp(menu, menuPosition(m_webDirOutline, at));
}

// ----- Users -----

void PortholdPref::showUserMenu(const QPoint &at) {
    if (!m_users)
        return;
    const qint32 row = m_userTable->selectedRow();
    // Row 0 is "Any Valid User", nobody in particular.
    if (row < 1 || row > m_users->dataArray().size())
        return;
    const QString name = PHString::stringByRemovingSurroundingWhitespace(
        m_users->dataArray().at(row - 1).toMap().value(PHUsersDataSource::userKey).toString());
    const QString refusal = whyFoldersCannotChange();
    auto *menu = new QMenu(m_userTable);
    menu->setObjectName(QStringLiteral("userContextMenu"));
    menu->setAccessibleName(QStringLiteral("User %1").arg(name));
    menu->setToolTipsVisible(true);
    const QList<QAction *> edits = {
        addEntry(menu, QStringLiteral("Password…"), "userMenu:password", [this] { editUser(m_userTable); }),
        addEntry(menu, QStringLiteral("Delete"), "userMenu:delete", [this] { deleteUser(m_userTable); })};

    QMenu *groups = menu->addMenu(QStringLiteral("Add to Group"));
    groups->setObjectName(QStringLiteral("addToGroupMenu"));
    if (m_groups) {
        for (const PHUserItem::Ptr &group : m_groups->rootArray()) {
            const bool member = std::any_of(group->children().cbegin(), group->children().cend(),
                                            [&](const PHUserItem::Ptr &m) { return m->value() == name; });
            QAction *entry = addEntry(groups, group->value(), "userMenu:addToGroup",
                                      [this, group, name] { addMemberToGroup(name, group); });
            entry->setEnabled(!member && refusal.isEmpty());
        }
    }
    if (groups->isEmpty())
        groups->addAction(QStringLiteral("(no groups yet)"))->setEnabled(false);
    for (QAction *entry : edits)
        entry->setEnabled(refusal.isEmpty());
    if (!refusal.isEmpty())
        for (QAction *entry : menu->actions())
            entry->setToolTip(refusal);
    popUp(menu, menuPosition(m_userTable, at));
}

// ----- Groups -----

void PortholdPref::showGroupMenu(const QPoint &at) {
    const PHUserItem::Ptr item = selectedGroupItem();
    if (!item)
        return;
    const bool isGroup = item->hasChildren();
    const QString refusal = whyFoldersCannotChange();
    auto *menu = new QMenu(m_groupOutline);
    menu->setObjectName(QStringLiteral("groupContextMenu"));
    menu->setAccessibleName(QStringLiteral("%1 %2").arg(
        isGroup ? QStringLiteral("Group") : QStringLiteral("Member"), item->value()));
    menu->setToolTipsVisible(true);
    if (isGroup) {
        QPointer<PHOutlineView> outline(m_groupOutline);
        QPointer<PHGroupsDataSource> groups(m_groups);
        addEntry(menu, QStringLiteral("Rename"), "groupMenu:rename", [outline, groups, item] {
            if (outline && groups)
                outline->editCell(
                    groups->indexForNode(item.get(), outline->columnForIdentifier(kGroupColumn)));
        });
        addEntry(menu, QStringLiteral("Delete"), "groupMenu:delete", [this] { deleteGroup(m_groupOutline); });
        QMenu *members = menu->addMenu(QStringLiteral("Add Member"));
        members->setObjectName(QStringLiteral("addMemberMenu"));
        for (const QString &user : userNames()) {
            const bool member = std::any_of(item->children().cbegin(), item->children().cend(),
                                            [&](const PHUserItem::Ptr &m) { return m->value() == user; });
            if (!member)
                addEntry(members, user, "groupMenu:addMember",
                         [this, user, item] { addMemberToGroup(user, item); });
        }
        if (members->isEmpty())
            members->addAction(QStringLiteral("(every user is a member)"))->setEnabled(false);
    } else {
        addEntry(menu, QStringLiteral("Remove from Group"), "groupMenu:removeMember",
                 [this] { deleteGroup(m_groupOutline); });
    }
    if (!refusal.isEmpty()) {
        for (QAction *entry : menu->actions()) {
            entry->setEnabled(false);
            entry->setToolTip(refusal);
        }
    }
    popUp(menu, menuPosition(m_groupOutline, at));
}

void PortholdPref::addMemberToGroup(const QString &user, const PHUserItem::Ptr &group) {
    if (!m_groups || !group)
        return;
    if (m_groups->addMember(user, group.get(), qint32(group->children().size())))
        showMessage(PHThemeColors::Meaning::Positive,
                    QStringLiteral("Added %1 to the group %2").arg(user, group->value()));
}
