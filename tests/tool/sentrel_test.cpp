// The helper tool, run as the real program: its command line, its refusals and
// exit codes, the file replacement, the control script, and the set-user-ID
// behaviour when ordinary users start it.

#include "common/PrivilegedTestSupport.h"
#include "tool/SentrelOptions.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace privileged_test;

namespace {

const std::string kReplaceRight = "com.quillmere.porthold.sentrel";
const std::string kControlRight = "com.quillmere.porthold.apachectl";
const std::string kProbeReport = std::string(PORTHOLD_TEST_APACHECTL) + ".out";

/// Runs the test copy of the tool as root with the options and standard input.
Result sentrel(const std::vector<std::string> &options, const std::string &input, bool leak = false) {
    Launch launch;
    launch.arguments = {SENTREL_TEST_PROGRAM};
    launch.arguments.insert(launch.arguments.end(), options.begin(), options.end());
    launch.input = input;
    launch.leakDescriptor = leak;
    return run(launch);
}

std::string form(const AuthorizationRecord &record) {
    return externalFormBytes(record);
}

} // namespace

TEST(SentrelOptions, PairsKeysWithTheNextArgumentWhateverItIs) {
    // A value may begin with "-"; a stray word is skipped; the last key has no value.
    SentrelOptions options = parseSentrelOptions(
        std::vector<std::string>{"stray", "-operation", "ctl", "-data", "-start", "-file"});
    EXPECT_EQ(options, (SentrelOptions{{"operation", "ctl"}, {"data", "-start"}}));

    // Only one dash goes; a later pair replaces an earlier one; "Sentrel" is not "sentrel".
    options = parseSentrelOptions(
        std::vector<std::string>{"--x", "1", "-operation", "sentrel", "-operation", "Sentrel", "-", "empty"});
    EXPECT_EQ(options, (SentrelOptions{{"-x", "1"}, {"operation", "Sentrel"}, {"", "empty"}}));

    const char *argv[] = {"/path/Sentrel", "-selfRepair", "YES", "-mypath", "/path/Sentrel"};
    options = parseSentrelOptions(5, argv);
    ASSERT_NE(sentrelOption(options, "selfRepair"), nullptr);
    EXPECT_EQ(*sentrelOption(options, "selfRepair"), "YES");
    EXPECT_EQ(sentrelOption(options, "data"), nullptr);
}

class SentrelAsRoot : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot())
            GTEST_SKIP() << "needs root: replaces root's files and writes authorization records";
        ::unlink(kProbeReport.c_str());
    }
    void TearDown() override {
        removeStoredRecords(PORTHOLD_TEST_AUTH_STORE);
        ::unlink(kProbeReport.c_str());
    }
    TemporaryFolder folder;
};

TEST_F(SentrelAsRoot, ReplacesAFileKeepingItsAttributesWithABackupMadeOnce) {
    const std::string target = folder / "httpd.conf";
    writeFile(target, "original\n", 0640);
    ASSERT_EQ(::chown(target.c_str(), 1, 2), 0);
    // The data file lives on another file system, where a rename cannot reach.
    const std::string data = "/dev/shm/porthold-sentrel-data-" + std::to_string(::getpid());
    writeFile(data, "first replacement\n", 0600);
    ASSERT_NE(lstatOf(data).st_dev, lstatOf(folder.path()).st_dev) << "the test needs two file systems";

    const AuthorizationRecord record = storeRecord(PORTHOLD_TEST_AUTH_STORE, 0, {{kReplaceRight, "", 0}});
    Result result =
        sentrel({"-mypath", "/x", "-operation", "sentrel", "-file", target, "-data", data}, form(record));
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
    result = sentrel({"-operation", "sentrel", "-file", target, "-data", data}, form(record));
    EXPECT_EQ(result.exitStatus, 0) << result.error;
    EXPECT_EQ(readFile(target), "second replacement\n");
    EXPECT_EQ(readFile(target + ".preporthold"), "original\n");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(folder.path()))
        ++entries;
    EXPECT_EQ(entries, 2u);
}

