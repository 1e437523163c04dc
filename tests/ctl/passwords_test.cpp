// Passwords and names through portholdctl, proved against Apache's own tools
// and a private Apache: the hash setting, weak-hash audits, checking a
// password, names the server would misread, and deleting users and groups
// from every folder that lets them in.

#include "common/NameRefusalCases.h"
#include "ctl/CtlFixture.h"

#include <iostream>
#include <memory>
#include <set>

namespace fs = std::filesystem;

namespace {

using apache_harness::ApacheServer;
using apache_harness::Credentials;
using ctl_test::CtlEnvironment;
using ctl_test::describe;
using ctl_test::readFile;

bool contains(const std::string &text, const std::string &piece) {
    return text.find(piece) != std::string::npos;
}

/// Stores the panel's "Password Hash" setting for portholdctl to read.
void setPasswordHash(const CtlEnvironment &env, const std::string &value) {
    fs::create_directories(env.settingsFile().parent_path());
    ctl_test::writeFile(env.settingsFile(),
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                        "<plist version=\"1.0\">\n<dict>\n<key>Password Hash</key>\n<string>" +
                            value + "</string>\n</dict>\n</plist>\n");
}

int htpasswd(const std::vector<std::string> &arguments) {
    std::string command = "htpasswd";
    for (const std::string &argument : arguments)
        command += " '" + argument + "'";
    command += " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool htpasswdAvailable() {
    return std::system("command -v htpasswd >/dev/null 2>&1") == 0;
}

/// The stored hash of a user, or empty.
std::string hashOf(const fs::path &usersFile, const std::string &name) {
    std::istringstream lines(readFile(usersFile));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(name.size() + 1);
    return {};
}

/// One private Apache for the cases that need the server's answer.
class PasswordsOnApache : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_skipReason = apache_harness::unavailableReason();
        if (!s_skipReason.empty())
            return;
        s_env = std::make_unique<CtlEnvironment>();
        s_env->makeFolder("open");
        s_server = std::make_unique<ApacheServer>(s_env->root());
    }
    static void TearDownTestSuite() {
        s_server.reset();
        s_env.reset();
    }
    void SetUp() override {
        if (!s_skipReason.empty())
            GTEST_SKIP() << "no private Apache: " << s_skipReason;
        ASSERT_TRUE(s_server);
    }
    void TearDown() override {
        if (HasFailure() && s_server)
            std::cerr << "--- apache error log\n" << s_server->errorLogText();
    }

    static CtlEnvironment &env() { return *s_env; }
    static int get(const std::string &folder, const Credentials &credentials) {
        return s_server->get("/" + folder + "/index.html", credentials);
    }
    /// A password-protected folder letting in exactly these users.
    static void protect(const std::string &folder, const std::vector<std::string> &users) {
        env().makeFolder(folder);
        CTL_OK(env(), {"mode", folder, "password"});
        std::vector<std::string> arguments{"require", folder, "--user"};
        arguments.insert(arguments.end(), users.begin(), users.end());
        CTL_OK(env(), arguments);
    }

    static inline std::unique_ptr<CtlEnvironment> s_env;
    static inline std::unique_ptr<ApacheServer> s_server;
    static inline std::string s_skipReason;
};

} // namespace

