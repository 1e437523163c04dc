// portholdctl run as root over a web tree that others can write: planted
// links, writers at once (portholdctl and the panel's model together), the
// umask of whoever runs it, and names that look like options.

#include "ctl/CtlFixture.h"

#include "common/InChild.h"
#include "common/TestModelContext.h"
#include "model/PHGroupsModel.h"
#include "model/PHUserItem.h"
#include "model/PHUsersModel.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <set>
#include <thread>

namespace {

using ctl_test::contains;
using ctl_test::describe;
using ctl_test::readFile;
using ctl_test::writeFile;
namespace fs = std::filesystem;

const std::string kLinkRefusal = "is a symbolic link; Porthold does not write through links";

std::set<std::string> lineNames(const std::string &text, char separator) {
    std::set<std::string> names;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (const auto at = line.find(separator); at != std::string::npos && at > 0)
            names.insert(line.substr(0, at));
    return names;
}

std::set<std::string> membersOf(const std::string &groupFile, const std::string &group) {
    std::set<std::string> members;
    std::istringstream lines(groupFile);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(group + ":", 0) != 0)
            continue;
        std::istringstream words(line.substr(group.size() + 1));
        for (std::string word; words >> word;)
            members.insert(word);
    }
    return members;
}

mode_t modeOf(const fs::path &path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class HostileTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "portholdctl is run as root by configuration management; these cases need root";
        // What root must never write: a file in a folder only root may enter.
        vault = env.config() / "vault";
        fs::create_directories(vault);
        ::chmod(vault.c_str(), 0700);
        secret = vault / "shadow";
        writeFile(secret, kSecret);
        ::chmod(secret.c_str(), 0600);
    }

    /// Runs portholdctl and expects it refused the link, leaving everything as it was.
    void expectRefused(const std::vector<std::string> &arguments, const std::string &input = {}) {
        SCOPED_TRACE(arguments.back());
        const auto before = ctl_test::snapshot({env.root(), vault});
        const auto result = env.run(arguments, input);
        EXPECT_NE(result.exitCode, 0) << describe(result);
        EXPECT_TRUE(contains(result.err, kLinkRefusal)) << describe(result);
        EXPECT_EQ(ctl_test::snapshot({env.root(), vault}), before) << "nothing is written";
    }

    static inline const std::string kSecret = "root:$6$salt$hash:19000:0:99999:7:::\nbin:*:19000::::::\n";
    ctl_test::CtlEnvironment env;
    fs::path vault;
    fs::path secret;
};

TEST_F(HostileTreeTest, LinksAreNeverWrittenThroughOnAnyWritePath) {
    CTL_OK(env, {"user", "add", "alice", "--hash", "des"}, "wonder\n");
    CTL_OK(env, {"group", "add", "staff", "--member", "alice"});
    CTL_OK(env, {"mode", ".", "password"});
    fs::remove(env.root() / ".htusers");
    fs::create_symlink(secret, env.root() / ".htusers");
    expectRefused({"user", "passwd", "alice"}, "new\n");
    expectRefused({"user", "add", "alice", "--update-password"}, "new\n");
    expectRefused({"user", "add", "mallory"}, "new\n");
    EXPECT_EQ(readFile(secret), kSecret);

    fs::remove(env.root() / ".htusers");
    CTL_OK(env, {"user", "add", "bob", "--hash", "des"}, "builder\n");
    fs::remove(env.root() / ".htgroups");
    fs::create_symlink(secret, env.root() / ".htgroups");
    expectRefused({"group", "add", "admins", "--member", "bob"});
    expectRefused({"group", "add-member", "staff", "bob"});

    fs::remove(env.root() / ".htaccess");
    fs::create_symlink(secret, env.root() / ".htaccess");
    expectRefused({"mode", ".", "password"});
    expectRefused({"clear", "."});
    EXPECT_EQ(readFile(secret), kSecret);
}

