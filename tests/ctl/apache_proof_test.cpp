// What Apache 2.4 really answers for folders protected through portholdctl.
// One private server serves the whole suite: it reads every .htaccess, user
// and group file on every request, so no restart is needed between cases.

#include "ctl/CtlFixture.h"

#include <iostream>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;

namespace {

using apache_harness::ApacheServer;
using apache_harness::Credentials;
using ctl_test::CtlEnvironment;

const Credentials kNobody{};
const Credentials kAlice{"alice", "wonder-land"};
const Credentials kAliceWrong{"alice", "not-her-password"};
const Credentials kBob{"bob", "builder-7"};
const Credentials kCarol{"carol", "c4rol:with:colons"};

class ApacheProof : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string reason = apache_harness::unavailableReason();
        if (!reason.empty()) {
            s_skipReason = reason;
            return;
        }
        s_env = std::make_unique<CtlEnvironment>();
        s_env->makeFolder("open");
        s_server = std::make_unique<ApacheServer>(s_env->root());
        for (const auto &user : {kAlice, kBob, kCarol}) {
            const auto result = s_env->run({"user", "add", user.user}, user.password + "\n");
            ASSERT_EQ(result.exitCode, 0) << ctl_test::describe(result);
        }
        const auto group = s_env->run({"group", "add", "staff", "--member", "alice"});
        ASSERT_EQ(group.exitCode, 0) << ctl_test::describe(group);
    }

    static void TearDownTestSuite() {
        s_server.reset(); // stops the server before its web root goes
        s_env.reset();
    }

    void SetUp() override {
        if (!s_skipReason.empty())
            GTEST_SKIP() << "no private Apache: " << s_skipReason;
        ASSERT_TRUE(s_server) << "the server did not start";
    }

    /// A fresh folder for one case, with its URL.
    static std::string folder(const std::string &name) {
        s_env->makeFolder(name);
        return "/" + name + "/index.html";
    }

    static int get(const std::string &url, const Credentials &credentials = kNobody) {
        return s_server->get(url, credentials);
    }

    static CtlEnvironment &env() { return *s_env; }

    /// `verify` run on a copy of the tree (what the model reads) against the
    /// suite's server (what it serves).
    static ctl_runner::Result verifyFromCopy(const CtlEnvironment &copy, const std::string &folder) {
        return copy.run({"verify", folder, "--url",
                         "http://127.0.0.1:" + std::to_string(s_server->port()) + "/", "--error-log",
                         s_server->errorLog().string()});
    }

    void TearDown() override {
        if (HasFailure() && s_server)
            std::cerr << "--- apache error log\n" << s_server->errorLogText();
    }

    static inline std::unique_ptr<CtlEnvironment> s_env;
    static inline std::unique_ptr<ApacheServer> s_server;
    static inline std::string s_skipReason;
};

TEST_F(ApacheProof, TheServerHonoursAccessFilesAtAll) {
    // Without this, every "200" below could just mean .htaccess is ignored.
    EXPECT_EQ(get("/open/index.html"), 200) << "a folder without an access file is served";
    const std::string url = folder("hand-denied");
    ctl_test::writeFile(env().root() / "hand-denied" / ".htaccess", "Require all denied\n");
    EXPECT_EQ(get(url), 403) << "AllowOverride All: a hand-written denial is enforced";
}

TEST_F(ApacheProof, PasswordModeWithNamedUsers) {
    const std::string url = folder("pw-named");
    CTL_OK(env(), {"mode", "pw-named", "password"});
    // Nobody listed yet: the placeholder user stands in, so nobody gets in.
    EXPECT_EQ(get(url, kAlice), 401) << "password mode with nobody listed lets no one in";

    CTL_OK(env(), {"require", "pw-named", "--user", "alice", "carol"});
    EXPECT_EQ(get(url), 401) << "no credentials: Basic authentication is asked for";
    EXPECT_EQ(get(url, kAlice), 200) << "a listed user with her password";
    EXPECT_EQ(get(url, kCarol), 200) << "a password containing colons still checks";
    EXPECT_EQ(get(url, kAliceWrong), 401) << "a listed user with a wrong password";
    EXPECT_EQ(get(url, kBob), 401) << "a valid user who is not listed";

    CTL_OK(env(), {"unrequire", "pw-named", "--user", "carol"});
    EXPECT_EQ(get(url, kCarol), 401) << "an unlisted user no longer gets in";
    EXPECT_EQ(get(url, kAlice), 200) << "the remaining user still does";
}

