// The root helper, run as the real program: its command line, its refusals and
// exit codes, root's list of managed files, the file replacement and its size
// limit, the control script, and what happens when anyone but root starts it.

#include "common/PrivilegedTestSupport.h"
#include "tool/SentrelRequest.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace privileged_test;

namespace {

const std::string kProbeReport = std::string(PORTHOLD_TEST_APACHECTL) + ".out";
const std::string kManagedFiles = SENTREL_TEST_MANAGED_FILES;

/// Runs the test copy of the tool as root, as pkexec would for the user
/// `caller` (none: root's own start, without PKEXEC_UID).
Result sentrel(const std::vector<std::string> &arguments, std::optional<uid_t> caller = std::nullopt,
               bool leak = false) {
    Launch launch;
    launch.arguments = {SENTREL_TEST_PROGRAM};
    launch.arguments.insert(launch.arguments.end(), arguments.begin(), arguments.end());
    if (caller)
        launch.environment.push_back("PKEXEC_UID=" + std::to_string(*caller));
    launch.leakDescriptor = leak;
    return run(launch);
}

std::size_t entryCount(const std::string &folder) {
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(folder))
        ++entries;
    return entries;
}

} // namespace

TEST(SentrelRequest, TakesTheOperationFirstAndEachKeyOnceWithAValue) {
    EXPECT_EQ(parseSentrelRequest({"control-server", "-data", "-start"}),
              (SentrelRequest{"control-server", std::nullopt, "-start"}));
    EXPECT_EQ(parseSentrelRequest({"replace-configuration", "-data", "/d", "-file", "/f"}),
              (SentrelRequest{"replace-configuration", "/f", "/d"}));
    EXPECT_EQ(parseSentrelRequest({"x"}), (SentrelRequest{"x", std::nullopt, std::nullopt}));
    // No operation, a key without value, a key twice, an unknown key, a stray word.
    for (const std::vector<std::string> &refused :
         std::vector<std::vector<std::string>>{{},
                                               {"replace-configuration", "-file"},
                                               {"replace-configuration", "-file", "/a", "-file", "/b"},
                                               {"control-server", "-operation", "ctl"},
                                               {"control-server", "stray", "-data", "start"},
                                               {"control-server", "--data", "start"}})
        EXPECT_FALSE(parseSentrelRequest(refused).has_value()) << refused.size();

    EXPECT_EQ(sentrelCallerOf(nullptr), std::optional<uid_t>(0));
    EXPECT_EQ(sentrelCallerOf("1000"), std::optional<uid_t>(1000));
    for (const char *bad : {"", "-1", "+5", "10 ", "0x10", "4294967295", "99999999999"})
        EXPECT_FALSE(sentrelCallerOf(bad).has_value()) << bad;
}

class SentrelAsRoot : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot())
            GTEST_SKIP() << "needs root: replaces root's files";
        ::unlink(kProbeReport.c_str());
    }
    void TearDown() override {
        ::unlink(kProbeReport.c_str());
        ::unlink(kManagedFiles.c_str());
    }
    TemporaryFolder folder;
};

TEST_F(SentrelAsRoot, ReplacesAListedFileKeepingItsAttributesWithABackupMadeOnce) {
    const std::string target = folder / "httpd.conf";
    writeFile(target, "original\n", 0640);
    ASSERT_EQ(::chown(target.c_str(), 1, 2), 0);
    writeManagedFiles(kManagedFiles, {target});
    // The data file lives on another file system, where a rename cannot reach.
    const std::string data = "/dev/shm/porthold-sentrel-data-" + std::to_string(::getpid());
    writeFile(data, "first replacement\n", 0600);
    ASSERT_NE(lstatOf(data).st_dev, lstatOf(folder.path()).st_dev) << "the test needs two file systems";

    Result result = sentrel({"replace-configuration", "-file", target, "-data", data});
    EXPECT_EQ(result.exitStatus, 0) << result.error;
    EXPECT_NE(result.error.find("Porthold executing Sentrel to modify " + target), std::string::npos);
    EXPECT_EQ(readFile(target), "first replacement\n");
    struct stat st = lstatOf(target);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 1u);
    EXPECT_EQ(st.st_gid, 2u);
    EXPECT_EQ(readFile(target + ".preporthold"), "original\n");
    st = lstatOf(target + ".preporthold");
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 1u);
    EXPECT_EQ(lstatOf(data).st_mode, 0u) << "the data file is consumed";

    // A second replacement keeps the first backup, and leaves nothing else behind.
    writeFile(data, "second replacement\n", 0600);
    result = sentrel({"replace-configuration", "-data", data, "-file", target});
    EXPECT_EQ(result.exitStatus, 0) << result.error;
    EXPECT_EQ(readFile(target), "second replacement\n");
    EXPECT_EQ(readFile(target + ".preporthold"), "original\n");
    EXPECT_EQ(entryCount(folder.path()), 2u);
}