TEST_F(HostileTreeTest, AFolderThatIsALinkIsListedWithItsTargetAndNeverWrittenOrCleared) {
    const fs::path other = env.config() / "othersite" / "admin";
    fs::create_directories(other);
    writeFile(other / ".htaccess", "Require user boss\n");
    fs::create_symlink(other, env.root() / "private");
    env.makeFolder("public");

    const auto tree = env.run({"tree"});
    ASSERT_EQ(tree.exitCode, 0) << describe(tree);
    EXPECT_TRUE(contains(tree.out, "private -> " + other.string())) << tree.out;
    const auto json = env.run({"--json", "tree"});
    EXPECT_TRUE(contains(json.out, "\"link\":\"" + other.string() + "\"")) << json.out;

    const auto before = ctl_test::snapshot({other.parent_path()});
    for (const auto &arguments :
         std::vector<std::vector<std::string>>{{"clear", "private"},
                                               {"mode", "private", "password"},
                                               {"apply", "private", "--mode", "address"}}) {
        const auto result = env.run(arguments);
        EXPECT_NE(result.exitCode, 0) << describe(result);
        EXPECT_TRUE(contains(result.err, (env.root() / "private").string() + " " + kLinkRefusal))
            << describe(result);
    }
    EXPECT_EQ(ctl_test::snapshot({other.parent_path()}), before);
    CTL_OK(env, {"mode", "public", "password"}); // folders that are no links are written as before
}

// The panel's model, in a process of its own, adding a user or a member as
// its sheet or outline would.
int panelAddsUser(const fs::path &root, const std::string &name) {
    int argc = 1;
    char program[] = "panel";
    char *argv[] = {program, nullptr};
    QCoreApplication application(argc, argv);
    TestModelContext context;
    context.webRoot = QString::fromStdString(root.string());
    PHUsersModel users(context.model());
    users.dataArray().append(
        PHUsersModel::userRecord(QString::fromStdString(name), QStringLiteral("xyHASHxyHASHx")));
    return users.writeUserfile() && context.errors.isEmpty() ? 0 : 1;
}

int panelAddsMember(const fs::path &root, const std::string &group, const std::string &member) {
    int argc = 1;
    char program[] = "panel";
    char *argv[] = {program, nullptr};
    QCoreApplication application(argc, argv);
    TestModelContext context;
    context.webRoot = QString::fromStdString(root.string());
    PHUsersModel users(context.model());
    context.users = users.userNames();
    PHGroupsModel groups(context.model(), context.users);
    for (const PHUserItem::Ptr &item : groups.rootArray())
        if (item->value() == QString::fromStdString(group)) {
            item->children().append(
                PHUserItem::itemWithValueParentChildren(QString::fromStdString(member), item, std::nullopt));
            return groups.writeGroupfile() && context.errors.isEmpty() ? 0 : 1;
        }
    return 2;
}

