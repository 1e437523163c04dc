#include "platform/authorization/PrivilegedProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

void PrivilegedProcess::sanitize() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int opened = ::open("/dev/null", O_RDWR);
            // Lower descriptors are open, so this lands on `fd` itself.
            if (opened != fd)
                std::_Exit(3);
        }
    }
    ::closefrom(3);
    ::clearenv();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::umask(077);
    if (::chdir("/") != 0)
        std::_Exit(3);
}

void PrivilegedProcess::resetLimits() {
    constexpr rlim_t kUnlimited = RLIM_INFINITY;
    for (int resource = 0; resource < RLIM_NLIMITS; ++resource) {
        const auto which = static_cast<__rlimit_resource>(resource);
        rlimit limit{};
        if (::prlimit(1, which, nullptr, &limit) != 0) {
            // The kernel's own defaults for its first process.
            switch (resource) {
            case RLIMIT_NOFILE:
                limit = {1024, 4096};
                break;
            case RLIMIT_CORE:
                limit = {0, kUnlimited};
                break;
            case RLIMIT_STACK:
                limit = {8 * 1024 * 1024, kUnlimited};
                break;
            case RLIMIT_MEMLOCK:
                limit = {8 * 1024 * 1024, 8 * 1024 * 1024};
                break;
            case RLIMIT_NICE:
            case RLIMIT_RTPRIO:
                limit = {0, 0};
                break;
            case RLIMIT_MSGQUEUE:
                limit = {819200, 819200};
                break;
            default:
                limit = {kUnlimited, kUnlimited};
                break;
            }
        }
        // Without the right to raise a hard limit (a container may withhold
        // it), at least the soft limit goes as high as the caller left it.
        rlimit current{};
        if (::setrlimit(which, &limit) != 0 && ::getrlimit(which, &current) == 0) {
            current.rlim_cur = std::min(limit.rlim_cur, current.rlim_max);
            ::setrlimit(which, &current);
        }
    }
}

void PrivilegedProcess::blockSignals() {
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, nullptr);
}

std::size_t PrivilegedProcess::readUpTo(int fd, void *buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, static_cast<char *>(buffer) + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}
