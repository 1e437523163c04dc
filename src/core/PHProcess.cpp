#include "core/PHProcess.h"

#include "support/posix/PHSpawn.h"
#include "support/posix/PHWriteAll.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

namespace {

// The panel's own pipe ends stay clear of the standard descriptors: a panel
// started with one of those closed would otherwise hold a pipe end there, and
// hand it to every later child that inherits that stream.
bool makePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        if (fds[i] < 3) {
            const int moved = fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
            if (moved < 0) {
                close(fds[0]);
                close(fds[1]);
                return false;
            }
            close(fds[i]);
            fds[i] = moved;
        }
    }
    return true;
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(strerror(error));
}

} // namespace

PHProcess::PHProcess(QString program, QStringList arguments)
    : m_program(std::move(program)), m_arguments(std::move(arguments)) {
}

PHProcess::~PHProcess() {
    closeFd(m_inputFd);
    closeFd(m_outputFds[0]);
    closeFd(m_outputFds[1]);
    if (m_pid > 0 && !m_reaped)
        PHWaitForChild(m_pid, nullptr);
}

void PHProcess::setEnvironment(QStringList variables, bool replace) {
    m_environment = std::move(variables);
    m_replaceEnvironment = replace;
}

void PHProcess::ignoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
}

void PHProcess::closeFd(int &fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

bool PHProcess::launch() {
    ignoreSigpipe();
    if (m_pid > 0) {
        m_error = QStringLiteral("already launched");
        return false;
    }
    if (m_program.isEmpty()) {
        m_error = QStringLiteral("no program");
        return false;
    }

    // Pipes: index = standard descriptor; [0] is read end, [1] write end.
    int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    auto closeAllPipes = [&pipes] {
        for (auto &p : pipes)
            for (int &fd : p)
                if (fd >= 0) {
                    close(fd);
                    fd = -1;
                }
    };
    for (int i = 0; i < 3; ++i) {
        if (m_streams[i] == Stream::Pipe && !makePipe(pipes[i])) {
            m_error = errnoText(errno);
            closeAllPipes();
            return false;
        }
    }

    // The child reads its input from a pipe's read end and writes its output to a write end.
    PHSpawn spawn;
    spawn.program = m_program.toLocal8Bit().toStdString();
    // A program named by a setting may be relative to the working folder, as it always was.
    spawn.allowRelativeProgram = true;
    for (const QString &argument : m_arguments)
        spawn.arguments.push_back(argument.toLocal8Bit().toStdString());
    for (int i = 0; i < 3; ++i) {
        switch (m_streams[i]) {
        case Stream::Inherit:
            spawn.streams[i] = PHSpawn::kInherit;
            break;
        case Stream::Pipe:
            spawn.streams[i] = i == 0 ? pipes[i][0] : pipes[i][1];
            break;
        case Stream::Null:
            spawn.streams[i] = PHSpawn::kNullDevice;
            break;
        }
    }

    std::vector<std::string> environment;
    if (!m_replaceEnvironment) {
        for (char **entry = environ; entry && *entry; ++entry) {
            const QByteArray variable(*entry);
            const QByteArray name = variable.left(variable.indexOf('='));
            bool overridden = false;
            for (const QString &extra : m_environment)
                if (extra.section(QLatin1Char('='), 0, 0).toLocal8Bit() == name)
                    overridden = true;
            if (!overridden)
                environment.push_back(variable.toStdString());
        }
    }
    for (const QString &extra : m_environment)
        environment.push_back(extra.toLocal8Bit().toStdString());
    spawn.environment = std::move(environment);

    pid_t pid = -1;
    if (const int spawnError = spawn.start(&pid); spawnError != 0) {
        m_error = errnoText(spawnError);
        closeAllPipes();
        return false;
    }
    m_pid = pid;

    // Keep the panel's ends, close the child's.
    if (m_streams[0] == Stream::Pipe) {
        close(pipes[0][0]);
        m_inputFd = pipes[0][1];
    }
    for (int i = 1; i < 3; ++i) {
        if (m_streams[i] == Stream::Pipe) {
            close(pipes[i][1]);
            m_outputFds[i - 1] = pipes[i][0];
        }
    }
    return true;
}

bool PHProcess::writeInput(const QByteArray &bytes) {
    if (m_inputFd < 0)
        return false;
    // EPIPE: the child has ended.
    return PHWriteAll(m_inputFd, bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

void PHProcess::closeInput() {
    closeFd(m_inputFd);
}

void PHProcess::readToEnd() {
    char buffer[16384];
    while (m_outputFds[0] >= 0 || m_outputFds[1] >= 0) {
        pollfd fds[2];
        int count = 0;
        int which[2];
        for (int i = 0; i < 2; ++i) {
            if (m_outputFds[i] >= 0) {
                fds[count] = pollfd{m_outputFds[i], POLLIN, 0};
                which[count++] = i;
            }
        }
        if (poll(fds, nfds_t(count), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int k = 0; k < count; ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
                continue;
            const int i = which[k];
            const ssize_t n = read(m_outputFds[i], buffer, sizeof buffer);
            if (n > 0)
                m_output[i].append(buffer, n);
            else if (n == 0 || errno != EINTR)
                closeFd(m_outputFds[i]);
        }
    }
    closeFd(m_outputFds[0]);
    closeFd(m_outputFds[1]);
}

int PHProcess::waitUntilExit() {
    if (m_pid <= 0)
        return -1;
    if (m_reaped)
        return m_status;
    closeInput();
    readToEnd();
    int status = 0;
    const bool waited = PHWaitForChild(m_pid, &status);
    m_reaped = true;
    m_status = -1; // not reaped, or neither exited nor killed
    if (waited && WIFEXITED(status))
        m_status = WEXITSTATUS(status);
    else if (waited && WIFSIGNALED(status))
        m_status = 128 + WTERMSIG(status);
    return m_status;
}

PHProcess::Result PHProcess::run(const QString &program, const QStringList &arguments, Stream output,
                                 Stream error, const QStringList &environment) {
    PHProcess process(program, arguments);
    process.setStandardInput(Stream::Null);
    process.setStandardOutput(output);
    process.setStandardError(error);
    process.setEnvironment(environment);
    Result result;
    result.launched = process.launch();
    if (!result.launched)
        return result;
    result.status = process.waitUntilExit();
    result.output = process.standardOutput();
    result.error = process.standardError();
    return result;
}
