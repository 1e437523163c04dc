// Adding users, new passwords, new groups and deletions through the panel's
// own buttons, keys and sheet.

#include "UsersUiFixture.h"

namespace {

class UsersUiEditing : public UsersUiFixture {};

const QString kConfirmTail = QStringLiteral("? This action cannot be undone. To answer yes and not see this "
                                            "dialog in the future, click \"Don't Ask\"");

TEST_F(UsersUiEditing, UnreadableFilesAreReportedOnceAndRefreshReadsThemAgain) {
    // Directories where the files should be: they exist but cannot be read.
    ASSERT_TRUE(QDir().mkpath(usersFile()));
    ASSERT_TRUE(QDir().mkpath(groupsFile()));
    answers.assign(10, PHAlertSheet::Default);
    start();
    const auto shown = [](const QString &file) {
        int count = 0;
        for (const PHAlertSheet::Request &request : PHAlertSheet::recorded())
            count += request.message.contains(file) && request.message.contains("could not be read");
        return count;
    };
    EXPECT_EQ(shown(".htusers"), 1);
    EXPECT_EQ(shown(".htgroups"), 1);
    EXPECT_EQ(PHAlertSheet::recorded().size(), 2);

    // Mended on disk: Refresh reads both files again.
    ASSERT_TRUE(QDir().rmdir(usersFile()));
    ASSERT_TRUE(QDir().rmdir(groupsFile()));
    writeUsers({"alice"});
    writeGroups("staff: alice \n");
    pref->folders()->refresh();
    settle();
    EXPECT_EQ(pref->userNames(), QStringList{"alice"});
    EXPECT_EQ(members("staff"), QStringList{"alice"});
    EXPECT_EQ(PHAlertSheet::recorded().size(), 2);
}

TEST_F(UsersUiEditing, LeavingAfterAnUnreadableUserFileShowsNoSavingError) {
    ASSERT_TRUE(QDir().mkpath(usersFile()));
    answers.assign(10, PHAlertSheet::Default);
    start();
    const qsizetype before = PHAlertSheet::recorded().size();
    EXPECT_EQ(before, 1);
    pref->didUnselect();
    settle();
    // Nothing was changed, so nothing failed to be saved.
    EXPECT_EQ(PHAlertSheet::recorded().size(), before);
    EXPECT_TRUE(QFileInfo(usersFile()).isDir());
}

TEST_F(UsersUiEditing, TheSheetChecksTheNameBeforeThePasswordAndTheReservedNameLast) {
    writeUsers({"alice"});
    start();
    const QString before = readFile(usersFile());
    button("userAddButton")->click();
    settle();
    ASSERT_NE(sheet(), nullptr);
    EXPECT_TRUE(sheet()->isVisible());
    EXPECT_EQ(sheet()->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet()->parentWidget(), window.get()) << "a sheet of the panel window";
    EXPECT_TRUE(sheetField("userField")->isEnabled());

    EXPECT_EQ(fillSheet("ALICE", "x", "x"), "Please choose a unique username");
    EXPECT_EQ(fillSheet("Any valid user", "x", "x"), "Please choose a unique username");
    // Nothing but blanks is no name: a line without one is dropped when the file is read.
    EXPECT_EQ(fillSheet(" \t ", "x", "x"), "Please choose a unique username");
    // A tab in the name is refused before the empty password is looked at.
    EXPECT_EQ(fillSheet("bo\tb", "", ""), "Usernames cannot contain spaces, tabs, or line returns");
    EXPECT_EQ(fillSheet("bo b", "x", "y"), "Usernames cannot contain spaces, tabs, or line returns");
    // A colon would split the line in the user file; so would other characters Apache cannot match.
    EXPECT_EQ(fillSheet("a:b", "", ""),
              "Usernames can only contain printable ASCII characters, and no \":\"");
    EXPECT_EQ(fillSheet("jos\u00e9", "x", "x"),
              "Usernames can only contain printable ASCII characters, and no \":\"");
    // The reserved name passes every check before its own, whatever its case.
    EXPECT_EQ(fillSheet("PORTHOLDED", "", ""), "You must supply a password");
    EXPECT_EQ(fillSheet("PORTHOLDED", "x", "y"), "Passwords do not match");
    EXPECT_EQ(fillSheet("PORTHOLDED", "x", "x"), "Invalid username. Please choose another");
    EXPECT_TRUE(sheet()->isVisible());
    EXPECT_EQ(readFile(usersFile()), before) << "a refused sheet writes nothing";

    // Surrounding blanks go; the hash is one the server checks.
    fillSheet("  newbie ", "s3cret", "s3cret");
    EXPECT_FALSE(sheet()->isVisible());
    EXPECT_TRUE(passwordMatches("newbie", "s3cret")) << qPrintable(readFile(usersFile()));
    EXPECT_TRUE(passwordMatches("alice", "pw-alice"));
    EXPECT_EQ(userTable()->model()->rowCount(), 3);
    EXPECT_EQ(userCell(2, "user").data().toString(), "newbie");
    EXPECT_TRUE(sheetField("passField")->text().isEmpty()) << "passwords do not stay in the closed sheet";

    // Opening again starts afresh; Cancel and Escape add nobody.
    button("userAddButton")->click();
    settle();
    EXPECT_TRUE(sheetField("userField")->text().isEmpty());
    EXPECT_TRUE(sheetMessage().isEmpty());
    sheetField("userField")->setText("carol");
    sheet()->findChild<QAbstractButton *>("userCancelButton")->click();
    settle();
    EXPECT_FALSE(sheet()->isVisible());
    button("userAddButton")->click();
    settle();
    sheetField("userField")->setText("dave");
    QTest::keyClick(sheet(), Qt::Key_Escape);
    settle();
    EXPECT_FALSE(sheet()->isVisible());
    EXPECT_EQ(userLines().size(), 2);
}

TEST_F(UsersUiEditing, ANewPasswordReplacesTheRecordAndKeepsItsGroups) {
    writeUsers({"bob", "alice"});
    writeGroups("staff: alice bob \nteam: alice \n");
    preset("Sort Users", true);
    start();
    // Row 0 is nobody in particular: no password to change.
    clickUserRow(0);
    EXPECT_FALSE(button("userEditButton")->isEnabled());
    EXPECT_FALSE(button("userDeleteButton")->isEnabled());
    QTest::mouseDClick(userTable()->viewport(), Qt::LeftButton, {},
                       userTable()->visualRect(userCell(0, "user")).center());
    settle();
    EXPECT_TRUE(!sheet() || !sheet()->isVisible());

    clickUserRow(2); // alice, as the file lists her
    ASSERT_EQ(userCell(2, "user").data().toString(), "alice");
    EXPECT_EQ(QApplication::focusWidget(), userTable());
    EXPECT_TRUE(button("userEditButton")->isEnabled());
    // Clicked as a mouse does, which gives the button the keyboard.
    QTest::mouseClick(button("userEditButton"), Qt::LeftButton);
    settle();
    ASSERT_TRUE(sheet() && sheet()->isVisible());
    EXPECT_FALSE(sheetField("userField")->isEnabled());
    EXPECT_EQ(sheetField("userField")->text(), "alice");
    EXPECT_EQ(sheetMessage(), "Please enter a new password for alice");

    EXPECT_EQ(fillSheet("", "new-pw", "other"), "Passwords do not match");
    fillSheet("", "new-pw", "new-pw");
    EXPECT_FALSE(sheet()->isVisible());
    EXPECT_TRUE(passwordMatches("alice", "new-pw")) << qPrintable(readFile(usersFile()));
    EXPECT_TRUE(passwordMatches("bob", "pw-bob"));
    // One record each, sorted, and alice still in both groups.
    EXPECT_EQ(userLines().size(), 2);
    EXPECT_TRUE(userLines().first().startsWith("alice:"));
    EXPECT_EQ(readFile(groupsFile()), "staff: alice bob \nteam: alice \n");
    EXPECT_EQ(members("staff"), QStringList({"alice", "bob"}));
    // She stays selected, where the sort puts her now, and the keyboard
    // stays in the table it was in.
    EXPECT_EQ(userTable()->selectedRow(), 1);
    EXPECT_EQ(userCell(1, "user").data().toString(), "alice");
    EXPECT_TRUE(button("userEditButton")->isEnabled());
    window->activateWindow();
    settle();
    EXPECT_EQ(QApplication::focusWidget(), button("userEditButton"));

    // A double click on a user opens the same sheet.
    QTest::mouseDClick(userTable()->viewport(), Qt::LeftButton, {},
                       userTable()->visualRect(userCell(2, "user")).center());
    settle();
    ASSERT_TRUE(sheet()->isVisible());
    EXPECT_EQ(sheetField("userField")->text(), "bob");
    EXPECT_FALSE(sheetField("userField")->isEnabled());
}

TEST_F(UsersUiEditing, DeletingAUserAsksUntilDontAsk) {
    writeUsers({"alice", "bob"});
    writeGroups("staff: alice bob \n");
    start();
    clickUserRow(2);
    ASSERT_TRUE(button("userDeleteButton")->isEnabled());

    answers = {PHAlertSheet::Other}; // "No"
    pressDelete(userTable());
    ASSERT_EQ(PHAlertSheet::recorded().size(), 1);
    const PHAlertSheet::Request asked = PHAlertSheet::recorded().first();
    EXPECT_EQ(asked.title, "Delete User");
    EXPECT_EQ(asked.message, "Are you sure you wish to delete the user \"bob\"" + kConfirmTail);
    EXPECT_EQ(asked.defaultButton, "Yes");
    EXPECT_EQ(asked.alternateButton, "Don't Ask");
    EXPECT_EQ(asked.otherButton, "No");
    EXPECT_EQ(userLines().size(), 2);

    answers = {PHAlertSheet::Alternate}; // "Don't Ask": yes, and stop asking
    button("userDeleteButton")->click();
    settle();
    EXPECT_EQ(PHAlertSheet::recorded().size(), 2);
    EXPECT_EQ(userLines().size(), 1);
    EXPECT_TRUE(userLines().first().startsWith("alice:"));
    EXPECT_EQ(readFile(groupsFile()), "staff: alice \n") << "a deleted user leaves its groups";
    EXPECT_FALSE(PHSettingsStore::instance()->boolForKey("User Delete Dialog"));
    EXPECT_FALSE(child<QAbstractButton>("userDeleteCheck")->isChecked());
    EXPECT_FALSE(button("userDeleteButton")->isEnabled()) << "nothing is selected after the deletion";

    // No more questions; and "Any Valid User" cannot be deleted at all.
    clickUserRow(0);
    pressDelete(userTable());
    EXPECT_EQ(userLines().size(), 1);
    clickUserRow(1);
    pressDelete(userTable());
    EXPECT_EQ(PHAlertSheet::recorded().size(), 2);
    EXPECT_TRUE(userLines().isEmpty());
    EXPECT_EQ(readFile(groupsFile()), "staff: \n");
}

TEST_F(UsersUiEditing, DeletingGroupsAndMemberships) {
    writeUsers({"alice", "bob"});
    writeGroups("staff: alice bob \nteam: \n");
    start();
    PHOutlineView *outline = groupOutline();
    EXPECT_FALSE(button("groupDeleteButton")->isEnabled());
    expandItem(outline, group("staff"));
    settle();
    PHUserItem *alice = group("staff")->children().first().get();
    ASSERT_TRUE(selectItem(outline, alice));
    settle();
    EXPECT_TRUE(button("groupDeleteButton")->isEnabled());
    EXPECT_EQ(button("groupDeleteButton")->toolTip(), "Remove \"alice\" from \"staff\"");

    answers = {PHAlertSheet::Default};
    pressDelete(outline);
    ASSERT_EQ(PHAlertSheet::recorded().size(), 1);
    EXPECT_EQ(PHAlertSheet::recorded().first().title, "Delete Group");
    EXPECT_EQ(PHAlertSheet::recorded().first().message,
              "Are you sure you wish to remove the user \"alice\" from the group \"staff\"" + kConfirmTail);
    EXPECT_EQ(readFile(groupsFile()), "staff: bob \nteam: \n");
    EXPECT_EQ(userLines().size(), 2) << "leaving a group deletes no user";

    ASSERT_TRUE(selectItem(outline, group("team")));
    settle();
    EXPECT_EQ(button("groupDeleteButton")->toolTip(), "Delete \"team\"");
    answers = {PHAlertSheet::Error};
    button("groupDeleteButton")->click();
    settle();
    EXPECT_EQ(readFile(groupsFile()), "staff: bob \nteam: \n") << "an error return deletes nothing";
    answers = {PHAlertSheet::Alternate};
    button("groupDeleteButton")->click();
    settle();
    EXPECT_EQ(PHAlertSheet::recorded().last().message,
              "Are you sure you wish to delete the group \"team\"" + kConfirmTail);
    EXPECT_EQ(readFile(groupsFile()), "staff: bob \n");
    EXPECT_FALSE(PHSettingsStore::instance()->boolForKey("Group Delete Dialog"));
    EXPECT_FALSE(child<QAbstractButton>("groupDeleteCheck")->isChecked());

    // Without the question, at once; then nothing is selected.
    ASSERT_TRUE(selectItem(outline, group("staff")));
    settle();
    pressDelete(outline);
    EXPECT_EQ(PHAlertSheet::recorded().size(), 3);
    EXPECT_EQ(readFile(groupsFile()), "");
    EXPECT_FALSE(button("groupDeleteButton")->isEnabled());
    EXPECT_TRUE(button("groupDeleteButton")->toolTip().isEmpty());
}

TEST_F(UsersUiEditing, ANewGroupTakesTheFirstFreeNumberAndIsNamedInPlace) {
    writeUsers({"alice"});
    writeGroups("Group 1: \ngroup 2: \nGroup 4: \n");
    start();
    button("groupAddButton")->click();
    settle();
    ASSERT_NE(group("Group 3"), nullptr);
    EXPECT_EQ(selectedNode(groupOutline()), group("Group 3"));
    EXPECT_EQ(readFile(groupsFile()), "Group 1: \ngroup 2: \nGroup 4: \n") << "adding alone writes nothing";

    auto *editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr) << "the new group's name is open for typing";
    EXPECT_EQ(editor->selectedText(), "Group 3");
    // The generated name has a blank: Return alone is refused, with the reason,
    // and the edit stays open.
    answers = {PHAlertSheet::Default};
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    EXPECT_EQ(QApplication::focusWidget(), editor);
    ASSERT_EQ(PHAlertSheet::recorded().size(), 1);
    EXPECT_EQ(PHAlertSheet::recorded().first().message,
              "Group names cannot contain spaces, tabs, or line returns");
    editor->setText("GROUP 4");
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    EXPECT_EQ(QApplication::focusWidget(), editor) << "another group's name, in any case, is taken";
    editor->setText("web-team");
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    EXPECT_NE(QApplication::focusWidget(), editor);
    EXPECT_EQ(group("Group 3"), nullptr);
    ASSERT_NE(group("web-team"), nullptr);
    EXPECT_EQ(readFile(groupsFile()), "Group 1: \ngroup 2: \nGroup 4: \nweb-team: \n");
    EXPECT_EQ(selectedNode(groupOutline()), group("web-team")) << "the renamed group stays selected";

    // The next one is Group 3 again.
    button("groupAddButton")->click();
    settle();
    EXPECT_NE(group("Group 3"), nullptr);
}

} // namespace
