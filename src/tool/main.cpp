// sentrel: the panel's set-user-ID helper. It replaces a protected file with a
// prepared one, or runs the server control script, after checking that the
// caller's authorization grants the right for that operation. One request a
// run; the answer is the exit status.

#include "platform/authorization/PosixLog.h"
#include "platform/authorization/PresentedAuthorization.h"
#include "platform/authorization/PrivilegedProcess.h"
#include "support/posix/PHErrorCode.h"
#include "support/posix/PHSpawn.h"
#include "tool/FileReplacement.h"
#include "tool/SentrelOptions.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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

enum Exit {
    Success = PHError::None,
    NotRoot = PHError::NotPrivileged,
    BadArguments = PHError::ToolBadArguments,
    NotAuthorized = PHError::NotAuthorized,
    ScriptNotStarted = 127
};

/// How long the caller has to hand over the authorization.
constexpr int kInputSeconds = 5;

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

const char *orNull(const std::string *value) {
    return value ? value->c_str() : "(null)";
}

int replace(const SentrelOptions &options, uid_t caller) {
    const std::string *file = sentrelOption(options, "file");
    const std::string *data = sentrelOption(options, "data");
    PosixLog::write("Porthold executing Sentrel to modify %s", orNull(file));
    if (!file || !data)
        return BadArguments;
    return replaceFile(*file, *data, caller);
}

/// Runs the control script with at most one of the server commands, in a clean
/// environment, with the file mode mask 022 and root's default limits (what
/// the server creates must be readable as usual, and the caller's limits are
/// not the server's), its output and error output discarded.
int control(const SentrelOptions &options) {
    const std::string *command = sentrelOption(options, "data");
    if (command && *command != "start" && *command != "stop" && *command != "restart" &&
        *command != "graceful") {
        PosixLog::write("Sentrel refused to run apachectl with %s", command->c_str());
        return BadArguments;
    }
    const std::string script = PORTHOLD_APACHECTL;
    PosixLog::write("Porthold executing %s %s", script.substr(script.rfind('/') + 1).c_str(),
                    orNull(command));

    PHSpawn spawn;
    spawn.program = script;
    if (command)
        spawn.arguments.push_back(*command);
    spawn.environment =
        std::vector<std::string>{PrivilegedProcess::kCleanPath, PrivilegedProcess::kCleanLanguage};
    for (int &stream : spawn.streams)
        stream = PHSpawn::kNullDevice;
    // The script starts with every signal unblocked and at its default.
    spawn.signalDefaults = PHSpawn::SignalDefaults::All;
    const mode_t mask = ::umask(022);
    pid_t child = -1;
    const int spawned = spawn.start(&child);
    ::umask(mask);
    if (spawned != 0) {
        PosixLog::write("Sentrel cannot run %s: %s", script.c_str(), std::strerror(spawned));
        return ScriptNotStarted;
    }
    int status = 0;
    if (!PHWaitForChild(child, &status))
        return ScriptNotStarted;
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

    if (::geteuid() != 0) {
        PosixLog::write("Sentrel must be selfrepaired before use");
        return NotRoot;
    }
    ::prctl(PR_SET_DUMPABLE, 0);

    // Until the authorization is checked this process stays the caller's: it
    // waits for the input with the caller's rights, the caller may signal it,
    // and it counts against the caller's limits. Input that never comes ends
    // the wait after a few seconds.
    if (!PrivilegedProcess::actAsCaller()) {
        PosixLog::write("Sentrel cannot take its caller's identity");
        return NotRoot;
    }
    AuthorizationExternalForm form{};
    const bool complete =
        PrivilegedProcess::readWithin(0, form.bytes, sizeof form.bytes, kInputSeconds) == sizeof form.bytes;

    const std::string *operation = sentrelOption(options, "operation");
    const char *right = !operation                ? nullptr
                        : *operation == "sentrel" ? kReplaceRight
                        : *operation == "ctl"     ? kControlRight
                                                  : nullptr;
    if (!right) {
        ::explicit_bzero(&form, sizeof form);
        PosixLog::write("No valid command specified");
        return Success;
    }
    if (!PrivilegedProcess::actAsRoot())
        return NotRoot;
    PresentedAuthorization authorization(PORTHOLD_AUTH_STORE, caller);
    const bool granted = complete && authorization.accept(form) == AuthorizationLookup::Granted &&
                         authorization.grants({{right, {}, 0}});
    ::explicit_bzero(&form, sizeof form);
    if (!granted)
        return NotAuthorized;

    // Root for the operation alone, beyond the caller's reach: no signal of
    // the caller's or a terminal's, and none of the caller's limits, cuts it short.
    if (!PrivilegedProcess::becomeRootEntirely()) {
        PosixLog::write("Sentrel must be selfrepaired before use");
        return NotRoot;
    }
    PrivilegedProcess::blockSignals();
    PrivilegedProcess::resetLimits();
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    ::setrlimit(RLIMIT_CPU, &unlimited);
    return right == kReplaceRight ? replace(options, caller) : control(options);
}
