// The privileged path as it runs on a desktop: pkexec starts the helper as
// root only when polkitd, on a system bus of the test's own, says yes under
// rules written for test users (yes, no, ask an administrator, whose password
// a textual agent types). Proves that a refused user never gets the helper
// run as root, that an unknown operation or a file outside root's list is
// refused even for an allowed user, that the administrator's answer is kept
// for the next request, and that a client killed while it waits leaves
// nothing behind and blocks nobody.

#include "common/PolkitTestSupport.h"
#include "common/PrivilegedTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace privileged_test;

namespace {

const std::string kPrefix = "com.quillmere.porthold.pathtest";
const std::string kTool = SENTREL_POLKIT_PROGRAM;
const std::string kManagedFiles = SENTREL_POLKIT_MANAGED_FILES;
const std::string kProbe = POLKIT_APACHECTL;
const std::string kProbeReport = kProbe + ".out";
const std::string kAdminPassword = "Adm1n-Passw0rd-30";

std::string rules() {
    return "// Porthold's polkit path test: its own users only.\n"
           "polkit.addAdminRule(function(action, subject) {\n"
           "    if (action.id.indexOf(\"" +
           kPrefix +
           ".\") == 0 || action.id == \"org.freedesktop.policykit.exec\")\n"
           "        return [\"unix-user:phpkadmin\"];\n"
           "});\n"
           "polkit.addRule(function(action, subject) {\n"
           "    if (action.id.indexOf(\"" +
           kPrefix +
           ".\") != 0 && action.id != \"org.freedesktop.policykit.exec\")\n"
           "        return polkit.Result.NOT_HANDLED;\n"
           "    if (subject.user == \"phpkyes\") return polkit.Result.YES;\n"
           "    if (subject.user == \"phpkno\") return polkit.Result.NO;\n"
           "    if (subject.user == \"phpkask\") return polkit.Result.AUTH_ADMIN_KEEP;\n"
           "    return polkit.Result.NOT_HANDLED;\n"
           "});\n";
}

/// Runs a shell command line as `user`, with no terminal; its exit status and output.
Result asUser(const TestUser &user, const std::string &command) {
    Launch launch;
    launch.arguments = {"/bin/sh", "-c", command};
    launch.uid = user.uid();
    launch.gid = user.gid();
    return run(launch);
}

/// Processes whose command line names `program`, as "pid uid" lines.
std::vector<std::string> processesRunning(const std::string &program) {
    std::vector<std::string> found;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string command = readFile(entry.path() / "cmdline");
        if (command.rfind(program, 0) == 0)
            found.push_back(name);
    }
    return found;
}

class PolkitPath : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot())
            GTEST_SKIP() << "needs root: starts polkitd and creates users";
        if (::access("/usr/bin/pkexec", X_OK) != 0 || ::access("/usr/bin/pkttyagent", X_OK) != 0)
            GTEST_SKIP() << "pkexec or polkitd is not installed";
        bus = std::make_unique<polkit_test::PrivateSystemBus>(
            folder.path(), polkit_test::PrivateSystemBus::Placement::Standard);
        const std::string why = bus->start();
        if (why.find("already runs") != std::string::npos)
            GTEST_SKIP() << why << ": pkexec always asks the bus there, so the test cannot use its own";
        ASSERT_EQ(why, "");
        // The bus is this test's alone from here on: so are the files below.
        actions =
            std::make_unique<polkit_test::PolkitFile>("/usr/share/polkit-1/actions/" + kPrefix + ".policy",
                                                      polkit_test::actionFile(kPrefix, kTool, kManagedFiles));
        rulesFile = std::make_unique<polkit_test::PolkitFile>(
            "/etc/polkit-1/rules.d/10-porthold-pathtest.rules", rules());
        ASSERT_TRUE(bus->waitForAction(kPrefix + ".unlock")) << bus->log("polkitd.log");
        // The rules are read on the same notice as the actions; give polkitd a moment for both.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        yes = std::make_unique<TestUser>("phpkyes", "unused-Passw0rd", false);
        no = std::make_unique<TestUser>("phpkno", "unused-Passw0rd", false);
        ask = std::make_unique<TestUser>("phpkask", "unused-Passw0rd", false);
        admin = std::make_unique<TestUser>("phpkadmin", kAdminPassword, false);
        ASSERT_TRUE(yes->valid() && no->valid() && ask->valid() && admin->valid());
        std::filesystem::copy_file(APACHECTL_PROBE, kProbe,
                                   std::filesystem::copy_options::overwrite_existing);
        ::unlink(kProbeReport.c_str());
        target = folder / "httpd.conf";
        writeFile(target, "original\n", 0644);
        writeManagedFiles(kManagedFiles, {target});
    }
    void TearDown() override {
        rulesFile.reset();
        actions.reset();
        if (bus)
            bus->shutDown();
        ::unlink(kProbeReport.c_str());
        ::unlink(kManagedFiles.c_str());
    }

    /// A data file of `user`'s in the shared folder.
    std::string dataOf(const TestUser &user, const std::string &text) {
        const std::string data = folder / ("data-" + user.name());
        writeFile(data, text, 0600);
        EXPECT_EQ(::chown(data.c_str(), user.uid(), user.gid()), 0);
        return data;
    }
    std::string pkexec(const std::vector<std::string> &arguments) const {
        std::string command = "exec /usr/bin/pkexec " + kTool;
        for (const std::string &argument : arguments)
            command += " '" + argument + "'";
        return command + " </dev/null";
    }

    TemporaryFolder folder;
    std::unique_ptr<polkit_test::PrivateSystemBus> bus;
    std::unique_ptr<polkit_test::PolkitFile> actions, rulesFile;
    std::unique_ptr<TestUser> yes, no, ask, admin;
    std::string target;
};

} // namespace

