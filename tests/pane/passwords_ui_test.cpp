// Passwords and names in the panel on its real widgets: the hash menu, the
// warning for passwords DES cuts short, the weak-hash mark, names the server
// would misread, and deleting a user from every folder that lets it in.

#include "UsersUiFixture.h"

#include "common/NameRefusalCases.h"
#include "model/PHPasswordHash.h"

#include <QComboBox>

namespace {

class PasswordsUi : public UsersUiFixture {
protected:
    QLabel *warningField() const { return sheet()->findChild<QLabel *>("passwordWarningField"); }
    int rowOf(const QString &name) const {
        for (int row = 1; row < userTable()->model()->rowCount(); ++row)
            if (userCell(row, "user").data().toString() == name)
                return row;
        return -1;
    }
    QString toolTipOf(const QString &name) const {
        return userCell(rowOf(name), "user").data(Qt::ToolTipRole).toString();
    }
    static void writeAccess(const QString &path, const QString &text) { writeFile(path, text); }
    QString protectedBy(const QString &require) const {
        return "AuthType Basic\nAuthName \"Protected\"\nAuthUserFile \"" + usersFile() + "\"\n" + require +
               "\n";
    }
};

} // namespace

TEST_F(PasswordsUi, TheWeakHashMarkGoesWithANewPassword) {
    writeFile(usersFile(), "strong:" + PHPasswordHash::hash("pw-strong", PHPasswordHash::Scheme::Bcrypt) +
                               "\nold:" + PHPasswordHash::hash("pw-old", PHPasswordHash::Scheme::Des) +
                               "\nsha:{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g=\n");
    start();
    EXPECT_EQ(toolTipOf("old"), PHPasswordHash::weakHashToolTip);
    EXPECT_EQ(toolTipOf("sha"), PHPasswordHash::weakHashToolTip);
    EXPECT_TRUE(toolTipOf("strong").isEmpty());
    const QIcon weakIcon = userCell(rowOf("old"), "user").data(Qt::DecorationRole).value<QIcon>();
    const QIcon userIcon = userCell(rowOf("strong"), "user").data(Qt::DecorationRole).value<QIcon>();
    EXPECT_FALSE(weakIcon.isNull());
    EXPECT_NE(weakIcon.cacheKey(), userIcon.cacheKey()) << "the mark is not the plain user icon";

    clickUserRow(rowOf("old"));
    button("userEditButton")->click();
    settle();
    EXPECT_EQ(fillSheet(QString(), "a new secret", "a new secret"), QString());
    EXPECT_FALSE(sheet()->isVisible());
    EXPECT_TRUE(toolTipOf("old").isEmpty()) << "re-hashed with bcrypt";
    EXPECT_TRUE(passwordMatches("old", "a new secret"));
    EXPECT_TRUE(readFile(usersFile()).contains("\nold:$2y$"));
    EXPECT_EQ(toolTipOf("sha"), PHPasswordHash::weakHashToolTip) << "the others keep their hashes";
}

TEST_F(PasswordsUi, TheOptionsMenuChoosesTheHashAndTheSheetWarnsWhereDesCutsShort) {
    writeUsers({"alice"});
    start();
    auto *menu = child<QComboBox>("passwordHashMenu");
    ASSERT_EQ(menu->count(), 3);
    EXPECT_EQ(menu->currentIndex(), 0);
    EXPECT_EQ(menu->itemText(2), "DES: only the first 8 characters count; for very old servers");
    menu->setFocus();
    QTest::keyClick(menu, Qt::Key_End); // the keyboard picks DES
    settle();
    EXPECT_EQ(PHSettingsStore::instance()->stringForKey(PHPasswordHash::settingKey).value_or(QString()),
              "DES");

    button("userAddButton")->click();
    settle();
    ASSERT_NE(warningField(), nullptr);
    QTest::keyClicks(sheetField("passField"), "12345678");
    EXPECT_FALSE(warningField()->isVisible());
    QTest::keyClicks(sheetField("passField"), "9");
    EXPECT_TRUE(warningField()->isVisible());
    EXPECT_EQ(warningField()->text(), "Only the first 8 characters of this password will count");
    QTest::keyClick(sheetField("passField"), Qt::Key_Backspace);
    EXPECT_FALSE(warningField()->isVisible());

    // Saved as DES all the same, with the warning shown before.
    fillSheet("dee", "123456789", "123456789");
    EXPECT_FALSE(sheet()->isVisible());
    EXPECT_EQ(userLines().last().size(), QStringLiteral("dee:").size() + 13);

    // bcrypt again: no warning for the same length.
    QTest::keyClick(menu, Qt::Key_Home);
    settle();
    button("userAddButton")->click();
    settle();
    QTest::keyClicks(sheetField("passField"), "123456789");
    EXPECT_FALSE(warningField()->isVisible());
}

