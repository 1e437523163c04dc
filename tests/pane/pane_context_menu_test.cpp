// Context menus of the folder outline, the users table and the groups
// outline, opened as the menu key opens them; what they do, and what the
// panel says when no browser or file manager can be started.

#include "UsersUiFixture.h"

#include "platform/PHMessageLine.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QScreen>
#include <QTabWidget>
#include <QTextBrowser>

namespace {

class PaneContextMenu : public UsersUiFixture {
protected:
    void SetUp() override {
        UsersUiFixture::SetUp();
        // Nothing that could open a folder or a web page can be found.
        m_path = qgetenv("PATH");
        ASSERT_TRUE(m_empty.isValid());
        qputenv("PATH", QFile::encodeName(m_empty.path()));
        for (const char *name : {"BROWSER", "DEFAULT_BROWSER"})
            qunsetenv(name);
    }
    void TearDown() override {
        UsersUiFixture::TearDown();
        qputenv("PATH", m_path);
    }

    /// Opens a view's context menu from the keyboard, at its current row, and
    /// returns the menu shown.
    QMenu *openMenu(QAbstractItemView *view) {
        view->setFocus(Qt::OtherFocusReason);
        const QPoint at = view->visualRect(view->currentIndex()).center();
        QContextMenuEvent event(QContextMenuEvent::Keyboard, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view, &event);
        settle();
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        EXPECT_NE(menu, nullptr) << "no menu opened";
        return menu;
    }
    static QAction *entry(QMenu *menu, const QString &text) {
        for (QAction *action : menu->actions())
            if (action->text() == text)
                return action;
        ADD_FAILURE() << "no entry " << qPrintable(text);
        return nullptr;
    }
    static QStringList titles(QMenu *menu) {
        QStringList list;
        for (QAction *action : menu->actions())
            if (!action->isSeparator())
                list << action->text();
        return list;
    }
    static void choose(QMenu *menu, const QString &text) {
        QAction *action = entry(menu, text);
        ASSERT_NE(action, nullptr);
        ASSERT_TRUE(action->isEnabled()) << qPrintable(text);
        action->trigger();
        menu->close();
        settle();
    }
    QString message() const { return pref->messageLine() ? pref->messageLine()->text() : QString(); }

private:
    QByteArray m_path;
    QTemporaryDir m_empty;
};

TEST_F(PaneContextMenu, FolderMenuSetsProtectionAndSaysWhenNothingCanOpenTheFolder) {
    writeUsers({"alice"});
    start();
    PHFSItem *privateFolder = folder("private");
    ASSERT_NE(privateFolder, nullptr);
    clickFolder(privateFolder);

    QMenu *menu = openMenu(outline());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->objectName(), "folderContextMenu");
    EXPECT_EQ(titles(menu),
              QStringList({"None", "Password", "Address", "Password or Address", "Password and Address",
                           "Remove Protection…", "Check Access", "View on Web", "Open Folder"}));
    EXPECT_TRUE(entry(menu, "None")->isChecked());
    EXPECT_FALSE(entry(menu, "Remove Protection…")->isEnabled()) << "nothing to remove yet";
    // The arrows start on the current folder's first choice; Down, Return picks Password.
    ASSERT_NE(menu->activeAction(), nullptr);
    EXPECT_EQ(menu->activeAction()->text(), "None");
    QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Return);
    settle();
    EXPECT_EQ(privateFolder->authStatus(), 1);
    EXPECT_TRUE(readFile(web + "/private/.htaccess").contains("\nAuthType Basic"));
    EXPECT_EQ(message(), "Saved .htaccess in private");

    menu = openMenu(outline());
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(entry(menu, "Password")->isChecked());
    EXPECT_TRUE(entry(menu, "Remove Protection…")->isEnabled());
    choose(menu, "Open Folder");
    EXPECT_TRUE(message().startsWith(QStringLiteral("Could not open %1/private: ").arg(web)))
        << qPrintable(message());
    EXPECT_EQ(pref->messageLine()->meaning(), PHThemeColors::Meaning::Negative);

    menu = openMenu(outline());
    ASSERT_NE(menu, nullptr);
    choose(menu, "View on Web");
    EXPECT_TRUE(message().startsWith("Could not open http")) << qPrintable(message());
    EXPECT_TRUE(message().contains("/private")) << qPrintable(message());

    // Remove Protection asks first, as Delete and the button do.
    menu = openMenu(outline());
    ASSERT_NE(menu, nullptr);
    answers.push_back(PHAlertSheet::Default);
    choose(menu, "Remove Protection…");
    EXPECT_TRUE(answers.empty());
    EXPECT_FALSE(QFileInfo::exists(web + "/private/.htaccess"));
}

