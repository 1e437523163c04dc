// The authorization service with real PAM, real users and the helper installed
// set-user-ID: who may create an authorization, who may use and destroy it,
// and the panel's library driving it as an ordinary user.

#include "common/PrivilegedTestSupport.h"
#include "platform/authorization/Authorization.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sys/socket.h>

using namespace privileged_test;

namespace {

const std::string kBuild = PORTHOLD_BINARY_DIR;
const std::string kStore = kBuild + "/test-authorizations";
const std::string kHelperBuilt = kBuild + "/src/platform/authorization/porthold-authority-test";
const std::string kPamService = "/etc/pam.d/porthold";
const std::string kAdminPassword = "Adm1n-secret";
const std::string kPlainPassword = "Pla1n-secret";
const std::string kReplaceRight = "com.quillmere.porthold.sentrel";

/// Forgets the failed password attempts counted for these accounts.
void forgetFailures(const std::vector<std::string> &names) {
    for (const std::string &name : names)
        ::unlink((kStore + "/failures-" + name).c_str());
}

std::string fields(const std::vector<std::string> &values) {
    std::string text;
    for (const std::string &value : values)
        text.append(value).push_back('\0');
    return text;
}

} // namespace

class AuthorizationService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!isRoot())
            return;
        folder = new TemporaryFolder;
        admin = new TestUser("phadmin", kAdminPassword, true);
        plain = new TestUser("phplain", kPlainPassword, false);
        helper = installProgram(kHelperBuilt, *folder / "porthold-authority");
        forgetFailures({"phadmin", "phplain"});
        if (lstatOf(kPamService).st_mode == 0) {
            installedPamService = true;
            std::filesystem::copy_file(std::string(PORTHOLD_SOURCE_DIR) + "/resources/pam/porthold",
                                       kPamService);
        }
    }
    static void TearDownTestSuite() {
        removeStoredRecords(kStore);
        forgetFailures({"phadmin", "phplain"});
        if (installedPamService)
            ::unlink(kPamService.c_str());
        delete plain;
        delete admin;
        delete folder;
    }
    void SetUp() override {
        if (!isRoot())
            GTEST_SKIP() << "needs root: creates users, installs the helper set-user-ID and a PAM service";
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizer's crypt interceptor crashes on Debian's yescrypt
        // hashes inside pam_unix; the ordinary build runs these.
        GTEST_SKIP() << "PAM password checks cannot run under AddressSanitizer";
#endif
        ASSERT_TRUE(admin->valid() && plain->valid());
    }

    static Result helperAs(const TestUser &user, const std::vector<std::string> &arguments,
                           const std::string &input) {
        Launch launch;
        launch.arguments = {helper};
        launch.arguments.insert(launch.arguments.end(), arguments.begin(), arguments.end());
        launch.input = input;
        launch.uid = user.uid();
        launch.gid = user.gid();
        return run(launch);
    }

    static inline TemporaryFolder *folder = nullptr;
    static inline TestUser *admin = nullptr;
    static inline TestUser *plain = nullptr;
    static inline std::string helper;
    static inline bool installedPamService = false;
};