TEST_F(ApacheProof, AUserNamedLikeADirectiveStillGetsIn) {
    // "border" holds "order": the reader must not drop its require line.
    const std::string url = folder("pw-border");
    const Credentials border{"border", "guard-post"};
    CTL_OK(env(), {"user", "add", "border"}, border.password + "\n");
    CTL_OK(env(), {"mode", "pw-border", "password"});
    CTL_OK(env(), {"require", "pw-border", "--user", "border"});
    CTL_OK(env(), {"mode", "pw-border", "password"}); // read back and written again
    EXPECT_EQ(get(url, border), 200) << "the user is still required after a rewrite";
    EXPECT_EQ(get(url, kAlice), 401) << "and the folder is still protected";
}

TEST_F(ApacheProof, PasswordModeWithAnyValidUser) {
    const std::string url = folder("pw-any");
    CTL_OK(env(), {"mode", "pw-any", "password"});
    CTL_OK(env(), {"require", "pw-any", "--any-user"});
    EXPECT_EQ(get(url), 401) << "no credentials: asked for a password";
    EXPECT_EQ(get(url, kAlice), 200) << "every user of the user file gets in";
    EXPECT_EQ(get(url, kBob), 200) << "every user of the user file gets in";
    EXPECT_EQ(get(url, kAliceWrong), 401) << "a wrong password is still refused";
    EXPECT_EQ(get(url, Credentials{"mallory", "x"}), 401) << "a name that is not in the user file";

    // Ticking a named user replaces "Any Valid User".
    CTL_OK(env(), {"require", "pw-any", "--user", "bob"});
    EXPECT_EQ(get(url, kAlice), 401) << "after naming bob, any-user no longer holds";
    EXPECT_EQ(get(url, kBob), 200) << "the named user gets in";
}

TEST_F(ApacheProof, PasswordModeWithAGroup) {
    const std::string url = folder("pw-group");
    CTL_OK(env(), {"mode", "pw-group", "password"});
    CTL_OK(env(), {"group", "add", "crew", "--member", "carol"});
    CTL_OK(env(), {"require", "pw-group", "--group", "crew"});
    EXPECT_EQ(get(url), 401) << "no credentials: asked for a password";
    EXPECT_EQ(get(url, kCarol), 200) << "a member of the required group";
    EXPECT_EQ(get(url, kBob), 401) << "a valid user outside the group";

    CTL_OK(env(), {"group", "add-member", "crew", "bob"});
    EXPECT_EQ(get(url, kBob), 200) << "a new member gets in without touching the access file";
    CTL_OK(env(), {"group", "remove-member", "crew", "bob"});
    EXPECT_EQ(get(url, kBob), 401) << "a removed member is refused again";
}

TEST_F(ApacheProof, AddressModeAllowingTheClient) {
    const std::string url = folder("addr-allow");
    CTL_OK(env(), {"mode", "addr-allow", "address"});
    CTL_OK(env(), {"address", "addr-allow", "--allow", "--add", "127.0.0.1"});
    EXPECT_EQ(get(url), 200) << "127.0.0.1 is on the allow list";
}

TEST_F(ApacheProof, AnAddressTheServerWouldRefuseIsNeverWritten) {
    const std::string url = folder("addr-refused");
    CTL_OK(env(), {"mode", "addr-refused", "address"});
    const fs::path file = env().root() / "addr-refused" / ".htaccess";
    const std::string before = ctl_test::readFile(file);
    for (const char *entry : {"999.1.1.1", "10.0.0.0/33", "1.2.3.4/", "fe80::zz", "10.0.0.0/8/8"}) {
        const auto result = env().run({"address", "addr-refused", "--allow", "--add", entry});
        EXPECT_EQ(result.exitCode, 2) << ctl_test::describe(result);
        EXPECT_NE(result.err.find(entry), std::string::npos) << ctl_test::describe(result);
        EXPECT_NE(result.err.find("refuse"), std::string::npos) << ctl_test::describe(result);
        EXPECT_EQ(ctl_test::readFile(file), before) << "nothing is written for " << entry;
    }
    EXPECT_NE(get(url), 500) << "the folder still works";
}