TEST_F(PasswordsUi, NamesTheServerWouldMisreadAreRefusedInTheSheetAndTheGroupEditor) {
    writeUsers({"known"});
    start();
    PHGroupsModel *groups = pref->groups();
    for (const name_cases::Case &c : name_cases::cases()) {
        const QString name = QString::fromUtf8(c.name.c_str());
        const QString reason = QString::fromStdString(c.reason);
        button("userAddButton")->click();
        settle();
        const QString message = fillSheet(name, "pw", "pw");
        PHAlertSheet::clearRecorded();
        if (c.accepted) {
            EXPECT_FALSE(sheet()->isVisible()) << c.name;
            EXPECT_TRUE(groups->acceptsEditedText({}, name)) << c.name;
            continue;
        }
        EXPECT_TRUE(message.contains(reason)) << c.name << ": " << qPrintable(message);
        EXPECT_TRUE(sheet()->isVisible());
        sheet()->findChild<QAbstractButton *>("userCancelButton")->click();
        answers = {PHAlertSheet::Default};
        EXPECT_FALSE(groups->acceptsEditedText({}, name)) << c.name;
        settle();
        ASSERT_EQ(PHAlertSheet::recorded().size(), 1) << c.name;
        EXPECT_TRUE(PHAlertSheet::recorded().first().message.contains(reason)) << c.name;
    }
    EXPECT_FALSE(readFile(usersFile()).contains("#hash"));
}

TEST_F(PasswordsUi, ANameFromTheFileIsShownButNeverTicked) {
    writeFile(usersFile(), "'quoted:" + PHPasswordHash::hash("x", PHPasswordHash::Scheme::Bcrypt) + "\n");
    start();
    PHFSItem *item = folder("private");
    clickFolder(item);
    item->setModeIndex(1);
    settle();
    ASSERT_EQ(userCell(1, "user").data().toString(), "'quoted");
    answers = {PHAlertSheet::Default};
    clickCheck(userTable(), userCell(1, "active"));
    ASSERT_EQ(PHAlertSheet::recorded().size(), 1);
    EXPECT_TRUE(PHAlertSheet::recorded().first().message.contains("cannot be let into a folder"));
    EXPECT_FALSE(readFile(web + "/private/.htaccess").contains("quoted"));
    EXPECT_TRUE(item->listForKey(PHFSItem::RequireUserKey).isEmpty());
}

TEST_F(PasswordsUi, DeletingAUserNamesItsFoldersAndTakesItOutOfThem) {
    writeUsers({"dave", "fay"});
    writeAccess(web + "/open/.htaccess", protectedBy("Require user dave fay"));
    writeAccess(web + "/private/.htaccess", protectedBy("Require user dave"));
    const QString manual = protectedBy("Require user dave\nOrder allow,deny\nAllow from all");
    writeAccess(web + "/lan/.htaccess", manual);
    start();
    clickUserRow(1);
    ASSERT_EQ(userCell(1, "user").data().toString(), "dave");

    answers = {PHAlertSheet::Default, PHAlertSheet::Default}; // "Yes", then the note on what is left
    pressDelete(userTable());
    ASSERT_EQ(PHAlertSheet::recorded().size(), 2);
    const QString asked = PHAlertSheet::recorded().at(0).message;
    EXPECT_TRUE(
        asked.startsWith("\"dave\" is allowed in lan, open and private; deleting \"dave\" also removes it "
                         "from open and private. The access file of lan is edited by hand"))
        << qPrintable(asked);
    EXPECT_TRUE(PHAlertSheet::recorded().at(1).message.contains("lan: edited by hand"));

    EXPECT_FALSE(readFile(web + "/open/.htaccess").contains("dave"));
    EXPECT_TRUE(readFile(web + "/open/.htaccess").contains("Require user fay\n"));
    EXPECT_FALSE(readFile(web + "/private/.htaccess").contains("dave"));
    EXPECT_TRUE(readFile(web + "/private/.htaccess").contains("Require user portholded"))
        << "still protected, letting nobody in";
    EXPECT_EQ(readFile(web + "/lan/.htaccess"), manual);

    // A new dave is warned about the folder that still names him.
    button("userAddButton")->click();
    settle();
    const QString warned = fillSheet("dave", "pw", "pw");
    EXPECT_TRUE(warned.contains("still allowed in lan")) << qPrintable(warned);
    EXPECT_TRUE(sheet()->isVisible());
    EXPECT_EQ(fillSheet("dave", "pw", "pw"), QString()) << "a second Save adds the user";
    EXPECT_FALSE(sheet()->isVisible());
    EXPECT_TRUE(passwordMatches("dave", "pw"));
}

TEST_F(PasswordsUi, AGroupRenamedToANameFoldersStillRequireIsWarnedAboutFirst) {
    // "staff" was deleted by another program, but two folders still let it
    // in: naming a new group "staff" would let its members in there.
    writeUsers({"erin"});
    writeAccess(web + "/open/.htaccess", protectedBy("Require group staff"));
    writeAccess(web + "/lan/.htaccess", protectedBy("Require group staff web"));
    writeGroups("web: erin\n");
    start();
    button("groupAddButton")->click();
    settle();
    auto *editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr) << "the new group's name is open for typing";

    answers = {PHAlertSheet::Default};
    editor->setText("staff");
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    ASSERT_EQ(PHAlertSheet::recorded().size(), 1);
    EXPECT_EQ(PHAlertSheet::recorded().first().message,
              "The group \"staff\" is still allowed in lan and open by their access files; its members will "
              "get in there too. Press Return again to use the name anyway.");
    EXPECT_EQ(QApplication::focusWidget(), editor) << "the edit stays open";
    EXPECT_EQ(group("staff"), nullptr);
    EXPECT_EQ(readFile(groupsFile()), "web: erin\n") << "nothing saved before the warning is read";

    // Once the warning is read, the same name is taken.
    editor->setText("staff");
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    EXPECT_EQ(PHAlertSheet::recorded().size(), 1) << "said once";
    ASSERT_NE(group("staff"), nullptr);
    EXPECT_TRUE(readFile(groupsFile()).contains("staff: \n")) << qPrintable(readFile(groupsFile()));
}