TEST_F(PasswordsOnApache, EverySchemeLetsItsUserInAndOnlyDesReadsJustEightCharacters) {
    const std::string password = "wonderful1XY"; // 12 characters
    struct Scheme {
        std::string setting;
        std::string user;
        std::string prefix;
        bool des;
    };
    for (const Scheme &scheme : {Scheme{"bcrypt", "bea", "$2y$", false},
                                 Scheme{"SHA-512", "sam", "$6$", false}, Scheme{"DES", "dee", "", true}}) {
        setPasswordHash(env(), scheme.setting);
        const auto added = env().run({"user", "add", scheme.user}, password + "\n");
        ASSERT_EQ(added.exitCode, 0) << describe(added);
        EXPECT_EQ(contains(added.err, "Only the first 8 characters of this password will count"), scheme.des)
            << scheme.setting << describe(added);
        const std::string hash = hashOf(env().root() / ".htusers", scheme.user);
        EXPECT_EQ(hash.rfind(scheme.prefix, 0), 0u) << hash;
        if (scheme.des) {
            EXPECT_EQ(hash.size(), 13u) << hash;
        }

        protect("scheme-" + scheme.user, {scheme.user});
        const std::string folder = "scheme-" + scheme.user;
        EXPECT_EQ(get(folder, {scheme.user, password}), 200) << scheme.setting;
        EXPECT_EQ(get(folder, {scheme.user, password.substr(0, 8)}), scheme.des ? 200 : 401)
            << scheme.setting;
        EXPECT_EQ(get(folder, {scheme.user, "wonderfu"}), scheme.des ? 200 : 401) << scheme.setting;
        EXPECT_EQ(get(folder, {scheme.user, "!onderful1XY"}), 401) << scheme.setting;
        if (htpasswdAvailable()) {
            EXPECT_EQ(htpasswd({"-vb", (env().root() / ".htusers").string(), scheme.user, password}), 0);
        }

        EXPECT_EQ(env().run({"user", "check", scheme.user}, password + "\n").exitCode, 0) << scheme.setting;
        EXPECT_EQ(env().run({"user", "check", scheme.user}, "wrong\n").exitCode, 2) << scheme.setting;
    }
    // A short password under DES draws no warning.
    const auto quiet = env().run({"user", "add", "shorty"}, "eight888\n");
    EXPECT_EQ(quiet.exitCode, 0) << describe(quiet);
    EXPECT_TRUE(quiet.err.empty()) << describe(quiet);
    setPasswordHash(env(), "bcrypt");
}

TEST_F(PasswordsOnApache, UsersAddedInTheSameSecondGetTheirOwnSalts) {
    for (const std::string scheme : {"DES", "bcrypt"}) {
        setPasswordHash(env(), scheme);
        std::set<std::string> salts;
        for (int i = 0; i < 4; ++i) {
            const std::string name = "salt-" + scheme + std::to_string(i);
            CTL_OK(env(), {"user", "add", name}, "same-password\n");
            const std::string hash = hashOf(env().root() / ".htusers", name);
            salts.insert(scheme == "DES" ? hash.substr(0, 2) : hash.substr(0, 29));
        }
        // DES has 4096 salts: four alike by chance is one in 2^36.
        EXPECT_GT(salts.size(), scheme == "DES" ? 1u : 3u) << scheme;
    }
    setPasswordHash(env(), "bcrypt");
}

