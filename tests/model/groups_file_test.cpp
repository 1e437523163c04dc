// The group file: the tree read from it, the lines written back, group names
// and sorting, removing users, and failures that must leave the file whole.

#include "model/PHGroupsModel.h"
#include "model/PHUsersModel.h"
#include "users_groups_fixture.h"

#include <random>

namespace {

/// "name: member member" per group, the tree written out plainly for comparisons.
QStringList shape(const PHUserItem &root) {
    QStringList lines;
    for (const PHUserItem::Ptr &group : root.children()) {
        QStringList members;
        for (const PHUserItem::Ptr &member : group->children())
            members.append(member->value());
        lines.append(QStringLiteral("[%1]: %2").arg(group->value(), members.join(QLatin1Char(','))));
    }
    return lines;
}

} // namespace

using GroupsFileTest = UsersGroupsTest;

TEST_F(GroupsFileTest, ReadsGroupsWithKnownMembersOnly) {
    const QStringList users{"ann", "bob", "cid"};
    const PHUserItem::Ptr root = PHGroupsModel::rootFromText(
        QStringLiteral("staff: ann stranger bob \n" // a member that is not a user is dropped
                       "empty:\n"                   // no members, and no other line's members
                       "spaced: \n"
                       "  padded : cid\n"        // the server trims the name
                       "tabbed: ann\tbob\n"      // a tab separates members, as a blank does
                       "doubled: ann  bob ann\n" // empty pieces dropped, repeats kept
                       "Ann: ANN ann\n"          // members match case-sensitively
                       "windows: bob cid\r\n"    // the "\r" goes before the split
                       "last: cid"),             // no final line feed
        users);
    EXPECT_EQ(shape(*root), (QStringList{"[staff]: ann,bob", "[empty]: ", "[spaced]: ", "[padded]: cid",
                                         "[tabbed]: ann,bob", "[doubled]: ann,bob,ann", "[Ann]: ann",
                                         "[windows]: bob,cid", "[last]: cid"}));
    // Every node knows its place: a group has a (possibly empty) list, a member none.
    for (const PHUserItem::Ptr &group : root->children()) {
        EXPECT_TRUE(group->hasChildren());
        EXPECT_EQ(group->parent(), root);
        for (const PHUserItem::Ptr &member : group->children()) {
            EXPECT_FALSE(member->hasChildren());
            EXPECT_EQ(member->parent(), group);
        }
    }
}

TEST_F(GroupsFileTest, SkipsMalformedLinesAndTerminates) {
    const PHUserItem::Ptr root = PHGroupsModel::rootFromText(
        QStringLiteral("no colon at all\n\n:orphan ann\n \t : ann\nreal: ann\n\r\n\n:\n:::\nalso:ann"),
        {"ann"});
    EXPECT_EQ(shape(*root), (QStringList{"[real]: ann", "[also]: ann"}));
    EXPECT_TRUE(PHGroupsModel::rootFromText(QString(), {})->children().isEmpty());
}

TEST_F(GroupsFileTest, WritesEmptyGroupsAndMembersInTheFileFormat) {
    writeFile(groupsPath(), "staff: ann stranger bob\n  padded :\nempty:\n");
    PHGroupsModel groups(context.model(), QStringList{"ann", "bob"});
    EXPECT_EQ(groups.list(), (QStringList{"staff", "padded", "empty"}));
    ASSERT_TRUE(groups.writeGroupfile());
    // The stranger is gone; members end with a blank; empty groups keep ": ".
    EXPECT_EQ(readFile(groupsPath()), QByteArray("staff: ann bob \npadded: \nempty: \n"));
    EXPECT_TRUE(context.errors.isEmpty());
}

TEST_F(GroupsFileTest, GeneratedTreesSurviveAWriteAndARead) {
    std::mt19937 random(77);
    const QString nameCharacters =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-@!#$%&*+/=?^~ \t");
    auto pick = [&random](const QString &alphabet, int length) {
        QString text;
        for (int i = 0; i < length; ++i)
            text += alphabet.at(std::uniform_int_distribution<int>(0, int(alphabet.size()) - 1)(random));
        return text;
    };
    for (int round = 0; round < 60; ++round) {
        QStringList users;
        for (int i = 0; i < 8; ++i)
            users.append(pick(nameCharacters.left(nameCharacters.size() - 2), 1 + i % 6) +
                         QString::number(i));
        PHGroupsModel groups(context.model());
        const int count = std::uniform_int_distribution<int>(0, 12)(random);
        for (int i = 0; i < count; ++i) {
            // Names the name rule lets through: no blanks, no "#" first.
            QString name = pick(nameCharacters.left(nameCharacters.size() - 2),
                                std::uniform_int_distribution<int>(0, 10)(random));
            name.prepend(QLatin1Char('g')); // never blank
            const PHUserItem::Ptr group = groups.addNewGroup(name);
            const int members = std::uniform_int_distribution<int>(0, 5)(random);
            for (int m = 0; m < members; ++m) {
                const QString member = users.at(std::uniform_int_distribution<int>(0, 7)(random));
                group->children().append(
                    PHUserItem::itemWithValueParentChildren(member, group, std::nullopt));
            }
        }
        ASSERT_TRUE(groups.writeGroupfile()) << "round " << round;
        PHGroupsModel reread(context.model(), users);
        ASSERT_EQ(shape(*reread.rootItem()), shape(*groups.rootItem())) << "round " << round;
    }
    EXPECT_TRUE(context.errors.isEmpty());
}

