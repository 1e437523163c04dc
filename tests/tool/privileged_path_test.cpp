// The root helper under attack by the user who asks for it: starts without
// pkexec, folders swapped while a file is replaced, links to set-user-ID
// programs, and resource limits meant to cut a write short.

#include "common/PrivilegedTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>

using namespace privileged_test;

namespace {

constexpr int kUnsafeFolder = 11;
const std::string kManagedFiles = SENTREL_ATTACK_MANAGED_FILES;

/// Every regular file below `folder` that carries a set-user-ID or set-group-ID bit.
std::vector<std::string> setIDFiles(const std::string &folder) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(folder, error)) {
        const struct stat st = lstatOf(entry.path());
        if (S_ISREG(st.st_mode) && (st.st_mode & 06000))
            found.push_back(entry.path());
    }
    return found;
}

std::vector<std::string> entriesOf(const std::string &folder) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

class PrivilegedPath : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot())
            GTEST_SKIP() << "needs root: creates a user and replaces root's files";
        user = std::make_unique<TestUser>("phattack", "unused-Passw0rd", false);
        ASSERT_TRUE(user->valid());
    }
    void TearDown() override { ::unlink(kManagedFiles.c_str()); }

    /// The tool as pkexec starts it for an administrator's panel, to replace `target`.
    Result replaceAsRoot(const std::string &target, const std::string &data) {
        Launch launch;
        launch.arguments = {SENTREL_ATTACK_PROGRAM, "replace-configuration", "-file", target, "-data", data};
        return run(launch);
    }
    /// A folder owned by the test user, as a configuration folder an administrator
    /// listed by mistake might be.
    std::string usersFolder(const std::string &name) {
        const std::string path = folder / name;
        EXPECT_EQ(::mkdir(path.c_str(), 0755), 0);
        EXPECT_EQ(::chown(path.c_str(), user->uid(), user->gid()), 0);
        return path;
    }

    TemporaryFolder folder;
    std::unique_ptr<TestUser> user;
};

TEST_F(PrivilegedPath, StartsWithoutPkexecLeaveNoRootProcessAndNeverWait) {
    // Twenty starts as the user, each with its input on a FIFO that never
    // ends: each refuses at once, as the user, reading nothing.
    const std::string fifo = folder / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(fifo.c_str(), 0666), 0);
    const std::string tool = installProgram(SENTREL_ATTACK_PROGRAM, folder / "Sentrel", true);
    std::vector<pid_t> started;
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            const int input = ::open(fifo.c_str(), O_RDWR);
            if (input < 0 || ::dup2(input, 0) < 0 || ::setgroups(0, nullptr) || ::setgid(user->gid()) ||
                ::setuid(user->uid()))
                ::_exit(120);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl(tool.c_str(), tool.c_str(), "control-server", "-data", "start", nullptr);
            ::_exit(121);
        }
        ASSERT_GT(child, 0);
        started.push_back(child);
    }
    for (pid_t pid : started) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    }
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("20 starts without pkexec refused in %.2f s\n", waited);
    EXPECT_LT(waited, 5.0);
}

TEST_F(PrivilegedPath, AFolderSwappedForALinkNeverRedirectsTheWrite) {
    // The approved file sits in a folder the user controls; root's own file
    // elsewhere is what the user would like overwritten.
    const std::string outside = folder / "outside";
    ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
    writeFile(outside + "/httpd.conf", "root's own\n", 0644);
    const std::string userland = usersFolder("userland");
    const std::string approved = userland + "/conf";
    ASSERT_EQ(::mkdir(approved.c_str(), 0755), 0);
    writeFile(approved + "/httpd.conf", "approved\n", 0644);
    ASSERT_EQ(::symlink(outside.c_str(), (userland + "/evil").c_str()), 0);
    writeManagedFiles(kManagedFiles, {approved + "/httpd.conf", folder / "plain/httpd.conf"});

    // The user swaps the approved folder and the link as fast as it can.
    const pid_t swapper = ::fork();
    if (swapper == 0) {
        if (::setgroups(0, nullptr) || ::setgid(user->gid()) || ::setuid(user->uid()))
            ::_exit(120);
        const std::string a = approved, b = userland + "/evil";
        for (;;)
            ::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    }
    ASSERT_GT(swapper, 0);

    std::map<int, int> outcomes;
    const std::string data = folder / "data";
    for (int i = 0; i < 200; ++i) {
        writeFile(data, "administrator-approved text\n", 0600);
        const Result result = replaceAsRoot(approved + "/httpd.conf", data);
        ++outcomes[result.exitStatus];
    }
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);

    for (const auto &[exit, count] : outcomes)
        std::printf("exit %d: %d runs\n", exit, count);
    EXPECT_EQ(readFile(outside + "/httpd.conf"), "root's own\n");
    EXPECT_EQ(entriesOf(outside), std::vector<std::string>{"httpd.conf"});
    // The folder chain is the user's: every run refuses, whichever way the race went.
    EXPECT_EQ(outcomes, (std::map<int, int>{{kUnsafeFolder, 200}}));

    // Without a race, the refusal is explained in the log.
    const std::string plain = usersFolder("plain");
    writeFile(plain + "/httpd.conf", "kept\n", 0644);
    writeFile(data, "x\n", 0600);
    const Result explained = replaceAsRoot(plain + "/httpd.conf", data);
    EXPECT_EQ(explained.exitStatus, kUnsafeFolder);
    EXPECT_NE(explained.error.find("other than root"), std::string::npos) << explained.error;
    EXPECT_EQ(readFile(plain + "/httpd.conf"), "kept\n");
}

