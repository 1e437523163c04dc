// portholdctl's commands without a server: what it writes, what it refuses and
// how it says so, and the settings it shares with the panel.

#include "ctl/CtlFixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

using namespace ctl_test; // its fixture, file helpers and `fs`

TEST(PortholdctlUsage, HelpDocumentsEveryCommandAndMistakesExitOne) {
    CtlEnvironment env;
    const auto help = env.run({"--help"});
    ASSERT_EQ(help.exitCode, 0) << describe(help);
    for (const char *command :
         {"tree", "show FOLDER", "mode FOLDER", "require FOLDER", "unrequire FOLDER", "address FOLDER",
          "clear FOLDER", "user add", "user passwd", "user del", "user list", "group add", "group del",
          "group add-member", "group remove-member", "group list", "--root DIR", "--any-user", "--member"})
        EXPECT_TRUE(contains(help.out, command)) << "help does not mention " << command;

    // Each mistake exits 1 with a one-line reason and a pointer to the help on
    // standard error; the whole text would bury the reason. A command that was
    // named shows its own synopsis.
    struct Mistake {
        std::vector<std::string> arguments;
        std::string synopsis;
    };
    const std::vector<Mistake> mistakes{
        {{}, ""},
        {{"frobnicate"}, ""},
        {{"mode", "."}, "Usage: portholdctl [OPTION]... mode FOLDER MODE\n"},
        {{"mode", ".", "sometimes"}, "Usage: portholdctl [OPTION]... mode FOLDER MODE\n"},
        {{"require", "."}, "require FOLDER [--user NAME...] [--group NAME...] [--any-user]\n"},
        {{"require", ".", "--user"}, "require FOLDER"},
        {{"require", ".", "--everyone"}, "require FOLDER"},
        {{"address", ".", "--allow", "--deny"}, "address FOLDER [--allow | --deny]"},
        {{"address", "."}, "address FOLDER"},
        {{"user", "add"}, "user add NAME [--hash SCHEME] [--update-password | --keep-password]\n"},
        {{"user", "rename", "a"}, ""},
        {{"user", "list", "extra"}, "Usage: portholdctl [OPTION]... user list\n"},
        {{"group", "add-member", "staff"}, "group add-member GROUP USER\n"},
        {{"group", "add", "staff", "--owner", "x"}, "group add NAME [--member USER...] [--exact]\n"},
        {{"tree", "extra"}, "Usage: portholdctl [OPTION]... tree\n"},
        {{"apply", ".", "--bogus"},
         "[--addresses ADDR,...] [--allow ADDR,... | --deny ADDR,...] [--exact]\n"},
    };
    const std::string hint = "Try 'portholdctl --help' for more information.\n";
    for (const auto &[arguments, synopsis] : mistakes) {
        const auto result = env.run(arguments);
        std::string line;
        for (const auto &a : arguments)
            line += a + " ";
        EXPECT_EQ(result.exitCode, 1) << line << describe(result);
        EXPECT_EQ(result.err.rfind("portholdctl: ", 0), 0u) << line << describe(result);
        EXPECT_TRUE(result.err.ends_with(hint)) << line << describe(result);
        EXPECT_FALSE(contains(result.err, "Exit status:")) << "the whole usage after " << line;
        if (synopsis.empty())
            EXPECT_FALSE(contains(result.err, "Usage:")) << line << describe(result);
        else
            EXPECT_TRUE(contains(result.err, synopsis)) << line << describe(result);
        EXPECT_TRUE(result.out.empty()) << line;
    }
    const auto missingRoot = ctl_runner::run({"tree", "--root"}, env.config().string());
    EXPECT_EQ(missingRoot.exitCode, 1) << describe(missingRoot);
}