TEST_F(ApacheProof, AddressModeAllowingOthersOnly) {
    const std::string url = folder("addr-others");
    CTL_OK(env(), {"mode", "addr-others", "address"});
    CTL_OK(env(), {"address", "addr-others", "--allow"});
    EXPECT_EQ(get(url), 403) << "allow mode with nothing listed denies everyone";
    CTL_OK(env(), {"address", "addr-others", "--add", "10.9.8.7"});
    EXPECT_EQ(get(url), 403) << "127.0.0.1 is not on the allow list";
    EXPECT_EQ(get(url, kAlice), 403) << "and a password does not help in address mode";
}

TEST_F(ApacheProof, DenyModeListingTheClient) {
    const std::string url = folder("deny-listed");
    CTL_OK(env(), {"mode", "deny-listed", "address"});
    CTL_OK(env(), {"address", "deny-listed", "--deny", "--add", "127.0.0.1"});
    EXPECT_EQ(get(url), 403) << "127.0.0.1 is on the deny list";
}

TEST_F(ApacheProof, DenyModeAfterAllowingTheSameAddress) {
    const std::string url = folder("deny-after-allow");
    CTL_OK(env(), {"mode", "deny-after-allow", "address"});
    CTL_OK(env(), {"address", "deny-after-allow", "--allow", "--add", "127.0.0.1"});
    EXPECT_EQ(get(url), 200) << "127.0.0.1 is allowed";
    CTL_OK(env(), {"address", "deny-after-allow", "--deny", "--add", "127.0.0.1"});
    EXPECT_EQ(get(url), 403)
        << "now ticked as denied: the allow list kept from allow mode must not let it in";
}

TEST_F(ApacheProof, DenyModeNotListingTheClient) {
    const std::string url = folder("deny-others");
    CTL_OK(env(), {"mode", "deny-others", "address"});
    CTL_OK(env(), {"address", "deny-others", "--deny"});
    EXPECT_EQ(get(url), 200) << "deny mode with nothing listed denies no one";
    CTL_OK(env(), {"address", "deny-others", "--add", "10.9.8.6"});
    EXPECT_EQ(get(url), 200) << "127.0.0.1 is not on the deny list";
}

TEST_F(ApacheProof, PasswordOrAddress) {
    const std::string listed = folder("either-listed");
    CTL_OK(env(), {"mode", "either-listed", "either"});
    CTL_OK(env(), {"require", "either-listed", "--user", "alice"});
    CTL_OK(env(), {"address", "either-listed", "--allow", "--add", "127.0.0.1"});
    EXPECT_EQ(get(listed), 200) << "the address alone satisfies \"Satisfy any\"";

    const std::string unlisted = folder("either-unlisted");
    CTL_OK(env(), {"mode", "either-unlisted", "either"});
    CTL_OK(env(), {"require", "either-unlisted", "--user", "alice"});
    CTL_OK(env(), {"address", "either-unlisted", "--allow", "--add", "10.9.8.5"});
    EXPECT_EQ(get(unlisted), 401) << "address not listed: the password is asked for instead";
    EXPECT_EQ(get(unlisted, kAlice), 200) << "the password alone satisfies \"Satisfy any\"";
    EXPECT_EQ(get(unlisted, kBob), 401) << "a user who is not listed";
}

TEST_F(ApacheProof, PasswordAndAddress) {
    const std::string listed = folder("both-listed");
    CTL_OK(env(), {"mode", "both-listed", "both"});
    CTL_OK(env(), {"require", "both-listed", "--user", "alice"});
    CTL_OK(env(), {"address", "both-listed", "--allow", "--add", "127.0.0.1"});
    EXPECT_EQ(get(listed), 401) << "the address is not enough under \"Satisfy all\"";
    EXPECT_EQ(get(listed, kAlice), 200) << "address and password together";
    EXPECT_EQ(get(listed, kBob), 401) << "an unlisted user at a listed address";

    const std::string unlisted = folder("both-unlisted");
    CTL_OK(env(), {"mode", "both-unlisted", "both"});
    CTL_OK(env(), {"require", "both-unlisted", "--user", "alice"});
    CTL_OK(env(), {"address", "both-unlisted", "--allow", "--add", "10.9.8.4"});
    EXPECT_EQ(get(unlisted, kAlice), 403) << "a good password from an unlisted address";
}