TEST_F(PolkitPath, ARefusedUserNeverGetsTheHelperRunAsRoot) {
    const std::string data = dataOf(*no, "the refused user's\n");
    for (const std::vector<std::string> &request :
         std::vector<std::vector<std::string>>{{"control-server", "-data", "start"},
                                               {"replace-configuration", "-file", target, "-data", data},
                                               {"bogus"}}) {
        const Result result = asUser(*no, pkexec(request));
        EXPECT_EQ(result.exitStatus, 127) << request[0] << ": " << result.error;
        EXPECT_NE(result.error.find("Not authorized"), std::string::npos) << result.error;
    }
    EXPECT_EQ(lstatOf(kProbeReport).st_mode, 0u) << "the control script ran";
    EXPECT_EQ(readFile(target), "original\n");
    EXPECT_EQ(lstatOf(target + ".preporthold").st_mode, 0u);
    // Without pkexec, the helper is just the user's own program: it refuses.
    EXPECT_EQ(asUser(*no, "exec " + kTool + " control-server -data start").exitStatus, 2);
    EXPECT_EQ(lstatOf(kProbeReport).st_mode, 0u);
}

TEST_F(PolkitPath, AnAllowedUserGetsOnlyTheListedFilesAndTheKnownOperations) {
    // Allowed: the control script runs as root, in the tool's clean environment.
    Result result = asUser(*yes, pkexec({"control-server", "-data", "graceful"}));
    EXPECT_EQ(result.exitStatus, 42) << result.error;
    const std::string report = readFile(kProbeReport);
    EXPECT_EQ(report.substr(0, report.find("env")), "uid 0 euid 0\narg graceful\n") << report;

    // The listed file, from the user's own data file (pkexec names the user).
    const std::string data = dataOf(*yes, "the allowed user's\n");
    result = asUser(*yes, pkexec({"replace-configuration", "-file", target, "-data", data}));
    EXPECT_EQ(result.exitStatus, 0) << result.error;
    EXPECT_EQ(readFile(target), "the allowed user's\n");
    EXPECT_EQ(readFile(target + ".preporthold"), "original\n");

    // A file outside root's list, someone else's data, an unknown operation,
    // the old command line: refused by the helper itself, nothing changed.
    const std::string unlisted = folder / "other.conf";
    writeFile(unlisted, "other\n", 0644);
    const std::string mine = dataOf(*yes, "again\n");
    EXPECT_EQ(asUser(*yes, pkexec({"replace-configuration", "-file", unlisted, "-data", mine})).exitStatus,
              7);
    EXPECT_EQ(
        asUser(*yes, pkexec({"replace-configuration", "-file", "/etc/shadow", "-data", mine})).exitStatus, 7);
    writeFile(folder / "roots", "root's secret\n", 0600);
    EXPECT_EQ(asUser(*yes, pkexec({"replace-configuration", "-file", target, "-data", folder / "roots"}))
                  .exitStatus,
              12);
    for (const std::vector<std::string> &unknown :
         std::vector<std::vector<std::string>>{{"bogus"},
                                               {"-operation", "sentrel", "-file", target, "-data", mine},
                                               {"control-server", "-data", "-k"}})
        EXPECT_EQ(asUser(*yes, pkexec(unknown)).exitStatus, 3) << unknown[0];
    EXPECT_EQ(readFile(unlisted), "other\n");
    EXPECT_EQ(readFile(target), "the allowed user's\n");
    EXPECT_EQ(readFile("/etc/shadow").find("again"), std::string::npos);
}