TEST(PortholdctlUsers, TheSheetsChecksInTheirOrder) {
    CtlEnvironment env;
    CTL_OK(env, {"user", "add", "alice"}, "secret\n");
    const std::string usersBefore = readFile(env.root() / ".htusers");

    struct Case {
        std::vector<std::string> arguments;
        std::string input;
        std::string message;
    };
    const std::vector<Case> cases{
        // A taken name is reported before anything else is looked at.
        {{"user", "add", "ALICE"}, "", "Please choose a unique username"},
        {{"user", "add", "valid-user"}, "x\n", "Please choose a unique username"},
        {{"user", "add", "Any Valid User"}, "x\n", "Please choose a unique username"},
        // Blanks inside a name, before the password is looked at.
        {{"user", "add", "bo b"}, "", "Usernames cannot contain spaces, tabs, or line returns"},
        {{"user", "add", "bo\tb"}, "x\n", "Usernames cannot contain spaces, tabs, or line returns"},
        {{"user", "add", "bob"}, "", "You must supply a password"},
        {{"user", "add", "bob"}, "\n", "You must supply a password"},
        // The reserved placeholder, only after the password checks pass.
        {{"user", "add", "PORTHOLDED"}, "", "You must supply a password"},
        {{"user", "add", "PORTHOLDED"}, "pw\n", "Invalid username. Please choose another"},
    };
    for (const auto &c : cases) {
        const auto result = env.run(c.arguments, c.input);
        EXPECT_EQ(result.exitCode, 2) << c.arguments[2] << describe(result);
        EXPECT_TRUE(contains(result.err, c.message))
            << c.arguments[2] << ": expected \"" << c.message << "\"\n"
            << describe(result);
    }

    // A colon would end the name early in the user file and corrupt the line.
    for (const std::string name : {"bo:b", "b\xc3\xb6rk", "bell\x07"}) {
        const auto result = env.run({"user", "add", name}, "pw\n");
        EXPECT_EQ(result.exitCode, 2) << name << describe(result);
        EXPECT_FALSE(result.err.empty()) << name;
    }
    EXPECT_EQ(readFile(env.root() / ".htusers"), usersBefore) << "a refused user never reaches the file";

    // A new password needs an existing user; it never reports a taken name.
    const auto unknown = env.run({"user", "passwd", "nobody"}, "pw\n");
    EXPECT_EQ(unknown.exitCode, 2) << describe(unknown);
    const auto passwd = env.run({"user", "passwd", "alice"}, "other\n");
    EXPECT_EQ(passwd.exitCode, 0) << describe(passwd);
    EXPECT_NE(readFile(env.root() / ".htusers"), usersBefore) << "the hash changed";
}

TEST(PortholdctlUsers, ANewPasswordRewritesTheFileAroundTheUser) {
    CtlEnvironment env;
    writeFile(env.root() / ".htusers",
              "amy:AAAAAAAAAAAAA\n\n bob:BBBBBBBBBBBBB\r\nnot a record\nkim: KKKKKKKKKKKKK\n");
    CTL_OK(env, {"user", "passwd", "bob"}, "s3cret\n");
    const std::string users = readFile(env.root() / ".htusers");
    // Every other byte as it was (the blank line, the line that is no
    // record, kim's hash with the blank the server reads as part of it); the
    // user where it stood, with the new hash and its CRLF line end.
    ASSERT_EQ(users.rfind("amy:AAAAAAAAAAAAA\n\nbob:", 0), 0u) << users;
    const size_t crlf = users.find("\r\n");
    ASSERT_NE(crlf, std::string::npos) << users;
    EXPECT_EQ(users.substr(crlf), "\r\nnot a record\nkim: KKKKKKKKKKKKK\n") << users;
    // htpasswd gives up on a file with a line without a colon (the server
    // skips it): it checks a copy without that line.
    const fs::path copy = env.root() / "copy.htusers";
    writeFile(copy, users.substr(0, crlf + 2) + users.substr(users.find("kim:")));
    const std::string command = "htpasswd -vb '" + copy.string() + "' bob s3cret >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << "htpasswd accepts the new password: " << users;

    // A group file that cannot be read stops the change, as for every command.
    writeFile(env.root() / ".htgroups", "g: amy\n");
    ASSERT_EQ(::chmod((env.root() / ".htgroups").c_str(), 0), 0);
    if (::geteuid() != 0) {
        const auto refused = env.run({"user", "passwd", "amy"}, "x\n");
        EXPECT_EQ(refused.exitCode, 3) << describe(refused);
    }
    ::chmod((env.root() / ".htgroups").c_str(), 0644);

    // A file that is not plain ASCII takes the records' way, with the same result.
    writeFile(env.root() / ".htusers", "j\xc3\xb6rg:JJJJJJJJJJJJJ\nbob:BBBBBBBBBBBBB\n");
    const auto mixed = env.run({"user", "passwd", "bob"}, "x\n");
    EXPECT_EQ(mixed.exitCode, 3) << "a name that is not ASCII cannot be written back: " << describe(mixed);
    EXPECT_EQ(readFile(env.root() / ".htusers"), "j\xc3\xb6rg:JJJJJJJJJJJJJ\nbob:BBBBBBBBBBBBB\n");
}