TEST_F(PrivilegedPath, ALinkToASetUserIDProgramYieldsNoSetIDFile) {
    const std::string program = folder / "program";
    writeFile(program, "#!/bin/sh\necho set-id\n", 0755);
    ASSERT_EQ(::chmod(program.c_str(), 06755), 0);
    const std::string data = folder / "data";
    writeManagedFiles(kManagedFiles, {folder / "userland/httpd.conf", folder / "conf/linked.conf",
                                      folder / "conf/direct.conf"});

    // In the user's folder: refused, and nothing is created there.
    const std::string userland = usersFolder("userland");
    ASSERT_EQ(::symlink(program.c_str(), (userland + "/httpd.conf").c_str()), 0);
    writeFile(data, "new text\n", 0600);
    EXPECT_EQ(replaceAsRoot(userland + "/httpd.conf", data).exitStatus, kUnsafeFolder);
    EXPECT_EQ(entriesOf(userland), std::vector<std::string>{"httpd.conf"});

    // In root's own folder, a link root made and a set-ID file itself: the
    // new file and the backup keep the mode without the set-ID bits.
    const std::string conf = folder / "conf";
    ASSERT_EQ(::mkdir(conf.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(program.c_str(), (conf + "/linked.conf").c_str()), 0);
    writeFile(conf + "/direct.conf", "direct\n", 0644);
    ASSERT_EQ(::chmod((conf + "/direct.conf").c_str(), 06755), 0);
    for (const std::string name : {"linked.conf", "direct.conf"}) {
        writeFile(data, "new text\n", 0600);
        const Result result = replaceAsRoot(conf + "/" + name, data);
        EXPECT_EQ(result.exitStatus, 0) << name << ": " << result.error;
        EXPECT_EQ(readFile(conf + "/" + name), "new text\n");
        EXPECT_EQ(lstatOf(conf + "/" + name).st_mode & 07777, 0755u) << name;
        EXPECT_EQ(lstatOf(conf + "/" + name + ".preporthold").st_mode & 07777, 0755u) << name;
    }
    EXPECT_EQ(setIDFiles(conf), std::vector<std::string>{});
    EXPECT_EQ(setIDFiles(userland), std::vector<std::string>{});
    EXPECT_EQ(lstatOf(program).st_mode & 07777, 06755u);
}

TEST_F(PrivilegedPath, TheCallersLimitsNeverCutTheBackupOrTheNewFileShort) {
    const std::string conf = folder / "conf";
    ASSERT_EQ(::mkdir(conf.c_str(), 0755), 0);
    const std::string target = conf + "/httpd.conf";
    const std::string original(64 * 1024, 'o');
    writeFile(target, original, 0644);
    const std::string replacement(96 * 1024, 'n');
    const std::string data = folder / "data";
    writeFile(data, replacement, 0600);
    ASSERT_EQ(::chown(data.c_str(), user->uid(), user->gid()), 0);
    writeManagedFiles(kManagedFiles, {target});

    // pkexec hands on the caller's limits. A soft limit of 8 KiB ("ulimit -S -f
    // 8") is lifted: the replacement is whole.
    Launch launch;
    launch.arguments = {SENTREL_ATTACK_PROGRAM, "replace-configuration", "-file", target, "-data", data};
    launch.environment.push_back("PKEXEC_UID=" + std::to_string(user->uid()));
    launch.limits = {{RLIMIT_FSIZE, {8 * 1024, RLIM_INFINITY}}, {RLIMIT_CPU, {1, RLIM_INFINITY}}};
    Result result = run(launch);
    EXPECT_EQ(result.exitStatus, 0) << result.error;
    std::string backup = readFile(target + ".preporthold");
    EXPECT_TRUE(backup == original) << "the backup holds " << backup.size() << " bytes";
    const std::string replaced = readFile(target);
    EXPECT_TRUE(replaced == replacement) << "the target holds " << replaced.size() << " bytes";
    EXPECT_EQ(entriesOf(conf), (std::vector<std::string>{"httpd.conf", "httpd.conf.preporthold"}));

    // A hard limit too ("ulimit -f 8"): lifted where root may raise it; where
    // it may not (a container), the replacement fails whole, leaving neither
    // a short backup nor a temporary file.
    ASSERT_EQ(::unlink((target + ".preporthold").c_str()), 0);
    writeFile(target, original, 0644);
    writeFile(data, replacement, 0600);
    ASSERT_EQ(::chown(data.c_str(), user->uid(), user->gid()), 0);
    launch.limits = {{RLIMIT_FSIZE, {8 * 1024, 8 * 1024}}};
    result = run(launch);
    if (mayRaiseHardLimits()) {
        EXPECT_EQ(result.exitStatus, 0) << result.error;
        backup = readFile(target + ".preporthold");
        EXPECT_TRUE(backup == original) << "the backup holds " << backup.size() << " bytes";
        EXPECT_EQ(entriesOf(conf), (std::vector<std::string>{"httpd.conf", "httpd.conf.preporthold"}));
    } else {
        std::printf("root may not raise hard limits here: the replacement must fail cleanly\n");
        EXPECT_EQ(result.exitStatus, 13) << result.error;
        EXPECT_TRUE(readFile(target) == original);
        EXPECT_EQ(entriesOf(conf), std::vector<std::string>{"httpd.conf"});
    }
}