TEST_F(PasswordsOnApache, DeletingAUserOrGroupTakesItOutOfEveryFolderButHandManagedOnes) {
    const Credentials daveOld{"dave", "dave-first"};
    const Credentials daveNew{"dave", "dave-second"};
    const Credentials fay{"fay", "fay-pw"};
    CTL_OK(env(), {"user", "add", "dave"}, daveOld.password + "\n");
    CTL_OK(env(), {"user", "add", "fay"}, fay.password + "\n");
    protect("photos", {"dave", "fay"});
    protect("docs", {"dave"});
    // A folder whose file the panel leaves to be edited by hand.
    env().makeFolder("manual");
    const std::string manual = "AuthType Basic\nAuthName \"Manual\"\nAuthUserFile \"" +
                               (env().root() / ".htusers").string() +
                               "\"\nRequire user dave\nOrder allow,deny\nAllow from all\n";
    ctl_test::writeFile(env().root() / "manual" / ".htaccess", manual);
    for (const std::string folder : {"photos", "docs", "manual"})
        ASSERT_EQ(get(folder, daveOld), 200) << folder;

    const auto deleted = env().run({"user", "del", "dave"});
    ASSERT_EQ(deleted.exitCode, 0) << describe(deleted);
    EXPECT_TRUE(contains(deleted.out, "photos")) << describe(deleted);
    EXPECT_TRUE(contains(deleted.out, "docs")) << describe(deleted);
    EXPECT_FALSE(contains(deleted.out, "manual")) << describe(deleted);
    EXPECT_TRUE(contains(deleted.err, "manual"))
        << "the hand-managed folder is reported" << describe(deleted);
    EXPECT_EQ(readFile(env().root() / "manual" / ".htaccess"), manual) << "and left alone";
    EXPECT_FALSE(contains(readFile(env().root() / "docs" / ".htaccess"), "dave"));

    // A new dave is warned about, and gets into no folder the old one was let into.
    const auto again = env().run({"user", "add", "dave"}, daveNew.password + "\n");
    ASSERT_EQ(again.exitCode, 0) << describe(again);
    EXPECT_TRUE(contains(again.err, "manual"))
        << "still required by the hand-managed file" << describe(again);
    EXPECT_EQ(get("photos", daveNew), 401);
    EXPECT_EQ(get("docs", daveNew), 401);
    EXPECT_EQ(get("photos", fay), 200) << "the other users keep their access";
    EXPECT_EQ(get("docs", fay), 401);

    // Groups the same way.
    CTL_OK(env(), {"group", "add", "crew", "--member", "fay"});
    env().makeFolder("stage");
    CTL_OK(env(), {"mode", "stage", "password"});
    CTL_OK(env(), {"require", "stage", "--group", "crew"});
    ASSERT_EQ(get("stage", fay), 200);
    const auto groupDeleted = env().run({"group", "del", "crew"});
    ASSERT_EQ(groupDeleted.exitCode, 0) << describe(groupDeleted);
    EXPECT_TRUE(contains(groupDeleted.out, "stage")) << describe(groupDeleted);
    EXPECT_FALSE(contains(readFile(env().root() / "stage" / ".htaccess"), "crew"));
    CTL_OK(env(), {"group", "add", "crew", "--member", "fay"});
    EXPECT_EQ(get("stage", fay), 401) << "a new group of the old name is not let in";
}

TEST_F(PasswordsOnApache, RefusedNamesWouldHaveLockedUsersOut) {
    // Written by hand, as another tool might: the forms portholdctl refuses.
    const fs::path users = env().root() / "refused.users";
    CTL_OK(env(), {"user", "add", "plainbob"}, "bob-pw\n");
    const std::string bobHash = hashOf(env().root() / ".htusers", "plainbob");
    ctl_test::writeFile(users, "#hash:" + bobHash + "\n'quote:" + bobHash + "\nplainbob:" + bobHash + "\n");
    const auto protectBy = [&](const std::string &folder, const std::string &require) {
        env().makeFolder(folder);
        ctl_test::writeFile(env().root() / folder / ".htaccess",
                            "AuthType Basic\nAuthName \"x\"\nAuthUserFile \"" + users.string() + "\"\n" +
                                require + "\n");
    };
    protectBy("hashed", "Require user #hash plainbob");
    EXPECT_EQ(get("hashed", {"#hash", "bob-pw"}), 401) << "a user-file line starting with # is a comment";
    protectBy("quoted", "Require user 'quote plainbob");
    EXPECT_EQ(get("quoted", {"plainbob", "bob-pw"}), 401) << "the quote swallowed the names after it";
    protectBy("plain", "Require user plainbob");
    EXPECT_EQ(get("plain", {"plainbob", "bob-pw"}), 200) << "the same user, named plainly, gets in";
}

