#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <sys/types.h>

/// The server the panel controls, as its own configuration names it: the
/// file its main process writes its number to (PidFile), and whether the
/// process behind that number is this server (its program and its
/// configuration), not some other one that runs on the machine or that took
/// a stale number over.
struct PHServerProcess {
    QString binary;          ///< the server program, as the settings name it
    QString confFile;        ///< its main configuration file
    QString pidFile;         ///< where its main process writes its number; empty when unknown
    QString httpdRoot;       ///< the compiled-in server root (what relative -f names start from)
    QString defaultConfFile; ///< the configuration the program reads without -f (compiled in)

    /// Reads the program's compiled-in settings ("-V"), Debian's envvars next
    /// to the configuration (what its control script reads), and the
    /// configuration itself with its Includes, for the PidFile in force.
    static PHServerProcess locate(const QString &binary, const QString &confFile);

    /// The PidFile in force after reading `confFile` and what it includes:
    /// the last one, its ${NAME}s filled from Define and `environment`, a
    /// relative one below ServerRoot (DefaultRuntimeDir does not move it), and
    /// `defaultPidFile` when none is set.
    static QString pidFileOf(const QString &confFile, const QString &serverRoot,
                             const QHash<QString, QString> &environment, const QString &defaultPidFile);

    /// The number of this server's main process when it runs, else 0; `why`,
    /// when given, gets the reason when it does not.
    pid_t runningProcess(QString *why = nullptr) const;

    /// Whether the process `pid` is this server: its program is `binary`
    /// (the file it names, links resolved) and the configuration it was
    /// started with is `confFile`.
    bool isThisServer(pid_t pid, QString *why = nullptr) const;
};