TEST_F(SentrelAsRoot, ASymbolicLinkTargetBecomesAFileWithItsDestinationsAttributes) {
    const std::string destination = folder / "real.conf";
    const std::string link = folder / "link.conf";
    writeFile(destination, "behind the link\n", 0604);
    ASSERT_EQ(::chown(destination.c_str(), 3, 4), 0);
    ASSERT_EQ(::symlink("real.conf", link.c_str()), 0);
    const std::string data = folder / "data";
    writeFile(data, "new text\n", 0600);
    writeManagedFiles(kManagedFiles, {link});

    const Result result = sentrel({"replace-configuration", "-file", link, "-data", data});
    EXPECT_EQ(result.exitStatus, 0) << result.error;
    const struct stat st = lstatOf(link);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(st.st_uid, 3u);
    EXPECT_EQ(st.st_gid, 4u);
    EXPECT_EQ(readFile(link), "new text\n");
    EXPECT_EQ(readFile(destination), "behind the link\n");
    EXPECT_EQ(readFile(link + ".preporthold"), "behind the link\n");
}

TEST_F(SentrelAsRoot, UnknownOrMissingOperationsAndBadCommandLinesFail) {
    const std::string target = folder / "target";
    const std::string data = folder / "data";
    writeFile(target, "keep\n", 0644);
    writeFile(data, "new\n", 0600);
    writeManagedFiles(kManagedFiles, {target});
    for (const std::vector<std::string> &arguments : std::vector<std::vector<std::string>>{
             {},
             {"bogus"},
             {"Replace-Configuration", "-file", target, "-data", data},
             {"-operation", "sentrel", "-file", target, "-data", data},
             {"replace-configuration", "-file", target, "-data", data, "-file", target},
             {"replace-configuration", "-file", target, "-data", data, "stray"},
             {"replace-configuration", "-file", target},
             {"replace-configuration", "-data", data},
             {"control-server", "-file", target, "-data", "start"}}) {
        const Result result = sentrel(arguments);
        EXPECT_EQ(result.exitStatus, 3) << arguments.size() << ": " << result.error;
        EXPECT_EQ(result.error.find("Porthold executing"), std::string::npos) << result.error;
    }
    // A caller's number that pkexec would never give: refused before anything else.
    Launch launch;
    launch.arguments = {SENTREL_TEST_PROGRAM, "replace-configuration", "-file", target, "-data", data};
    launch.environment.push_back("PKEXEC_UID=12x");
    EXPECT_EQ(run(launch).exitStatus, 3);
    EXPECT_EQ(readFile(target), "keep\n");
    EXPECT_EQ(readFile(data), "new\n");
    EXPECT_EQ(entryCount(folder.path()), 2u);
}

