// sentrel: the panel's set-user-ID helper. It replaces a protected file with a
// prepared one, or runs the server control script, after checking that the
// caller's authorization grants the right for that operation. One request a
// run; the answer is the exit status.

#include "platform/authorization/Authorization.h"
#include "platform/authorization/PosixLog.h"
#include "platform/authorization/PrivilegedProcess.h"
#include "tool/FileReplacement.h"
#include "tool/SentrelOptions.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef PORTHOLD_AUTH_STORE
#error "PORTHOLD_AUTH_STORE must be fixed at build time"
#endif
#ifndef PORTHOLD_APACHECTL
#error "PORTHOLD_APACHECTL must be fixed at build time"
#endif

namespace {

constexpr const char *kReplaceRight = "com.quillmere.porthold.sentrel";
constexpr const char *kControlRight = "com.quillmere.porthold.apachectl";

enum Exit { Success = 0, NotRoot = 2, BadArguments = 3, NotAuthorized = 7, ScriptNotStarted = 127 };

/// Makes the running program root's and set-user-ID. Only a start with real
/// user root (the privileged-execution service) may do this, and it acts on the
/// program file itself, never on a path that could be swapped meanwhile.
int selfRepair(uid_t caller) {
    std::printf("%d", static_cast<int>(::getpid()));
    std::fflush(stdout);
    PosixLog::write("Sentrel started in selfrepair mode");
    if (caller != 0 || ::geteuid() != 0) {
        PosixLog::write("Sentrel refused to selfrepair: it was not started with administrator rights");
        return NotRoot;
    }
    const int self = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (self < 0 || ::fstat(self, &st) != 0 || !S_ISREG(st.st_mode)) {
        PosixLog::write("Sentrel cannot open its own program file: %s", std::strerror(errno));
        return NotRoot;
    }
    const mode_t repaired = static_cast<mode_t>(((st.st_mode & 07777) & ~mode_t{022}) | 04000);
    // Owner first: changing the owner clears the set-user-ID bit.
    const bool done = ::fchown(self, 0, static_cast<gid_t>(-1)) == 0 && ::fchmod(self, repaired) == 0;
    if (!done)
        PosixLog::write("Sentrel cannot make itself root's: %s", std::strerror(errno));
    ::close(self);
    return done ? Success : NotRoot;
}

bool isGranted(const AuthorizationRef &authorization, const char *right) {
    const AuthorizationRights rights{{right, {}, 0}};
    return AuthorizationCopyRights(authorization, &rights, nullptr,
                                   kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights,
                                   nullptr) == errAuthorizationSuccess;
}

const char *orNull(const std::string *value) {
    return value ? value->c_str() : "(null)";
}

int replace(const AuthorizationRef &authorization, const SentrelOptions &options, uid_t caller) {
    if (!isGranted(authorization, kReplaceRight))
        return NotAuthorized;
    const std::string *file = sentrelOption(options, "file");
    const std::string *data = sentrelOption(options, "data");
    PosixLog::write("Porthold executing Sentrel to modify %s", orNull(file));
    if (!file || !data)
        return BadArguments;
    return replaceFile(*file, *data, caller);
}

/// Runs the control script with at most one of the server commands, in a clean
/// environment, its output and error output discarded.
int control(const AuthorizationRef &authorization, const SentrelOptions &options) {
    if (!isGranted(authorization, kControlRight))
        return NotAuthorized;
    const std::string *command = sentrelOption(options, "data");
    if (command && *command != "start" && *command != "stop" && *command != "restart" &&
        *command != "graceful") {
        PosixLog::write("Sentrel refused to run apachectl with %s", command->c_str());
        return BadArguments;
    }
    const std::string script = PORTHOLD_APACHECTL;
    PosixLog::write("Porthold executing %s %s", script.substr(script.rfind('/') + 1).c_str(),
                    orNull(command));

    char *arguments[] = {const_cast<char *>(script.c_str()),
                         command ? const_cast<char *>(command->c_str()) : nullptr, nullptr};
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char language[] = "LANG=C";
    char *environment[] = {path, language, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, script.c_str(), &actions, nullptr, arguments, environment);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        PosixLog::write("Sentrel cannot run %s: %s", script.c_str(), std::strerror(spawned));
        return ScriptNotStarted;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return ScriptNotStarted;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

} // namespace

int main(int argc, char **argv) {
    // Whoever started us, saved before anything can change it: the authorization
    // must have been asked for by this user.
    const uid_t caller = ::getuid();
    PosixLog::open("sentrel");
    PrivilegedProcess::sanitize();

    const SentrelOptions options = parseSentrelOptions(argc, argv);
    const std::string *selfRepairSetting = sentrelOption(options, "selfRepair");
    if (selfRepairSetting && *selfRepairSetting == "YES")
        return selfRepair(caller);

    if (!PrivilegedProcess::becomeRootEntirely()) {
        PosixLog::write("Sentrel must be selfrepaired before use");
        return NotRoot;
    }

    AuthorizationConfigureRecordStore(PORTHOLD_AUTH_STORE, caller);
    AuthorizationExternalForm form{};
    AuthorizationRef authorization;
    if (PrivilegedProcess::readUpTo(0, form.bytes, sizeof form.bytes) == sizeof form.bytes)
        AuthorizationCreateFromExternalForm(&form, &authorization);
    ::explicit_bzero(&form, sizeof form);

    const std::string *operation = sentrelOption(options, "operation");
    if (operation && *operation == "sentrel")
        return replace(authorization, options, caller);
    if (operation && *operation == "ctl")
        return control(authorization, options);
    PosixLog::write("No valid command specified");
    return Success;
}