TEST_F(SentrelAsRoot, ASymbolicLinkTargetBecomesAFileWithItsDestinationsAttributes) {
    const std::string destination = folder / "real.conf";
    const std::string link = folder / "link.conf";
    writeFile(destination, "behind the link\n", 0604);
    ASSERT_EQ(::chown(destination.c_str(), 3, 4), 0);
    ASSERT_EQ(::symlink("real.conf", link.c_str()), 0);
    const std::string data = folder / "data";
    writeFile(data, "new text\n", 0600);

    const AuthorizationRecord record = storeRecord(PORTHOLD_TEST_AUTH_STORE, 0, {{kReplaceRight, "", 0}});
    const Result result = sentrel({"-operation", "sentrel", "-file", link, "-data", data}, form(record));
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

TEST_F(SentrelAsRoot, RefusesBadRequestsWithTheirExitCodes) {
    const std::string target = folder / "target";
    const std::string data = folder / "data";
    writeFile(target, "keep\n", 0644);
    writeFile(data, "new\n", 0600);
    const std::vector<std::string> replace{"-operation", "sentrel", "-file", target, "-data", data};
    const AuthorizationRecord good = storeRecord(PORTHOLD_TEST_AUTH_STORE, 0, {{kReplaceRight, "", 0}});

    // Forged secret, short input, another user's record, a right not granted,
    // an expired record, a destroyed one: 7, and nothing touched.
    std::string forged = form(good);
    forged[31] = static_cast<char>(forged[31] ^ 1);
    const AuthorizationRecord otherUser =
        storeRecord(PORTHOLD_TEST_AUTH_STORE, 12345, {{kReplaceRight, "", 0}});
    const AuthorizationRecord controlOnly =
        storeRecord(PORTHOLD_TEST_AUTH_STORE, 0, {{kControlRight, "", 0}});
    const AuthorizationRecord expired =
        storeRecord(PORTHOLD_TEST_AUTH_STORE, 0, {{kReplaceRight, "", 0}}, -1);
    const AuthorizationRecord destroyed = storeRecord(PORTHOLD_TEST_AUTH_STORE, 0, {{kReplaceRight, "", 0}});
    AuthorizationRecordStore store;
    ASSERT_TRUE(store.open(PORTHOLD_TEST_AUTH_STORE, false, nullptr));
    ASSERT_TRUE(store.remove(destroyed.identifier));
    for (const std::string &input :
         std::vector<std::string>{forged, form(good).substr(0, 31), std::string(), form(otherUser),
                                  form(controlOnly), form(expired), form(destroyed)}) {
        const Result result = sentrel(replace, input);
        EXPECT_EQ(result.exitStatus, 7) << input.size() << " bytes: " << result.error;
        EXPECT_EQ(result.error.find("Porthold executing"), std::string::npos);
    }
    EXPECT_EQ(readFile(target), "keep\n");
    EXPECT_EQ(lstatOf(target + ".preporthold").st_mode, 0u);
    EXPECT_EQ(readFile(data), "new\n");

    // A key with no value: no data, exit 3 once the right is granted.
    Result result = sentrel({"-operation", "sentrel", "-file", target, "-data"}, form(good));
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_NE(result.error.find("Porthold executing Sentrel to modify " + target), std::string::npos);
    result = sentrel({"-operation", "sentrel", "-file", "relative/path", "-data", data}, form(good));
    EXPECT_EQ(result.exitStatus, 3);

    // A target that does not exist and has no backup: 13, the data file untouched.
    result = sentrel({"-operation", "sentrel", "-file", folder / "missing", "-data", data}, form(good));
    EXPECT_EQ(result.exitStatus, 13);
    EXPECT_EQ(readFile(data), "new\n");

    // Data that is not a regular file, or reached through a link: 12, target untouched.
    ASSERT_EQ(::symlink(data.c_str(), (folder / "data-link").c_str()), 0);
    result = sentrel({"-operation", "sentrel", "-file", target, "-data", folder / "data-link"}, form(good));
    EXPECT_EQ(result.exitStatus, 12);
    result = sentrel({"-operation", "sentrel", "-file", target, "-data", folder.path()}, form(good));
    EXPECT_EQ(result.exitStatus, 12);
    EXPECT_EQ(readFile(target), "keep\n");

    // An unknown operation (the case matters) checks nothing and succeeds.
    result = sentrel({"-operation", "Sentrel", "-file", target, "-data", data}, form(good));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_NE(result.error.find("No valid command specified"), std::string::npos);
    EXPECT_EQ(result.inputLeft, 0u);
    EXPECT_EQ(readFile(target), "keep\n");
}

TEST_F(SentrelAsRoot, RunsOnlyTheServerCommandsInACleanEnvironment) {
    const AuthorizationRecord record = storeRecord(PORTHOLD_TEST_AUTH_STORE, 0, {{kControlRight, "", 0}});

    // The script's status is the tool's; it sees only PATH and LANG, and no descriptor beyond 2.
    Result result = sentrel({"-mypath", "/x", "-operation", "ctl", "-data", "graceful"}, form(record), true);
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
    result = sentrel({"-operation", "ctl"}, form(record));
    EXPECT_EQ(result.exitStatus, 42);
    EXPECT_EQ(readFile(kProbeReport).find("arg "), std::string::npos);

    // Any other word, one that looks like an option included, runs nothing.
    ::unlink(kProbeReport.c_str());
    for (const std::string word : {"-start", "configtest", "start; id", "Start", ""}) {
        result = sentrel({"-operation", "ctl", "-data", word}, form(record));
        EXPECT_EQ(result.exitStatus, 3) << word;
        EXPECT_EQ(lstatOf(kProbeReport).st_mode, 0u) << word;
    }

    // A script that cannot be started is a failure, never success.
    const std::string hidden = std::string(PORTHOLD_TEST_APACHECTL) + ".hidden";
    ASSERT_EQ(::rename(PORTHOLD_TEST_APACHECTL, hidden.c_str()), 0);
    result = sentrel({"-operation", "ctl", "-data", "stop"}, form(record));
    ASSERT_EQ(::rename(hidden.c_str(), PORTHOLD_TEST_APACHECTL), 0);
    EXPECT_EQ(result.exitStatus, 127);

    // Without the control right: 7, nothing run.
    const AuthorizationRecord replaceOnly =
        storeRecord(PORTHOLD_TEST_AUTH_STORE, 0, {{kReplaceRight, "", 0}});
    result = sentrel({"-operation", "ctl", "-data", "start"}, form(replaceOnly));
    EXPECT_EQ(result.exitStatus, 7);
    EXPECT_EQ(lstatOf(kProbeReport).st_mode, 0u);
}

class SentrelAsUser : public SentrelAsRoot {
protected:
    void SetUp() override {
        SentrelAsRoot::SetUp();
        if (IsSkipped())
            return;
        user = std::make_unique<TestUser>("phsentrel", "unused-Passw0rd", false);
        ASSERT_TRUE(user->valid());
        tool = installProgram(SENTREL_TEST_PROGRAM, folder / "Sentrel");
    }
    Result asUser(const std::vector<std::string> &options, const std::string &input,
                  const std::string &program = {}, const std::string &argv0 = {}) {
        Launch launch;
        launch.arguments = {program.empty() ? tool : program};
        launch.arguments.insert(launch.arguments.end(), options.begin(), options.end());
        launch.argv0 = argv0;
        launch.input = input;
        launch.uid = user->uid();
        launch.gid = user->gid();
        return run(launch);
    }
    std::unique_ptr<TestUser> user;
    std::string tool;
};

TEST_F(SentrelAsUser, ReplacesARootFileWithTheUsersOwnAuthorizationOnly) {
    const std::string target = folder / "root.conf";
    writeFile(target, "root's\n", 0600);
    const std::string data = folder / "data";
    writeFile(data, "from the panel\n", 0600);
    ASSERT_EQ(::chown(data.c_str(), user->uid(), user->gid()), 0);
    const std::vector<std::string> replace{"-mypath", tool,   "-operation", "sentrel",
                                           "-file",   target, "-data",      data};

    // A record asked for by root is not this user's.
    const AuthorizationRecord roots = storeRecord(PORTHOLD_TEST_AUTH_STORE, 0, {{kReplaceRight, "", 0}});
    EXPECT_EQ(asUser(replace, form(roots)).exitStatus, 7);

    const AuthorizationRecord own =
        storeRecord(PORTHOLD_TEST_AUTH_STORE, user->uid(), {{kReplaceRight, "", 0}});
    // Data that is not the caller's own is refused: root would read it for them.
    writeFile(folder / "secret", "root only\n", 0600);
    EXPECT_EQ(
        asUser({"-operation", "sentrel", "-file", target, "-data", folder / "secret"}, form(own)).exitStatus,
        12);

    const Result result = asUser(replace, form(own));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(readFile(target), "from the panel\n");
    const struct stat st = lstatOf(target);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(target + ".preporthold"), "root's\n");
}