TEST_F(SentrelAsRoot, ReplacesOnlyWhatRootsListNamesAndOnlyFromAListNobodyElseMayChange) {
    const std::string conf = folder / "conf";
    ASSERT_EQ(::mkdir(conf.c_str(), 0755), 0);
    const std::string listed = conf + "/httpd.conf";
    const std::string other = conf + "/other.conf";
    const std::string users = folder / "users";
    ASSERT_EQ(::mkdir(users.c_str(), 0755), 0);
    writeFile(listed, "listed\n", 0644);
    writeFile(other, "other\n", 0644);
    writeFile(users + "/alice.conf", "alice\n", 0644);
    writeFile(users + "/.hidden.conf", "hidden\n", 0644);
    writeFile(users + "/alice.txt", "text\n", 0644);
    const std::string data = folder / "data";
    auto replaceWith = [&](const std::string &target) {
        writeFile(data, "replaced\n", 0600);
        return sentrel({"replace-configuration", "-file", target, "-data", data}).exitStatus;
    };

    // No list at all: every replacement is refused.
    ::unlink(kManagedFiles.c_str());
    EXPECT_EQ(replaceWith(listed), 7);

    writeManagedFiles(kManagedFiles, {listed, users + "/*.conf", "relative/path", conf + "/../escape.conf"});
    // Not listed, or listed only by another spelling of the path: 7, nothing touched.
    for (const std::string &target :
         {other, conf + "/./httpd.conf", folder / "conf//httpd.conf", conf + "/x/../httpd.conf",
          users + "/.hidden.conf", users + "/alice.txt", std::string("relative/path"), users + "/sub/a.conf",
          folder / "escape.conf", std::string("/etc/shadow")}) {
        EXPECT_EQ(replaceWith(target), 7) << target;
    }
    EXPECT_EQ(readFile(other), "other\n");
    EXPECT_EQ(readFile(users + "/.hidden.conf"), "hidden\n");
    EXPECT_EQ(lstatOf(other + ".preporthold").st_mode, 0u);
    EXPECT_EQ(readFile(data), "replaced\n") << "a refused data file stays the caller's";

    // Listed, by name or by the folder's ending.
    EXPECT_EQ(replaceWith(listed), 0);
    EXPECT_EQ(readFile(listed), "replaced\n");
    EXPECT_EQ(replaceWith(users + "/alice.conf"), 0);
    EXPECT_EQ(readFile(users + "/alice.conf"), "replaced\n");

    // A list someone other than root may change is no list: group-writable,
    // another owner, a link to root's list, a folder of another user's.
    const std::string good = readFile(kManagedFiles);
    ASSERT_EQ(::chmod(kManagedFiles.c_str(), 0664), 0);
    EXPECT_EQ(replaceWith(listed), 7);
    ASSERT_EQ(::chmod(kManagedFiles.c_str(), 0644), 0);
    ASSERT_EQ(::chown(kManagedFiles.c_str(), 1, 0), 0);
    EXPECT_EQ(replaceWith(listed), 7);
    ASSERT_EQ(::chown(kManagedFiles.c_str(), 0, 0), 0);
    const std::string elsewhere = folder / "list";
    writeFile(elsewhere, good, 0644);
    ASSERT_EQ(::unlink(kManagedFiles.c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), kManagedFiles.c_str()), 0);
    EXPECT_EQ(replaceWith(listed), 7);
    ASSERT_EQ(::unlink(kManagedFiles.c_str()), 0);
    // Larger than a list of server files can be.
    writeFile(kManagedFiles, good + std::string(70 * 1024, '#'), 0644);
    EXPECT_EQ(replaceWith(listed), 7);
    writeFile(kManagedFiles, good, 0644);
    EXPECT_EQ(replaceWith(listed), 0);
}