TEST_F(ApacheProof, ModeNoneOpensTheFolderAgain) {
    const std::string url = folder("none-again");
    CTL_OK(env(), {"mode", "none-again", "both"});
    CTL_OK(env(), {"require", "none-again", "--user", "alice"});
    CTL_OK(env(), {"address", "none-again", "--deny", "--add", "127.0.0.1"});
    ASSERT_EQ(get(url, kAlice), 403) << "protected before";
    CTL_OK(env(), {"mode", "none-again", "none"});
    EXPECT_TRUE(fs::exists(env().root() / "none-again" / ".htaccess")) << "the directives stay, commented";
    EXPECT_EQ(get(url), 200) << "every directive is commented out";

    // The commented lines keep the lists: choosing a mode again restores them.
    CTL_OK(env(), {"mode", "none-again", "password"});
    EXPECT_EQ(get(url, kBob), 401) << "the remembered user list is back";
    EXPECT_EQ(get(url, kAlice), 200) << "the remembered user list is back";
}

TEST_F(ApacheProof, AClearedFolderIsOpen) {
    const std::string url = folder("cleared");
    CTL_OK(env(), {"mode", "cleared", "password"});
    CTL_OK(env(), {"require", "cleared", "--any-user"});
    ASSERT_EQ(get(url), 401) << "protected before";
    CTL_OK(env(), {"clear", "cleared"});
    EXPECT_FALSE(fs::exists(env().root() / "cleared" / ".htaccess"));
    EXPECT_EQ(get(url), 200) << "no access file, no protection";
}

TEST_F(ApacheProof, ADeletedUserIsRefused) {
    const std::string url = folder("deleted-user");
    const Credentials dave{"dave", "temporary"};
    CTL_OK(env(), {"user", "add", "dave"}, dave.password + "\n");
    CTL_OK(env(), {"mode", "deleted-user", "password"});
    CTL_OK(env(), {"require", "deleted-user", "--user", "dave", "alice"});
    ASSERT_EQ(get(url, dave), 200) << "listed and in the user file";

    CTL_OK(env(), {"user", "del", "dave"});
    EXPECT_EQ(get(url, dave), 401) << "neither the user file nor the access file names dave";
    EXPECT_EQ(get(url, kAlice), 200) << "the other users are untouched";
}

TEST_F(ApacheProof, ANewPasswordReplacesTheOld) {
    const std::string url = folder("new-password");
    const Credentials erinOld{"erin", "first-secret"};
    const Credentials erinNew{"erin", "second-secret"};
    CTL_OK(env(), {"user", "add", "erin"}, erinOld.password + "\n");
    CTL_OK(env(), {"group", "add", "erins", "--member", "erin"});
    CTL_OK(env(), {"mode", "new-password", "password"});
    CTL_OK(env(), {"require", "new-password", "--group", "erins"});
    ASSERT_EQ(get(url, erinOld), 200);

    CTL_OK(env(), {"user", "passwd", "erin"}, erinNew.password + "\n");
    EXPECT_EQ(get(url, erinNew), 200) << "the new password, and the group membership survived";
    EXPECT_EQ(get(url, erinOld), 401) << "the old password no longer works";
}

// ----- What the panel shows is what the server does -----
// Each case names what the server answered before the panel wrote or read
// the files soundly, and what it answers now.

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST_F(ApacheProof, AProtectedChildDoesNotInheritItsParentsAddressPass) {
    // Before: the child wrote its Satisfy line commented out and so inherited
    // the parent's "Satisfy any" and allow list: 127.0.0.1 got 200 unasked.
    folder("team");
    const std::string url = folder("team/secret");
    CTL_OK(env(), {"mode", "team", "either"});
    CTL_OK(env(), {"require", "team", "--user", "alice"});
    CTL_OK(env(), {"address", "team", "--allow", "--add", "127.0.0.1"});
    CTL_OK(env(), {"mode", "team/secret", "password"});
    CTL_OK(env(), {"require", "team/secret", "--user", "bob"});
    EXPECT_EQ(get("/team/index.html"), 200) << "the parent still lets its address in";
    EXPECT_EQ(get(url), 401) << "the child asks for a password even from the parent's address";
    EXPECT_EQ(get(url, kBob), 200);
    EXPECT_EQ(get(url, kAlice), 401) << "the parent's user is not the child's";
}

