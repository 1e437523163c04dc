// phbench: runs our program and its peer in turn on the same input and
// prints one row per goal of the comparison.
//
// Every run is a child process (/bin/sh -c COMMAND) timed with the rusage
// wait4() gives back: user plus system CPU seconds, and the peak resident
// memory of the child and the children it waited for. The two commands
// alternate (ours first in even pairs, the peer first in odd ones) so that a
// machine that gets busier or quieter during the run treats both alike; the
// ratio of each pair is taken and the median ratio reported.
//
// A command that measures itself (an in-process loop whose start-up would
// swamp the work) writes its CPU seconds into the file named by
// PHBENCH_REPORT; that figure then replaces the process's own.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Sample {
    double cpu = 0;    // seconds
    double memory = 0; // MiB, peak resident
};

enum class Measure { Cpu, Memory, MemoryAbove, Speedup };

struct Goal {
    Measure measure;
    double limit;
};

[[noreturn]] void usage(const char *why) {
    std::fprintf(
        stderr,
        "phbench: %s\n"
        "usage: phbench --work TEXT [--pairs N] [--quick] [--before COMMAND] GOAL... --ours COMMAND\n"
        "               --peer COMMAND\n"
        "  --before COMMAND runs untimed before every run of either side\n"
        "  goals: --cpu X          our CPU at most X times the peer's\n"
        "         --memory X       our peak memory at most X times the peer's\n"
        "         --memory-above M our peak memory at most M MiB above the peer's\n"
        "         --speedup X      the peer's CPU at least X times ours\n",
        why);
    std::exit(2);
}

double number(const char *text) {
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < 0)
        usage("a goal needs a non-negative number");
    return value;
}

// What the command wrote to standard error, shown only when it fails.
void showErrors(const std::string &path) {
    std::ifstream errors(path);
    std::string line;
    while (std::getline(errors, line))
        std::fprintf(stderr, "  %s\n", line.c_str());
}

Sample run(const std::string &command, const std::string &reportPath) {
    ::unlink(reportPath.c_str());
    const std::string errorPath = reportPath + ".stderr";
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("phbench: fork");
        std::exit(1);
    }
    if (child == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
        }
        const int errors = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (errors >= 0)
            ::dup2(errors, STDERR_FILENO);
        ::setenv("PHBENCH_REPORT", reportPath.c_str(), 1);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("phbench: wait4");
            std::exit(1);
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "phbench: the command failed (%s %d): %s\n",
                     WIFEXITED(status) ? "exit status" : "signal",
                     WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status), command.c_str());
        showErrors(errorPath);
        std::exit(1);
    }
    Sample sample;
    sample.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    sample.memory = static_cast<double>(usage.ru_maxrss) / 1024.0;
    std::ifstream report(reportPath);
    double reported = 0;
    if (report >> reported)
        sample.cpu = reported;
    return sample;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value < 0.1 ? "%.4f s" : "%.3f s", value);
    return text;
}

std::string mebibytes(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", value);
    return text;
}

std::string times(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2fx", value);
    return text;
}

} // namespace

