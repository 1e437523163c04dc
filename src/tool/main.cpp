// sentrel: the panel's root helper. pkexec starts it as root once polkit has
// said yes to the calling user for the action that names its first argument;
// it has no set-user-ID bit and reads nothing from its caller but its command
// line. It replaces one of the server files that root's list of managed files
// names with a prepared file, or runs the server control script. One request a
// run; the answer is the exit status.
// The command line is described in tool/SentrelRequest.h.

#include "platform/authorization/PosixLog.h"
#include "platform/authorization/PrivilegedProcess.h"
#include "support/posix/PHErrorCode.h"
#include "support/posix/PHSpawn.h"
#include "tool/FileReplacement.h"
#include "tool/ManagedFiles.h"
#include "tool/SentrelRequest.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef PORTHOLD_APACHECTL
#error "PORTHOLD_APACHECTL must be fixed at build time"
#endif
#ifndef PORTHOLD_MANAGED_FILES
#error "PORTHOLD_MANAGED_FILES must be fixed at build time"
#endif

namespace {

enum Exit {
    Success = PHError::None,
    NotRoot = PHError::NotPrivileged,
    BadArguments = PHError::ToolBadArguments,
    NotAuthorized = PHError::NotAuthorized,
    ScriptNotStarted = 127
};

int replace(const SentrelRequest &request, uid_t caller) {
    if (!request.file || !request.data) {
        PosixLog::write("Sentrel needs -file and -data to replace a file");
        return BadArguments;
    }
    std::string problem;
    const std::optional<ManagedFiles> managed = ManagedFiles::load(PORTHOLD_MANAGED_FILES, &problem);
    if (!managed) {
        PosixLog::write("Sentrel refuses every replacement: %s", problem.c_str());
        return NotAuthorized;
    }
    if (!managed->lists(*request.file)) {
        PosixLog::write("Sentrel refuses to replace %s: it is not one of the files listed in %s",
                        request.file->c_str(), PORTHOLD_MANAGED_FILES);
        return NotAuthorized;
    }
    PosixLog::write("Porthold executing Sentrel to modify %s", request.file->c_str());
    return replaceFile(*request.file, *request.data, caller);
}

/// Runs the control script with at most one of the server commands, in a clean
/// environment, with the file mode mask 022 and root's default limits (what
/// the server creates must be readable as usual, and the caller's limits are
/// not the server's), its output and error output discarded.
int control(const SentrelRequest &request) {
    if (request.file) {
        PosixLog::write("Sentrel takes no file to control the server");
        return BadArguments;
    }
    const std::optional<std::string> &command = request.data;
    if (command && *command != "start" && *command != "stop" && *command != "restart" &&
        *command != "graceful") {
        PosixLog::write("Sentrel refused to run apachectl with %s", command->c_str());
        return BadArguments;
    }
    const std::string script = PORTHOLD_APACHECTL;
    PosixLog::write("Porthold executing %s %s", script.substr(script.rfind('/') + 1).c_str(),
                    command ? command->c_str() : "(null)");

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
    PosixLog::open("sentrel");
    // Read before the environment is cleared; only trusted once the process is
    // known to be root's through and through (pkexec's child, or root's own start).
    const char *pkexecUid = ::getenv("PKEXEC_UID");
    const std::optional<std::string> pkexecUidCopy =
        pkexecUid ? std::optional<std::string>(pkexecUid) : std::nullopt;
    PrivilegedProcess::sanitize();

    // No set-user-ID start is honoured: an ordinary user who starts this
    // program (even a copy someone made set-user-ID) gets nothing done.
    if (::getuid() != 0 || ::geteuid() != 0 || ::getgid() != 0 || ::getegid() != 0) {
        PosixLog::write("Sentrel runs only as root, through pkexec");
        return NotRoot;
    }
    ::prctl(PR_SET_DUMPABLE, 0);
    const std::optional<uid_t> caller = sentrelCallerOf(pkexecUidCopy ? pkexecUidCopy->c_str() : nullptr);
    if (!caller) {
        PosixLog::write("Sentrel was started with an invalid PKEXEC_UID");
        return BadArguments;
    }

    const std::optional<SentrelRequest> request = parseSentrelRequest(argc, argv);
    const bool replacing = request && request->operation == "replace-configuration";
    const bool controlling = request && request->operation == "control-server";
    if (!replacing && !controlling) {
        PosixLog::write("No valid command specified");
        return BadArguments;
    }

    // Beyond the caller's reach: no signal of a terminal's, and none of the
    // caller's limits, cuts the operation short.
    ::setgroups(0, nullptr);
    PrivilegedProcess::blockSignals();
    PrivilegedProcess::resetLimits();
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    ::setrlimit(RLIMIT_CPU, &unlimited);
    return replacing ? replace(*request, *caller) : control(*request);
}