TEST_F(SentrelAsUser, AToolNotYetRepairedStopsBeforeReadingItsInput) {
    const std::string plain = installProgram(SENTREL_TEST_PROGRAM, folder / "Plain", false);
    const AuthorizationRecord own =
        storeRecord(PORTHOLD_TEST_AUTH_STORE, user->uid(), {{kControlRight, "", 0}});
    const Result result = asUser({"-operation", "ctl", "-data", "start"}, form(own), plain);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.inputLeft, 32u);
    EXPECT_EQ(lstatOf(kProbeReport).st_mode, 0u);
}

TEST_F(SentrelAsUser, SelfRepairIsHonouredOnlyForRoot) {
    // Started by root, a user's 0777 copy becomes root's 04755, group unchanged.
    const std::string copy = folder / "Repairable";
    std::filesystem::copy_file(SENTREL_TEST_PROGRAM, copy);
    ASSERT_EQ(::chown(copy.c_str(), user->uid(), user->gid()), 0);
    ASSERT_EQ(::chmod(copy.c_str(), 0777), 0);
    Launch launch;
    launch.arguments = {copy, "-selfRepair", "YES", "-mypath", copy};
    const Result repaired = run(launch);
    EXPECT_EQ(repaired.exitStatus, 0) << repaired.error;
    EXPECT_FALSE(repaired.output.empty());
    EXPECT_EQ(repaired.output.find_first_not_of("0123456789"), std::string::npos) << repaired.output;
    struct stat st = lstatOf(copy);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, user->gid());
    EXPECT_EQ(st.st_mode & 07777, 04755u);

    // Only group and other write go; set-group-ID and sticky stay.
    const std::string other = folder / "Other";
    std::filesystem::copy_file(SENTREL_TEST_PROGRAM, other);
    ASSERT_EQ(::chmod(other.c_str(), 03770), 0);
    launch.arguments = {other, "-selfRepair", "YES"};
    EXPECT_EQ(run(launch).exitStatus, 0);
    EXPECT_EQ(lstatOf(other).st_mode & 07777, 07750u);

    // Started set-user-ID by the user, whatever it is told or called, it changes nothing.
    const std::string bait = folder / "bait";
    writeFile(bait, "#!/bin/sh\n", 0777);
    ASSERT_EQ(::chown(bait.c_str(), user->uid(), user->gid()), 0);
    ASSERT_EQ(::chmod(bait.c_str(), 0777), 0);
    for (const std::string &argv0 : std::vector<std::string>{bait, "/proc/self/exe", tool}) {
        const Result refused = asUser({"-selfRepair", "YES", "-mypath", bait}, "", tool, argv0);
        EXPECT_EQ(refused.exitStatus, 2) << argv0;
        st = lstatOf(bait);
        EXPECT_EQ(st.st_uid, user->uid());
        EXPECT_EQ(st.st_mode & 07777, 0777u);
        st = lstatOf(tool);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 04755u);
    }
}