TEST_F(SentrelAsRoot, RefusesBadFilesWithTheirExitCodes) {
    const std::string target = folder / "target";
    const std::string data = folder / "data";
    writeFile(target, "keep\n", 0644);
    writeFile(data, "new\n", 0600);
    const std::string missing = folder / "missing";
    const std::string linkedFolder = folder / "linked";
    ASSERT_EQ(::symlink(folder.path().c_str(), linkedFolder.c_str()), 0);
    writeManagedFiles(kManagedFiles, {target, missing, linkedFolder + "/target"});

    // A listed target that does not exist: 13, the data file untouched.
    Result result = sentrel({"replace-configuration", "-file", missing, "-data", data});
    EXPECT_EQ(result.exitStatus, 13);
    EXPECT_EQ(readFile(data), "new\n");

    // A listed path through a symbolic link: 11, whatever the kernel's way of opening it.
    result = sentrel({"replace-configuration", "-file", linkedFolder + "/target", "-data", data});
    EXPECT_EQ(result.exitStatus, 11) << result.error;
    EXPECT_NE(result.error.find("symbolic link"), std::string::npos) << result.error;

    // Data that is not a regular file, or reached through a link: 12, target untouched.
    ASSERT_EQ(::symlink(data.c_str(), (folder / "data-link").c_str()), 0);
    result = sentrel({"replace-configuration", "-file", target, "-data", folder / "data-link"});
    EXPECT_EQ(result.exitStatus, 12);
    result = sentrel({"replace-configuration", "-file", target, "-data", folder.path()});
    EXPECT_EQ(result.exitStatus, 12);
    EXPECT_EQ(readFile(target), "keep\n");
    EXPECT_EQ(lstatOf(target + ".preporthold").st_mode, 0u) << "no backup for a refused request";
}

TEST_F(SentrelAsRoot, DataOverTheLimitIsRefusedBeforeAnythingIsCopied) {
    const std::string target = folder / "httpd.conf";
    writeFile(target, "keep\n", 0644);
    writeManagedFiles(kManagedFiles, {target});
    const std::string data = folder / "data";

    // A sparse terabyte: refused at once, no backup, no temporary file.
    writeFile(data, "", 0600);
    ASSERT_EQ(::truncate(data.c_str(), off_t{1} << 40), 0);
    const auto began = std::chrono::steady_clock::now();
    Result result = sentrel({"replace-configuration", "-file", target, "-data", data});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("a 1 TiB data file was refused in %.3f s\n", seconds);
    EXPECT_EQ(result.exitStatus, 12) << result.error;
    EXPECT_NE(result.error.find("more than the 1048576"), std::string::npos) << result.error;
    EXPECT_LT(seconds, 2.0);
    EXPECT_EQ(readFile(target), "keep\n");
    EXPECT_EQ(entryCount(folder.path()), 2u) << "only the target and the data file";

    // One byte over, refused; exactly the limit, accepted.
    ASSERT_EQ(::truncate(data.c_str(), 1024 * 1024 + 1), 0);
    EXPECT_EQ(sentrel({"replace-configuration", "-file", target, "-data", data}).exitStatus, 12);
    EXPECT_EQ(entryCount(folder.path()), 2u);
    ASSERT_EQ(::truncate(data.c_str(), 1024 * 1024), 0);
    result = sentrel({"replace-configuration", "-file", target, "-data", data});
    EXPECT_EQ(result.exitStatus, 0) << result.error;
    EXPECT_EQ(lstatOf(target).st_size, 1024 * 1024);
    EXPECT_EQ(readFile(target + ".preporthold"), "keep\n");
}

TEST_F(SentrelAsRoot, RunsOnlyTheServerCommandsInACleanEnvironment) {
    // The script's status is the tool's; it sees only PATH and LANG, and no descriptor beyond 2.
    Result result = sentrel({"control-server", "-data", "graceful"}, std::nullopt, true);
    EXPECT_EQ(result.exitStatus, 42) << result.error;
    EXPECT_NE(result.error.find("Porthold executing apachectl-probe graceful"), std::string::npos);
    const std::string report = readFile(kProbeReport);
    EXPECT_EQ(report.substr(0, report.find("umask")), "uid 0 euid 0\n"
                                                      "arg graceful\n"
                                                      "env PATH=/usr/sbin:/usr/bin:/sbin:/bin\n"
                                                      "env LANG=C\n"
                                                      "fds 0 1 2 \n");

    // No data: the script runs with no argument.
    ::unlink(kProbeReport.c_str());
    result = sentrel({"control-server"});
    EXPECT_EQ(result.exitStatus, 42);
    EXPECT_EQ(readFile(kProbeReport).find("arg "), std::string::npos);

    // Any other word, one that looks like an option included, runs nothing.
    ::unlink(kProbeReport.c_str());
    for (const std::string word : {"-start", "configtest", "start; id", "Start", ""}) {
        result = sentrel({"control-server", "-data", word});
        EXPECT_EQ(result.exitStatus, 3) << word;
        EXPECT_EQ(lstatOf(kProbeReport).st_mode, 0u) << word;
    }

    // A script that cannot be started is a failure, never success.
    const std::string hidden = std::string(PORTHOLD_TEST_APACHECTL) + ".hidden";
    ASSERT_EQ(::rename(PORTHOLD_TEST_APACHECTL, hidden.c_str()), 0);
    result = sentrel({"control-server", "-data", "stop"});
    ASSERT_EQ(::rename(hidden.c_str(), PORTHOLD_TEST_APACHECTL), 0);
    EXPECT_EQ(result.exitStatus, 127);
}

