// The panel's process launcher: streams, statuses, descriptors, signals.

#include "core/PHProcess.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

TEST(Process, StreamsAndExitStatus) {
    const auto result = PHProcess::run("/bin/sh", {"-c", "printf out; printf err >&2; exit 3"});
    ASSERT_TRUE(result.launched);
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.output, "out");
    EXPECT_EQ(result.error, "err");

    // The null device swallows a stream; an ended-by-signal child is 128 + the signal.
    const auto quiet = PHProcess::run("/bin/sh", {"-c", "echo lost; kill -TERM $$"}, PHProcess::Stream::Null);
    EXPECT_TRUE(quiet.output.isEmpty());
    EXPECT_EQ(quiet.status, 128 + SIGTERM);

    // Arguments arrive as given, spaces and all; the environment adds to the panel's.
    const auto echo = PHProcess::run("/bin/sh", {"-c", "printf '%s|%s' \"$1\" \"$PH_TEST\"", "sh", "a b"},
                                     PHProcess::Stream::Pipe, PHProcess::Stream::Pipe, {"PH_TEST=x y"});
    EXPECT_EQ(echo.output, "a b|x y");

    PHProcess missing("/nonexistent/program", {});
    EXPECT_FALSE(missing.launch());
    EXPECT_FALSE(missing.errorString().isEmpty());
    EXPECT_EQ(missing.waitUntilExit(), -1);
}

TEST(Process, BothPipesDrainTogether) {
    // 1 MiB on each stream would deadlock a reader that empties one after the other.
    const auto result =
        PHProcess::run("/bin/sh", {"-c", "head -c 1048576 /dev/zero >&2; head -c 1048576 /dev/zero; exit 0"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output.size(), 1048576);
    EXPECT_EQ(result.error.size(), 1048576);
}

TEST(Process, ChildGetsOnlyStandardDescriptorsAndDefaultSigpipe) {
    // A descriptor of the panel without close-on-exec does not leak into the child.
    const int leaky = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 3);
    const auto listing = PHProcess::run("/bin/sh", {"-c", "ls /proc/$$/fd"});
    close(leaky);
    QList<QByteArray> fds = listing.output.trimmed().split('\n');
    std::sort(fds.begin(), fds.end());
    EXPECT_EQ(fds, (QList<QByteArray>{"0", "1", "2"})) << listing.output.toStdString();

    // The panel ignores SIGPIPE, its children must not inherit that.
    const auto dispositions = PHProcess::run("/bin/sh", {"-c", "grep SigIgn /proc/$$/status"});
    bool ok = false;
    const qulonglong ignored = dispositions.output.trimmed().split('\t').last().toULongLong(&ok, 16);
    ASSERT_TRUE(ok) << dispositions.output.toStdString();
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u);
}

TEST(Process, WritingToAChildThatEndedFailsQuietly) {
    PHProcess child("/bin/true", {});
    child.setStandardInput(PHProcess::Stream::Pipe);
    ASSERT_TRUE(child.launch());
    usleep(100 * 1000);
    // The first write may fit in the pipe before the end is seen; a large one cannot.
    EXPECT_FALSE(child.writeInput(QByteArray(1 << 20, 'x'))); // EPIPE, and the test is still alive
    EXPECT_EQ(child.waitUntilExit(), 0);

    // Input is handed over and the end of file reaches the child.
    PHProcess cat("/bin/cat", {});
    cat.setStandardInput(PHProcess::Stream::Pipe);
    cat.setStandardOutput(PHProcess::Stream::Pipe);
    ASSERT_TRUE(cat.launch());
    EXPECT_TRUE(cat.writeInput(QByteArray(32, '\x01')));
    EXPECT_EQ(cat.waitUntilExit(), 0);
    EXPECT_EQ(cat.standardOutput(), QByteArray(32, '\x01'));
}

} // namespace
