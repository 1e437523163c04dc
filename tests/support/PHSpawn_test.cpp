#include "support/posix/PHSpawn.h"
#include "support/posix/PHWriteAll.h"

#include "common/InChild.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string readToEnd(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

/// A pipe whose ends close with the test.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    void closeRead() {
        if (read >= 0)
            ::close(std::exchange(read, -1));
    }
    void closeWrite() {
        if (write >= 0)
            ::close(std::exchange(write, -1));
    }
};

/// Runs `spawn` with its output on a pipe; the output, and the exit status in
/// `*status` (-1 when it did not start).
std::string outputOf(PHSpawn spawn, int *status = nullptr) {
    Pipe output;
    spawn.streams[1] = output.write;
    pid_t child = -1;
    const int error = spawn.start(&child);
    output.closeWrite();
    if (error != 0) {
        if (status)
            *status = -1;
        return "not started: " + std::to_string(error);
    }
    std::string text = readToEnd(output.read);
    int raw = 0;
    EXPECT_TRUE(PHWaitForChild(child, &raw));
    if (status)
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return text;
}

PHSpawn shell(const std::string &script) {
    PHSpawn spawn;
    spawn.program = "/bin/sh";
    spawn.arguments = {"-c", script};
    return spawn;
}

std::atomic<int> interruptions{0};
void countInterruption(int) {
    ++interruptions;
}

/// A SIGUSR1 handler that interrupts system calls (no SA_RESTART) while the
/// object lives.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = countInterruption;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGUSR1, &action, &m_previous);
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &m_previous, nullptr); }
    InterruptingSignal(const InterruptingSignal &) = delete;
    InterruptingSignal &operator=(const InterruptingSignal &) = delete;

private:
    struct sigaction m_previous {};
};

} // namespace

// A blocking pipe with a one-page buffer takes a large write in pieces, and a
// signal that arrives meanwhile cuts a write short (a partial count) or fails
// it outright (EINTR): every byte still arrives, in order, exactly once.
TEST(PHWriteAll, DeliversEverythingThroughPartialAndInterruptedWrites) {
    Pipe pipe;
    ASSERT_GE(pipe.read, 0);
    ASSERT_GE(::fcntl(pipe.write, F_SETPIPE_SZ, 4096), 4096);
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);

    InterruptingSignal signal;
    interruptions = 0;
    std::atomic<bool> written{false};
    int error = 0;
    std::thread writer([&] {
        written = PHWriteAll(pipe.write, data.data(), data.size(), &error);
        pipe.closeWrite();
    });
    const pthread_t writerThread = writer.native_handle();
    std::string received;
    char buffer[700];
    for (;;) {
        ::pthread_kill(writerThread, SIGUSR1);
        const ssize_t n = ::read(pipe.read, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(n));
        // The writer is the thread signalled; stop once it is gone.
        if (received.size() == data.size())
            break;
    }
    writer.join();
    received += readToEnd(pipe.read);

    EXPECT_TRUE(written);
    EXPECT_EQ(error, 0);
    EXPECT_GT(interruptions.load(), 10);
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

TEST(PHWriteAll, ReportsWhyAWriteFailedAndNeverRaisesSigpipeOnASocket) {
    int error = 0;
    EXPECT_TRUE(PHWriteAll(-1, "", 0, &error)) << "nothing to write is done at once";
    EXPECT_FALSE(PHWriteAll(-1, "x", 1, &error));
    EXPECT_EQ(error, EBADF);
    EXPECT_EQ(errno, EBADF);

    // SIGPIPE at its default would end this test program.
    struct sigaction byDefault {
    }, previous{};
    byDefault.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &byDefault, &previous);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ::close(pair[1]);
    error = 0;
    EXPECT_FALSE(PHSendAll(pair[0], "gone", 4, &error));
    EXPECT_EQ(error, EPIPE);
    ::close(pair[0]);
    ::sigaction(SIGPIPE, &previous, nullptr);
}

