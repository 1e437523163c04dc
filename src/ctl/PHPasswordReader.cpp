#include "ctl/PHPasswordReader.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

termios g_savedTerminal;
volatile sig_atomic_t g_echoOff = 0;

void restoreEcho() {
    if (g_echoOff) {
        ::tcsetattr(STDIN_FILENO, TCSADRAIN, &g_savedTerminal);
        g_echoOff = 0;
    }
}

// An interrupted prompt must not leave the terminal without echo.
void restoreAndReraise(int signal) {
    restoreEcho();
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

/// One line without its line end; absent on a read error, or at end of input
/// before anything was read when `eofIsEmpty` is false.
std::optional<std::string> readLine() {
    std::string line;
    char c;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0 || c == '\n')
            break;
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::optional<QString> askWithoutEcho(const QString &prompt) {
    // Echo goes off before the prompt shows, so nothing typed after it is seen.
    termios quiet = g_savedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    g_echoOff = 1;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    const auto line = readLine();
    restoreEcho();
    if (!line)
        return std::nullopt;
    return QString::fromUtf8(line->data(), static_cast<qsizetype>(line->size()));
}

} // namespace

namespace PHPasswordReader {

std::optional<Entry> read(const QString &prompt, const QString &confirmPrompt) {
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) {
        // A script: one line, which is its own confirmation.
        const auto line = readLine();
        if (!line)
            return std::nullopt;
        const QString password = QString::fromUtf8(line->data(), static_cast<qsizetype>(line->size()));
        return Entry{password, password};
    }
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP})
        std::signal(signal, restoreAndReraise);
    Entry entry;
    const auto first = askWithoutEcho(prompt);
    if (!first)
        return std::nullopt;
    entry.password = *first;
    const auto second = askWithoutEcho(confirmPrompt);
    if (!second)
        return std::nullopt;
    entry.confirmation = *second;
    return entry;
}

std::optional<QString> readOnce(const QString &prompt) {
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) {
        const auto line = readLine();
        if (!line)
            return std::nullopt;
        return QString::fromUtf8(line->data(), static_cast<qsizetype>(line->size()));
    }
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP})
        std::signal(signal, restoreAndReraise);
    return askWithoutEcho(prompt);
}

} // namespace PHPasswordReader