TEST(PortholdctlUsers, TrimmedNamesFileOrderAndDeletionLeavesGroups) {
    CtlEnvironment env;
    CTL_OK(env, {"user", "add", "zed "}, "a\n");
    CTL_OK(env, {"user", "add", "amy"}, "b\n");
    CTL_OK(env, {"user", "add", "kim"}, "c\r\n");
    const auto list = env.run({"user", "list"});
    ASSERT_EQ(list.exitCode, 0) << describe(list);
    EXPECT_EQ(list.out, "zed\namy\nkim\n") << "file order, the trailing blank trimmed";

    const std::string users = readFile(env.root() / ".htusers");
    EXPECT_TRUE(contains(users, "zed:")) << users;
    EXPECT_FALSE(contains(users, "zed :")) << users;

    CTL_OK(env, {"group", "add", "one", "--member", "zed", "amy"});
    CTL_OK(env, {"group", "add", "two", "--member", "kim", "--member", "zed"});
    CTL_OK(env, {"user", "del", "zed"});
    const auto groups = env.run({"group", "list"});
    ASSERT_EQ(groups.exitCode, 0) << describe(groups);
    EXPECT_EQ(groups.out, "one: amy\ntwo: kim\n") << "a deleted user leaves every group";
    EXPECT_EQ(readFile(env.root() / ".htgroups"), "one: amy \ntwo: kim \n");

    // Deleting a user who is not there leaves things as wanted, and says so.
    const auto again = env.run({"user", "del", "zed"});
    EXPECT_EQ(again.exitCode, 0) << describe(again);
    EXPECT_EQ(again.out, "No user \"zed\"; nothing to delete\n");
    EXPECT_EQ(readFile(env.root() / ".htgroups"), "one: amy \ntwo: kim \n");
}

TEST(PortholdctlGroups, NamesFollowTheOutlinesRules) {
    CtlEnvironment env;
    CTL_OK(env, {"user", "add", "amy"}, "pw\n");
    CTL_OK(env, {"group", "add", "staff"});
    const auto list = env.run({"group", "list"});
    EXPECT_EQ(list.out, "staff:\n") << describe(list);

    for (const std::vector<std::string> &refused : std::vector<std::vector<std::string>>{
             {"group", "add", "STAFF"},                     // taken, in any letter case
             {"group", "add", "two words"},                 // Apache would read two groups
             {"group", "add", ":::"},                       // nothing left of the name
             {"group", "add", "st:aff"},                    // a colon would end the name in the group file
             {"group", "add", "crew", "--member", "ghost"}, // members must be users
             {"group", "add-member", "staff", "ghost"},
             {"group", "add-member", "nosuch", "amy"},
         }) {
        const auto result = env.run(refused);
        EXPECT_EQ(result.exitCode, 2) << refused[2] << describe(result);
        EXPECT_FALSE(result.err.empty());
    }
    // What already holds is no error, and nothing is written for it.
    for (const auto &[arguments, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"group", "del", "nosuch"}, "No group \"nosuch\"; nothing to delete\n"},
             {{"group", "remove-member", "staff", "amy"}, "\"amy\" is not a member of \"staff\"\n"},
         }) {
        const auto result = env.run(arguments);
        EXPECT_EQ(result.exitCode, 0) << describe(result);
        EXPECT_EQ(result.out, said);
    }
    EXPECT_EQ(readFile(env.root() / ".htgroups"), "staff: \n") << "nothing refused was written";

    CTL_OK(env, {"group", "add-member", "staff", "amy"});
    const auto twice = env.run({"group", "add-member", "staff", "amy"});
    EXPECT_EQ(twice.exitCode, 0) << "a user is a member once: " << describe(twice);
    EXPECT_EQ(readFile(env.root() / ".htgroups"), "staff: amy \n");
    CTL_OK(env, {"group", "del", "staff"});
    EXPECT_EQ(readFile(env.root() / ".htgroups"), "");
}