TEST_F(AuthorizationService, CreatesAnAuthorizationForAnAdministratorsPasswordOnly) {
    const std::string rights = fields({kReplaceRight, "", kAuthorizationRightExecute, "/opt/tool"});
    Result result = helperAs(*admin, {"create"}, fields({admin->name(), kAdminPassword}) + rights);
    ASSERT_EQ(result.exitStatus, 0) << result.error;
    ASSERT_EQ(result.output.size(), 32u);

    // The record names the asking user, the administrator, the rights and a five-minute life.
    AuthorizationRecordStore store;
    ASSERT_TRUE(store.open(kStore, false, nullptr));
    AuthorizationIdentifier identifier;
    std::memcpy(identifier.data(), result.output.data(), identifier.size());
    storedRecords().push_back(identifier);
    const std::optional<AuthorizationRecord> record = store.read(identifier);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->user, admin->uid());
    EXPECT_EQ(record->administrator, admin->name());
    EXPECT_EQ(record->rights,
              (AuthorizationRights{{kReplaceRight, "", 0}, {kAuthorizationRightExecute, "/opt/tool", 0}}));
    EXPECT_NEAR(static_cast<double>(record->expires - ::time(nullptr)), 300.0, 5.0);
    EXPECT_EQ(lstatOf(kStore + "/" + AuthorizationRecordStore::fileName(identifier)).st_mode & 07777, 0600u);
    EXPECT_EQ(lstatOf(kStore).st_mode & 07777, 0700u);

    // A wrong password is refused after a delay; so is a non-administrator's right password.
    const auto started = std::chrono::steady_clock::now();
    result = helperAs(*admin, {"create"}, fields({admin->name(), "wrong"}) + rights);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(result.output.empty());
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1900));
    result = helperAs(*plain, {"create"}, fields({plain->name(), kPlainPassword}) + rights);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(result.output.empty());

    // Malformed requests: 2, without asking PAM.
    for (const std::string &input : {std::string(), admin->name(), fields({admin->name(), kAdminPassword}),
                                     fields({admin->name(), kAdminPassword, kReplaceRight}),
                                     fields({admin->name(), kAdminPassword, "bad right", ""}),
                                     fields({"-rf", kAdminPassword, kReplaceRight, ""}),
                                     fields({admin->name(), kAdminPassword}) + "x"}) {
        result = helperAs(*admin, {"create"}, input);
        EXPECT_EQ(result.exitStatus, 2) << input;
        EXPECT_TRUE(result.output.empty());
    }
    EXPECT_EQ(helperAs(*admin, {"frobnicate"}, "").exitStatus, 2);
}

// Nothing of the caller's environment reaches the tool: only the clean search
// path and the C locale.
TEST_F(AuthorizationService, ExecGivesTheToolOnlyACleanEnvironment) {
    const AuthorizationRecord record =
        storeRecord(kStore, plain->uid(), {{kAuthorizationRightExecute, "/usr/bin/env", 0}});
    Launch launch;
    launch.arguments = {helper, "exec", "/usr/bin/env"};
    launch.input = externalFormBytes(record);
    launch.uid = plain->uid();
    launch.gid = plain->gid();
    launch.environment.push_back("PORTHOLD_CALLER_MARK=from the caller");
    launch.environment.push_back("LANG=de_DE.UTF-8");
    const Result result = run(launch);
    EXPECT_EQ(result.exitStatus, 0) << result.error;
    EXPECT_EQ(result.output, "PATH=/usr/sbin:/usr/bin:/sbin:/bin\nLANG=C\n");
}

TEST_F(AuthorizationService, ExecRunsOnlyTheGrantedToolForTheUserWhoAsked) {
    const AuthorizationRecord record = storeRecord(
        kStore, plain->uid(), {{kAuthorizationRightExecute, "/usr/bin/id", 0}, {kReplaceRight, "", 0}});
    const std::string form = externalFormBytes(record);

    // The granted tool runs with real user root; the rest of the input is the tool's.
    Result result = helperAs(*plain, {"exec", "/usr/bin/id", "-ru"}, form);
    EXPECT_EQ(result.exitStatus, 0) << result.error;
    EXPECT_EQ(result.output, "0\n");

    // Another path, even one naming the same file, is not granted.
    for (const std::string tool : {"/bin/sh", "/usr/bin/../bin/id", "/bin/id"}) {
        result = helperAs(*plain, {"exec", tool, "-c", "id"}, form);
        EXPECT_EQ(result.exitStatus, 1) << tool;
        EXPECT_TRUE(result.output.empty()) << tool;
    }
    // Someone else's record, a forged secret, too few bytes, an expired record.
    EXPECT_EQ(helperAs(*admin, {"exec", "/usr/bin/id"}, form).exitStatus, 1);
    std::string forged = form;
    forged[20] = static_cast<char>(forged[20] ^ 0x40);
    EXPECT_EQ(helperAs(*plain, {"exec", "/usr/bin/id"}, forged).exitStatus, 1);
    EXPECT_EQ(helperAs(*plain, {"exec", "/usr/bin/id"}, form.substr(0, 31)).exitStatus, 2);
    EXPECT_EQ(helperAs(*plain, {"exec", "relative/id"}, form).exitStatus, 2);
    const AuthorizationRecord expired =
        storeRecord(kStore, plain->uid(), {{kAuthorizationRightExecute, "/usr/bin/id", 0}}, -1);
    EXPECT_EQ(helperAs(*plain, {"exec", "/usr/bin/id"}, externalFormBytes(expired)).exitStatus, 1);

    // Only its owner destroys it; afterwards nothing accepts it.
    EXPECT_EQ(helperAs(*admin, {"destroy"}, form).exitStatus, 1);
    EXPECT_EQ(helperAs(*plain, {"destroy"}, forged).exitStatus, 1);
    EXPECT_EQ(helperAs(*plain, {"destroy"}, form).exitStatus, 0);
    EXPECT_EQ(helperAs(*plain, {"destroy"}, form).exitStatus, 1);
    EXPECT_EQ(helperAs(*plain, {"exec", "/usr/bin/id"}, form).exitStatus, 1);
}