TEST_F(PaneContextMenu, UserAndGroupMenusEditMembershipWithoutDragging) {
    writeUsers({"alice", "bob"});
    writeGroups("staff: bob \n");
    preset("Group Delete Dialog", true);
    preset("User Delete Dialog", true);
    start();
    clickFolder(folder("private"));

    // A user: Password…, Delete, Add to Group ▸ staff.
    clickUserRow(1);
    QMenu *menu = openMenu(userTable());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->objectName(), "userContextMenu");
    EXPECT_EQ(titles(menu), QStringList({"Password…", "Delete", "Add to Group"}));
    QMenu *groups = menu->findChild<QMenu *>("addToGroupMenu");
    ASSERT_NE(groups, nullptr);
    EXPECT_EQ(titles(groups), QStringList{"staff"});
    choose(groups, "staff");
    menu->close();
    EXPECT_EQ(members("staff"), QStringList({"bob", "alice"}));
    EXPECT_EQ(readFile(groupsFile()), "staff: bob alice \n");
    EXPECT_EQ(message(), "Added alice to the group staff");

    // Already a member: the entry is there but cannot be chosen.
    clickUserRow(1);
    menu = openMenu(userTable());
    ASSERT_NE(menu, nullptr);
    groups = menu->findChild<QMenu *>("addToGroupMenu");
    ASSERT_NE(groups, nullptr);
    EXPECT_FALSE(entry(groups, "staff")->isEnabled());
    menu->close();
    settle();

    // A group: Rename starts typing its name; Add Member offers only non-members.
    PHUserItem *staff = group("staff");
    ASSERT_NE(staff, nullptr);
    ASSERT_TRUE(selectItem(groupOutline(), staff));
    groupOutline()->setCurrentIndex(groupCell(staff, "group"));
    settle();
    menu = openMenu(groupOutline());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->objectName(), "groupContextMenu");
    EXPECT_EQ(titles(menu), QStringList({"Rename", "Delete", "Add Member"}));
    QMenu *addMember = menu->findChild<QMenu *>("addMemberMenu");
    ASSERT_NE(addMember, nullptr);
    EXPECT_EQ(titles(addMember), QStringList{"(every user is a member)"});
    choose(menu, "Rename");
    EXPECT_TRUE(groupOutline()->isEditing());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    settle();

    // A member: Remove from Group asks, then removes.
    expandItem(groupOutline(), staff);
    settle();
    ASSERT_FALSE(staff->children().isEmpty());
    PHUserItem *alice = staff->children().last().get();
    ASSERT_EQ(alice->value(), "alice");
    ASSERT_TRUE(selectItem(groupOutline(), alice));
    groupOutline()->setCurrentIndex(groupCell(alice, "group"));
    settle();
    menu = openMenu(groupOutline());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(titles(menu), QStringList{"Remove from Group"});
    answers.push_back(PHAlertSheet::Default);
    choose(menu, "Remove from Group");
    EXPECT_TRUE(answers.empty());
    EXPECT_EQ(members("staff"), QStringList{"bob"});
    EXPECT_EQ(message(), "Saved .htgroups");

    // A user deleted from its menu: the write of the user file is said too.
    clickUserRow(1);
    menu = openMenu(userTable());
    ASSERT_NE(menu, nullptr);
    answers.push_back(PHAlertSheet::Default);
    choose(menu, "Delete");
    EXPECT_TRUE(answers.empty());
    EXPECT_FALSE(readFile(usersFile()).contains("alice:"));
    EXPECT_EQ(message(), "Saved .htusers");
}

TEST_F(PaneContextMenu, HelpAboutAndAnEmptyGroup) {
    writeUsers({"alice"});
    writeGroups("empty: \nstaff: alice \n");
    start();
    // A group without members has no arrow to open.
    QAbstractItemModel *groups = groupOutline()->model();
    ASSERT_NE(group("empty"), nullptr);
    EXPECT_FALSE(groups->hasChildren(indexOf(groupOutline(), group("empty"), 0)));
    EXPECT_TRUE(groups->hasChildren(indexOf(groupOutline(), group("staff"), 0)));

    // About names the program beside its version and shows the credits, read
    // when the tab is first opened; its buttons say when no browser opens.
    auto *credits = child<QTextBrowser>("creditsText");
    EXPECT_TRUE(credits->toPlainText().isEmpty()) << "not read at start-up";
    auto *tabs = child<QTabWidget>("tabs");
    tabs->setCurrentIndex(tabs->indexOf(child<QWidget>("about")));
    settle();
    EXPECT_TRUE(credits->toPlainText().contains("Folder protection for the Apache web server"))
        << credits->toPlainText().toStdString();
    EXPECT_EQ(child<QLabel>("nameVersionText")->text(), "Porthold 1.0.0");
    child<QAbstractButton>("websiteButton")->click();
    settle();
    EXPECT_TRUE(message().startsWith("Could not open https://www.quillmere.com/porthold/"))
        << qPrintable(message());

    // Help opens whole on the screen and closes with Escape.
    pref->about()->help();
    settle();
    QWidget *help = pref->about()->helpWindow();
    ASSERT_NE(help, nullptr);
    ASSERT_TRUE(help->isVisible());
    ASSERT_NE(help->screen(), nullptr);
    EXPECT_TRUE(help->screen()->availableGeometry().contains(help->frameGeometry()))
        << help->frameGeometry().width() << "x" << help->frameGeometry().height();
    QTest::keyClick(help, Qt::Key_Escape);
    settle();
    EXPECT_FALSE(help->isVisible());
}

} // namespace