TEST(PortholdctlFolders, RequireKeepsAnyValidUserAndNamedUsersApart) {
    CtlEnvironment env;
    env.makeFolder("f");
    CTL_OK(env, {"user", "add", "amy"}, "pw\n");
    CTL_OK(env, {"user", "add", "kim"}, "pw\n");
    CTL_OK(env, {"group", "add", "grp"});

    const auto early = env.run({"require", "f", "--user", "amy"});
    EXPECT_EQ(early.exitCode, 2) << "users are chosen for password-protected folders only: "
                                 << describe(early);
    EXPECT_FALSE(fs::exists(env.root() / "f" / ".htaccess"));

    CTL_OK(env, {"mode", "f", "password"});
    CTL_OK(env, {"require", "f", "--user", "amy", "kim", "--group", "grp"});
    std::string access = readFile(env.root() / "f" / ".htaccess");
    EXPECT_TRUE(contains(access, "\nRequire user amy kim\n")) << access;
    EXPECT_TRUE(contains(access, "\nRequire group grp\n")) << access;

    CTL_OK(env, {"require", "f", "--any-user"});
    access = readFile(env.root() / "f" / ".htaccess");
    EXPECT_TRUE(contains(access, "\nRequire valid-user\n")) << "any-user clears the named users\n" << access;

    CTL_OK(env, {"require", "f", "--user", "kim"});
    access = readFile(env.root() / "f" / ".htaccess");
    EXPECT_TRUE(contains(access, "\nRequire user kim\n")) << "a named user clears any-user\n" << access;

    for (const std::vector<std::string> &refused : std::vector<std::vector<std::string>>{
             {"require", "f", "--user", "ghost"},
             {"require", "f", "--group", "nogroup"},
             {"require", "f", "--user", "amy", "--group", "nogroup"}, // nothing applied
             {"require", "missing-folder", "--user", "amy"},
             {"require", "../outside", "--user", "amy"},
         }) {
        const auto result = env.run(refused);
        EXPECT_EQ(result.exitCode, 2) << refused[1] << " " << refused.back() << describe(result);
    }
    EXPECT_EQ(readFile(env.root() / "f" / ".htaccess"), access) << "refusals change nothing";

    CTL_OK(env, {"unrequire", "f", "--user", "kim", "--group", "grp"});
    access = readFile(env.root() / "f" / ".htaccess");
    EXPECT_TRUE(contains(access, "\nRequire user portholded\n")) << "nobody left: nobody gets in\n" << access;
}