TEST(PortholdctlPasswords, AuditListsTheWeakHashesOfAFileWrittenByHtpasswd) {
    if (!htpasswdAvailable())
        GTEST_SKIP() << "htpasswd (apache2-utils) is not installed";
    CtlEnvironment env;
    const std::string file = (env.root() / ".htusers").string();
    struct User {
        std::string flag, name, password;
    };
    const std::vector<User> people{{"-cbd", "des", "pw-des"},    {"-bs", "sha", "pw-sha"},
                                   {"-bp", "plain", "pw-plain"}, {"-bB", "bcrypt", "pw-b"},
                                   {"-bm", "md5", "pw-md5"},     {"-b5", "sha512", "pw-5"}};
    for (const User &user : people)
        ASSERT_EQ(htpasswd({user.flag, file, user.name, user.password}), 0) << user.flag;
    const std::string before = readFile(file);

    const auto audit = env.run({"user", "audit"});
    EXPECT_EQ(audit.exitCode, 2) << describe(audit);
    EXPECT_EQ(audit.out, "des: DES crypt\nsha: SHA-1\nplain: plain text\n") << describe(audit);
    EXPECT_EQ(readFile(file), before) << "an audit changes nothing";

    // Checking agrees with Apache's own checker, right and wrong.
    for (const User &user : people) {
        for (const std::string &tried : {user.password, user.password + "x"}) {
            const int apache = htpasswd({"-vb", file, user.name, tried});
            const auto ours = env.run({"user", "check", user.name}, tried + "\n");
            EXPECT_EQ(ours.exitCode, apache == 0 ? 0 : 2) << user.name << " " << tried << describe(ours);
        }
    }
    EXPECT_EQ(env.run({"user", "check", "nobody"}, "x\n").exitCode, 2);

    // New passwords for the weak ones: hashed with the default scheme,
    // memberships kept, every other line byte for byte.
    CTL_OK(env, {"group", "add", "team", "--member", "des", "sha"});
    for (const std::string name : {"des", "sha", "plain"})
        CTL_OK(env, {"user", "passwd", name}, "new-" + name + "\n");
    const auto clean = env.run({"user", "audit"});
    EXPECT_EQ(clean.exitCode, 0) << describe(clean);
    EXPECT_TRUE(clean.out.empty()) << describe(clean);
    for (const std::string name : {"bcrypt", "md5", "sha512"})
        EXPECT_TRUE(contains(readFile(file), name + ":" + hashOf(fs::path(file), name)));
    std::istringstream beforeLines(before);
    for (std::string line; std::getline(beforeLines, line);) {
        const std::string name = line.substr(0, line.find(':'));
        if (name == "bcrypt" || name == "md5" || name == "sha512") {
            EXPECT_TRUE(contains(readFile(file), line + "\n")) << line;
        }
    }
    EXPECT_EQ(hashOf(fs::path(file), "des").rfind("$2y$", 0), 0u);
    EXPECT_EQ(htpasswd({"-vb", file, "plain", "new-plain"}), 0);
    const auto groups = env.run({"group", "list"});
    EXPECT_TRUE(contains(groups.out, "team: des sha")) << describe(groups);
}

/// The first line of `text` naming `name`, with its line end; empty when none.
std::string lineOf(const std::string &text, const std::string &name) {
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
        if (text.compare(start, name.size() + 1, name + ":") == 0)
            return text.substr(start, end - start);
        start = end;
    }
    return {};
}

/// `text` with its first line naming `name` made `line`.
std::string withLine(std::string text, const std::string &name, const std::string &line) {
    const std::string old = lineOf(text, name);
    return old.empty() ? text : text.replace(text.find(old), old.size(), line);
}