class SentrelForAUser : public SentrelAsRoot {
protected:
    void SetUp() override {
        SentrelAsRoot::SetUp();
        if (IsSkipped())
            return;
        user = std::make_unique<TestUser>("phsentrel", "unused-Passw0rd", false);
        ASSERT_TRUE(user->valid());
    }
    std::unique_ptr<TestUser> user;
};

TEST_F(SentrelForAUser, TakesOnlyTheAuthorizedUsersOwnDataFile) {
    const std::string target = folder / "root.conf";
    writeFile(target, "root's\n", 0600);
    writeManagedFiles(kManagedFiles, {target});
    const std::string data = folder / "data";
    writeFile(data, "from the panel\n", 0600);
    ASSERT_EQ(::chown(data.c_str(), user->uid(), user->gid()), 0);
    // Data that is not the caller's own is refused: root would read it for them.
    writeFile(folder / "secret", "root only\n", 0600);
    EXPECT_EQ(sentrel({"replace-configuration", "-file", target, "-data", folder / "secret"}, user->uid())
                  .exitStatus,
              12);
    EXPECT_EQ(readFile(target), "root's\n");

    const Result result = sentrel({"replace-configuration", "-file", target, "-data", data}, user->uid());
    EXPECT_EQ(result.exitStatus, 0) << result.error;
    EXPECT_EQ(readFile(target), "from the panel\n");
    const struct stat st = lstatOf(target);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(target + ".preporthold"), "root's\n");
}

TEST_F(SentrelForAUser, StartedByAnyoneButRootItDoesNothingWhateverItsBits) {
    const std::string target = folder / "root.conf";
    writeFile(target, "root's\n", 0644);
    writeManagedFiles(kManagedFiles, {target});
    const std::string data = folder / "data";
    writeFile(data, "the user's\n", 0600);
    ASSERT_EQ(::chown(data.c_str(), user->uid(), user->gid()), 0);

    // A plain copy, and one someone made root's and set-user-ID: both refuse (2)
    // at once, reading nothing, whatever PKEXEC_UID the user sets.
    const std::string plain = installProgram(SENTREL_TEST_PROGRAM, folder / "Plain", false);
    const std::string setuid = installProgram(SENTREL_TEST_PROGRAM, folder / "SetUID", true);
    for (const std::string &program : {plain, setuid}) {
        for (const std::vector<std::string> &arguments :
             std::vector<std::vector<std::string>>{{"replace-configuration", "-file", target, "-data", data},
                                                   {"control-server", "-data", "start"}}) {
            Launch launch;
            launch.arguments = {program};
            launch.arguments.insert(launch.arguments.end(), arguments.begin(), arguments.end());
            launch.environment.push_back("PKEXEC_UID=0");
            launch.input = std::string(32, 'x');
            launch.uid = user->uid();
            launch.gid = user->gid();
            const Result result = run(launch);
            EXPECT_EQ(result.exitStatus, 2) << program << ": " << result.error;
            EXPECT_EQ(result.inputLeft, 32u);
        }
    }
    EXPECT_EQ(readFile(target), "root's\n");
    EXPECT_EQ(lstatOf(target + ".preporthold").st_mode, 0u);
    EXPECT_EQ(lstatOf(kProbeReport).st_mode, 0u);
}