// The child sees exactly the environment it is given, or ours when none is.
TEST(PHSpawn, TheChildSeesTheEnvironmentItIsGiven) {
    PHSpawn env;
    env.program = "/usr/bin/env";
    env.environment = std::vector<std::string>{"PATH=/usr/bin:/bin", "LANG=C", "EMPTY="};
    int status = -1;
    EXPECT_EQ(outputOf(env, &status), "PATH=/usr/bin:/bin\nLANG=C\nEMPTY=\n");
    EXPECT_EQ(status, 0);

    env.environment = std::vector<std::string>{};
    EXPECT_EQ(outputOf(env), "");

    ASSERT_EQ(::setenv("PHSPAWN_TEST_MARK", "inherited value", 1), 0);
    env.environment.reset();
    const std::string inherited = outputOf(env);
    ::unsetenv("PHSPAWN_TEST_MARK");
    EXPECT_NE(inherited.find("PHSPAWN_TEST_MARK=inherited value\n"), std::string::npos) << inherited;
}

// Whatever descriptors this process has open, close-on-exec or not, the child
// has only 0 to 2.
TEST(PHSpawn, TheChildHasNoDescriptorBeyondItsStandardThree) {
    const int leaked = ::fcntl(1, F_DUPFD, 40); // no close-on-exec
    ASSERT_GE(leaked, 40);
    PHSpawn probe = shell("for n in 0 1 2 " + std::to_string(leaked) +
                          "; do if [ -e /proc/self/fd/$n ]; then echo $n; fi; done");
    probe.streams[0] = PHSpawn::kNullDevice;
    probe.streams[2] = PHSpawn::kNullDevice;
    const std::string seen = outputOf(probe);
    ::close(leaked);
    EXPECT_EQ(seen, "0\n1\n2\n");

    // The null device stands where asked: reading it ends at once, writing
    // to it goes nowhere.
    PHSpawn nulls = shell("echo lost >&2; if read line; then echo read; else echo end; fi");
    nulls.streams[0] = PHSpawn::kNullDevice;
    nulls.streams[2] = PHSpawn::kNullDevice;
    EXPECT_EQ(outputOf(nulls), "end\n");
}

// Our own standard descriptors may be what we hand over, crosswise, and a
// closed standard input of ours may be where a pipe landed: the child still
// gets exactly what was asked. (Setting the child's 1 from our 2 before its 2
// from our 1 would otherwise send both streams to one place.)
TEST(PHSpawn, HandsOverOurOwnStandardDescriptorsCrosswise) {
    const int status = inChild([] {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return 1;
        // Our output goes to `err`, our error output to `out`, and our input is closed.
        if (::dup2(err[1], 1) != 1 || ::dup2(out[1], 2) != 2)
            return 2;
        ::close(0);
        PHSpawn spawn =
            shell("echo to-out; echo to-err >&2; if read line; then echo read; else echo end; fi");
        spawn.streams[0] = PHSpawn::kNullDevice;
        spawn.streams[1] = 2; // our error output, which is `out`
        spawn.streams[2] = 1; // our output, which is `err`
        pid_t child = -1;
        if (spawn.start(&child) != 0)
            return 3;
        ::close(1);
        ::close(2);
        ::close(out[1]);
        ::close(err[1]);
        const std::string output = readToEnd(out[0]);
        const std::string error = readToEnd(err[0]);
        int raw = 0;
        if (!PHWaitForChild(child, &raw) || !WIFEXITED(raw) || WEXITSTATUS(raw) != 0)
            return 4;
        if (output != "to-out\nend\n")
            return 5;
        return error == "to-err\n" ? 0 : 6;
    });
    EXPECT_EQ(status, 0);

    // With our input closed, a new pipe's read end lands on 0; it may still be
    // handed over as the child's input.
    const int landed = inChild([] {
        ::close(0);
        int input[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || input[0] != 0)
            return 1;
        Pipe output;
        PHSpawn spawn = shell("read line; echo \"got $line\"");
        spawn.streams[0] = input[0];
        spawn.streams[1] = output.write;
        pid_t child = -1;
        if (spawn.start(&child) != 0)
            return 2;
        output.closeWrite();
        ::close(input[0]);
        if (!PHWriteAll(input[1], "line\n", 5))
            return 3;
        ::close(input[1]);
        const std::string text = readToEnd(output.read);
        PHWaitForChild(child, nullptr);
        return text == "got line\n" ? 0 : 4;
    });
    EXPECT_EQ(landed, 0);
}

