#pragma once

// Runs part of a test in a child process of its own, so that what it changes
// about the process (a resource limit, its user, its descriptors 0 to 2) stays
// there.

#include <sys/wait.h>
#include <unistd.h>

/// Runs `body` in a forked child; its exit status, or 100 + the number of the
/// signal that ended it.
template <typename Body> int inChild(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}