/// The panel's side, run as the administrator in a child process: create with
/// a password, self-repair the tool through the privileged execution, then
/// use the authorization with the repaired tool, and destroy it.
/// A child running the helper as `user` with `input`, its output discarded.
pid_t startHelperAs(const std::string &helper, const TestUser &user, const std::string &input) {
    int in[2];
    if (::pipe(in) != 0 || ::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        return -1;
    ::close(in[1]);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(in[0], 0);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (::setgroups(0, nullptr) || ::setgid(user.gid()) || ::setuid(user.uid()))
            ::_exit(120);
        ::execl(helper.c_str(), helper.c_str(), "create", nullptr);
        ::_exit(121);
    }
    ::close(in[0]);
    return child;
}

TEST_F(AuthorizationService, KilledGuessingStaysWithinTheRate) {
    TestUser target("phguess", "Gue55-right", true);
    ASSERT_TRUE(target.valid());
    forgetFailures({target.name()});
    const std::string rights = fields({kReplaceRight, ""});

    // The plain user guesses the administrator's password, four attempts at a
    // time, killing each one that has not answered within 300 ms.
    constexpr double kSeconds = 12;
    struct Attempt {
        pid_t pid;
        std::chrono::steady_clock::time_point started;
    };
    std::vector<Attempt> running;
    int started = 0, answered = 0;
    const auto begin = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    };
    while (elapsed() < kSeconds || !running.empty()) {
        while (elapsed() < kSeconds && running.size() < 4) {
            const std::string guess = "guess-" + std::to_string(started++);
            running.push_back({startHelperAs(helper, *plain, fields({target.name(), guess}) + rights),
                               std::chrono::steady_clock::now()});
        }
        for (auto attempt = running.begin(); attempt != running.end();) {
            int status = 0;
            if (::waitpid(attempt->pid, &status, WNOHANG) == attempt->pid) {
                ++answered;
                attempt = running.erase(attempt);
            } else if (std::chrono::steady_clock::now() - attempt->started > std::chrono::milliseconds(300)) {
                ::kill(attempt->pid, SIGKILL);
                ::waitpid(attempt->pid, &status, 0);
                attempt = running.erase(attempt);
            } else {
                ++attempt;
            }
        }
        ::usleep(20 * 1000);
    }

    // What was checked is what the store counted; the schedule allows one
    // check at once, then after 2, 4, 8, 16 s and every 5 minutes, counted in
    // whole seconds of the clock (so each wait may be up to a second short).
    long long checked = 0, last = 0;
    std::ifstream record(kStore + "/failures-" + target.name());
    std::string magic;
    std::getline(record, magic);
    std::string key;
    record >> key >> checked >> key >> last;
    int allowed = 0;
    for (std::int64_t at = 0; at <= static_cast<std::int64_t>(kSeconds);
         at += (std::int64_t{1} << std::min(allowed, 8)) - 1)
        ++allowed;
    std::printf("killed guessing: %d attempts started, %d answered, %lld passwords checked in %.0f s: "
                "%.1f guesses per minute (at most %d allowed)\n",
                started, answered, checked, kSeconds, checked * 60 / kSeconds, allowed);
    EXPECT_GE(checked, 2);
    EXPECT_LE(checked, allowed);
    EXPECT_GT(started, 2 * allowed);

    // Right after the guessing, even the right password gets no quick answer.
    const pid_t right = startHelperAs(helper, *plain, fields({target.name(), "Gue55-right"}) + rights);
    ::usleep(300 * 1000);
    int status = 0;
    const bool answeredAtOnce = ::waitpid(right, &status, WNOHANG) == right;
    if (!answeredAtOnce) {
        ::kill(right, SIGKILL);
        ::waitpid(right, &status, 0);
    }
    EXPECT_FALSE(answeredAtOnce && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    forgetFailures({target.name()});
}