// A file htpasswd wrote, with the lines people add by hand, is changed where
// the user stands: htpasswd accepts the new password and every other byte
// stays, however large the file (it is rewritten in pieces).
TEST(PortholdctlPasswords, ChangesAFileHtpasswdWroteInPlaceKeepingEveryOtherByte) {
    if (!htpasswdAvailable())
        GTEST_SKIP() << "htpasswd (apache2-utils) is not installed";
    CtlEnvironment env;
    const fs::path path = env.root() / ".htusers";
    const std::string file = path.string();
    ASSERT_EQ(htpasswd({"-cbB", file, "ann", "pw-ann"}), 0);
    ASSERT_EQ(htpasswd({"-bm", file, "bob", "pw-bob"}), 0);
    ASSERT_EQ(htpasswd({"-bd", file, "cy", "pw-cy"}), 0);
    // A comment, a blank line, a line ending CRLF, a full name after the
    // hash, and no final newline.
    ctl_test::writeFile(path, "# web users\n" + readFile(path) +
                                  "\n"
                                  "dee:" +
                                  hashOf(path, "cy") +
                                  "\r\n"
                                  "eve:" +
                                  hashOf(path, "cy") +
                                  ":Eve Example\n"
                                  "fay:" +
                                  hashOf(path, "cy"));
    const auto mode = fs::status(path).permissions();

    std::string expected = readFile(path);
    // htpasswd -v takes a full name after the hash for part of it; the
    // server does not, nor does "user check".
    const auto change = [&](const std::vector<std::string> &arguments, const std::string &name,
                            const std::string &password, const std::string &after) {
        const auto run = env.run(arguments, password + "\n" + password + "\n");
        EXPECT_EQ(run.exitCode, 0) << describe(run);
        const std::string line = lineOf(readFile(path), name);
        EXPECT_EQ(line.substr(line.find(':') + 1).rfind("$2y$", 0), 0u) << line;
        EXPECT_TRUE(line.size() >= after.size() &&
                    line.compare(line.size() - after.size(), after.size(), after) == 0)
            << line;
        expected = withLine(expected, name, line);
        EXPECT_EQ(readFile(path), expected) << name;
        if (after.find(':') == std::string::npos) {
            EXPECT_EQ(htpasswd({"-vb", file, name, password}), 0) << name;
            EXPECT_NE(htpasswd({"-vb", file, name, "pw-" + name}), 0) << name;
        } else {
            EXPECT_EQ(env.run({"user", "check", name}, password + "\n").exitCode, 0) << name;
        }
    };
    change({"user", "passwd", "bob"}, "bob", "new-bob", "\n");
    change({"user", "passwd", "dee"}, "dee", "new-dee", "\r\n");
    change({"user", "add", "eve", "--update-password"}, "eve", "new-eve", ":Eve Example\n");
    change({"user", "passwd", "fay"}, "fay", "new-fay", "");
    EXPECT_NE(readFile(path).back(), '\n') << "the last line still has no line end";
    EXPECT_EQ(fs::status(path).permissions(), mode);

    // A new user goes on a line of its own after the last one.
    const auto added = env.run({"--json", "user", "add", "gus"}, "pw-gus\npw-gus\n");
    EXPECT_EQ(added.exitCode, 0) << describe(added);
    EXPECT_TRUE(contains(added.out, "\"changed\":true")) << describe(added);
    const std::string grown = readFile(path);
    EXPECT_EQ(grown.substr(0, expected.size() + 1), expected + "\n");
    EXPECT_EQ(htpasswd({"-vb", file, "gus", "pw-gus"}), 0);
    EXPECT_EQ(htpasswd({"-vb", file, "fay", "new-fay"}), 0);
    // The same password again changes nothing, and says so.
    const auto again = env.run({"--json", "user", "passwd", "gus"}, "pw-gus\npw-gus\n");
    EXPECT_TRUE(contains(again.out, "\"changed\":false")) << describe(again);
    EXPECT_EQ(readFile(path), grown);

    // The list, in file order, once each.
    EXPECT_EQ(env.run({"user", "list"}).out, "ann\nbob\ncy\ndee\neve\nfay\ngus\n");
}