TEST_F(ApacheProof, InheritedProtectionIsShown) {
    // Before: the subfolder showed "None" everywhere while Apache asked for
    // the parent's password (401).
    folder("private");
    const std::string url = folder("private/sub");
    CTL_OK(env(), {"mode", "private", "password"});
    CTL_OK(env(), {"require", "private", "--user", "alice"});
    EXPECT_EQ(get(url), 401);
    EXPECT_EQ(get(url, kAlice), 200);

    const auto show = env().run({"show", "private/sub"});
    ASSERT_EQ(show.exitCode, 0) << ctl_test::describe(show);
    EXPECT_TRUE(contains(show.out, "Mode: None\n")) << show.out;
    EXPECT_TRUE(contains(show.out, "Effective:\n  Password: users alice (from private)\n")) << show.out;
    const auto tree = env().run({"tree"});
    EXPECT_TRUE(contains(tree.out, "    sub\tNone\t[Password required: inherited from private]\n"))
        << tree.out;
    EXPECT_TRUE(contains(tree.out, "  private\tPassword\n")) << "the parent's own protection is not marked\n"
                                                             << tree.out;

    // An address-only child of a password parent still asks for the password.
    const std::string addressed = folder("private/addressed");
    CTL_OK(env(), {"mode", "private/addressed", "address"});
    CTL_OK(env(), {"address", "private/addressed", "--allow", "--add", "127.0.0.1"});
    EXPECT_EQ(get(addressed), 401);
    const auto both = env().run({"show", "private/addressed"});
    EXPECT_TRUE(contains(both.out, "  Password: users alice (from private)\n")) << both.out;
    EXPECT_TRUE(contains(both.out, "  Address: only from 127.0.0.1 ::1 (this folder)\n")) << both.out;
    EXPECT_TRUE(contains(both.out, "  Both a password and an allowed address are needed\n")) << both.out;
}

TEST_F(ApacheProof, AFileWithRulesInAContainerIsNeverRewritten) {
    // Before: requiring erin moved "Require user bob erin" out of the
    // RequireAll, so bob from 127.0.0.1 went from 403 to 200.
    const std::string url = folder("contained");
    const fs::path file = env().root() / "contained" / ".htaccess";
    const std::string text = "AuthType Basic\nAuthName \"contained\"\nAuthUserFile \"" +
                             (env().root() / ".htusers").string() +
                             "\"\n<RequireAll>\n  Require user bob\n  Require ip 10.0.0.1\n</RequireAll>\n";
    ctl_test::writeFile(file, text);
    ASSERT_EQ(get(url, kBob), 403) << "password and address are both needed";

    for (const std::vector<std::string> &edit :
         {std::vector<std::string>{"require", "contained", "--user", "carol"},
          std::vector<std::string>{"mode", "contained", "none"},
          std::vector<std::string>{"mode", "contained", "either"}}) {
        const auto result = env().run(edit);
        EXPECT_EQ(result.exitCode, 2) << ctl_test::describe(result);
        EXPECT_TRUE(contains(result.err,
                             "This folder's access file has rules of its own: edit it in the Manual Editor"))
            << result.err;
        EXPECT_EQ(ctl_test::readFile(file), text) << "the file is left byte for byte";
    }
    EXPECT_EQ(get(url, kBob), 403);
    EXPECT_EQ(get(url, kCarol), 403);
    const auto show = env().run({"show", "contained"});
    EXPECT_TRUE(contains(show.out, "Hand-managed: yes")) << show.out;
    EXPECT_TRUE(contains(show.out, "Require ip 10.0.0.1")) << show.out;

    // An allow line kept to one method; before, an edit widened it to GET.
    const std::string limited = folder("limited");
    const fs::path limitedFile = env().root() / "limited" / ".htaccess";
    const std::string limitedText =
        "Order deny,allow\nDeny from 127.0.0.1\n<Limit POST>\n  Allow from 127.0.0.1\n</Limit>\n";
    ctl_test::writeFile(limitedFile, limitedText);
    ASSERT_EQ(get(limited), 403);
    const auto result = env().run({"address", "limited", "--add", "10.0.0.9"});
    EXPECT_EQ(result.exitCode, 2) << ctl_test::describe(result);
    EXPECT_EQ(ctl_test::readFile(limitedFile), limitedText);
    EXPECT_EQ(get(limited), 403);
}