TEST_F(AuthorizationService, OnlyMembersOfTheListedGroupsAreAdministrators) {
    // A group named "admin", which Debian's adduser makes for an ordinary account.
    const bool madeGroup = ::getgrnam("admin") == nullptr;
    if (madeGroup) {
        ASSERT_EQ(accountCommand("groupadd admin"), 0);
    }
    TestUser member("phadmgrp", "Memb3r-secret", false);
    ASSERT_TRUE(member.valid());
    ASSERT_EQ(accountCommand("usermod -a -G admin phadmgrp"), 0);
    forgetFailures({member.name(), admin->name()});
    const std::string list = PORTHOLD_TEST_ADMIN_GROUPS;
    const std::string rights = fields({kReplaceRight, ""});
    auto create = [&](const TestUser &who, const std::string &password) {
        const Result result = helperAs(who, {"create"}, fields({who.name(), password}) + rights);
        if (result.exitStatus == 0) {
            AuthorizationIdentifier identifier;
            std::memcpy(identifier.data(), result.output.data(), identifier.size());
            storedRecords().push_back(identifier);
        }
        return result.exitStatus;
    };

    // Without the file, the system's group ("sudo" here) only.
    ::unlink(list.c_str());
    EXPECT_EQ(create(member, "Memb3r-secret"), 1);
    EXPECT_EQ(create(*admin, kAdminPassword), 0);

    // Listed, "admin" counts; a file others may change lists nobody.
    writeFile(list, "# administrators\nsudo\n", 0644);
    EXPECT_EQ(create(member, "Memb3r-secret"), 1);
    writeFile(list, "# administrators\nsudo  admin # and the old group\n", 0644);
    EXPECT_EQ(create(member, "Memb3r-secret"), 0);
    ASSERT_EQ(::chmod(list.c_str(), 0666), 0);
    EXPECT_EQ(create(*admin, kAdminPassword), 1);

    ::unlink(list.c_str());
    forgetFailures({member.name(), admin->name()});
    if (madeGroup)
        accountCommand("groupdel admin");
}

TEST(AuthorizationHelperPath, IsTheInstalledOneAndNeverAFileOthersMayChange) {
    if (!isRoot())
        GTEST_SKIP() << "needs root: plants root's and users' files";
    // Without an override the library names the installed helper only, never
    // the build tree's, even when the installed one is missing.
    AuthorizationSetHelperPath({});
    EXPECT_EQ(AuthorizationHelperPath(), PORTHOLD_AUTHORITY_INSTALLED_PATH);
    EXPECT_NE(AuthorizationHelperPath(), PORTHOLD_AUTHORITY_BUILT_PATH);

    // A root panel with the installed helper missing runs nothing, however
    // plausible the file at the build tree's path.
    TemporaryFolder folder;
    const std::string marker = folder / "ran";
    const AuthorizationRights rights{{kReplaceRight, "", 0}};
    const AuthorizationEnvironment credentials{{kAuthorizationEnvironmentUsername, "someone", 0},
                                               {kAuthorizationEnvironmentPassword, "typed secret", 0}};
    AuthorizationRef authorization;
    if (lstatOf(PORTHOLD_AUTHORITY_INSTALLED_PATH).st_mode == 0) {
        const std::string built = PORTHOLD_AUTHORITY_BUILT_PATH;
        const std::string saved = built + ".saved";
        ASSERT_EQ(::rename(built.c_str(), saved.c_str()), 0);
        writeFile(built, "#!/bin/sh\ncat > " + marker + "\n", 0755);
        const OSStatus status =
            AuthorizationCreate(&rights, &credentials, kAuthorizationFlagExtendRights, &authorization);
        ASSERT_EQ(::rename(saved.c_str(), built.c_str()), 0);
        EXPECT_EQ(status, errAuthorizationToolExecuteFailure);
        EXPECT_EQ(lstatOf(marker).st_mode, 0u) << "the planted helper ran";
    }

    // A helper named explicitly but owned by a user, or writable by others,
    // is never run, with a password or without.
    const std::string planted = folder / "porthold-authority";
    for (const auto &[owner, mode] : std::vector<std::pair<uid_t, mode_t>>{{1, 0755}, {0, 0777}, {0, 0775}}) {
        writeFile(planted, "#!/bin/sh\ncat > " + marker + "\n", 0755);
        ASSERT_EQ(::chown(planted.c_str(), owner, 1), 0);
        ASSERT_EQ(::chmod(planted.c_str(), mode), 0);
        AuthorizationSetHelperPath(planted);
        std::string reason;
        EXPECT_FALSE(AuthorizationHelperIsTrusted(planted, &reason)) << owner << " " << mode;
        EXPECT_NE(reason.find("someone other than root"), std::string::npos) << reason;
        EXPECT_EQ(AuthorizationCreate(&rights, &credentials, kAuthorizationFlagExtendRights, &authorization),
                  errAuthorizationToolExecuteFailure);
        EXPECT_EQ(lstatOf(marker).st_mode, 0u) << "the planted helper ran";
    }
    AuthorizationSetHelperPath({});
}