TEST(PortholdctlFolders, AddressesAreSharedCheckedAndLowerCased) {
    CtlEnvironment env;
    env.makeFolder("f");
    const auto early = env.run({"address", "f", "--add", "10.0.0.1"});
    EXPECT_EQ(early.exitCode, 2) << "addresses are chosen for address-protected folders only: "
                                 << describe(early);

    CTL_OK(env, {"mode", "f", "address"});
    CTL_OK(env, {"address", "f", "--allow", "--add", "Host.Example.ORG", "10.0.0.1"});
    std::string access = readFile(env.root() / "f" / ".htaccess");
    EXPECT_TRUE(contains(access, "\nAllow from host.example.org 10.0.0.1\n")) << access;
    EXPECT_TRUE(contains(access, "\nDeny from all\n")) << access;
    // The known-address list is the panel's: stored in the shared settings.
    const std::string settings = readFile(env.settingsFile());
    EXPECT_TRUE(contains(settings, "host.example.org")) << settings;
    EXPECT_TRUE(contains(settings, "127.0.0.1")) << "the default entry stays\n" << settings;

    for (const std::string bad :
         {"all", "ALL", "portholded", "host.domain.tld", "(null)", "", "10.0.0.2 10.0.0.3", "a\"b"}) {
        const auto result = env.run({"address", "f", "--add", bad});
        EXPECT_EQ(result.exitCode, 2) << "\"" << bad << "\" " << describe(result);
        EXPECT_FALSE(contains(readFile(env.settingsFile()), bad.empty() ? "<string></string>" : bad + "<"))
            << "\"" << bad << "\" reached the settings";
    }
    EXPECT_EQ(readFile(env.root() / "f" / ".htaccess"), access) << "refused addresses change nothing";

    CTL_OK(env, {"address", "f", "--remove", "10.0.0.1"});
    access = readFile(env.root() / "f" / ".htaccess");
    EXPECT_TRUE(contains(access, "\nAllow from host.example.org\n")) << access;
    EXPECT_TRUE(contains(readFile(env.settingsFile()), "10.0.0.1")) << "unticking keeps the known address";

    CTL_OK(env, {"address", "f", "--deny"});
    access = readFile(env.root() / "f" / ".htaccess");
    EXPECT_TRUE(contains(access, "\nDeny from portholded\n")) << "the deny list is still empty\n" << access;
}

TEST(PortholdctlFolders, TreeShowAndClear) {
    CtlEnvironment env;
    env.makeFolder("b/inner");
    env.makeFolder("A");
    env.makeFolder("c");
    CTL_OK(env, {"user", "add", "amy"}, "pw\n");
    CTL_OK(env, {"mode", "b/inner", "both"});
    CTL_OK(env, {"mode", "c", "password"});
    CTL_OK(env, {"mode", "c", "none"});

    const auto tree = env.run({"tree"});
    ASSERT_EQ(tree.exitCode, 0) << describe(tree);
    EXPECT_EQ(tree.out, ".\tNone\n"
                        "  A\tNone\n"
                        "  b\tNone\n"
                        "    inner\tPassword and Address\n"
                        "  c\tNone\n")
        << "sorted by name ignoring case, indented, with the mode names";

    CTL_OK(env, {"require", "b/inner", "--user", "amy"});
    const auto show = env.run({"show", "b/inner"});
    ASSERT_EQ(show.exitCode, 0) << describe(show);
    for (const char *line : {"Mode: Password and Address", "Disabled: no", "Address mode: allow",
                             "Required users: amy", "Required groups: ", "Allow from: ", "AuthUserFile"})
        EXPECT_TRUE(contains(show.out, line)) << "missing \"" << line << "\"\n" << show.out;

    const auto disabled = env.run({"show", "c"});
    EXPECT_TRUE(contains(disabled.out, "Disabled: yes")) << disabled.out;

    CTL_OK(env, {"clear", "b/inner"});
    EXPECT_FALSE(fs::exists(env.root() / "b" / "inner" / ".htaccess"));
    const auto cleared = env.run({"show", "b/inner"});
    EXPECT_TRUE(contains(cleared.out, "Mode: None")) << cleared.out;
    const auto missing = env.run({"show", "nowhere"});
    EXPECT_EQ(missing.exitCode, 2) << describe(missing);
}