TEST_F(SentrelForAUser, TheControlScriptGetsUmask022AndRootsLimitsNotTheCallers) {
    // pkexec hands on the caller's mask and limits: the tool does not.
    Launch launch;
    launch.arguments = {SENTREL_TEST_PROGRAM, "control-server", "-data", "start"};
    launch.environment.push_back("PKEXEC_UID=" + std::to_string(user->uid()));
    launch.umask = 077;
    // The hard limits too, where root may raise them again; elsewhere the
    // soft limits rise as far as the caller's hard ones allow.
    rlimit files{}, size{}, ownFiles{}, ownSize{};
    ASSERT_EQ(::prlimit(1, RLIMIT_NOFILE, nullptr, &files), 0);
    ASSERT_EQ(::prlimit(1, RLIMIT_FSIZE, nullptr, &size), 0);
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &ownFiles), 0);
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &ownSize), 0);
    if (mayRaiseHardLimits()) {
        launch.limits = {{RLIMIT_NOFILE, {40, 40}}, {RLIMIT_FSIZE, {8 * 1024, 8 * 1024}}};
    } else {
        launch.limits = {{RLIMIT_NOFILE, {40, ownFiles.rlim_max}},
                         {RLIMIT_FSIZE, {8 * 1024, ownSize.rlim_max}}};
        files = {std::min(files.rlim_cur, ownFiles.rlim_max), ownFiles.rlim_max};
        size.rlim_cur = std::min(size.rlim_cur, ownSize.rlim_max);
    }
    const Result result = run(launch);
    EXPECT_EQ(result.exitStatus, 42) << result.error;

    const std::string report = readFile(kProbeReport);
    EXPECT_NE(report.find("uid 0 euid 0\n"), std::string::npos) << report;
    EXPECT_NE(report.find("umask 0022\n"), std::string::npos) << report;
    EXPECT_NE(
        report.find("nofile " + std::to_string(files.rlim_cur) + " " + std::to_string(files.rlim_max) + "\n"),
        std::string::npos)
        << report;
    EXPECT_NE(report.find("fsize " + std::to_string(static_cast<unsigned long long>(size.rlim_cur)) + "\n"),
              std::string::npos)
        << report;
}

TEST(RootHelper, DependsOnSystemLibrariesOnlyAndHoldsNoAuthorizationCode) {
    const std::string program = SENTREL_PROGRAM;
    Launch launch;
    launch.arguments = {"/usr/bin/ldd", program};
    const Result result = run(launch);
    ASSERT_EQ(result.exitStatus, 0) << result.error;
    std::istringstream lines(result.output);
    std::string line;
    int libraries = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.find("not found"), std::string::npos) << line;
        const std::size_t arrow = line.find("=> ");
        if (arrow == std::string::npos)
            continue;
        const std::string path = line.substr(arrow + 3);
        EXPECT_TRUE(path.rfind("/lib/", 0) == 0 || path.rfind("/lib64/", 0) == 0 ||
                    path.rfind("/usr/lib", 0) == 0)
            << program << ": " << line;
        ++libraries;
    }
    EXPECT_GT(libraries, 0);
    // No library path of its own either.
    launch.arguments = {"/usr/bin/readelf", "-d", program};
    const Result dynamic = run(launch);
    if (dynamic.exitStatus == 0) {
        EXPECT_EQ(dynamic.output.find("RPATH"), std::string::npos);
        EXPECT_EQ(dynamic.output.find("RUNPATH"), std::string::npos);
    }
    // polkit decides: nothing of an authorization store of its own is left in it.
    launch.arguments = {"/usr/bin/nm", "-C", program};
    const Result symbols = run(launch);
    ASSERT_EQ(symbols.exitStatus, 0) << symbols.error;
    for (const char *gone : {"AuthorizationRecordStore", "PresentedAuthorization", "Authorization"})
        EXPECT_EQ(symbols.output.find(gone), std::string::npos) << program << " holds " << gone;
}
