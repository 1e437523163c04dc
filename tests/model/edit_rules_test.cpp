// The shared edit rules and web-root paths, on the inputs that have broken
// files before: names an access-file line or the group file would split, and
// paths joined onto nothing.

#include "model/PHEditRules.h"
#include "model/PHNameRule.h"
#include "model/PHSettings.h"
#include "model/PHWebRoot.h"
#include "support/PHSettingsStore.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(EditRules, GroupNamesAreCheckedAsTypedAndAsStored) {
    const auto takenIn = [](QStringList names) {
        return [names](const QString &name) { return names.contains(name, Qt::CaseInsensitive); };
    };
    const auto none = takenIn({});
    EXPECT_EQ(PHEditRules::groupNameRefusal("  ", none), "A group needs a name");
    EXPECT_EQ(PHEditRules::groupNameRefusal("my group", none),
              "Group names cannot contain spaces, tabs, or line returns");
    // The group file ends a name at its first ":"; the character rule is the name rule's.
    const QString colons = PHNameRule::refusal("st:aff", PHNameRule::Kind::Group);
    EXPECT_FALSE(colons.isEmpty());
    EXPECT_EQ(PHEditRules::groupNameRefusal("st:aff", none), colons);
    EXPECT_EQ(PHEditRules::groupNameRefusal("::", none), colons);
    EXPECT_EQ(PHEditRules::groupNameRefusal(QString::fromUtf8("\xc3\xa9quipe"), none),
              "Group names can only contain printable ASCII characters, and no \":\"");
    // Taken whatever the letter case.
    EXPECT_EQ(PHEditRules::groupNameRefusal("staff", takenIn({"STAFF"})),
              "Please choose a unique group name");
    EXPECT_EQ(PHEditRules::groupNameRefusal("staff", none), QString());
    EXPECT_EQ(PHEditRules::cleanGroupName("st:aff"), "staff");
}

TEST(EditRules, NewUserNamesFollowTheNameRuleAndExistingOnesKeepTheirs) {
    EXPECT_EQ(PHEditRules::userNameRefusal("bob", true, true), "Please choose a unique username");
    EXPECT_EQ(PHEditRules::userNameRefusal("#bob", true, false),
              PHNameRule::refusal("#bob", PHNameRule::Kind::User));
    EXPECT_FALSE(PHEditRules::userNameRefusal("#bob", true, false).isEmpty());
    // A user already in the file gets a new password under the name it has.
    EXPECT_EQ(PHEditRules::userNameRefusal("old name", false, true), QString());
    // The sheet's order: name, password, confirmation, the placeholder.
    EXPECT_EQ(PHEditRules::userRefusal("a b", true, false, "", ""),
              "Usernames cannot contain spaces, tabs, or line returns");
    EXPECT_EQ(PHEditRules::userRefusal("bob", true, false, "", ""), "You must supply a password");
    EXPECT_EQ(PHEditRules::userRefusal("bob", true, false, "x", "y"), "Passwords do not match");
    EXPECT_EQ(PHEditRules::userRefusal("Portholded", true, false, "x", "x"),
              "Invalid username. Please choose another");
    EXPECT_EQ(PHEditRules::userRefusal("bob", true, false, "x", "x"), QString());
}