TEST_F(GroupsFileTest, NewGroupsAreNamedWithTheFirstFreeNumberAndSortedWhenAsked) {
    PHGroupsModel groups(context.model());
    EXPECT_EQ(groups.newGroupName(), QStringLiteral("Group 1"));
    groups.addNewGroup(QStringLiteral("Group 1"));
    groups.addNewGroup(QStringLiteral("group 2")); // taken in any letter case
    groups.addNewGroup(QStringLiteral("Group 4"));
    EXPECT_EQ(groups.newGroupName(), QStringLiteral("Group 3"));
    EXPECT_EQ(groups.list(), (QStringList{"Group 1", "group 2", "Group 4"})); // appended, not sorted

    PHGroupsModel sorted(context.model());
    setSetting("Sort Groups", true);
    for (const char *name : {"delta", "Bravo", "alpha", "Charlie", "bravo"})
        sorted.addNewGroup(QString::fromLatin1(name));
    EXPECT_EQ(sorted.list(), (QStringList{"alpha", "Bravo", "bravo", "Charlie", "delta"}));
    setSetting("Case Sensitive Compare", true);
    sorted.addNewGroup(QStringLiteral("echo"));
    EXPECT_EQ(sorted.list(), (QStringList{"Bravo", "Charlie", "alpha", "bravo", "delta", "echo"}));
    // Adding writes nothing.
    EXPECT_FALSE(QFile::exists(groupsPath()));
}

TEST_F(GroupsFileTest, TheGroupBeingRenamedDoesNotTakeItsOwnName) {
    PHGroupsModel groups(context.model());
    const PHUserItem::Ptr staff = groups.addNewGroup(QStringLiteral("Staff"));
    groups.addNewGroup(QStringLiteral("Other"));
    EXPECT_TRUE(groups.containsItem(QStringLiteral("staff")));
    PHUserItem *editing = staff.get();
    groups.setEditedItemProvider([&editing] { return editing; });
    EXPECT_FALSE(groups.containsItem(QStringLiteral("STAFF")));
    EXPECT_TRUE(groups.containsItem(QStringLiteral("other")));
    editing = nullptr;
    EXPECT_TRUE(groups.containsItem(QStringLiteral("STAFF")));
    EXPECT_FALSE(groups.containsItem(QStringLiteral("nobody")));
}

TEST_F(GroupsFileTest, RemovingAUserTakesEveryMembershipAndWritesOnce) {
    writeFile(groupsPath(), "a: ann bob ann\nb: bob\nc: cid\n");
    context.users = {"ann", "bob", "cid"};
    PHGroupsModel groups(context.model(), context.users);
    int reloads = 0;
    QObject::connect(&groups, &QAbstractItemModel::modelReset, [&reloads] { ++reloads; });

    groups.removeUserFromGroups(QStringLiteral(" ann\t"));
    EXPECT_EQ(readFile(groupsPath()), QByteArray("a: bob \nb: bob \nc: cid \n"));
    EXPECT_EQ(reloads, 1);
    groups.removeUserFromGroups(QStringLiteral("nobody"));
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(readFile(groupsPath()), QByteArray("a: bob \nb: bob \nc: cid \n"));
}

