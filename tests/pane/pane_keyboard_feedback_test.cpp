// The panel by keyboard and what it says back: the protection pop-up opens
// from the keys people try, Tab leaves a table, Delete on a protected folder
// asks to remove its protection, cells tell screen readers what they show,
// and saves and refusals appear on the panel's line of news.

#include "PaneFixture.h"

#include "platform/PHMessageLine.h"

#include <QLineEdit>
#include <QMenu>

namespace {

class PaneKeyboard : public PaneFixture {
protected:
    QMenu *directoryMenu() const { return pref->mainView()->findChild<QMenu *>("directoryMenu"); }
    /// Gives the outline the keyboard focus on a folder's row.
    void focusFolder(PHFSItem *item) {
        clickFolder(item);
        outline()->setFocus(Qt::TabFocusReason);
        settle();
    }
};

TEST_F(PaneKeyboard, ProtectionPopUpOpensFromEveryUsualKeyAndChoosesByArrows) {
    start();
    PHFSItem *privateFolder = folder("private");
    ASSERT_NE(privateFolder, nullptr);
    focusFolder(privateFolder);
    QMenu *menu = directoryMenu();
    ASSERT_NE(menu, nullptr);

    const QList<std::pair<Qt::Key, Qt::KeyboardModifiers>> keys = {{Qt::Key_Space, Qt::NoModifier},
                                                                   {Qt::Key_Return, Qt::NoModifier},
                                                                   {Qt::Key_Enter, Qt::KeypadModifier},
                                                                   {Qt::Key_F2, Qt::NoModifier},
                                                                   {Qt::Key_Down, Qt::AltModifier}};
    for (const auto &[key, modifiers] : keys) {
        QTest::keyClick(outline(), key, modifiers);
        settle();
        EXPECT_TRUE(menu->isVisible()) << "key " << key;
        // The current choice is where the arrows start.
        ASSERT_NE(menu->activeAction(), nullptr);
        EXPECT_EQ(menu->activeAction()->text(), "None");
        menu->hide();
        settle();
    }
    // A plain arrow moves between rows and opens nothing.
    QTest::keyClick(outline(), Qt::Key_Down);
    settle();
    EXPECT_FALSE(menu->isVisible());
    focusFolder(privateFolder);

    // Down, Return: "Password" is chosen, written, and said.
    QTest::keyClick(outline(), Qt::Key_Space);
    settle();
    ASSERT_TRUE(menu->isVisible());
    QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Return);
    settle();
    EXPECT_EQ(privateFolder->authStatus(), 1);
    EXPECT_TRUE(readFile(web + "/private/.htaccess").contains("\nAuthType Basic"));
    ASSERT_NE(pref->messageLine(), nullptr);
    EXPECT_TRUE(pref->messageLine()->isVisible());
    EXPECT_EQ(pref->messageLine()->text(), "Saved .htaccess in private");
    EXPECT_EQ(pref->messageLine()->meaning(), PHThemeColors::Meaning::Positive);

    // What a screen reader hears for the painted cells.
    const QModelIndex mode = indexOf(outline(), privateFolder, outline()->columnForIdentifier("protect"));
    const QModelIndex remove = indexOf(outline(), privateFolder, outline()->columnForIdentifier("delete"));
    EXPECT_EQ(mode.data(Qt::AccessibleTextRole).toString(), "Protection: Password");
    EXPECT_EQ(remove.data(Qt::AccessibleTextRole).toString(), "Remove protection");
    EXPECT_EQ(remove.data(Qt::ToolTipRole).toString(), "Remove protection");
    const QModelIndex openRemove =
        indexOf(outline(), folder("open"), outline()->columnForIdentifier("delete"));
    EXPECT_EQ(openRemove.data(Qt::AccessibleTextRole).toString(), "button (unavailable)");

    // Delete asks to remove the protection; the answer removes it.
    answers.push_back(PHAlertSheet::Default);
    QTest::keyClick(outline(), Qt::Key_Delete);
    settle();
    EXPECT_TRUE(answers.empty()) << "Delete asked nothing";
    EXPECT_EQ(privateFolder->authStatus(), 0);
    // On a folder without protection Delete asks nothing (an unexpected sheet fails the test).
    QTest::keyClick(outline(), Qt::Key_Delete);
    settle();
}

TEST_F(PaneKeyboard, TabLeavesTheUsersTableAndCheckCellsSpeakForTheirRow) {
    writeFile(web + "/.htusers", "alice:xyz\n");
    start();
    clickFolder(folder("private"));
    auto *users = child<PHTableView>("userTable");
    ASSERT_NE(users, nullptr);
    ASSERT_GE(users->model()->rowCount(), 2);
    users->setFocus(Qt::TabFocusReason);
    users->setCurrentIndex(users->model()->index(1, 1));
    settle();
    QTest::keyClick(users, Qt::Key_Tab);
    settle();
    EXPECT_NE(QApplication::focusWidget(), users) << "Tab stayed inside the table";

    const QModelIndex check = users->model()->index(1, 0);
    EXPECT_EQ(check.data(Qt::AccessibleTextRole).toString(), "alice: not checked (unavailable)")
        << "the folder is not password-protected, so the box cannot be ticked";
}

TEST_F(PaneKeyboard, RefusedAddressesSayWhy) {
    start();
    clickFolder(folder("lan"));
    auto *table = child<PHTableView>("addressTable");
    ASSERT_NE(table, nullptr);
    const int before = int(pref->addresses().size());
    pref->folders()->addresses()->add();
    settle();
    auto *editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr);
    editor->setText("ALL");
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    ASSERT_NE(pref->messageLine(), nullptr);
    // Addresses are kept in lower case, as host names are.
    EXPECT_EQ(pref->messageLine()->text(), "all is a reserved word, not an address");
    EXPECT_EQ(pref->messageLine()->meaning(), PHThemeColors::Meaning::Negative);
    EXPECT_FALSE(PHSettingsStore::instance()
                     ->arrayForKey("Address Array")
                     .value_or(QVariantList())
                     .contains(QVariant("ALL")))
        << "Apache reads ALL as everyone: it is never stored as an address";

    editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr) << "the refused cell opens again";
    editor->setText("bad addr");
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    EXPECT_EQ(pref->messageLine()->text(),
              "\"bad addr\" is not an address: addresses contain no spaces, line breaks or quotes");
    EXPECT_EQ(int(pref->addresses().size()), before + 1);
}

} // namespace