/// The signal masks of /proc/.../status text: "SigBlk" or "SigIgn", bit n-1
/// standing for signal n.
unsigned long long signalSet(const std::string &status, const std::string &name) {
    const std::size_t at = status.find(name + ":\t");
    if (at == std::string::npos)
        return ~0ULL;
    // glibc's own two signals (32 and 33), which no program may use, are left
    // ignored in a child posix_spawn starts.
    constexpr unsigned long long kLibraryInternal = (1ULL << 31) | (1ULL << 32);
    return std::strtoull(status.c_str() + at + name.size() + 2, nullptr, 16) & ~kLibraryInternal;
}

constexpr unsigned long long bit(int signal) {
    return 1ULL << (signal - 1);
}

// The child starts with an empty signal mask, and SIGPIPE (or every signal,
// when asked) at its default, whatever we block or ignore.
TEST(PHSpawn, TheChildStartsWithDefaultSignals) {
    struct sigaction ignore {
    }, previousPipe{}, previousHangUp{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previousPipe);
    ::sigaction(SIGHUP, &ignore, &previousHangUp);
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);

    PHSpawn status;
    status.program = "/bin/cat";
    status.arguments = {"/proc/self/status"};
    const std::string pipeOnly = outputOf(status);
    status.signalDefaults = PHSpawn::SignalDefaults::All;
    const std::string all = outputOf(status);
    const int ours = ::open("/proc/thread-self/status", O_RDONLY | O_CLOEXEC);
    const std::string own = readToEnd(ours);
    ::close(ours);

    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGHUP, &previousHangUp, nullptr);
    ::sigaction(SIGPIPE, &previousPipe, nullptr);

    const unsigned long long ignoredHere = signalSet(own, "SigIgn");
    ASSERT_EQ(ignoredHere & (bit(SIGPIPE) | bit(SIGHUP)), bit(SIGPIPE) | bit(SIGHUP)) << own;
    ASSERT_NE(signalSet(own, "SigBlk") & bit(SIGUSR2), 0U) << own;

    EXPECT_EQ(signalSet(pipeOnly, "SigBlk"), 0U) << pipeOnly;
    EXPECT_EQ(signalSet(pipeOnly, "SigIgn"), ignoredHere & ~bit(SIGPIPE)) << pipeOnly;
    EXPECT_EQ(signalSet(all, "SigBlk"), 0U) << all;
    EXPECT_EQ(signalSet(all, "SigIgn"), 0U) << all;
}

TEST(PHSpawn, RefusesRelativeAndMissingProgramsAndReportsTheReason) {
    PHSpawn relative;
    relative.program = "bin/true";
    pid_t child = -1;
    EXPECT_EQ(relative.start(&child), EINVAL);
    relative.program.clear();
    EXPECT_EQ(relative.start(&child), EINVAL);

    // Allowed, a relative path is taken from the working folder, never from PATH.
    relative.program = "true";
    relative.allowRelativeProgram = true;
    EXPECT_EQ(relative.start(&child), ENOENT);

    PHSpawn missing;
    missing.program = "/nonexistent/program";
    EXPECT_EQ(missing.start(&child), ENOENT);
    missing.program = "/";
    EXPECT_EQ(missing.start(&child), EACCES);

    PHSpawn badDescriptor = shell("true");
    badDescriptor.streams[1] = 987;
    EXPECT_EQ(badDescriptor.start(&child), EBADF);
}

// The exit status comes through, and a signal that interrupts the wait does
// not end it early.
TEST(PHSpawn, WaitsThroughInterruptionsForTheStatus) {
    PHSpawn sleeper = shell("sleep 0.4; exit 7");
    pid_t child = -1;
    ASSERT_EQ(sleeper.start(&child), 0);

    InterruptingSignal signal;
    interruptions = 0;
    const pthread_t waiter = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        while (!done) {
            ::pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    int raw = 0;
    const bool waited = PHWaitForChild(child, &raw);
    done = true;
    interrupter.join();

    EXPECT_TRUE(waited);
    EXPECT_GT(interruptions.load(), 3);
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 7);
    EXPECT_FALSE(PHWaitForChild(child, &raw)) << "already reaped";
    EXPECT_EQ(errno, ECHILD);
}