TEST_F(GroupsFileTest, DeletingAGroupOrAMembershipWritesTheFile) {
    writeFile(groupsPath(), "a: ann bob\nb: bob\n");
    PHGroupsModel groups(context.model(), QStringList{"ann", "bob"});
    int reloads = 0;
    QObject::connect(&groups, &QAbstractItemModel::modelReset, [&reloads] { ++reloads; });

    EXPECT_TRUE(groups.removeMember(QStringLiteral("a"), QStringLiteral("ann")));
    EXPECT_EQ(readFile(groupsPath()), QByteArray("a: bob \nb: bob \n"));
    EXPECT_TRUE(groups.deleteGroup(QStringLiteral("b")));
    EXPECT_EQ(readFile(groupsPath()), QByteArray("a: bob \n"));
    EXPECT_EQ(reloads, 2);

    // Nodes that are not in the tree change nothing and write nothing.
    const PHUserItem::Ptr stranger =
        PHUserItem::itemWithValueParentChildren("x", nullptr, PHUserItem::Children());
    EXPECT_FALSE(groups.removeItem(stranger.get()));
    EXPECT_FALSE(groups.removeItem(nullptr));
    EXPECT_FALSE(groups.removeItem(groups.rootItem()));
    EXPECT_FALSE(groups.deleteGroup(QStringLiteral("b")));
    EXPECT_FALSE(groups.removeMember(QStringLiteral("a"), QStringLiteral("ann")));
    EXPECT_EQ(readFile(groupsPath()), QByteArray("a: bob \n"));
    EXPECT_EQ(reloads, 2);

    // The members set as given, in that order.
    EXPECT_TRUE(groups.setMembers(QStringLiteral("a"), {QStringLiteral("ann"), QStringLiteral("bob")}));
    EXPECT_EQ(readFile(groupsPath()), QByteArray("a: ann bob \n"));
    EXPECT_FALSE(groups.setMembers(QStringLiteral("b"), {QStringLiteral("ann")}));
}

TEST_F(GroupsFileTest, ANameThatBreaksTheFileLeavesItWholeAndTheTreeEqualToTheDisk) {
    writeFile(groupsPath(), "staff: ann\n");
    context.users = {"ann"};
    PHGroupsModel groups(context.model(), context.users);
    for (const QString &name : {QStringLiteral("caf\u00e9"), QStringLiteral("a:b"),
                                QStringLiteral("two\nlines"), QStringLiteral(" \t")}) {
        groups.addNewGroup(name);
        EXPECT_FALSE(groups.writeGroupfile());
        EXPECT_EQ(readFile(groupsPath()), QByteArray("staff: ann\n"));
        EXPECT_EQ(shape(*groups.rootItem()), QStringList{"[staff]: ann"});
    }
    EXPECT_EQ(context.errors, QList<qint32>(4, PHGroupsModel::kGroupFileWriteError));
    EXPECT_EQ(log.filter(QStringLiteral("could not save the group file ") + groupsPath()).size(), 4);
    EXPECT_EQ(folderEntries(), QStringList{".htgroups"});
}

TEST_F(GroupsFileTest, AnUnwritableFolderLeavesTheFileWholeAndTheTreeEqualToTheDisk) {
    writeFile(groupsPath(), "staff: ann\n");
    context.users = {"ann"};
    const bool held = whereFolderIsUnwritable([this] {
        PHGroupsModel groups(context.model(), context.users);
        groups.addNewGroup(QStringLiteral("extra"));
        EXPECT_FALSE(groups.writeGroupfile());
        EXPECT_EQ(shape(*groups.rootItem()), QStringList{"[staff]: ann"});
        groups.removeUserFromGroups(QStringLiteral("ann"));
        EXPECT_EQ(shape(*groups.rootItem()), QStringList{"[staff]: ann"});
        EXPECT_EQ(context.errors, QList<qint32>(2, PHGroupsModel::kGroupFileWriteError));
        return !::testing::Test::HasFailure();
    });
    EXPECT_TRUE(held);
    EXPECT_EQ(readFile(groupsPath()), QByteArray("staff: ann\n"));
    EXPECT_EQ(folderEntries(), QStringList{".htgroups"});
}

TEST_F(GroupsFileTest, NothingIsWrittenOverWhileTheGroupOrUserFileCouldNotBeRead) {
    ASSERT_TRUE(QDir(root()).mkdir(QStringLiteral(".htgroups")));
    {
        PHGroupsModel groups(context.model(), QStringList{"ann"});
        EXPECT_TRUE(groups.loadFailed());
        EXPECT_EQ(context.errors, QList<qint32>{PHGroupsModel::kGroupFileReadError});
        groups.addNewGroup(QStringLiteral("new"));
        EXPECT_FALSE(groups.writeGroupfile());
        EXPECT_TRUE(QFileInfo(groupsPath()).isDir());
    }
    ASSERT_TRUE(QDir(root()).rmdir(QStringLiteral(".htgroups")));

    // The user file failed: every member would look unknown, so the group
    // file is kept as it is until the users read again.
    writeFile(groupsPath(), "staff: ann\n");
    context.errors.clear();
    PHGroupsModel groups(context.model(), QStringList{});
    groups.setUserFileLoadFailed(true);
    EXPECT_FALSE(groups.writeGroupfile());
    // Leaving reports nothing more: no change was left unsaved.
    EXPECT_FALSE(groups.writeGroupfileUnlessEmptyAndMissing());
    EXPECT_EQ(readFile(groupsPath()), QByteArray("staff: ann\n"));
    EXPECT_EQ(context.errors, QList<qint32>(1, PHGroupsModel::kGroupFileWriteError));
    groups.setUserFileLoadFailed(false);
    EXPECT_TRUE(groups.writeGroupfile());
}