TEST(PortholdctlFolders, DeepTreesAreWalkedToTheDepthLimitAndTheLimitIsSaid) {
    CtlEnvironment env;
    // 1005 levels of "d": the walk lists the root and 1000 levels below it.
    // (Made level by level: one path that long is more than some calls take.)
    std::string chain;
    int folder = ::open(env.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < 1005 && folder >= 0; ++i) {
        chain += i ? "/d" : "d";
        ASSERT_EQ(::mkdirat(folder, "d", 0755), 0) << i;
        const int next = ::openat(folder, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(folder);
        folder = next;
    }
    ASSERT_GE(folder, 0);
    ::close(folder);
    // Protection from the top still reaches a folder far down: only folders
    // with an access file are merged, the ones between add nothing.
    CTL_OK(env, {"user", "add", "amy"}, "pw\n");
    CTL_OK(env, {"mode", ".", "password"});
    const std::string deep = chain.substr(0, 2 * 900 - 1);
    CTL_OK(env, {"mode", deep, "address"});

    const auto tree = env.run({"tree"});
    ASSERT_EQ(tree.exitCode, 0) << describe(tree);
    std::vector<std::string> lines;
    std::istringstream text(tree.out);
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 1001u) << tree.err;
    EXPECT_EQ(lines.back().find_first_not_of(' '), 2000u) << "the deepest listed is 1000 levels down";
    EXPECT_TRUE(contains(tree.err, "folders more than 1000 levels below the web root are not listed"))
        << tree.err;
    // Below the protected root every folder inherits; the deep one's own mode
    // is combined with it, and what is below it inherits both.
    EXPECT_TRUE(contains(lines.at(500), "\tNone\t[")) << lines.at(500);
    EXPECT_TRUE(contains(lines.at(900), "\tAddress\t[")) << lines.at(900);
    EXPECT_TRUE(contains(lines.at(950), "\tNone\t[")) << lines.at(950);

    // The limit is said in JSON too, as a warning.
    const auto json = env.run({"--json", "tree"});
    ASSERT_EQ(json.exitCode, 0) << describe(json);
    EXPECT_TRUE(contains(json.out, "\"warnings\":[\"folders more than 1000 levels below"))
        << json.out.substr(0, 400);
    // Removing a user walks the tree for the access files that name it: the
    // folders it could not search are said, and the removal still succeeds.
    const auto removed = env.run({"user", "del", "amy"});
    EXPECT_EQ(removed.exitCode, 0) << describe(removed);
    EXPECT_TRUE(contains(removed.err,
                         "folders more than 1000 levels below the web root are not searched for access files "
                         "naming"))
        << removed.err.substr(0, 400);
}

TEST(PortholdctlFolders, AHandManagedFileIsNeverRewritten) {
    CtlEnvironment env;
    env.makeFolder("manual");
    const std::string text = "Order allow,deny\nAllow from 10.0.0.1\nDeny from 10.0.0.0/8\n";
    ctl_test::writeFile(env.root() / "manual" / ".htaccess", text);
    const auto result = env.run({"mode", "manual", "password"});
    EXPECT_NE(result.exitCode, 0) << "rewriting would invert who gets in: " << describe(result);
    EXPECT_TRUE(contains(result.err, "manual")) << "the message names the file\n" << describe(result);
    EXPECT_EQ(readFile(env.root() / "manual" / ".htaccess"), text);
}

TEST(PortholdctlSettings, TheWebRootComesFromThePanelsSettings) {
    CtlEnvironment env;
    // What the panel stores after a custom web root was chosen.
    fs::create_directories(env.settingsFile().parent_path());
    ctl_test::writeFile(env.settingsFile(),
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                        "<plist version=\"1.0\">\n<dict>\n"
                        "  <key>Porthold Protected Folder</key>\n  <integer>2</integer>\n"
                        "  <key>Web Dir</key>\n  <string>" +
                            env.root().string() +
                            "</string>\n"
                            "  <key>Address Array</key>\n  <array><string>192.168.1.1</string></array>\n"
                            "</dict>\n</plist>\n");
    const auto add = env.runWithoutRoot({"user", "add", "amy"}, "pw\n");
    ASSERT_EQ(add.exitCode, 0) << describe(add);
    EXPECT_TRUE(contains(readFile(env.root() / ".htusers"), "amy:")) << "written into the configured root";

    env.makeFolder("f");
    CTL_OK(env, {"mode", "f", "address"});
    CTL_OK(env, {"address", "f", "--add", "192.168.1.1"});
    EXPECT_TRUE(contains(readFile(env.root() / "f" / ".htaccess"), "\nAllow from 192.168.1.1\n"));

    const auto badRoot = env.runWithoutRoot({"--root", (env.root() / "nowhere").string(), "tree"});
    EXPECT_EQ(badRoot.exitCode, 2) << "a web root that does not exist: " << describe(badRoot);
}

