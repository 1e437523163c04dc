// The password prompt on a terminal: asked twice, never echoed.

#include "ctl/CtlFixture.h"

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>

namespace {

namespace fs = std::filesystem;
using ctl_test::CtlEnvironment;

/// Runs portholdctl on a new pseudo-terminal, answering each prompt in turn.
struct TerminalRun {
    int exitCode = -1;
    std::string transcript; // everything the terminal showed
};

TerminalRun runOnTerminal(const CtlEnvironment &env, const std::vector<std::string> &arguments,
                          const std::vector<std::pair<std::string, std::string>> &answers) {
    std::vector<std::string> argvStrings{PORTHOLDCTL_PATH, "--root", env.root().string()};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &a : argvStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string configHome = "XDG_CONFIG_HOME=" + env.config().string();
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = {configHome.data(), path, nullptr};

    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execve(argv[0], argv.data(), envp);
        ::_exit(127);
    }
    TerminalRun run;
    if (pid < 0)
        return run;
    size_t next = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (next < answers.size() && run.transcript.find(answers[next].first) != std::string::npos) {
            // The prompt is shown once echo is off, so the answer stays unseen.
            const std::string &answer = answers[next].second;
            if (::write(master, answer.data(), answer.size()) < 0)
                break;
            run.transcript += "<answered>";
            ++next;
        }
        pollfd fd{master, POLLIN, 0};
        if (::poll(&fd, 1, 200) <= 0)
            continue;
        char buffer[512];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            break; // EIO once the program has ended
        run.transcript.append(buffer, static_cast<size_t>(n));
    }
    ::close(master);
    int status = 0;
    const auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    bool reaped = false;
    while (!(reaped = ::waitpid(pid, &status, WNOHANG) == pid) && std::chrono::steady_clock::now() < grace)
        ::poll(nullptr, 0, 20);
    if (!reaped) {
        ::kill(pid, SIGKILL); // stuck waiting for an answer that never came
        ::waitpid(pid, &status, 0);
        run.transcript += "<killed>";
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(PortholdctlTerminal, ThePasswordIsAskedTwiceWithoutEcho) {
    CtlEnvironment env;
    const auto mismatch = runOnTerminal(env, {"user", "add", "bob"},
                                        {{"Password for bob: ", "first-try\n"}, {"Again: ", "second-try\n"}});
    EXPECT_EQ(mismatch.exitCode, 2) << mismatch.transcript;
    EXPECT_NE(mismatch.transcript.find("Passwords do not match"), std::string::npos) << mismatch.transcript;
    EXPECT_EQ(mismatch.transcript.find("first-try"), std::string::npos) << "echoed: " << mismatch.transcript;
    EXPECT_EQ(mismatch.transcript.find("second-try"), std::string::npos) << "echoed: " << mismatch.transcript;
    EXPECT_FALSE(fs::exists(env.root() / ".htusers"));

    const auto match = runOnTerminal(env, {"user", "add", "bob"},
                                     {{"Password for bob: ", "same-one\n"}, {"Again: ", "same-one\n"}});
    EXPECT_EQ(match.exitCode, 0) << match.transcript;
    EXPECT_NE(ctl_test::readFile(env.root() / ".htusers").find("bob:"), std::string::npos);
}

} // namespace