TEST_F(GroupsFileTest, LeavingWithNoGroupsCreatesNoFile) {
    PHGroupsModel groups(context.model(), QStringList{"ann"});
    EXPECT_TRUE(groups.writeGroupfileUnlessEmptyAndMissing());
    EXPECT_FALSE(QFile::exists(groupsPath()));
    groups.addNewGroup(QStringLiteral("g"));
    EXPECT_TRUE(groups.writeGroupfileUnlessEmptyAndMissing());
    EXPECT_EQ(readFile(groupsPath()), QByteArray("g: \n"));
}

TEST_F(GroupsFileTest, NodesDescribeTheirPlace) {
    PHGroupsModel groups(context.model());
    const PHUserItem::Ptr group = groups.addNewGroup(QStringLiteral("g"));
    groups.addNewGroup(QStringLiteral("h"));
    const PHUserItem::Ptr member = PHUserItem::itemWithValueParentChildren("ann", group, std::nullopt);
    group->children().append(member);
    EXPECT_EQ(member->indexInParent(), 0);
    EXPECT_EQ(groups.rootArray().at(1)->indexInParent(), 1);
    EXPECT_EQ(
        member->description(),
        QStringLiteral("I am ann at index 0 in I am g at index 0 in I am (null) at index -1 in (null)"));
    // Names that look like placeholders are printed as they are.
    const PHUserItem::Ptr odd = groups.addNewGroup(QStringLiteral("%2%1"));
    EXPECT_EQ(odd->description(),
              QStringLiteral("I am %2%1 at index 2 in I am (null) at index -1 in (null)"));
}

// A link at the user or group file is never followed, wherever it leads:
// run as root, following a link to a system file would rewrite it, and a
// web folder others can write lets them plant one.
TEST_F(GroupsFileTest, LinksAtTheUserAndGroupFilesAreNeverFollowed) {
    QTemporaryDir system;
    ASSERT_TRUE(system.isValid());
    const QString systemGroups = system.filePath(QStringLiteral("group"));
    const QString systemUsers = system.filePath(QStringLiteral("passwd"));
    writeFile(systemGroups, "root:x:0:\nadm:x:4:syslog\n");
    writeFile(systemUsers, "root:x:0:0::/root:/bin/bash\n");
    ASSERT_TRUE(QFile::link(systemGroups, groupsPath()));
    ASSERT_TRUE(QFile::link(systemUsers, usersPath()));

    {
        PHUsersModel users(context.model());
        EXPECT_TRUE(users.loadFailed());
        EXPECT_TRUE(users.userNames().isEmpty()) << "nothing of the file the link leads to is shown";
        users.dataArray().append(PHUsersModel::userRecord(QStringLiteral("ann"), QStringLiteral("hash")));
        EXPECT_FALSE(users.writeUserfile());
        PHGroupsModel groups(context.model(), QStringList{"ann"});
        groups.addNewGroup(QStringLiteral("extra"));
        EXPECT_FALSE(groups.writeGroupfile());
    }
    EXPECT_EQ(readFile(systemGroups), QByteArray("root:x:0:\nadm:x:4:syslog\n"));
    EXPECT_EQ(readFile(systemUsers), QByteArray("root:x:0:0::/root:/bin/bash\n"));
    EXPECT_TRUE(QFileInfo(groupsPath()).isSymLink());
    EXPECT_TRUE(QFileInfo(usersPath()).isSymLink());
    EXPECT_EQ(context.errors,
              QList<qint32>({PHUsersModel::kUserFileReadError, PHUsersModel::kUserFileWriteError,
                             PHGroupsModel::kGroupFileReadError, PHGroupsModel::kGroupFileWriteError}));
    EXPECT_EQ(
        log.filter(usersPath() + QStringLiteral(" is a symbolic link; Porthold does not write through links"))
            .size(),
        2)
        << log.join('\n').toStdString();
    EXPECT_EQ(log.filter(groupsPath() + QStringLiteral(" is a symbolic link")).size(), 2);

    // Even a link to a file of the web folder's own: it stays a link, unwritten.
    QTemporaryDir mine;
    ASSERT_TRUE(mine.isValid());
    const QString ownGroups = mine.filePath(QStringLiteral("groups"));
    writeFile(ownGroups, "staff: ann\n");
    ASSERT_TRUE(QFile::remove(groupsPath()));
    ASSERT_TRUE(QFile::link(ownGroups, groupsPath()));
    {
        PHGroupsModel groups(context.model(), QStringList{"ann"});
        groups.addNewGroup(QStringLiteral("extra"));
        EXPECT_FALSE(groups.writeGroupfile());
    }
    EXPECT_EQ(readFile(ownGroups), QByteArray("staff: ann\n"));
    EXPECT_TRUE(QFileInfo(groupsPath()).isSymLink());
}
