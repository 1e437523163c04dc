#include "platform/authorization/PrivilegedProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
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

bool PrivilegedProcess::becomeRootEntirely() {
    // Each call may fail when the program is not set-user-ID root; the check
    // below is what decides.
    (void)::setgroups(0, nullptr);
    (void)::setgid(0);
    (void)::setuid(0);
    return ::getuid() == 0 && ::geteuid() == 0 && ::getgid() == 0 && ::getegid() == 0;
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

bool PrivilegedProcess::writeAll(int fd, const void *buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, static_cast<const char *>(buffer) + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::int64_t PrivilegedProcess::now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}