TEST_F(ApacheProof, AKeptRuleThatOpensTheFolderIsShown) {
    // Before: show said "Password" while 127.0.0.1 got 200 without one.
    const std::string url = folder("kept");
    CTL_OK(env(), {"mode", "kept", "password"});
    CTL_OK(env(), {"require", "kept", "--user", "alice"});
    const fs::path file = env().root() / "kept" / ".htaccess";
    ctl_test::writeFile(file, ctl_test::readFile(file) + "Require ip 127.0.0.1\n");
    EXPECT_EQ(get(url), 200) << "top-level Require lines are alternatives";
    const auto show = env().run({"show", "kept"});
    EXPECT_TRUE(contains(show.out, "Hand-managed: yes")) << show.out;
    EXPECT_TRUE(contains(show.out, "  Rule: Require ip 127.0.0.1 (in kept)\n")) << show.out;
    const std::string before = ctl_test::readFile(file);
    const auto result = env().run({"unrequire", "kept", "--user", "alice"});
    EXPECT_EQ(result.exitCode, 2) << ctl_test::describe(result);
    EXPECT_EQ(ctl_test::readFile(file), before);
}

TEST_F(ApacheProof, DenyRulesApacheEnforcesSurviveAnEdit) {
    // Before: "ALL" in capitals, entries after a tab and upper-case host
    // names were dropped on reading; the next edit wrote
    // "Deny from portholded" and 403 became 200.
    const std::string capital = folder("deny-capital");
    ctl_test::writeFile(env().root() / "deny-capital" / ".htaccess",
                        "Order deny,allow\nDeny from ALL\nAllow from 10.1.1.1\n");
    ASSERT_EQ(get(capital), 403);
    CTL_OK(env(), {"address", "deny-capital", "--add", "10.2.2.2"});
    EXPECT_EQ(get(capital), 403);
    const auto capitalShow = env().run({"show", "deny-capital"});
    EXPECT_TRUE(contains(capitalShow.out, "Address mode: allow\n")) << capitalShow.out;
    EXPECT_TRUE(contains(capitalShow.out, "Allow from: 10.1.1.1 10.2.2.2\n")) << capitalShow.out;

    const std::string tabbed = folder("deny-tabbed");
    ctl_test::writeFile(env().root() / "deny-tabbed" / ".htaccess",
                        "Deny from 10.3.3.3\t127.0.0.0/8 NO-SUCH.EXAMPLE.INVALID\n");
    ASSERT_EQ(get(tabbed), 403);
    CTL_OK(env(), {"address", "deny-tabbed", "--add", "10.4.4.4"});
    EXPECT_EQ(get(tabbed), 403);
    const auto tabbedShow = env().run({"show", "deny-tabbed"});
    EXPECT_TRUE(
        contains(tabbedShow.out, "Deny from: 10.3.3.3 127.0.0.0/8 no-such.example.invalid 10.4.4.4\n"))
        << tabbedShow.out;
}

TEST_F(ApacheProof, DenyModeCannotBeUndoneByANetworkOnTheAllowList) {
    // Before: the allow list kept from allow mode (127.0.0.0/8) stayed in
    // force and re-admitted the denied 127.0.0.1: 200.
    const std::string url = folder("deny-network");
    CTL_OK(env(), {"mode", "deny-network", "address"});
    CTL_OK(env(), {"address", "deny-network", "--allow", "--add", "127.0.0.0/8"});
    ASSERT_EQ(get(url), 200);
    CTL_OK(env(), {"address", "deny-network", "--deny", "--add", "127.0.0.1"});
    EXPECT_EQ(get(url), 403);
    // The allow list is remembered for allow mode.
    CTL_OK(env(), {"address", "deny-network", "--allow"});
    EXPECT_EQ(get(url), 200);
}

TEST_F(ApacheProof, LongUserListsStayWithinApachesLineLimit) {
    // Before: 900 ticked users went on one line of about 9 KB and the whole
    // folder answered 500.
    const std::string url = folder("many-users");
    const fs::path users = env().root() / ".htusers";
    std::string text = ctl_test::readFile(users);
    const size_t start = text.find("alice:");
    ASSERT_NE(start, std::string::npos);
    const std::string hash = text.substr(start + 6, text.find('\n', start) - start - 6);
    std::vector<std::string> arguments{"require", "many-users", "--user"};
    for (int i = 0; i < 900; ++i) {
        const std::string name = "member" + std::to_string(1000 + i);
        text += name + ":" + hash + "\n";
        arguments.push_back(name);
    }
    arguments.push_back("alice");
    ctl_test::writeFile(users, text);
    CTL_OK(env(), {"mode", "many-users", "password"});
    CTL_OK(env(), arguments);
    EXPECT_EQ(get(url, kAlice), 200);
    EXPECT_EQ(get(url, Credentials{"member1899", kAlice.password}), 200) << "the last of the list";
    EXPECT_EQ(get(url, kBob), 401);
    const std::string written = ctl_test::readFile(env().root() / "many-users" / ".htaccess");
    std::istringstream lines(written);
    int requireLines = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LT(line.size(), 8190u);
        requireLines += line.rfind("Require user ", 0) == 0;
    }
    EXPECT_GT(requireLines, 1);
    // Read back whole: a further edit keeps every one of them.
    CTL_OK(env(), {"unrequire", "many-users", "--user", "member1000"});
    EXPECT_EQ(get(url, Credentials{"member1899", kAlice.password}), 200);
    EXPECT_EQ(get(url, Credentials{"member1000", kAlice.password}), 401);
}