// Deleting a user takes out its line as htpasswd -D does, every other byte
// kept, and the user leaves its groups; --check --diff shows the removal and
// writes nothing.
TEST(PortholdctlPasswords, DeletesAUserAsHtpasswdDoes) {
    if (!htpasswdAvailable())
        GTEST_SKIP() << "htpasswd (apache2-utils) is not installed";
    CtlEnvironment env;
    const fs::path path = env.root() / ".htusers";
    ASSERT_EQ(htpasswd({"-cbB", path.string(), "ann", "pw-ann"}), 0);
    ASSERT_EQ(htpasswd({"-bm", path.string(), "bob", "pw-bob"}), 0);
    ASSERT_EQ(htpasswd({"-bd", path.string(), "cy", "pw-cy"}), 0);
    const std::string hash = hashOf(path, "cy");
    ctl_test::writeFile(path, "# web users\n" + readFile(path) + "\ndee:" + hash + "\r\neve:" + hash +
                                  ":Eve Example\nfay:" + hash);
    ctl_test::writeFile(env.root() / ".htgroups", "one: ann bob fay\ntwo: bob\n");

    for (const std::string name : {"bob", "fay", "dee"}) {
        const std::string before = readFile(path);
        const fs::path copy = env.root() / "copy.htusers";
        ctl_test::writeFile(copy, before);
        ASSERT_EQ(htpasswd({"-D", copy.string(), name}), 0) << name;
        const std::string groups = readFile(env.root() / ".htgroups");

        const auto check = env.run({"--check", "--diff", "user", "del", name});
        EXPECT_EQ(check.exitCode, 0) << describe(check);
        EXPECT_TRUE(contains(check.out, "\n-" + name + ":[hash ")) << describe(check);
        EXPECT_EQ(readFile(path), before) << "a dry run writes nothing";
        EXPECT_EQ(readFile(env.root() / ".htgroups"), groups);

        CTL_OK(env, {"user", "del", name});
        EXPECT_EQ(readFile(path), readFile(copy)) << name;
    }
    EXPECT_EQ(readFile(env.root() / ".htgroups"), "one: ann \ntwo: \n");
    EXPECT_EQ(htpasswd({"-vb", path.string(), "cy", "pw-cy"}), 0);
    EXPECT_EQ(env.run({"user", "check", "eve"}, "pw-cy\n").exitCode, 0);
    EXPECT_EQ(env.run({"user", "list"}).out, "ann\ncy\neve\n");
}

// A user file larger than the records are read whole for is checked and
// audited in pieces, as the server reads it (these two used to refuse it);
// users are deleted from it and the group commands find its users, late
// ones too, without holding it.
TEST(PortholdctlPasswords, ALargeUserFileIsCheckedAndAuditedInPieces) {
    if (!htpasswdAvailable())
        GTEST_SKIP() << "htpasswd (apache2-utils) is not installed";
    CtlEnvironment env;
    const fs::path path = env.root() / ".htusers";
    ASSERT_EQ(htpasswd({"-cbB", path.string(), "ann", "pw-ann"}), 0);
    std::string text = readFile(path);
    constexpr int kUsers = 400000; // about 10 MB
    for (int i = 0; i < kUsers; ++i)
        text += "user" + std::to_string(i) + ":yTgp8vMlKL2hW\n";
    text += "zed:" + hashOf(path, "ann") + ":Zed Example\n";
    ctl_test::writeFile(path, text);
    ASSERT_GT(fs::file_size(path), 9u << 20);

    EXPECT_EQ(env.run({"user", "check", "zed"}, "pw-ann\n").exitCode, 0);
    EXPECT_EQ(env.run({"user", "check", "zed"}, "pw-zed\n").exitCode, 2);
    EXPECT_EQ(env.run({"user", "check", "nobody"}, "pw-ann\n").exitCode, 2);
    const auto audit = env.run({"user", "audit"});
    EXPECT_EQ(audit.exitCode, 2) << describe(audit);
    EXPECT_TRUE(contains(audit.err, std::to_string(kUsers) + " of " + std::to_string(kUsers + 2) + " users"))
        << audit.err.substr(0, 400);
    EXPECT_TRUE(contains(audit.out, "user399999: ")) << audit.out.substr(audit.out.size() - 200);
    EXPECT_FALSE(contains(audit.out, "zed")) << "a bcrypt hash is not weak";
    EXPECT_EQ(readFile(path), text);

    CTL_OK(env, {"group", "add", "staff", "--member", "user7"});
    CTL_OK(env, {"group", "add-member", "staff", "zed"});
    const auto ghost = env.run({"group", "add-member", "staff", "ghost"});
    EXPECT_EQ(ghost.exitCode, 2) << describe(ghost);
    EXPECT_TRUE(contains(ghost.err, "No user \"ghost\"")) << describe(ghost);
    ctl_test::writeFile(env.root() / ".htgroups",
                        readFile(env.root() / ".htgroups") + "crew: zed stranger\n");
    EXPECT_EQ(env.run({"group", "list"}).out, "staff: user7 zed\ncrew: zed (unknown: stranger)\n");
    CTL_OK(env, {"user", "del", "user7"});
    CTL_OK(env, {"user", "del", "zed"});
    std::string expected = text;
    expected.erase(expected.find("\nuser7:") + 1, lineOf(text, "user7").size());
    expected.erase(expected.find("\nzed:") + 1);
    EXPECT_EQ(readFile(path), expected);
    // A group file written keeps the members who are users, as always.
    EXPECT_EQ(readFile(env.root() / ".htgroups"), "staff: \ncrew: \n");
}