TEST(AuthorizationHelperUsability, NeedsRootOrASetUserIDHelper) {
    TemporaryFolder folder;
    const std::string plainCopy = folder / "porthold-authority";
    writeFile(plainCopy, "#!/bin/sh\n", 0755);
    std::string reason;
    EXPECT_TRUE(AuthorizationHelperIsUsableAt(plainCopy, 0, &reason));
    EXPECT_FALSE(AuthorizationHelperIsUsableAt(plainCopy, 1000, &reason));
    EXPECT_NE(reason.find("set-user-ID root"), std::string::npos) << reason;
    EXPECT_FALSE(AuthorizationHelperIsUsableAt(folder / "missing", 0, &reason));
    EXPECT_NE(reason.find("missing"), std::string::npos) << reason;
    if (isRoot()) {
        ASSERT_EQ(::chown(plainCopy.c_str(), 0, 0), 0);
        ASSERT_EQ(::chmod(plainCopy.c_str(), 04755), 0);
        EXPECT_TRUE(AuthorizationHelperIsUsableAt(plainCopy, 1000, &reason)) << reason;
    }

    // Without a record an authorization has no external form, and nothing runs.
    AuthorizationRef empty;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &empty),
              errAuthorizationSuccess);
    AuthorizationExternalForm form;
    EXPECT_EQ(AuthorizationMakeExternalForm(empty, &form), errAuthorizationExternalizeNotAllowed);
    EXPECT_EQ(AuthorizationMakeExternalForm(AuthorizationRef(), &form), errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(AuthorizationRef(), "/bin/true", 0, nullptr, nullptr),
              errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(empty, "/bin/true", 0, nullptr, nullptr),
              errAuthorizationDenied);
    // An ordinary process never rebuilds an authorization from bytes.
    EXPECT_EQ(AuthorizationCreateFromExternalForm(&form, &empty), errAuthorizationInternalizeNotAllowed);
}

TEST(AuthorizationRecordStoreFolders, AreRootsWhateverTheMaskAndTheCallersGroup) {
    if (!isRoot())
        GTEST_SKIP() << "needs root: creates root's folders";
    // As the helper runs: effective user root, the caller's group, the caller's mask.
    TemporaryFolder folder;
    const std::string store = folder / "run/porthold/authorizations";
    const pid_t child = ::fork();
    if (child == 0) {
        ::umask(077);
        if (::setegid(12345) != 0)
            ::_exit(120);
        AuthorizationRecordStore records;
        ::_exit(records.open(store, true, nullptr) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const auto &[path, mode] : std::vector<std::pair<std::string, mode_t>>{
             {folder / "run", 0755}, {folder / "run/porthold", 0755}, {store, 0700}}) {
        const struct stat st = lstatOf(path);
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << path;
        EXPECT_EQ(st.st_mode & 07777, mode) << path;
        EXPECT_EQ(st.st_uid, 0u) << path;
        EXPECT_EQ(st.st_gid, 0u) << path;
    }
}