TEST_F(ApacheProof, ThisComputerCoversBothLoopbackForms) {
    if (!s_server->servesIpv6())
        GTEST_SKIP() << "no IPv6 loopback here";
    // Before: only 127.0.0.1 was written; a browser reaching localhost over
    // ::1 got 403.
    const std::string url = folder("this-computer");
    CTL_OK(env(), {"mode", "this-computer", "address"});
    CTL_OK(env(), {"address", "this-computer", "--allow", "--add", "127.0.0.1"});
    EXPECT_EQ(get(url), 200);
    EXPECT_EQ(s_server->get6(url), 200);

    const std::string denied = folder("this-computer-denied");
    CTL_OK(env(), {"mode", "this-computer-denied", "address"});
    CTL_OK(env(), {"address", "this-computer-denied", "--deny", "--add", "127.0.0.1"});
    EXPECT_EQ(get(denied), 403);
    EXPECT_EQ(s_server->get6(denied), 403);
    const auto show = env().run({"show", "this-computer-denied"});
    EXPECT_TRUE(contains(show.out, "Deny from: 127.0.0.1\n")) << "::1 comes with it\n" << show.out;
}

TEST_F(ApacheProof, AWarningSaysWhenTheRulesRefuseThisComputer) {
    // Each edit that leaves this computer refused (a browser here gets 403)
    // warns; an edit after which it gets in, or is asked for a password, does
    // not. The server's answers prove the warning right each time.
    const std::string warning = "These rules refuse this computer (127.0.0.1";
    const auto ctl = [](std::initializer_list<std::string> arguments) {
        auto result = env().run(std::vector<std::string>(arguments));
        EXPECT_EQ(result.exitCode, 0) << ctl_test::describe(result);
        return result;
    };
    const std::string url = folder("refuses-me");
    // "Address" with nobody listed refuses everyone, this computer included.
    auto result = ctl({"mode", "refuses-me", "address"});
    EXPECT_TRUE(contains(result.err, "portholdctl: warning: " + warning)) << result.err;
    EXPECT_EQ(get(url), 403);
    result = ctl({"address", "refuses-me", "--allow", "--add", "10.9.8.7"});
    EXPECT_TRUE(contains(result.err, "portholdctl: warning: " + warning)) << result.err;
    EXPECT_EQ(get(url), 403);
    if (s_server->servesIpv6()) {
        EXPECT_TRUE(contains(result.err, "127.0.0.1 and ::1)")) << result.err;
        EXPECT_EQ(s_server->get6(url), 403);
    }
    EXPECT_TRUE(contains(ctl({"show", "refuses-me"}).out, "Warning: " + warning));

    // Either a password or the address: this computer is asked for a password.
    result = ctl({"mode", "refuses-me", "either"});
    EXPECT_FALSE(contains(result.err, warning)) << result.err;
    EXPECT_EQ(get(url), 401);
    // Both are needed: refused before any password is asked.
    result = ctl({"mode", "refuses-me", "both"});
    EXPECT_TRUE(contains(result.err, warning)) << result.err;
    EXPECT_EQ(get(url, kAlice), 403);

    // This computer on the allow list: no warning, and it gets in.
    ctl({"mode", "refuses-me", "address"});
    result = ctl({"address", "refuses-me", "--add", "127.0.0.1"});
    EXPECT_FALSE(contains(result.err, warning)) << result.err;
    EXPECT_EQ(get(url), 200);
    // Denying it instead warns again (deny mode has a list of its own).
    result = ctl({"address", "refuses-me", "--deny"});
    EXPECT_FALSE(contains(result.err, warning)) << "nobody denied yet\n" << result.err;
    EXPECT_EQ(get(url), 200);
    result = ctl({"address", "refuses-me", "--add", "127.0.0.1"});
    EXPECT_TRUE(contains(result.err, warning)) << result.err;
    EXPECT_EQ(get(url), 403);

    // A folder below, with no file of its own, inherits the refusal.
    s_env->makeFolder("refuses-me/below");
    EXPECT_TRUE(contains(ctl({"show", "refuses-me/below"}).out, "Warning: " + warning));
    EXPECT_EQ(get("/refuses-me/below/index.html"), 403);
}