TEST_F(PolkitPath, AnAdministratorsAnswerIsAskedOnceKeptAndAKilledClientLeavesNothing) {
    // The asking user's shell registers a textual agent for itself, then asks
    // twice: the agent is stopped before the second request, which must not
    // need it. The administrator's password goes to the agent's terminal.
    const std::string agentLog = folder / "agent.log";
    const std::string script = "( sleep 2; printf '%s\\n' '" + kAdminPassword +
                               "' ) | script -qfc \"pkttyagent --process $$\" /dev/null > '" + agentLog +
                               "' 2>&1 & agent=$!; sleep 1; " +
                               pkexec({"control-server", "-data", "start"}).substr(5) +
                               "; first=$?; kill $agent; wait $agent 2>/dev/null; " +
                               pkexec({"control-server", "-data", "stop"}).substr(5) + "; echo \"$first $?\"";
    writeFile(agentLog, "", 0666);
    const auto began = std::chrono::steady_clock::now();
    const Result result = asUser(*ask, script);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("authenticated and asked twice in %.1f s\n", seconds);
    EXPECT_EQ(result.output, "42 42\n") << result.error << "\nagent: " << readFile(agentLog);
    EXPECT_NE(readFile(agentLog).find("phpkadmin"), std::string::npos) << readFile(agentLog);
    EXPECT_NE(readFile(kProbeReport).find("arg stop"), std::string::npos);

    // Another process of the same user is not covered by that answer, and
    // without an agent it is refused.
    ::unlink(kProbeReport.c_str());
    EXPECT_EQ(asUser(*ask, pkexec({"control-server", "-data", "start"})).exitStatus, 127);
    EXPECT_EQ(lstatOf(kProbeReport).st_mode, 0u);

    // A client that waits for the administrator and is killed (and one that is
    // stopped): nothing of the helper runs, and another user is served at once.
    const std::string waiting =
        "script -qfc \"pkttyagent --process $$\" /dev/null </dev/null >/dev/null 2>&1 & sleep 1; " +
        pkexec({"control-server", "-data", "start"}).substr(5);
    const pid_t client = ::fork();
    if (client == 0) {
        ::setpgid(0, 0);
        if (::setgroups(0, nullptr) || ::setgid(ask->gid()) || ::setuid(ask->uid()))
            ::_exit(120);
        ::execl("/bin/sh", "sh", "-c", waiting.c_str(), nullptr);
        ::_exit(121);
    }
    ASSERT_GT(client, 0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ::kill(-client, SIGSTOP);
    const auto served = std::chrono::steady_clock::now();
    EXPECT_EQ(asUser(*yes, pkexec({"control-server", "-data", "graceful"})).exitStatus, 42);
    const double wait = std::chrono::duration<double>(std::chrono::steady_clock::now() - served).count();
    std::printf("another user was served in %.2f s while a client was stopped\n", wait);
    EXPECT_LT(wait, 5.0);
    ::kill(-client, SIGKILL);
    ::waitpid(client, nullptr, 0);
    EXPECT_TRUE(polkit_test::waitUntil([] { return processesRunning(kTool).empty(); }, 5000));
    EXPECT_NE(readFile(kProbeReport).find("arg graceful"), std::string::npos);
    EXPECT_EQ(readFile(kProbeReport).find("arg start"), std::string::npos);
    // Nothing of Porthold's is kept under /run.
    EXPECT_FALSE(std::filesystem::exists("/run/porthold"));
}