TEST(PortholdctlPasswords, NamesTheServerWouldMisreadAreRefusedEverywhere) {
    CtlEnvironment env;
    CTL_OK(env, {"user", "add", "known"}, "pw\n");
    for (const name_cases::Case &c : name_cases::cases()) {
        // After "--", so that a name beginning with "-" reaches the name rule.
        const auto user = env.run({"user", "add", "--", c.name}, "pw\n");
        const auto group = env.run({"group", "add", "--", c.name});
        if (c.accepted) {
            EXPECT_EQ(user.exitCode, 0) << c.name << describe(user);
            EXPECT_EQ(group.exitCode, 0) << c.name << describe(group);
            continue;
        }
        EXPECT_EQ(user.exitCode, 2) << c.name << describe(user);
        EXPECT_TRUE(contains(user.err, c.reason)) << c.name << describe(user);
        EXPECT_EQ(group.exitCode, 2) << c.name << describe(group);
        EXPECT_TRUE(contains(group.err, c.reason)) << c.name << describe(group);
        EXPECT_FALSE(contains(readFile(env.root() / ".htusers"), c.name));
    }

    // Names already in the files are kept and listed, but never required.
    env.makeFolder("f");
    CTL_OK(env, {"mode", "f", "password"});
    ctl_test::writeFile(env.root() / ".htusers",
                        readFile(env.root() / ".htusers") + "'quoted:xx\n#hash:yy\n");
    ctl_test::writeFile(env.root() / ".htgroups", "o'band: known\n");
    const auto listed = env.run({"user", "list"});
    EXPECT_TRUE(contains(listed.out, "'quoted\n")) << describe(listed);
    for (const std::vector<std::string> &arguments : std::vector<std::vector<std::string>>{
             {"require", "f", "--user", "'quoted"}, {"require", "f", "--group", "o'band"}}) {
        const auto refused = env.run(arguments);
        EXPECT_EQ(refused.exitCode, 2) << arguments[3] << describe(refused);
        EXPECT_TRUE(contains(refused.err, "cannot be let into a folder")) << describe(refused);
    }
    // A line that begins with "#" is a comment to the server: no user at all.
    EXPECT_FALSE(contains(listed.out, "#hash")) << describe(listed);
    const auto comment = env.run({"require", "f", "--user", "#hash"});
    EXPECT_EQ(comment.exitCode, 2) << describe(comment);
    EXPECT_FALSE(contains(readFile(env.root() / "f" / ".htaccess"), "quoted"));
    EXPECT_TRUE(contains(readFile(env.root() / ".htusers"), "'quoted:xx\n#hash:yy\n"))
        << "kept byte for byte";
}
