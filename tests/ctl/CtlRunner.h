#pragma once

// Runs the built portholdctl as a child process with its own settings folder,
// feeding standard input and collecting both outputs and the exit status.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef PORTHOLDCTL_PATH
#error "PORTHOLDCTL_PATH must name the portholdctl binary"
#endif

namespace ctl_runner {

struct Result {
    int exitCode = -1; // the exit status, or -1 when the program died of a signal
    std::string out;
    std::string err;
};

/// Runs portholdctl with `arguments`, XDG_CONFIG_HOME set to `configHome`, the
/// text `input` on standard input (then end of file) and a ten-second limit.
inline Result run(const std::vector<std::string> &arguments, const std::string &configHome,
                  const std::string &input = {}) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));

    std::vector<std::string> argvStrings{PORTHOLDCTL_PATH};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &a : argvStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings{"XDG_CONFIG_HOME=" + configHome, "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                        "LANG=C.UTF-8", "HOME=" + configHome, "QT_QPA_PLATFORM=offscreen"};
    if (const char *tmp = std::getenv("TMPDIR"))
        envStrings.push_back(std::string("TMPDIR=") + tmp);
    std::vector<char *> envp;
    for (auto &e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);

    // The input is tiny (a password line): it fits the pipe buffer.
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0 && errno != EPIPE)
        throw std::runtime_error("write: " + std::string(std::strerror(errno)));
    ::close(in[1]);

    Result result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *targets[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, 10000) <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                targets[i]->append(buffer, static_cast<size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto &fd : fds)
        if (fd.fd >= 0)
            ::close(fd.fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace ctl_runner
