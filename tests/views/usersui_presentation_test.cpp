// The users table and the groups outline on the panel's real widgets: what
// they show, what their check boxes write into the access file, renaming
// groups in place, and users dragged onto groups.

#include "pane/UsersUiFixture.h"

#include <QAbstractButton>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>

namespace {

class UsersUiPresentation : public UsersUiFixture {
protected:
    /// A password-protected folder, selected in the folder outline.
    PHFSItem *protectedFolder() {
        PHFSItem *item = folder("private");
        clickFolder(item);
        item->setModeIndex(1);
        settle();
        return item;
    }
    QString accessFile() const { return readFile(web + "/private/.htaccess"); }
    static bool inForce(const QString &text, const QString &line) {
        return text.startsWith(line + '\n') || text.contains('\n' + line + '\n');
    }
    static bool checkable(const QModelIndex &index) {
        return index.model()->flags(index) & Qt::ItemIsUserCheckable;
    }
    static Qt::CheckState checkState(const QModelIndex &index) {
        return Qt::CheckState(index.data(Qt::CheckStateRole).toInt());
    }
    std::unique_ptr<QMimeData> dragUser(int row) const {
        QAbstractItemModel *adapter = userTable()->model();
        return std::unique_ptr<QMimeData>(adapter->mimeData({adapter->index(row, 1)}));
    }
    /// Drags the data over a point of the outline and drops it there, as the
    /// window system delivers a drag; true when the outline took it.
    bool dropAt(const QMimeData *data, const QPoint &point) {
        QWidget *viewport = groupOutline()->viewport();
        QDragEnterEvent enter(point, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &enter);
        QDragMoveEvent move(point, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &move);
        if (!move.isAccepted()) {
            QDragLeaveEvent leave;
            QCoreApplication::sendEvent(viewport, &leave);
            return false;
        }
        QDropEvent drop(QPointF(point), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &drop);
        settle();
        return drop.isAccepted();
    }
    QPoint centreOf(PHUserItem *item) const {
        return groupOutline()->visualRect(groupCell(item, "group")).center();
    }
};

TEST_F(UsersUiPresentation, TheTableStartsWithAnyValidUserAndCellsFollowTheFolder) {
    start();
    // No user file: one row, the pseudo-user, without an icon and not renamable.
    ASSERT_EQ(userTable()->model()->rowCount(), 1);
    EXPECT_EQ(userCell(0, "user").data().toString(), "Any Valid User");
    EXPECT_TRUE(userCell(0, "user").data(Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_FALSE(userCell(0, "user").flags() & Qt::ItemIsEditable);
    EXPECT_FALSE(checkable(userCell(0, "active"))) << "no folder is selected";
    pref.reset();

    writeUsers({"alice"});
    writeGroups("staff: alice \n");
    start();
    ASSERT_EQ(userTable()->model()->rowCount(), 2);
    EXPECT_FALSE(userCell(1, "user").data(Qt::DecorationRole).value<QIcon>().isNull())
        << "users show their icon";
    PHFSItem *item = folder("private");
    clickFolder(item);
    expandItem(groupOutline(), group("staff"));
    settle();
    PHUserItem *member = group("staff")->children().first().get();
    // Not password protected: nothing can be ticked in either view.
    for (const QModelIndex &index :
         {userCell(0, "active"), userCell(1, "active"), groupCell(group("staff"), "active")})
        EXPECT_FALSE(checkable(index));
    clickCheck(userTable(), userCell(1, "active"));
    EXPECT_FALSE(QFile::exists(web + "/private/.htaccess"));

    item->setModeIndex(1);
    settle();
    for (const QModelIndex &index :
         {userCell(0, "active"), userCell(1, "active"), groupCell(group("staff"), "active")})
        EXPECT_TRUE(checkable(index));
    // A member row has no check box at all, and its name cannot be edited.
    EXPECT_FALSE(groupCell(member, "active").data(Qt::CheckStateRole).isValid());
    EXPECT_FALSE(checkable(groupCell(member, "active")));
    EXPECT_FALSE(groupCell(member, "group").flags() & Qt::ItemIsEditable);
    EXPECT_TRUE(groupCell(group("staff"), "group").flags() & Qt::ItemIsEditable);
    pref->groups()->setData(groupCell(member, "active"), true, Qt::EditRole);
    pref->groups()->setData(groupCell(member, "group"), "x", Qt::EditRole);
    EXPECT_EQ(member->value(), "alice");
    EXPECT_TRUE(item->listForKey(PHFSItem::RequireGroupKey).isEmpty());
}

TEST_F(UsersUiPresentation, TickingUsersWritesRequireLines) {
    writeUsers({"a", "b", "c"});
    start();
    PHFSItem *item = protectedFolder();
    clickCheck(userTable(), userCell(1, "active"));
    clickCheck(userTable(), userCell(2, "active"));
    EXPECT_TRUE(inForce(accessFile(), "Require user a b")) << qPrintable(accessFile());
    EXPECT_EQ(checkState(userCell(2, "active")), Qt::Checked);

    // The pseudo-user stands for everyone in the file, so the named users go.
    clickCheck(userTable(), userCell(0, "active"));
    EXPECT_TRUE(inForce(accessFile(), "Require valid-user")) << qPrintable(accessFile());
    EXPECT_EQ(item->listForKey(PHFSItem::RequireUserKey), QStringList{"valid-user"});
    EXPECT_EQ(checkState(userCell(1, "active")), Qt::Unchecked);

    // And a named user clears the pseudo-user.
    clickCheck(userTable(), userCell(3, "active"));
    EXPECT_TRUE(inForce(accessFile(), "Require user c")) << qPrintable(accessFile());
    EXPECT_EQ(checkState(userCell(0, "active")), Qt::Unchecked);
    clickCheck(userTable(), userCell(3, "active"));
    EXPECT_TRUE(item->listForKey(PHFSItem::RequireUserKey).isEmpty());
    EXPECT_FALSE(accessFile().contains("Require user c"));
}

TEST_F(UsersUiPresentation, TickingAGroupPutsTheGroupFileInForce) {
    writeUsers({"alice"});
    writeGroups("staff: alice \nGroup 1: \nteam: \n");
    makeDebianLayout(false);
    start();
    PHFSItem *item = protectedFolder();
    answers = {PHAlertSheet::Default};
    clickCheck(groupOutline(), groupCell(group("staff"), "active"));
    const QString text = accessFile();
    EXPECT_TRUE(inForce(text, "Require group staff")) << qPrintable(text);
    EXPECT_TRUE(inForce(text, "AuthGroupFile \"" + groupsFile() + "\"")) << qPrintable(text);
    // Debian ships without the module that reads group files: said once.
    ASSERT_EQ(PHAlertSheet::recorded().size(), 1);
    EXPECT_TRUE(PHAlertSheet::recorded().first().message.contains("a2enmod authz_groupfile"));
    clickCheck(groupOutline(), groupCell(group("team"), "active"));
    EXPECT_TRUE(inForce(accessFile(), "Require group staff team")) << qPrintable(accessFile());
    EXPECT_EQ(PHAlertSheet::recorded().size(), 1);

    // A name with a blank would be two groups to Apache: it cannot be ticked,
    // and a sheet says why.
    answers = {PHAlertSheet::Default};
    clickCheck(groupOutline(), groupCell(group("Group 1"), "active"));
    EXPECT_EQ(item->listForKey(PHFSItem::RequireGroupKey), QStringList({"staff", "team"}));
    EXPECT_TRUE(log.join('\n').contains("cannot be named in an access file"));
    ASSERT_EQ(PHAlertSheet::recorded().size(), 2);
    EXPECT_TRUE(PHAlertSheet::recorded().last().message.contains("cannot contain spaces"));

    clickCheck(groupOutline(), groupCell(group("staff"), "active"));
    EXPECT_TRUE(inForce(accessFile(), "Require group team")) << qPrintable(accessFile());
}

TEST_F(UsersUiPresentation, NoWarningWhereTheGroupModuleIsEnabled) {
    writeUsers({"alice"});
    writeGroups("staff: alice \n");
    makeDebianLayout(true);
    start();
    protectedFolder();
    clickCheck(groupOutline(), groupCell(group("staff"), "active"));
    EXPECT_TRUE(inForce(accessFile(), "Require group staff"));
    EXPECT_TRUE(PHAlertSheet::recorded().isEmpty());
}

TEST_F(UsersUiPresentation, UsersDropOntoGroupsOnly) {
    writeUsers({"alice", "bob"});
    writeGroups("staff: alice \nteam: \n");
    start();
    // "Any Valid User" is nobody to drag; a user carries its file line.
    EXPECT_EQ(dragUser(0), nullptr);
    const std::unique_ptr<QMimeData> bob = dragUser(2);
    ASSERT_NE(bob, nullptr);
    const QString line = userLines().at(1);
    EXPECT_EQ(QString::fromUtf8(bob->data("PHPortholdUser")), line);
    EXPECT_EQ(bob->text(), line);

    PHOutlineView *outline = groupOutline();
    expandItem(outline, group("staff"));
    settle();
    PHUserItem *alice = group("staff")->children().first().get();
    // Onto a member row, or between groups: refused.
    EXPECT_FALSE(dropAt(bob.get(), centreOf(alice)));
    const QRect teamRow = outline->visualRect(groupCell(group("team"), "group"));
    EXPECT_FALSE(dropAt(bob.get(), QPoint(teamRow.center().x(), teamRow.top())));
    EXPECT_EQ(readFile(groupsFile()), "staff: alice \nteam: \n");

    // Onto the group row itself: the new member comes first.
    EXPECT_TRUE(dropAt(bob.get(), centreOf(group("staff"))));
    EXPECT_EQ(members("staff"), QStringList({"bob", "alice"}));
    EXPECT_EQ(readFile(groupsFile()), "staff: bob alice \nteam: \n");
    EXPECT_TRUE(isItemExpanded(outline, group("staff"))) << "the new member is shown";
    // Already a member: refused.
    EXPECT_FALSE(dropAt(bob.get(), centreOf(group("staff"))));
    EXPECT_EQ(members("staff"), QStringList({"bob", "alice"}));

    // Between members: at that place (here, below the last one).
    const std::unique_ptr<QMimeData> aliceDrag = dragUser(1);
    EXPECT_TRUE(dropAt(aliceDrag.get(), centreOf(group("team"))));
    EXPECT_EQ(readFile(groupsFile()), "staff: bob alice \nteam: alice \n");
    const QRect teamAlice = outline->visualRect(groupCell(group("team")->children().first().get(), "group"));
    ASSERT_TRUE(teamAlice.isValid());
    EXPECT_TRUE(dropAt(bob.get(), QPoint(teamAlice.center().x(), teamAlice.bottom())));
    EXPECT_EQ(members("team"), QStringList({"alice", "bob"}));

    // Text that names nobody in the user file never reaches the group file.
    QMimeData forged;
    forged.setData("PHPortholdUser", "mallory:xyz");
    EXPECT_FALSE(dropAt(&forged, centreOf(group("team"))));
    QMimeData plain;
    plain.setText("bob:xyz");
    EXPECT_FALSE(dropAt(&plain, centreOf(group("staff"))));
    EXPECT_EQ(readFile(groupsFile()), "staff: bob alice \nteam: alice bob \n");
}

TEST_F(UsersUiPresentation, RenamingAGroupCleansTheNameAndKeepsTheOrder) {
    writeUsers({"alice"});
    writeGroups("staff: alice \nteam: \n");
    preset("Sort Groups", true);
    start();
    PHGroupsModel *groups = pref->groups();
    PHOutlineView *outline = groupOutline();
    // The in-place editor's check; a name the server would misread is
    // explained in a sheet.
    EXPECT_FALSE(groups->acceptsEditedText({}, "  "));
    EXPECT_FALSE(groups->acceptsEditedText({}, "TEAM"));
    answers = {PHAlertSheet::Default, PHAlertSheet::Default, PHAlertSheet::Default};
    EXPECT_FALSE(groups->acceptsEditedText({}, "new team"));
    EXPECT_FALSE(groups->acceptsEditedText({}, ":"));
    EXPECT_FALSE(groups->acceptsEditedText({}, "te:am"));
    settle();
    ASSERT_EQ(PHAlertSheet::recorded().size(), 3);
    EXPECT_EQ(PHAlertSheet::recorded().at(0).message,
              "Group names cannot contain spaces, tabs, or line returns");
    EXPECT_TRUE(PHAlertSheet::recorded().at(2).message.contains("no \":\""));
    EXPECT_TRUE(groups->acceptsEditedText({}, "admins"));

    // Blanks and colons go; the groups are sorted again, and the file written.
    groups->setData(groupCell(group("team"), "group"), " web : crew\t", Qt::EditRole);
    settle();
    EXPECT_EQ(groups->list(), QStringList({"staff", "webcrew"}));
    groups->setData(groupCell(group("webcrew"), "group"), "Alpha", Qt::EditRole);
    settle();
    EXPECT_EQ(groups->list(), QStringList({"Alpha", "staff"}));
    EXPECT_EQ(readFile(groupsFile()), "Alpha: \nstaff: alice \n");
    // Nothing left after cleaning, or another group's name: the old name stays.
    groups->setData(groupCell(group("Alpha"), "group"), " : ", Qt::EditRole);
    groups->setData(groupCell(group("Alpha"), "group"), "STAFF", Qt::EditRole);
    EXPECT_EQ(readFile(groupsFile()), "Alpha: \nstaff: alice \n");

    // In the editor a group may change the case of its own name.
    ASSERT_TRUE(selectItem(outline, group("staff")));
    outline->editCell(groupCell(group("staff"), "group"));
    settle();
    auto *editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr);
    editor->setText("Staff");
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    EXPECT_EQ(groups->list(), QStringList({"Alpha", "Staff"}));
    EXPECT_EQ(readFile(groupsFile()), "Alpha: \nStaff: alice \n");
}

TEST_F(UsersUiPresentation, ARenameThatCannotBeSavedShowsTheFileOnDisk) {
    writeUsers({"alice"});
    writeGroups("staff: alice \nteam: \n");
    start();
    PHGroupsModel *groups = pref->groups();
    PHOutlineView *outline = groupOutline();
    ASSERT_TRUE(selectItem(outline, group("team")));
    // Writing is refused, so the failed write replaces the tree the renamed
    // node belonged to; nothing may touch that node afterwards.
    groups->setUserFileLoadFailed(true);
    answers.push_back(PHAlertSheet::Default);
    groups->setData(groupCell(group("team"), "group"), "crew", Qt::EditRole);
    settle();
    EXPECT_EQ(groups->list(), QStringList({"staff", "team"}));
    EXPECT_EQ(readFile(groupsFile()), "staff: alice \nteam: \n");
    ASSERT_EQ(PHAlertSheet::recorded().size(), 1);
    EXPECT_TRUE(PHAlertSheet::recorded().first().message.contains(".htgroups"));
    EXPECT_EQ(log.filter("could not save the group file " + groupsFile()).size(), 1);
    // The selection never holds a node of the discarded tree.
    PHUserItem *selected = selectedNode(outline);
    EXPECT_TRUE(selected == nullptr || selected == group("staff") || selected == group("team"));
}

TEST_F(UsersUiPresentation, SortingGroupsMovesTheRowsTheOutlineShows) {
    writeUsers({"alice"});
    writeGroups("zeta: alice \nmid: \nalpha: \n");
    start();
    PHOutlineView *outline = groupOutline();
    expandItem(outline, group("zeta"));
    ASSERT_TRUE(selectItem(outline, group("alpha")));
    settle();
    auto *sortGroups = pref->mainView()->findChild<QAbstractButton *>("groupSortCheck");
    ASSERT_NE(sortGroups, nullptr);
    ASSERT_FALSE(sortGroups->isChecked());
    sortGroups->click();
    settle();
    ASSERT_EQ(pref->groups()->list(), QStringList({"alpha", "mid", "zeta"}));
    // The rows the view walks are the rows the model answers for.
    QStringList shown;
    for (QModelIndex row = outline->indexAt(QPoint(40, 2)); row.isValid() && shown.size() < 10;
         row = outline->indexBelow(row))
        shown << row.siblingAtColumn(outline->columnForIdentifier("group")).data().toString();
    EXPECT_EQ(shown, QStringList({"alpha", "mid", "zeta", "alice"}));
    EXPECT_EQ(selectedNode(outline), group("alpha"));
    EXPECT_EQ(outline->selectionModel()->selectedRows().value(0).row(), 0);
    EXPECT_TRUE(outline->isExpanded(groupCell(group("zeta"), "group").siblingAtColumn(0)));
}

TEST_F(UsersUiPresentation, DeleteButtonsFollowTheSelectionAfterReloads) {
    writeUsers({"alice"});
    writeGroups("staff: alice \n");
    start();
    // A group selected, then the root switched: nothing of the old root stays deletable.
    ASSERT_TRUE(selectItem(groupOutline(), group("staff")));
    settle();
    EXPECT_TRUE(button("groupDeleteButton")->isEnabled());
    pref->folders()->refresh();
    settle();
    EXPECT_EQ(selectedNode(groupOutline()), nullptr);
    EXPECT_FALSE(button("groupDeleteButton")->isEnabled());
    EXPECT_EQ(button("groupDeleteButton")->toolTip(), QString());

    // An address selected under one folder, then another folder clicked.
    pref->addresses() = QStringList{"10.0.0.1"};
    clickFolder(folder("private"));
    PHTableView *addresses = child<PHTableView>("addressTable");
    addresses->reloadData();
    addresses->selectRowByExtendingSelection(0, false);
    settle();
    ASSERT_TRUE(button("addressDeleteButton")->isEnabled());
    clickFolder(folder("open"));
    EXPECT_LT(addresses->selectedRow(), 0);
    EXPECT_FALSE(button("addressDeleteButton")->isEnabled());
}

TEST_F(UsersUiPresentation, CollapsingAGroupSelectsIt) {
    writeUsers({"alice"});
    writeGroups("staff: alice \n");
    start();
    PHOutlineView *outline = groupOutline();
    expandItem(outline, group("staff"));
    settle();
    ASSERT_TRUE(selectItem(outline, group("staff")->children().first().get()));
    settle();
    EXPECT_EQ(button("groupDeleteButton")->toolTip(), "Remove \"alice\" from \"staff\"");
    outline->collapse(groupCell(group("staff"), "group").siblingAtColumn(0));
    settle();
    EXPECT_EQ(selectedNode(outline), group("staff"));
    EXPECT_EQ(button("groupDeleteButton")->toolTip(), "Delete \"staff\"");

    // Asked about no row at all, the outline's model has nothing to say.
    EXPECT_FALSE(pref->groups()->data(QModelIndex()).isValid());
}

} // namespace
