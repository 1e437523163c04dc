#include "support/posix/PHSpawn.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

/// The spawn attributes and file actions of one start, released however the
/// start ends.
class SpawnSetUp {
public:
    SpawnSetUp() {
        m_actionsError = ::posix_spawn_file_actions_init(&m_actions);
        m_attributesError = ::posix_spawnattr_init(&m_attributes);
    }
    ~SpawnSetUp() {
        if (m_actionsError == 0)
            ::posix_spawn_file_actions_destroy(&m_actions);
        if (m_attributesError == 0)
            ::posix_spawnattr_destroy(&m_attributes);
        for (int copy : m_copies)
            ::close(copy);
    }
    SpawnSetUp(const SpawnSetUp &) = delete;
    SpawnSetUp &operator=(const SpawnSetUp &) = delete;

    int initError() const { return m_actionsError != 0 ? m_actionsError : m_attributesError; }

    /// The child's descriptor `target` becomes a copy of our `source`. The
    /// source is first copied above 2, so that no earlier step on 0 to 2 in
    /// the child can have replaced it by the time it is duplicated.
    int hand(int source, int target) {
        const int copy = ::fcntl(source, F_DUPFD_CLOEXEC, 3);
        if (copy < 0)
            return errno;
        m_copies.push_back(copy);
        return ::posix_spawn_file_actions_adddup2(&m_actions, copy, target);
    }

    int openNullDevice(int target) {
        return ::posix_spawn_file_actions_addopen(&m_actions, target, "/dev/null",
                                                  target == 0 ? O_RDONLY : O_WRONLY, 0);
    }

    int closeTheRest() { return ::posix_spawn_file_actions_addclosefrom_np(&m_actions, 3); }

    int resetSignals(PHSpawn::SignalDefaults defaults) {
        sigset_t toDefault;
        sigemptyset(&toDefault);
        if (defaults == PHSpawn::SignalDefaults::All)
            sigfillset(&toDefault);
        else
            sigaddset(&toDefault, SIGPIPE);
        sigset_t none;
        sigemptyset(&none);
        if (const int error = ::posix_spawnattr_setsigdefault(&m_attributes, &toDefault); error != 0)
            return error;
        if (const int error = ::posix_spawnattr_setsigmask(&m_attributes, &none); error != 0)
            return error;
        return ::posix_spawnattr_setflags(&m_attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }

    const posix_spawn_file_actions_t *actions() const { return &m_actions; }
    const posix_spawnattr_t *attributes() const { return &m_attributes; }

private:
    posix_spawn_file_actions_t m_actions{};
    posix_spawnattr_t m_attributes{};
    int m_actionsError = 0;
    int m_attributesError = 0;
    std::vector<int> m_copies;
};

} // namespace

int PHSpawn::start(pid_t *child) const {
    if (program.empty() || (program.front() != '/' && !allowRelativeProgram))
        return EINVAL;
    SpawnSetUp setUp;
    if (const int error = setUp.initError(); error != 0)
        return error;
    for (int target = 0; target <= 2; ++target) {
        int error = 0;
        if (streams[target] == kNullDevice)
            error = setUp.openNullDevice(target);
        else if (streams[target] != kInherit)
            error = streams[target] < 0 ? EBADF : setUp.hand(streams[target], target);
        if (error != 0)
            return error;
    }
    if (const int error = setUp.closeTheRest(); error != 0)
        return error;
    if (const int error = setUp.resetSignals(signalDefaults); error != 0)
        return error;

    std::vector<char *> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    if (environment) {
        envp.reserve(environment->size() + 1);
        for (const std::string &variable : *environment)
            envp.push_back(const_cast<char *>(variable.c_str()));
        envp.push_back(nullptr);
    }

    pid_t started = -1;
    const int error = ::posix_spawn(&started, program.c_str(), setUp.actions(), setUp.attributes(),
                                    argv.data(), environment ? envp.data() : environ);
    if (error == 0 && child)
        *child = started;
    return error;
}

bool PHWaitForChild(pid_t child, int *status) {
    int raw = 0;
    pid_t result;
    do {
        result = ::waitpid(child, &raw, 0);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return false;
    if (status)
        *status = raw;
    return true;
}
