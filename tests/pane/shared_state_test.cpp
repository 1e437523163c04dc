// The panel (offscreen) and portholdctl (a second process) on the same web
// folder and the same settings: neither undoes what the other wrote, and the
// panel shows what the other changed.

#include "UsersUiFixture.h"
#include "ctl/CtlRunner.h"
#include "model/PHSettings.h"
#include "support/PHPropertyList.h"

#include <QAbstractButton>

namespace {

class SharedStateTest : public UsersUiFixture {
protected:
    /// The panel under the identifier portholdctl uses, on `web`.
    void startShared() {
        const QString bundle = QFileInfo(web).path() + "/Porthold.panel/Info.plist";
        QString info = readFile(bundle);
        info.replace("com.quillmere.porthold.test", PHSettings::defaultIdentifier);
        writeFile(bundle, info);
        PHSettingsStore *defaults = PHSettingsStore::instance();
        defaults->setApplicationIdentifier(PHSettings::defaultIdentifier);
        defaults->setBoolForKey(true, PHSettings::Key::AllowCustomWebDir);
        defaults->setIntegerForKey(2, PHSettings::Key::ProtectedFolder);
        defaults->setObjectForKey(web, PHSettings::Key::WebDir);
        defaults->setBoolForKey(true, PHSettings::Key::UsesRemoteApache);
        defaults->setBoolForKey(false, PHSettings::Key::CheckForUpdates);
        defaults->setBoolForKey(true, PHSettings::Key::ShowManualEditor);
        start(false);
        ASSERT_EQ(pref->files()->rootPath(), web);
    }

    ctl_runner::Result ctl(const std::vector<std::string> &arguments, const std::string &input = {}) {
        std::vector<std::string> all{"--root", web.toStdString()};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return ctl_runner::run(all, (QFileInfo(web).path() + "/config").toStdString(), input);
    }

    QVariantMap storedSettings() const {
        return PHPropertyList::readFile(PHSettingsStore::storagePath(PHSettings::defaultIdentifier)).toMap();
    }
};

TEST_F(SharedStateTest, SettingsChangedByBothFrontEndsAllSurvive) {
    startShared();
    ASSERT_EQ(ctl({"mode", "lan", "address"}).exitCode, 0);
    const auto added = ctl({"address", "lan", "--add", "10.1.2.3"});
    ASSERT_EQ(added.exitCode, 0) << added.err;

    // The panel changes another key afterwards, from what it read at start-up.
    auto *sortUsers = child<QAbstractButton>("userSortCheck");
    ASSERT_FALSE(sortUsers->isChecked());
    sortUsers->click();
    settle();

    const QVariantMap stored = storedSettings();
    EXPECT_TRUE(stored.value(PHSettings::Key::SortUsers).toBool());
    EXPECT_TRUE(stored.value(PHSettings::Key::AddressArray).toStringList().contains("10.1.2.3"))
        << qPrintable(stored.value(PHSettings::Key::AddressArray).toStringList().join(' '));
    // The panel noticed the other program's change and lists the address too.
    EXPECT_TRUE(QTest::qWaitFor([&] { return pref->addresses().contains("10.1.2.3"); }, 3000));

    // And the other way round: a key the panel wrote is not undone by portholdctl.
    ASSERT_EQ(ctl({"address", "lan", "--add", "10.9.9.9"}).exitCode, 0);
    EXPECT_TRUE(storedSettings().value(PHSettings::Key::SortUsers).toBool());
}

TEST_F(SharedStateTest, UsersAndGroupsAddedMeanwhileSurviveThePanel) {
    writeUsers({"alice"});
    writeGroups("staff: alice\n");
    startShared();

    ASSERT_EQ(ctl({"user", "add", "bob"}, "pw-bob\n").exitCode, 0);
    ASSERT_EQ(ctl({"group", "add", "crew", "--member", "bob"}).exitCode, 0);

    // Closing the panel, which changed nothing, writes nothing back.
    pref->didUnselect();
    EXPECT_TRUE(passwordMatches("bob", "pw-bob")) << qPrintable(readFile(usersFile()));
    EXPECT_TRUE(readFile(groupsFile()).contains("crew: bob")) << qPrintable(readFile(groupsFile()));

    // An edit in the panel merges with the other program's changes.
    button("userAddButton")->click();
    settle();
    EXPECT_EQ(fillSheet("carol", "pw-carol", "pw-carol"), QString());
    EXPECT_TRUE(passwordMatches("alice", "pw-alice"));
    EXPECT_TRUE(passwordMatches("bob", "pw-bob"));
    EXPECT_TRUE(passwordMatches("carol", "pw-carol"));
    EXPECT_TRUE(pref->users()->userNames().contains("bob"));

    pref->groups()->addNewGroup("night");
    ASSERT_TRUE(pref->groups()->writeGroupfile());
    const QString groups = readFile(groupsFile());
    EXPECT_TRUE(groups.contains("staff: alice")) << qPrintable(groups);
    EXPECT_TRUE(groups.contains("crew: bob")) << qPrintable(groups);
    EXPECT_TRUE(groups.contains("night:")) << qPrintable(groups);
    EXPECT_TRUE(PHAlertSheet::recorded().isEmpty());
}

TEST_F(SharedStateTest, AUserChangedOnBothSidesKeepsTheFileVersionAndIsReported) {
    writeUsers({"alice", "dave"});
    startShared();
    ASSERT_EQ(ctl({"user", "passwd", "alice"}, "changed-elsewhere\n").exitCode, 0);

    // The panel deletes the user the other program just gave a new password.
    answers = {PHAlertSheet::Default, PHAlertSheet::Default};
    clickUserRow(1);
    ASSERT_EQ(pref->users()->userNames().value(0), "alice");
    pref->folders()->usersAndGroups()->deleteUser();
    settle();
    EXPECT_TRUE(passwordMatches("alice", "changed-elsewhere"));
    EXPECT_TRUE(passwordMatches("dave", "pw-dave"));
    ASSERT_FALSE(PHAlertSheet::recorded().isEmpty());
    EXPECT_TRUE(PHAlertSheet::recorded().last().message.contains("changed by another program"))
        << qPrintable(PHAlertSheet::recorded().last().message);
}

TEST_F(SharedStateTest, AnAccessFileEditedOnDiskShowsInTheOutline) {
    startShared();
    PHFSItem *lan = folder("lan");
    ASSERT_NE(lan, nullptr);
    clickFolder(lan);
    ASSERT_EQ(lan->modeIndex(), 0);

    ASSERT_EQ(ctl({"mode", "lan", "address"}).exitCode, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return lan->modeIndex() == 2; }, 3000));
    EXPECT_EQ(PHFolderModel::modeIndexForItem(lan), 2);
    // The selected folder's editor shows the new text.
    EXPECT_EQ(child<QPlainTextEdit>("customViewText")->toPlainText(), readFile(web + "/lan/.htaccess"));
}

} // namespace