TEST(PortholdctlSettings, RootWithoutAChosenWebRootWorksOnTheServers) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    // Root's own public_html was once the default: the server serves no such folder.
    CtlEnvironment env;
    const auto tree = env.runWithoutRoot({"--json", "tree"});
    EXPECT_TRUE(contains(tree.out, "\"root\":\"/var/www/html/\"") || contains(tree.err, "/var/www/html/"))
        << describe(tree);
    EXPECT_FALSE(contains(tree.out + tree.err, "public_html")) << describe(tree);
}

} // namespace

namespace {

/// Makes a folder unwritable for this process: immutable when root (which
/// ignores permissions), read-only otherwise. False when that cannot be done.
bool makeUnwritable(const fs::path &folder, bool unwritable) {
    if (::geteuid() != 0)
        return ::chmod(folder.c_str(), unwritable ? 0555 : 0755) == 0;
    const std::string command =
        std::string("chattr ") + (unwritable ? "+i" : "-i") + " '" + folder.string() + "' 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

TEST(PortholdctlFailures, AFileThatCannotBeWrittenIsNeverReportedAsSuccess) {
    CtlEnvironment env;
    const fs::path folder = env.makeFolder("locked");
    if (!makeUnwritable(folder, true))
        GTEST_SKIP() << "cannot make a folder unwritable here (chattr unsupported?)";
    const auto mode = env.run({"mode", "locked", "password"});
    makeUnwritable(folder, false);
    EXPECT_EQ(mode.exitCode, 3) << describe(mode);
    EXPECT_TRUE(contains(mode.err, (folder / ".htaccess").string())) << "the message names the file\n"
                                                                     << describe(mode);
    EXPECT_FALSE(fs::exists(folder / ".htaccess"));

    // A user whose removal from the user file cannot be saved keeps its
    // groups and the folders that let it in.
    CTL_OK(env, {"user", "add", "amy"}, "pw\n");
    CTL_OK(env, {"user", "add", "bo"}, "pw\n");
    CTL_OK(env, {"group", "add", "crew", "--member", "amy", "--member", "bo"});
    env.makeFolder("shared");
    CTL_OK(env, {"apply", "shared", "--mode", "password", "--users", "amy,bo"});
    const auto files = snapshot({env.root()});
    ASSERT_TRUE(makeUnwritable(env.root(), true));
    const auto del = env.run({"user", "del", "amy"});
    makeUnwritable(env.root(), false);
    EXPECT_EQ(del.exitCode, 3) << describe(del);
    EXPECT_TRUE(contains(del.err, (env.root() / ".htusers").string())) << describe(del);
    EXPECT_EQ(snapshot({env.root()}), files) << "nothing changed";
    fs::remove(env.root() / ".htusers");

    // An unreadable user file is a failure too, and is never written over.
    fs::create_directory(env.root() / ".htusers");
    const auto add = env.run({"user", "add", "amy"}, "pw\n");
    EXPECT_EQ(add.exitCode, 3) << describe(add);
    EXPECT_TRUE(contains(add.err, (env.root() / ".htusers").string())) << describe(add);
    EXPECT_TRUE(fs::is_directory(env.root() / ".htusers"));
}

} // namespace

// With no server program chosen, the configuration Debian's apache2 reads
// counts; it says nothing about a web root it does not serve, and the
// answers say they come from the access files alone.
TEST(PortholdctlServerConfiguration, DebiansServerIsReadUntilOneIsChosen) {
    if (::access("/usr/sbin/apache2", X_OK) != 0 || ::access("/etc/apache2/apache2.conf", R_OK) != 0)
        GTEST_SKIP() << "no Debian apache2 here";
    CtlEnvironment env;
    const auto result = env.run({"tree"});
    ASSERT_EQ(result.exitCode, 0) << describe(result);
    EXPECT_NE(result.err.find("Predicted from the access files alone: the server configuration "
                              "/etc/apache2/apache2.conf does not serve " +
                              env.root().string()),
              std::string::npos)
        << result.err;
}