int main(int argc, char **argv) {
    std::string work;
    std::string ours;
    std::string peer;
    // Run untimed before every run of either side (a fresh copy of the
    // input a run changes, say).
    std::string before;
    int pairs = 5;
    bool quick = false;
    std::vector<Goal> goals;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage(("missing value after " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--work")
            work = value();
        else if (arg == "--ours")
            ours = value();
        else if (arg == "--peer")
            peer = value();
        else if (arg == "--before")
            before = value();
        else if (arg == "--pairs")
            pairs = static_cast<int>(number(value()));
        else if (arg == "--quick")
            quick = true;
        else if (arg == "--cpu")
            goals.push_back({Measure::Cpu, number(value())});
        else if (arg == "--memory")
            goals.push_back({Measure::Memory, number(value())});
        else if (arg == "--memory-above")
            goals.push_back({Measure::MemoryAbove, number(value())});
        else if (arg == "--speedup")
            goals.push_back({Measure::Speedup, number(value())});
        else
            usage(("unknown argument " + arg).c_str());
    }
    if (work.empty() || ours.empty() || peer.empty())
        usage("--work, --ours and --peer are required");
    if (goals.empty())
        goals.push_back({Measure::Cpu, 0});
    if (quick)
        pairs = 1;
    if (pairs < 1 || pairs > 99)
        usage("--pairs takes 1 to 99");

    char folder[] = "/tmp/phbench.XXXXXX";
    if (!::mkdtemp(folder)) {
        std::perror("phbench: mkdtemp");
        return 1;
    }
    const std::string reportPath = std::string(folder) + "/report";
    const auto timed = [&](const std::string &command) {
        if (!before.empty())
            run(before, reportPath);
        return run(command, reportPath);
    };

    // One untimed run of each fills the page cache for both alike.
    timed(ours);
    timed(peer);

    std::vector<double> oursCpu, peerCpu, oursMemory, peerMemory, cpuRatio, memoryRatio, memoryAbove;
    for (int pair = 0; pair < pairs; ++pair) {
        Sample a, b;
        if (pair % 2 == 0) {
            a = timed(ours);
            b = timed(peer);
        } else {
            b = timed(peer);
            a = timed(ours);
        }
        oursCpu.push_back(a.cpu);
        peerCpu.push_back(b.cpu);
        oursMemory.push_back(a.memory);
        peerMemory.push_back(b.memory);
        // A run too short for the clock counts as one tick.
        const double tick = 1e-3;
        cpuRatio.push_back(std::max(a.cpu, tick) / std::max(b.cpu, tick));
        memoryRatio.push_back(a.memory / std::max(b.memory, 1e-3));
        memoryAbove.push_back(a.memory - b.memory);
    }
    ::unlink(reportPath.c_str());
    ::unlink((reportPath + ".stderr").c_str());
    ::rmdir(folder);

    bool allMet = true;
    for (const Goal &goal : goals) {
        std::string oursText, peerText, ratioText, goalText;
        bool met = false;
        char limit[48];
        // A ratio row: ours and the peer in one unit, the ratio against its limit.
        auto ratioRow = [&](double ratio, const std::string &ours, const std::string &peer, const char *unit,
                            bool atLeast) {
            oursText = ours;
            peerText = peer;
            ratioText = times(ratio) + " " + unit;
            std::snprintf(limit, sizeof limit, "%s %gx %s", atLeast ? ">=" : "<=", goal.limit, unit);
            met = atLeast ? ratio >= goal.limit : ratio <= goal.limit;
        };
        switch (goal.measure) {
        case Measure::Cpu:
            ratioRow(median(cpuRatio), seconds(median(oursCpu)), seconds(median(peerCpu)), "CPU", false);
            break;
        case Measure::Speedup:
            ratioRow(1.0 / median(cpuRatio), seconds(median(oursCpu)), seconds(median(peerCpu)), "faster",
                     true);
            break;
        case Measure::Memory:
            ratioRow(median(memoryRatio), mebibytes(median(oursMemory)), mebibytes(median(peerMemory)),
                     "memory", false);
            break;
        case Measure::MemoryAbove: {
            const double above = median(memoryAbove);
            oursText = mebibytes(median(oursMemory));
            peerText = mebibytes(median(peerMemory));
            ratioText = "+" + mebibytes(above);
            std::snprintf(limit, sizeof limit, "< +%g MiB", goal.limit);
            met = above < goal.limit;
            break;
        }
        }
        if (goal.limit == 0 && goal.measure == Measure::Cpu)
            std::snprintf(limit, sizeof limit, "-");
        const char *verdict = quick ? "not checked" : (goal.limit == 0 ? "-" : (met ? "yes" : "NO"));
        if (!quick && goal.limit != 0 && !met)
            allMet = false;
        std::printf("| %s | %s | %s | %s | %s | %s |\n", work.c_str(), oursText.c_str(), peerText.c_str(),
                    ratioText.c_str(), limit, verdict);
    }
    std::fflush(stdout);
    return allMet ? 0 : 3;
}