TEST(EditRules, AddressesThatWouldBreakAnAccessLineAreRefused) {
    EXPECT_EQ(PHEditRules::addressRefusal("all"),
              "\"all\" is a reserved word and cannot be used as an address");
    EXPECT_EQ(PHEditRules::addressRefusal(""), "An address cannot be empty");
    for (const char *bad : {"10.0.0.1 10.0.0.2", "a\"b", "'srv/", "a\nb", "a\x01z"})
        EXPECT_FALSE(PHEditRules::addressRefusal(QString::fromLatin1(bad)).isEmpty()) << bad;
    EXPECT_EQ(PHEditRules::addressRefusal("192.168.1.0/24"), QString());

    // As the real server reads "Allow from" entries: each of these made it
    // answer 500 for the folder, each of the accepted ones did not.
    for (const char *refused :
         {"999.1.1.1", "10.0.0.0/33", "1.2.3.4/", "fe80::zz", "10.0.0.0/8/8", "10.0.0.0/0", "1.2.3.4.5",
          "::ffff:1.2.3.4", "::1/129", "256", "10/8", "${home}"})
        EXPECT_FALSE(PHEditRules::addressRefusal(QString::fromLatin1(refused)).isEmpty()) << refused;
    for (const char *accepted : {"10.1", "10.", "010.1.1.1", "1.2.3.4/255.255.0.0", "10.0.0.0/255.0.0.1",
                                 "a_b.example", "12a", "::1/128", "1.2.3.4/24", "2001:db8::/32"})
        EXPECT_EQ(PHEditRules::addressRefusal(QString::fromLatin1(accepted)), QString()) << accepted;
    EXPECT_EQ(
        PHEditRules::addressRefusal("999.1.1.1"),
        "\"999.1.1.1\" is not a valid IP address (the web server would refuse the folder's access file)");
}

TEST(EditRules, NamesTheServerWouldExpandAreRefused) {
    EXPECT_FALSE(PHNameRule::isAcceptable(QStringLiteral("${HOME}"), PHNameRule::Kind::User));
    EXPECT_FALSE(PHNameRule::isAcceptable(QStringLiteral("a${X}"), PHNameRule::Kind::Group));
    EXPECT_TRUE(PHNameRule::isAcceptable(QStringLiteral("a$b"), PHNameRule::Kind::User));
}

TEST(EditRules, AnyValidUserAndNamedUsersExcludeEachOther) {
    using PHEditRules::anyUserRealName;
    using PHEditRules::requireUser;
    EXPECT_EQ(requireUser({"alice", "bob"}, anyUserRealName), QStringList{anyUserRealName});
    EXPECT_EQ(requireUser({anyUserRealName}, "alice"), QStringList{"alice"});
    EXPECT_EQ(requireUser({"alice"}, "alice"), QStringList{"alice"});
    EXPECT_EQ(requireUser({"alice"}, "bob"), (QStringList{"alice", "bob"}));
}

TEST(WebRoot, PathsAreNeverMadeRelativeToTheWorkingFolder) {
    int argc = 1;
    char name[] = "edit_rules_test";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    PHSettingsStore::resetInstanceForTesting();
    PHSettings::registerDefaults(QStringLiteral("com.quillmere.porthold.rules-test"));
    PHSettingsStore *defaults = PHSettingsStore::instance();

    // A custom root chosen but never stored: no user file anywhere.
    defaults->setIntegerForKey(2, PHSettings::Key::ProtectedFolder);
    EXPECT_EQ(PHWebRoot::configured(), QString());
    EXPECT_EQ(PHWebRoot::location(PHWebRoot::configured(), PHWebRoot::UserFile), QString());
    EXPECT_EQ(PHWebRoot::adjusted(QString()), QString());
    defaults->setIntegerForKey(1, PHSettings::Key::ProtectedFolder);
    EXPECT_EQ(PHWebRoot::location(PHWebRoot::configured(), PHWebRoot::GroupFile), "/var/www/html/.htgroups");

    defaults->setBoolForKey(true, PHSettings::Key::StripVolumes);
    EXPECT_EQ(PHWebRoot::adjusted("/Volumes/Web//.htusers"), "/Web/.htusers");
    // Only a leading "/Volumes" is a mount point.
    EXPECT_EQ(PHWebRoot::adjusted("web/Volumes/.htusers"), "web/Volumes/.htusers");
    defaults->setObjectForKey(QStringLiteral("/srv/"), PHSettings::Key::FolderPrefix);
    EXPECT_EQ(PHWebRoot::adjusted("/Volumes/Web/.htusers"), "/srv/Web/.htusers");
    defaults->setObjectForKey(QStringLiteral("/"), PHSettings::Key::FolderPrefix);
    EXPECT_EQ(PHWebRoot::adjusted("/home/a/public_html/.htusers"), "/home/a/public_html/.htusers");
    PHSettingsStore::resetInstanceForTesting();
}

} // namespace
