// portholdctl as a building block for configuration tools: --json answers,
// changing commands that change nothing when their result already holds,
// --check that writes nothing, --diff, and the declarative apply.

#include "ctl/CtlFixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

#include <map>

namespace {

using namespace ctl_test; // its fixture, file helpers and `fs`

/// The one JSON document a --json run prints; a failed test when it is not one.
QJsonObject document(const ctl_runner::Result &result) {
    QJsonParseError error{};
    const QJsonDocument parsed = QJsonDocument::fromJson(QByteArray::fromStdString(result.out), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << describe(result);
    EXPECT_TRUE(parsed.isObject()) << describe(result);
    return parsed.object();
}

std::vector<std::string> strings(const QJsonValue &value) {
    std::vector<std::string> list;
    for (const QJsonValue &item : value.toArray())
        list.push_back(item.toString().toStdString());
    return list;
}

/// Every file of the web root and the settings.
std::map<std::string, std::string> snapshot(const CtlEnvironment &env) {
    return ctl_test::snapshot({env.root(), env.config()});
}

/// An access file without its generation date, which changes on every write.
std::string withoutDate(std::string text) {
    const size_t on = text.find("\n## on ");
    if (on != std::string::npos)
        text.erase(on, text.find('\n', on + 1) - on);
    return text;
}

class PortholdctlJson : public ::testing::Test {
protected:
    void SetUp() override {
        env.makeFolder("private");
        env.makeFolder("office");
    }

    ctl_runner::Result json(std::vector<std::string> arguments, const std::string &input = {}) {
        arguments.insert(arguments.begin(), "--json");
        return env.run(arguments, input);
    }

    CtlEnvironment env;
};

TEST_F(PortholdctlJson, EveryChangingCommandChangesNothingTheSecondTime) {
    struct Step {
        std::vector<std::string> arguments;
        std::string input;
    };
    // In order: each acts on what the steps before left.
    const std::vector<Step> steps{
        {{"user", "add", "alice"}, "wonder\n"},
        {{"user", "add", "bob"}, "builder\n"},
        {{"user", "passwd", "alice"}, "land\n"},
        {{"user", "add", "alice", "--update-password"}, "again\n"},
        {{"user", "add", "alice", "--hash", "sha512", "--update-password"}, "again\n"},
        {{"group", "add", "staff", "--member", "alice"}, ""},
        {{"group", "add", "staff", "--member", "bob"}, ""},
        {{"group", "add", "staff", "--member", "bob", "--exact"}, ""},
        {{"group", "add-member", "staff", "alice"}, ""},
        {{"group", "remove-member", "staff", "bob"}, ""},
        {{"mode", "private", "password"}, ""},
        {{"require", "private", "--group", "staff"}, ""},
        {{"require", "private", "--user", "alice", "bob"}, ""},
        {{"unrequire", "private", "--user", "bob"}, ""},
        {{"require", "private", "--any-user"}, ""},
        {{"mode", "office", "address"}, ""},
        {{"address", "office", "--deny", "--add", "10.0.0.0/8"}, ""},
        {{"address", "office", "--remove", "10.0.0.0/8"}, ""},
        {{"apply", "private", "--mode", "both", "--users", "alice", "--allow", "192.168.0.0/16"}, ""},
        {{"apply", "private", "--mode", "password", "--users", "", "--groups", "staff", "--exact"}, ""},
        {{"apply", "office", "--mode", "none"}, ""},
        {{"clear", "office"}, ""},
        {{"group", "del", "staff"}, ""},
        {{"user", "del", "bob"}, ""},
    };
    for (const Step &step : steps) {
        std::string line;
        for (const auto &a : step.arguments)
            line += a + " ";
        const auto first = json(step.arguments, step.input);
        ASSERT_EQ(first.exitCode, 0) << line << describe(first);
        const QJsonObject firstAnswer = document(first);
        EXPECT_TRUE(firstAnswer.value("changed").toBool()) << line << describe(first);
        EXPECT_FALSE(firstAnswer.value("files").toArray().isEmpty()) << line << describe(first);

        const auto before = snapshot(env);
        const auto second = json(step.arguments, step.input);
        ASSERT_EQ(second.exitCode, 0) << line << describe(second);
        const QJsonObject secondAnswer = document(second);
        EXPECT_FALSE(secondAnswer.value("changed").toBool()) << line << describe(second);
        EXPECT_TRUE(secondAnswer.value("files").toArray().isEmpty()) << line << describe(second);
        EXPECT_EQ(snapshot(env), before) << line << ": the second run rewrote a file";
    }
}

TEST_F(PortholdctlJson, CheckWritesNothingAndForeseesTheRealRun) {
    CTL_OK(env, {"user", "add", "alice"}, "wonder\n");
    CTL_OK(env, {"group", "add", "staff", "--member", "alice"});
    const std::vector<std::vector<std::string>> commands{
        {"apply", "private", "--mode", "either", "--users", "alice", "--groups", "staff", "--allow",
         "10.1.0.0/16"},
        {"group", "del", "staff"},
        {"user", "del", "alice"},
    };
    for (const auto &arguments : commands) {
        std::vector<std::string> checked{"--check", "--diff"};
        checked.insert(checked.end(), arguments.begin(), arguments.end());
        const auto before = snapshot(env);
        const auto check = json(checked);
        ASSERT_EQ(check.exitCode, 0) << arguments[0] << describe(check);
        const QJsonObject foreseen = document(check);
        EXPECT_TRUE(foreseen.value("changed").toBool()) << describe(check);
        EXPECT_TRUE(foreseen.value("check").toBool());
        EXPECT_EQ(snapshot(env), before) << arguments[0] << ": --check wrote";

        const auto real = json(arguments);
        ASSERT_EQ(real.exitCode, 0) << describe(real);
        EXPECT_EQ(strings(document(real).value("files")), strings(foreseen.value("files"))) << describe(real);
        // Each diff's "after" is what the real run wrote (less the date).
        for (const QJsonValue &entry : foreseen.value("diff").toArray()) {
            const std::string path = entry["path"].toString().toStdString();
            const std::string after = entry["after"].toString().toStdString();
            if (path == (env.root() / ".htusers").string() || entry["state"].toString() == "removed")
                continue;
            EXPECT_EQ(withoutDate(after), withoutDate(readFile(path))) << path;
        }
    }
    // The deletions took the group and the user out of the folder.
    const std::string access = readFile(env.root() / "private" / ".htaccess");
    EXPECT_FALSE(contains(access, "staff")) << access;
    EXPECT_FALSE(contains(access, "alice")) << access;
    EXPECT_TRUE(contains(access, "Allow from 10.1.0.0/16")) << access;
}

TEST_F(PortholdctlJson, ReadingCommandsAnswerWithStableFields) {
    CTL_OK(env, {"user", "add", "alice"}, "wonder\n");
    writeFile(env.root() / ".htusers", readFile(env.root() / ".htusers") + "old:AAAAAAAAAAAAA\n");
    CTL_OK(env, {"group", "add", "staff", "--member", "alice", "old"});
    CTL_OK(env, {"apply", "private", "--mode", "both", "--groups", "staff", "--deny", "10.9.9.9"});

    // Global options stand before or after the command.
    const QJsonObject tree = document(env.run({"tree", "--json"}));
    EXPECT_EQ(tree.value("root").toString().toStdString(), env.root().string());
    std::map<std::string, std::string> modes;
    for (const QJsonValue &folder : tree.value("folders").toArray())
        modes[folder["folder"].toString().toStdString()] = folder["mode"].toString().toStdString();
    EXPECT_EQ(modes,
              (std::map<std::string, std::string>{{".", "none"}, {"office", "none"}, {"private", "both"}}));

    const QJsonObject show = document(json({"show", "./private/"}));
    EXPECT_EQ(show.value("folder").toString(), "private");
    EXPECT_EQ(show.value("mode").toString(), "both");
    EXPECT_EQ(show.value("address_mode").toString(), "deny");
    EXPECT_EQ(strings(show.value("groups")), std::vector<std::string>{"staff"});
    EXPECT_EQ(strings(show.value("addresses")), std::vector<std::string>{"10.9.9.9"});
    EXPECT_FALSE(show.value("any_valid_user").toBool());
    EXPECT_FALSE(show.value("hand_managed").toBool());
    EXPECT_TRUE(contains(show.value("text").toString().toStdString(), "Require group staff"));

    const QJsonObject users = document(json({"user", "list"}));
    ASSERT_EQ(users.value("users").toArray().size(), 2);
    EXPECT_EQ(users.value("users")[0]["name"].toString(), "alice");
    EXPECT_EQ(users.value("users")[0]["hash"].toString(), "bcrypt");
    EXPECT_TRUE(users.value("users")[1]["weak"].toBool()) << "a DES hash is weak";

    const QJsonObject groups = document(json({"group", "list"}));
    EXPECT_EQ(groups.value("groups")[0]["name"].toString(), "staff");
    EXPECT_EQ(strings(groups.value("groups")[0]["members"]), (std::vector<std::string>{"alice", "old"}));

    // A refusal is a document too, with the exit status it had.
    const auto audit = json({"user", "audit"});
    EXPECT_EQ(audit.exitCode, 2);
    EXPECT_EQ(document(audit).value("weak")[0]["name"].toString(), "old") << describe(audit);
    EXPECT_EQ(document(audit).value("exit").toInt(), 2);
    const auto wrong = json({"user", "check", "alice"}, "land\n");
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_TRUE(contains(document(wrong).value("error").toString().toStdString(), "does not match"));
    EXPECT_TRUE(document(json({"user", "check", "alice"}, "wonder\n")).value("matches").toBool());
    const auto missing = json({"show", "nowhere"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(document(missing).value("exit").toInt(), 2);
    const auto usage = json({"frobnicate"});
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_TRUE(contains(document(usage).value("error").toString().toStdString(), "frobnicate"));
    EXPECT_TRUE(contains(usage.err, "portholdctl: unknown command \"frobnicate\"\nTry 'portholdctl --help'"))
        << "the reason and the hint stay on standard error";
}

TEST_F(PortholdctlJson, AModeThatIsNotWhatTheServerDoesCarriesANote) {
    CTL_OK(env, {"user", "add", "alice"}, "wonder\n");
    env.makeFolder("open");
    env.makeFolder("refused");
    env.makeFolder("unknown");
    const std::string users = (env.root() / ".htusers").string();
    // A password mode that Satisfy any with no address rule opens to all.
    writeFile(env.root() / "open" / ".htaccess", "AuthType Basic\nAuthName \"x\"\nAuthUserFile \"" + users +
                                                     "\"\nRequire user alice\nSatisfy any\n");
    writeFile(env.root() / "refused" / ".htaccess", "Require all granted please\n");
    writeFile(env.root() / "unknown" / ".htaccess", "Require env PORTHOLD_SOMETHING\n");
    std::map<std::string, QJsonValue> notes;
    for (const QJsonValue &folder : document(json({"tree"})).value("folders").toArray())
        notes[folder["folder"].toString().toStdString()] = folder["note"];
    EXPECT_TRUE(notes.at("private").isNull());
    EXPECT_TRUE(notes.at("open").toString().startsWith("open to everyone"))
        << notes.at("open").toString().toStdString();
    EXPECT_TRUE(notes.at("refused").toString().startsWith("refused by the server (500)"));
    EXPECT_EQ(notes.at("unknown").toString(), "cannot tell here: use Check Access");
    EXPECT_EQ(document(json({"show", "open"})).value("note"), notes.at("open"));

    const auto text = env.run({"tree"});
    EXPECT_TRUE(contains(text.out, "open\tPassword\t[open to everyone")) << text.out;
    EXPECT_TRUE(contains(text.out, "unknown\tNone\t[hand-managed]\t[cannot tell here: use Check Access]"))
        << text.out;
    EXPECT_TRUE(contains(env.run({"show", "open"}).out,
                         "Note: the mode shown is not what the server does: open to everyone"));
}

TEST_F(PortholdctlJson, PasswordsOfExistingUsersChangeOnlyWhenAsked) {
    CTL_OK(env, {"user", "add", "alice"}, "wonder\n");
    const std::string users = readFile(env.root() / ".htusers");

    // Another password for an existing user is refused as before...
    const auto refused = json({"user", "add", "alice"}, "other\n");
    EXPECT_EQ(refused.exitCode, 2) << describe(refused);
    EXPECT_TRUE(contains(refused.err, "Please choose a unique username"));
    // ...kept with --keep-password...
    const auto kept = json({"user", "add", "alice", "--keep-password"}, "other\n");
    EXPECT_EQ(kept.exitCode, 0) << describe(kept);
    EXPECT_FALSE(document(kept).value("changed").toBool());
    EXPECT_EQ(readFile(env.root() / ".htusers"), users);

    // ...and taken with --update-password; the diff shows no hash.
    const auto updated = json({"--diff", "user", "add", "alice", "--update-password"}, "other\n");
    EXPECT_EQ(updated.exitCode, 0) << describe(updated);
    const QJsonObject answer = document(updated);
    EXPECT_TRUE(answer.value("changed").toBool());
    const std::string before = answer.value("diff")[0]["before"].toString().toStdString();
    const std::string after = answer.value("diff")[0]["after"].toString().toStdString();
    EXPECT_TRUE(contains(before, "alice:[hash ")) << before;
    EXPECT_NE(before, after) << "a new password shows as a change";
    EXPECT_FALSE(contains(updated.out, "$2")) << "no bcrypt hash in the answer: " << updated.out;
    EXPECT_EQ(json({"user", "check", "alice"}, "other\n").exitCode, 0);

    // A matching password stored another way than asked is stored again.
    const auto des = json({"user", "passwd", "alice", "--hash", "des"}, "other\n");
    EXPECT_TRUE(document(des).value("changed").toBool()) << describe(des);
    EXPECT_EQ(document(json({"user", "list"})).value("users")[0]["hash"].toString(), "DES crypt");
    EXPECT_FALSE(
        document(json({"user", "passwd", "alice", "--hash", "des"}, "other\n")).value("changed").toBool());
}

TEST_F(PortholdctlJson, TextModeShowsDiffsAndWhatACheckWouldDo) {
    CTL_OK(env, {"mode", "office", "address"});
    const std::string before = readFile(env.root() / "office" / ".htaccess");
    const auto check = env.run({"--check", "--diff", "address", "office", "--deny", "--add", "10.0.0.0/8"});
    ASSERT_EQ(check.exitCode, 0) << describe(check);
    const std::string office = (env.root() / "office" / ".htaccess").string();
    EXPECT_TRUE(contains(check.out, "--- " + office + "\n+++ " + office + "\n@@ ")) << check.out;
    EXPECT_TRUE(contains(check.out, "\n-Deny from all\n")) << check.out;
    EXPECT_TRUE(contains(check.out, "\n+Deny from 10.0.0.0/8\n")) << check.out;
    EXPECT_TRUE(contains(check.out, "Would write " + office + "\n")) << check.out;
    EXPECT_EQ(readFile(env.root() / "office" / ".htaccess"), before);

    const auto nothing = env.run({"--check", "mode", "office", "address"});
    EXPECT_EQ(nothing.out, "Nothing would change\n") << describe(nothing);
    // Without --check or --diff the text answers are what they were.
    const auto plain = env.run({"mode", "private", "password"});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.out, "");
}

TEST_F(PortholdctlJson, ApplyRefusesWhatTheFolderWouldNotUse) {
    CTL_OK(env, {"user", "add", "alice"}, "wonder\n");
    CTL_OK(env, {"mode", "office", "address"});
    const std::string office = readFile(env.root() / "office" / ".htaccess");
    struct Case {
        std::vector<std::string> arguments;
        int exit;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"apply", "office", "--users", "alice"}, 2, "would not be protected by password"},
        {{"apply", "private", "--allow", "10.0.0.1"}, 2, "would not be protected by address"},
        {{"apply", "office", "--mode", "either", "--users", "nobody"}, 2, "No user \"nobody\""},
        {{"apply", "office", "--mode", "either", "--groups", "nobody"}, 2, "No group \"nobody\""},
        {{"apply", "office", "--deny", "bad address"}, 2, ""},
        {{"apply", "office", "--any-user", "--users", "alice"}, 1, "exclude each other"},
        {{"apply", "office", "--allow", "a", "--deny", "b"}, 1, "given twice"},
        {{"apply", "office", "--mode", "sometimes"}, 1, "unknown mode"},
    };
    for (const Case &c : cases) {
        const auto result = json(c.arguments);
        EXPECT_EQ(result.exitCode, c.exit) << c.arguments[2] << describe(result);
        EXPECT_TRUE(contains(result.err, c.message)) << describe(result);
        EXPECT_EQ(document(result).value("exit").toInt(), c.exit);
    }
    EXPECT_EQ(readFile(env.root() / "office" / ".htaccess"), office) << "a refused apply writes nothing";
    EXPECT_FALSE(fs::exists(env.root() / "private" / ".htaccess"));

    // Without --exact lists grow; with it they become what is listed.
    CTL_OK(env, {"apply", "office", "--allow", "10.0.0.1,10.0.0.2"});
    CTL_OK(env, {"apply", "office", "--allow", "10.0.0.3"});
    EXPECT_EQ(strings(document(json({"show", "office"})).value("addresses")),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    CTL_OK(env, {"apply", "office", "--allow", "10.0.0.2", "--exact"});
    EXPECT_EQ(strings(document(json({"show", "office"})).value("addresses")),
              std::vector<std::string>{"10.0.0.2"});

    // A hand-managed file is refused, as by every other edit.
    writeFile(env.root() / "private" / ".htaccess", "<Files x>\nRequire all denied\n</Files>\n");
    const auto hand = json({"apply", "private", "--mode", "password"});
    EXPECT_EQ(hand.exitCode, 2) << describe(hand);
    EXPECT_EQ(readFile(env.root() / "private" / ".htaccess"), "<Files x>\nRequire all denied\n</Files>\n");
}

TEST_F(PortholdctlJson, ApplyLeavesWhatItIsNotGiven) {
    // An address mode alone once sent an empty list along, and --exact then
    // emptied the folder's addresses: allowed only from 10.0.0.0/8, it was
    // open to everyone. The mode switches; the list stays.
    CTL_OK(env, {"apply", "office", "--mode", "address", "--allow", "10.0.0.0/8,10.1.0.0/16"});
    CTL_OK(env, {"apply", "office", "--address-mode", "deny", "--exact"});
    QJsonObject office = document(json({"show", "office"}));
    EXPECT_EQ(office.value("address_mode").toString(), "deny");
    EXPECT_EQ(strings(office.value("addresses")), (std::vector<std::string>{"10.0.0.0/8", "10.1.0.0/16"}));
    EXPECT_NE(readFile(env.root() / "office" / ".htaccess").find("\nDeny from 10.0.0.0/8 10.1.0.0/16\n"),
              std::string::npos)
        << readFile(env.root() / "office" / ".htaccess");

    // A list alone keeps the mode (deny); --exact replaces only that list.
    CTL_OK(env, {"apply", "office", "--addresses", "10.2.0.0/16", "--exact"});
    office = document(json({"show", "office"}));
    EXPECT_EQ(office.value("address_mode").toString(), "deny");
    EXPECT_EQ(strings(office.value("addresses")), std::vector<std::string>{"10.2.0.0/16"});

    // Users given with --exact leave the groups and the addresses alone.
    CTL_OK(env, {"user", "add", "alice"}, "wonder\n");
    CTL_OK(env, {"user", "add", "bob"}, "builder\n");
    CTL_OK(env, {"group", "add", "staff", "--member", "bob"});
    CTL_OK(env, {"apply", "office", "--mode", "both", "--users", "bob", "--groups", "staff"});
    CTL_OK(env, {"apply", "office", "--users", "alice", "--exact"});
    office = document(json({"show", "office"}));
    EXPECT_EQ(office.value("mode").toString(), "both");
    EXPECT_EQ(strings(office.value("users")), std::vector<std::string>{"alice"});
    EXPECT_EQ(strings(office.value("groups")), std::vector<std::string>{"staff"});
    EXPECT_EQ(strings(office.value("addresses")), std::vector<std::string>{"10.2.0.0/16"});

    // Nothing given but the mode word it already has: nothing written.
    const auto before = snapshot(env);
    const auto same = json({"apply", "office", "--address-mode", "deny", "--exact"});
    EXPECT_FALSE(document(same).value("changed").toBool()) << describe(same);
    EXPECT_EQ(snapshot(env), before);

    // A list given for a folder without an address check yet lets only it in.
    CTL_OK(env, {"apply", "private", "--mode", "address", "--addresses", "10.3.0.0/16"});
    EXPECT_EQ(document(json({"show", "private"})).value("address_mode").toString(), "allow");
    const auto twice = json({"apply", "office", "--deny", "10.0.0.1", "--address-mode", "allow"});
    EXPECT_EQ(twice.exitCode, 1) << describe(twice);
    EXPECT_TRUE(contains(twice.err, "given twice")) << describe(twice);
}

TEST_F(PortholdctlJson, FileAttributesHoldForAFileThatNeedsNoOtherChange) {
    CTL_OK(env, {"mode", "private", "password"});
    const fs::path access = env.root() / "private" / ".htaccess";
    ::chmod(access.c_str(), 0600);
    const auto before = snapshot(env);
    const auto check = json({"--mode", "0640", "--check", "mode", "private", "password"});
    EXPECT_TRUE(document(check).value("changed").toBool()) << describe(check);
    EXPECT_EQ(strings(document(check).value("files")), std::vector<std::string>{access.string()});
    struct stat info {};
    ASSERT_EQ(::stat(access.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u) << "--check changes no mode";
    const auto run = json({"--mode", "0640", "mode", "private", "password"});
    EXPECT_TRUE(document(run).value("changed").toBool()) << describe(run);
    ASSERT_EQ(::stat(access.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(snapshot(env), before) << "the bytes stay";
    EXPECT_FALSE(document(json({"--mode", "0640", "mode", "private", "password"})).value("changed").toBool());

    // A link in the file's place is never followed to what it points at.
    const fs::path outside = env.config() / "outside";
    writeFile(outside, "not Porthold's\n");
    ::chmod(outside.c_str(), 0600);
    fs::remove(access);
    fs::create_symlink(outside, access);
    const auto linked = json({"--mode", "0644", "mode", "private", "password"});
    EXPECT_NE(linked.exitCode, 0) << describe(linked);
    ASSERT_EQ(::stat(outside.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(PortholdctlJson, CheckTakesNamesNotYetMadeOnTrust) {
    // A dry run of one step may name what an earlier step would make.
    const auto before = snapshot(env);
    const auto group = json({"--check", "group", "add", "staff", "--member", "alice"});
    EXPECT_EQ(group.exitCode, 0) << describe(group);
    QJsonObject answer = document(group);
    EXPECT_TRUE(answer.value("changed").toBool());
    EXPECT_EQ(strings(answer.value("unknown_users")), std::vector<std::string>{"alice"});
    EXPECT_EQ(strings(answer.value("members")), std::vector<std::string>{"alice"});
    EXPECT_TRUE(contains(group.err, "No user \"alice\" yet")) << describe(group);

    const auto folder =
        json({"--check", "apply", "private", "--mode", "password", "--users", "bob", "--groups", "staff"});
    EXPECT_EQ(folder.exitCode, 0) << describe(folder);
    answer = document(folder);
    EXPECT_TRUE(answer.value("changed").toBool());
    EXPECT_EQ(strings(answer.value("unknown_users")), std::vector<std::string>{"bob"});
    EXPECT_EQ(strings(answer.value("unknown_groups")), std::vector<std::string>{"staff"});
    EXPECT_EQ(snapshot(env), before) << "--check writes nothing";

    // Without --check the same names are refused, and names the server would
    // misread are refused even in a dry run.
    EXPECT_EQ(json({"group", "add", "staff", "--member", "alice"}).exitCode, 2);
    EXPECT_EQ(json({"apply", "private", "--mode", "password", "--users", "bob"}).exitCode, 2);
    EXPECT_EQ(json({"--check", "apply", "private", "--mode", "password", "--users", "a b"}).exitCode, 2);
    EXPECT_EQ(snapshot(env), before);
}

TEST_F(PortholdctlJson, ExactTakesOutNamesThatAreNoUsersAndShowTellsOfThem) {
    CTL_OK(env, {"user", "add", "alice"}, "wonder\n");
    CTL_OK(env, {"group", "add", "staff", "--member", "alice"});
    CTL_OK(env, {"apply", "private", "--mode", "password", "--users", "alice", "--groups", "staff"});
    // Added by hand: names the user and group files do not know (yet).
    const fs::path access = env.root() / "private" / ".htaccess";
    std::string text = readFile(access);
    text.replace(text.find("Require user alice\n"), 19, "Require user alice mallory\n");
    text.replace(text.find("Require group staff\n"), 20, "Require group staff ghosts\n");
    writeFile(access, text);
    std::string groups = readFile(env.root() / ".htgroups");
    groups.replace(groups.find("staff: alice"), 12, "staff: alice mallory");
    writeFile(env.root() / ".htgroups", groups);

    QJsonObject shown = document(json({"show", "private"}));
    EXPECT_EQ(strings(shown.value("users")), std::vector<std::string>{"alice"});
    EXPECT_EQ(strings(shown.value("unknown_users")), std::vector<std::string>{"mallory"});
    EXPECT_EQ(strings(shown.value("unknown_groups")), std::vector<std::string>{"ghosts"});
    EXPECT_TRUE(contains(env.run({"show", "private"}).out, "(unknown): mallory\n"));
    const QJsonArray listed = document(json({"group", "list"})).value("groups").toArray();
    ASSERT_EQ(listed.size(), 1);
    EXPECT_EQ(strings(listed.at(0).toObject().value("unknown_members")), std::vector<std::string>{"mallory"});
    EXPECT_EQ(env.run({"group", "list"}).out, "staff: alice (unknown: mallory)\n");

    // Without --exact nothing is taken out and nothing written; with it the
    // file once stayed as it was, reporting no change.
    EXPECT_FALSE(document(json({"apply", "private", "--users", "alice"})).value("changed").toBool());
    const auto exact = json({"apply", "private", "--users", "alice", "--exact"});
    EXPECT_TRUE(document(exact).value("changed").toBool()) << describe(exact);
    EXPECT_FALSE(contains(readFile(access), "mallory"));
    EXPECT_TRUE(strings(document(exact).value("folder").toObject().value("unknown_users")).empty());
    EXPECT_FALSE(
        document(json({"apply", "private", "--users", "alice", "--exact"})).value("changed").toBool());

    const auto members = json({"group", "add", "staff", "--member", "alice", "--exact"});
    EXPECT_TRUE(document(members).value("changed").toBool()) << describe(members);
    EXPECT_FALSE(contains(readFile(env.root() / ".htgroups"), "mallory"));

    // mallory, made now, is let in nowhere.
    CTL_OK(env, {"user", "add", "mallory"}, "evil\n");
    const std::string reason = apache_harness::unavailableReason();
    if (!reason.empty())
        GTEST_SKIP() << "no private Apache: " << reason;
    apache_harness::ApacheServer server(env.root());
    EXPECT_NE(apache_harness::httpStatus(server.port(), "/private/", {"alice", "wonder"}), 401);
    EXPECT_EQ(apache_harness::httpStatus(server.port(), "/private/", {"mallory", "evil"}), 401);
}

TEST_F(PortholdctlJson, SmallThingsAnOperatorMeets) {
    // A new password once moved its user to the end of the file.
    for (const char *name : {"alice", "bob", "carol"})
        CTL_OK(env, {"user", "add", name}, std::string("pw-") + name + "\n");
    CTL_OK(env, {"group", "add", "staff", "--member", "alice"});
    CTL_OK(env, {"user", "add", "alice", "--update-password"}, "a new one\n");
    const std::string users = readFile(env.root() / ".htusers");
    EXPECT_LT(users.find("alice:"), users.find("bob:")) << users;
    EXPECT_EQ(env.run({"user", "check", "alice"}, "a new one\n").exitCode, 0);
    EXPECT_EQ(readFile(env.root() / ".htgroups"), "staff: alice \n") << "alice keeps her group";

    // --check names the access file it would create.
    const auto check = json({"--check", "apply", "private", "--mode", "password", "--users", "bob"});
    EXPECT_EQ(document(check).value("folder").toObject().value("access_file").toString().toStdString(),
              (env.root() / "private" / ".htaccess").string())
        << describe(check);
    EXPECT_FALSE(fs::exists(env.root() / "private" / ".htaccess"));

    // "private/sub/.." is private; above the web root stays refused.
    env.makeFolder("private/sub");
    const auto dotted = json({"apply", "private/sub/..", "--mode", "password", "--users", "bob"});
    EXPECT_EQ(dotted.exitCode, 0) << describe(dotted);
    EXPECT_EQ(document(dotted).value("folder").toObject().value("folder").toString(), "private");
    EXPECT_TRUE(fs::exists(env.root() / "private" / ".htaccess"));
    EXPECT_FALSE(fs::exists(env.root() / "private" / "sub" / ".htaccess"));
    const auto above = json({"apply", "private/../..", "--mode", "password"});
    EXPECT_EQ(above.exitCode, 2) << describe(above);
    EXPECT_TRUE(contains(above.err, "not below the web root")) << describe(above);
}

TEST_F(PortholdctlJson, VerifyAnswersWithWhatTheServerSaid) {
    const std::string reason = apache_harness::unavailableReason();
    if (!reason.empty())
        GTEST_SKIP() << "no private Apache: " << reason;
    apache_harness::ApacheServer server(env.root());
    CTL_OK(env, {"user", "add", "alice"}, "wonder\n");
    CTL_OK(env, {"apply", "private", "--mode", "password", "--users", "alice"});
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
    const auto result = json({"verify", "./private", "--user", "alice", "--url", base}, "wonder\n");
    ASSERT_EQ(result.exitCode, 0) << describe(result);
    const QJsonObject answer = document(result);
    EXPECT_EQ(answer.value("folder").toString(), "private");
    EXPECT_TRUE(answer.value("reachable").toBool()) << describe(result);
    EXPECT_TRUE(answer.value("agrees").toBool()) << describe(result);
    bool nobody = false;
    bool alice = false;
    for (const QJsonValue &probe : answer.value("probes").toArray()) {
        if (probe["client"].toString() != "127.0.0.1")
            continue;
        if (probe["user"].isNull()) {
            nobody = true;
            EXPECT_EQ(probe["answered"].toInt(), 401) << describe(result);
        } else {
            alice = true;
            EXPECT_EQ(probe["user"].toString(), "alice");
            // Past the access rules the private server has no index page: any
            // answer but 401 and 403 lets her in.
            EXPECT_NE(probe["answered"].toInt(), 401) << describe(result);
            EXPECT_NE(probe["answered"].toInt(), 403) << describe(result);
        }
    }
    EXPECT_TRUE(nobody && alice) << describe(result);
    EXPECT_FALSE(contains(result.out, "wonder")) << "the password is no part of the answer";
}

} // namespace