TEST(SetUserIDPrograms, DependOnSystemLibrariesOnly) {
    for (const std::string program : {SENTREL_PROGRAM, AUTHORITY_PROGRAM}) {
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
    }
}

TEST_F(SentrelAsUser, TheControlScriptGetsUmask022AndRootsLimitsNotTheCallers) {
    const AuthorizationRecord own =
        storeRecord(PORTHOLD_TEST_AUTH_STORE, user->uid(), {{kControlRight, "", 0}});
    Launch launch;
    launch.arguments = {tool, "-operation", "ctl", "-data", "start"};
    launch.input = form(own);
    launch.uid = user->uid();
    launch.gid = user->gid();
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

TEST(SetUserIDPrograms, LinkOnlyTheToolHalfOfTheAuthorizationService) {
    // The client half creates authorizations and starts programs on the
    // panel's behalf: none of it belongs in a program that runs as root.
    for (const std::string program : {SENTREL_PROGRAM, AUTHORITY_PROGRAM}) {
        Launch launch;
        launch.arguments = {"/usr/bin/nm", "-C", program};
        const Result result = run(launch);
        ASSERT_EQ(result.exitStatus, 0) << result.error;
        EXPECT_NE(result.output.find("AuthorizationRecordStore"), std::string::npos) << program;
        for (const char *client :
             {"AuthorizationCreate", "AuthorizationCopyRights", "AuthorizationExecuteWithPrivileges",
              "AuthorizationHelperPath", "AuthorizationFree"})
            EXPECT_EQ(result.output.find(client), std::string::npos) << program << " holds " << client;
    }
}