pid_t forkPanel(const std::function<int()> &body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(HostileTreeTest, WritersAtOnceKeepEveryChangeAndOnlyChangersSayChanged) {
    // Twenty portholdctl user adds at once.
    std::vector<std::future<ctl_runner::Result>> runs;
    for (int i = 0; i < 20; ++i)
        runs.push_back(std::async(std::launch::async, [this, i] {
            std::string name = "u";
            name += std::to_string(i); // not "u" + …: GCC 12 -O3 warns of a false overlap there
            return env.run({"--json", "user", "add", name, "--hash", "des"}, "pw\n");
        }));
    int changed = 0;
    for (auto &run : runs) {
        const auto result = run.get();
        EXPECT_EQ(result.exitCode, 0) << describe(result);
        changed += contains(result.out, "\"changed\":true") ? 1 : 0;
    }
    EXPECT_EQ(lineNames(readFile(env.root() / ".htusers"), ':').size(), 20u);
    EXPECT_EQ(changed, 20);

    // The same user ten times at once: one run adds it, the others find it there.
    runs.clear();
    for (int i = 0; i < 10; ++i)
        runs.push_back(std::async(std::launch::async, [this] {
            return env.run({"--json", "user", "add", "same", "--hash", "des"}, "pw\n");
        }));
    changed = 0;
    for (auto &run : runs) {
        const auto result = run.get();
        EXPECT_EQ(result.exitCode, 0) << describe(result);
        changed += contains(result.out, "\"changed\":true") ? 1 : 0;
    }
    EXPECT_EQ(changed, 1);

    // Twelve member adds, half through portholdctl, half through the panel's
    // model, and ten more users the same way.
    CTL_OK(env, {"group", "add", "team"});
    // The panel's processes are started first: forking while this process
    // runs threads of its own is best avoided.
    std::vector<pid_t> panels;
    for (int i = 1; i < 12; i += 2) {
        const std::string user = "u" + std::to_string(i);
        panels.push_back(forkPanel([this, user] { return panelAddsMember(env.root(), "team", user); }));
    }
    for (int i = 1; i < 10; i += 2) {
        const std::string user = "p" + std::to_string(i);
        panels.push_back(forkPanel([this, user] { return panelAddsUser(env.root(), user); }));
    }
    runs.clear();
    for (int i = 0; i < 12; i += 2) {
        const std::string user = "u" + std::to_string(i);
        runs.push_back(std::async(std::launch::async, [this, user] {
            return env.run({"group", "add-member", "team", user});
        }));
    }
    for (int i = 0; i < 10; i += 2) {
        const std::string user = "p" + std::to_string(i);
        runs.push_back(std::async(std::launch::async, [this, user] {
            return env.run({"user", "add", user, "--hash", "des"}, "pw\n");
        }));
    }
    for (auto &run : runs) {
        const auto result = run.get();
        EXPECT_EQ(result.exitCode, 0) << describe(result);
    }
    for (const pid_t pid : panels)
        EXPECT_EQ(waitFor(pid), 0);
    EXPECT_EQ(membersOf(readFile(env.root() / ".htgroups"), "team").size(), 12u)
        << readFile(env.root() / ".htgroups");
    EXPECT_EQ(lineNames(readFile(env.root() / ".htusers"), ':').size(), 31u);
}

TEST_F(HostileTreeTest, FilesAreServerReadableAndNotWorldWritableWhateverTheUmask) {
    for (const mode_t mask : {mode_t(077), mode_t(000)}) {
        SCOPED_TRACE(mask);
        for (const char *name : {".htaccess", ".htusers", ".htgroups"})
            fs::remove(env.root() / name);
        const mode_t previous = ::umask(mask);
        const auto user = env.run({"user", "add", "carol", "--hash", "des"}, "pw\n");
        const auto group = env.run({"group", "add", "g", "--member", "carol"});
        const auto mode = env.run({"mode", ".", "password"});
        ::umask(previous);
        ASSERT_EQ(user.exitCode, 0) << describe(user);
        ASSERT_EQ(group.exitCode, 0) << describe(group);
        ASSERT_EQ(mode.exitCode, 0) << describe(mode);
        for (const char *name : {".htaccess", ".htusers", ".htgroups"})
            EXPECT_EQ(modeOf(env.root() / name), 0644u) << name;
    }
    // An existing file keeps its mode; --owner, --group and --mode set it.
    ::chmod((env.root() / ".htusers").c_str(), 0604);
    CTL_OK(env, {"user", "add", "dave", "--hash", "des"}, "pw\n");
    EXPECT_EQ(modeOf(env.root() / ".htusers"), 0604u);
    const group *server = ::getgrnam("www-data");
    ASSERT_NE(server, nullptr);
    CTL_OK(
        env,
        {"--owner", "65534", "--group", "www-data", "--mode", "0640", "user", "add", "erin", "--hash", "des"},
        "pw\n");
    struct stat info {};
    ASSERT_EQ(::stat((env.root() / ".htusers").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, server->gr_gid);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    const auto worldWritable = env.run({"--mode", "0666", "user", "add", "frank"}, "pw\n");
    EXPECT_EQ(worldWritable.exitCode, 1) << describe(worldWritable);
}

TEST_F(HostileTreeTest, DoubleDashEndsTheOptionsAndOptionLikeNamesAreRefused) {
    CTL_OK(env, {"user", "add", "alice", "--hash", "des"}, "pw\n");
    CTL_OK(env, {"group", "add", "staff"});
    const auto before = ctl_test::snapshot({env.root()});

    // Without "--" an option-like member is taken as the option; after it, as
    // a name, which is refused.
    const auto check = env.run({"--json", "group", "add-member", "--", "staff", "--check"});
    EXPECT_EQ(check.exitCode, 2) << describe(check);
    EXPECT_TRUE(contains(check.err, "cannot begin with \"-\"")) << describe(check);
    EXPECT_FALSE(contains(check.out, "\"changed\":true")) << check.out;

    const fs::path elsewhere = env.config() / "x";
    const auto root = env.run({"group", "add", "--", "staff", "--member", "--root=" + elsewhere.string()});
    EXPECT_NE(root.exitCode, 0) << describe(root);
    EXPECT_FALSE(fs::exists(elsewhere / ".htgroups"));

    const auto help = env.run({"--json", "user", "add", "--", "-h"}, "pw\n");
    EXPECT_EQ(help.exitCode, 2) << describe(help);
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(help.out));
    ASSERT_TRUE(document.isObject()) << help.out;
    EXPECT_TRUE(document.object().value("error").toString().contains("cannot begin with \"-\"")) << help.out;
    EXPECT_EQ(ctl_test::snapshot({env.root()}), before);

    // A folder whose name begins with "-" is reached after "--".
    env.makeFolder("-odd");
    CTL_OK(env, {"mode", "--", "-odd", "password"});
    EXPECT_TRUE(fs::exists(env.root() / "-odd" / ".htaccess"));
}

} // namespace