TEST_F(ApacheProof, VerifyAsksTheRunningServer) {
    folder("checked");
    CTL_OK(env(), {"mode", "checked", "password"});
    CTL_OK(env(), {"require", "checked", "--user", "alice"});
    const std::string base = "http://127.0.0.1:" + std::to_string(s_server->port()) + "/";
    const std::string log = s_server->errorLog().string();
    auto result = env().run({"verify", "checked", "--user", "alice", "--url", base, "--error-log", log},
                            kAlice.password + "\n");
    EXPECT_EQ(result.exitCode, 0) << ctl_test::describe(result);
    EXPECT_TRUE(contains(result.out, "From 127.0.0.1 without a password: 401 asked for a password"))
        << result.out;
    // Past the access rules the private server has no index page to give:
    // any answer but 401, 403 and 500 counts as allowed.
    EXPECT_TRUE(contains(result.out, "From 127.0.0.1 as alice: 404 allowed (as predicted: allowed as alice)"))
        << result.out;
    if (s_server->servesIpv6()) {
        EXPECT_TRUE(contains(result.out, "From ::1 as alice: 404 allowed")) << result.out;
    }
    EXPECT_TRUE(contains(result.out, "The server agrees with the effective access.")) << result.out;

    // A wrong password is refused as predicted, and the log says why.
    result = env().run({"verify", "checked", "--user", "alice", "--url", base, "--error-log", log},
                       kAliceWrong.password + "\n");
    EXPECT_EQ(result.exitCode, 0) << ctl_test::describe(result);
    EXPECT_TRUE(contains(result.out, "From 127.0.0.1 as alice: 401 asked for a password")) << result.out;
    EXPECT_TRUE(contains(result.out, "AH01617")) << "password mismatch, from the error log\n" << result.out;
}

TEST_F(ApacheProof, VerifyReportsAServerThatIsNotRunning) {
    const int port = apache_harness::freeLoopbackPort();
    const auto result =
        env().run({"verify", "open", "--url", "http://127.0.0.1:" + std::to_string(port) + "/"});
    EXPECT_EQ(result.exitCode, 3) << ctl_test::describe(result);
    EXPECT_TRUE(contains(result.out, "The server cannot be reached")) << result.out;
}

TEST_F(ApacheProof, VerifyReportsWhatThePredictionMissed) {
    // The server serves this tree; the prediction is made from a copy whose
    // folder has no access file, as if the file had changed behind its back.
    folder("mirrored");
    CTL_OK(env(), {"mode", "mirrored", "address"});
    CTL_OK(env(), {"address", "mirrored", "--deny", "--add", "127.0.0.1"});
    ASSERT_EQ(get("/mirrored/index.html"), 403);
    CtlEnvironment copy;
    copy.makeFolder("mirrored");
    const auto result = verifyFromCopy(copy, "mirrored");
    EXPECT_EQ(result.exitCode, 4) << ctl_test::describe(result);
    EXPECT_TRUE(contains(result.out, "From 127.0.0.1 without a password: 403 refused (predicted 200"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "does not do what the effective access predicts")) << result.out;
}

TEST_F(ApacheProof, VerifySaysWhenTheServerSeemsNotToReadTheAccessFiles) {
    // The model reads a protected folder; the server serves it without the
    // file, as when its configuration says "AllowOverride None".
    folder("ignored");
    CtlEnvironment copy;
    copy.makeFolder("ignored");
    CTL_OK(copy, {"mode", "ignored", "password"});
    const auto result = verifyFromCopy(copy, "ignored");
    EXPECT_EQ(result.exitCode, 4) << ctl_test::describe(result);
    EXPECT_TRUE(contains(result.out, "From 127.0.0.1 without a password: 404 allowed (predicted 401"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "\"AllowOverride None\" ignores .htaccess files")) << result.out;
}

} // namespace
