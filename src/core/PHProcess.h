#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

/// A child process of the panel: program path, arguments, and each standard
/// stream inherited, connected to a pipe, or the null device. Launched with
/// posix_spawn: the child gets only descriptors 0-2, the default SIGPIPE
/// disposition and an empty signal mask. The panel ignores SIGPIPE (a write to
/// a child that has ended fails with EPIPE instead of killing the panel).
///
/// Typical use: launch, write the input, read the output to end of file, then
/// wait. The destructor closes the pipes and reaps a child still running.
class PHProcess {
public:
    enum class Stream { Inherit, Pipe, Null };

    PHProcess(QString program, QStringList arguments);
    ~PHProcess();
    PHProcess(const PHProcess &) = delete;
    PHProcess &operator=(const PHProcess &) = delete;

    void setStandardInput(Stream stream) { m_streams[0] = stream; }
    void setStandardOutput(Stream stream) { m_streams[1] = stream; }
    void setStandardError(Stream stream) { m_streams[2] = stream; }
    /// Variables set in the child on top of (or, with replace, instead of) the
    /// panel's environment, as "NAME=value".
    void setEnvironment(QStringList variables, bool replace = false);

    /// Starts the program. False, with errno's text in errorString(), when it
    /// could not be started (missing, not executable, out of resources).
    bool launch();
    pid_t processIdentifier() const { return m_pid; }
    QString errorString() const { return m_error; }

    /// Writes all bytes to the input pipe. False when the child has closed its
    /// end (it has ended) or there is no input pipe.
    bool writeInput(const QByteArray &bytes);
    void closeInput();

    /// Reads the piped output and error streams until both reach end of file.
    /// Both are drained together, so a child that fills one while the panel
    /// reads the other cannot block.
    void readToEnd();
    QByteArray standardOutput() const { return m_output[0]; }
    QByteArray standardError() const { return m_output[1]; }

    /// Waits for the child (reading any piped output to end of file first) and
    /// returns its exit status, 128 + the signal number when a signal ended it,
    /// or -1 when it was never started.
    int waitUntilExit();

    /// Runs a program to completion with its output and error on pipes:
    /// the convenience every simple caller wants.
    struct Result {
        bool launched = false;
        int status = -1;
        QByteArray output;
        QByteArray error;
    };
    static Result run(const QString &program, const QStringList &arguments, Stream output = Stream::Pipe,
                      Stream error = Stream::Pipe, const QStringList &environment = {});

    /// Ignores SIGPIPE in this process (done by launch; idempotent).
    static void ignoreSigpipe();

private:
    void closeFd(int &fd);

    QString m_program;
    QStringList m_arguments;
    QStringList m_environment;
    bool m_replaceEnvironment = false;
    Stream m_streams[3] = {Stream::Inherit, Stream::Inherit, Stream::Inherit};
    int m_inputFd = -1;
    int m_outputFds[2] = {-1, -1};
    QByteArray m_output[2];
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
    QString m_error;
};
