#include "platform/authorization/PrivilegedProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
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

bool PrivilegedProcess::becomeRootEntirely() {
    // Each call may fail when the program is not set-user-ID root; the check
    // below is what decides.
    (void)::setgroups(0, nullptr);
    (void)::setgid(0);
    (void)::setuid(0);
    return ::getuid() == 0 && ::geteuid() == 0 && ::getgid() == 0 && ::getegid() == 0;
}

bool PrivilegedProcess::actAsCaller() {
    return ::setegid(::getgid()) == 0 && ::seteuid(::getuid()) == 0;
}

bool PrivilegedProcess::actAsRoot() {
    return ::seteuid(0) == 0 && ::geteuid() == 0;
}

namespace {
void wakeUp(int) {
}
} // namespace

std::size_t PrivilegedProcess::readWithin(int fd, void *buffer, std::size_t length, int seconds) {
    // A repeating timer interrupts a read that would block, however it came
    // to block; the deadline decides when to stop trying.
    struct sigaction wake {
    }, previous{};
    wake.sa_handler = wakeUp;
    sigemptyset(&wake.sa_mask);
    ::sigaction(SIGALRM, &wake, &previous);
    const itimerval every{{0, 200 * 1000}, {0, 200 * 1000}};
    ::setitimer(ITIMER_REAL, &every, nullptr);
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);

    std::size_t done = 0;
    while (done < length) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= seconds)
            break;
        const ssize_t n = ::read(fd, static_cast<char *>(buffer) + done, length - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (errno == EAGAIN)
                ::usleep(50 * 1000);
            continue;
        }
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &previous, nullptr);
    return done;
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

std::int64_t PrivilegedProcess::now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}
