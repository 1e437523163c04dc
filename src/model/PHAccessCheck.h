#pragma once

#include "model/PHEffectiveAccess.h"

#include <QList>
#include <QString>
#include <QStringList>

class PHFSItem;

/// Asks the running web server what a visitor of a folder gets, over
/// loopback (IPv4 and IPv6 where the server listens on both), and compares
/// each answer with what the folder's effective access predicts.
class PHAccessCheck {
public:
    struct Probe {
        QString client;     ///< "127.0.0.1" or "::1"
        QString user;       ///< empty: no credentials sent
        int predicted = -1; ///< -1: not predictable
        QString predictedWhy;
        int answered = -1; ///< -1: no answer
    };

    struct Report {
        QString url;
        QList<Probe> probes;
        bool reachable = false;
        QString unreachableWhy;
        /// Lines the server logged while it was asked (error-log reasons).
        QStringList logLines;
        /// True when every answer is what was predicted.
        bool agrees() const;
        /// The report in words, one line each.
        QStringList lines() const;
    };

    /// What to ask, worked out from the folder on the thread that owns it.
    struct Plan {
        QString url;     ///< for people
        QByteArray host; ///< the Host header
        QByteArray path; ///< the folder's path on the server
        int port = 80;
        QString refusedWhy; ///< non-empty: the address cannot be checked
        PHEffectiveAccess access;
        QString folderPath; ///< the folder on disk, to find its log lines
        QString user;
        QString password;
        QString errorLog;
    };

    /// Reads what the check needs from `folder` and its parents (see `run`).
    static Plan prepare(const PHFSItem *folder, const QString &base, const QString &user,
                        const QString &password, const QString &errorLog);
    /// Asks the server. It touches no folder node, so it may run on a worker
    /// thread while the panel goes on.
    static Report execute(const Plan &plan);

    /// `base` is the web root's address ("http://localhost/" or
    /// "http://localhost/~name/"); only the port and path are used, the
    /// server is always asked over loopback. `password` is checked against the
    /// user file to predict its answer. `errorLog` may be empty.
    static Report run(const PHFSItem *folder, const QString &base, const QString &user,
                      const QString &password, const QString &errorLog);

    /// `siteBase` ("http://localhost/") with the path under which the server's
    /// configuration serves `webRoot` (a DocumentRoot, an Alias or a UserDir),
    /// or `siteBase` as it is when no configuration read serves it.
    static QString serverAddress(const QString &siteBase, const QString &webRoot);

    /// What a status code means to a visitor.
    static QString wordsFor(int status);
};
