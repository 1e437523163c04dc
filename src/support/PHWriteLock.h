#pragma once

#include <QString>

#include <chrono>
#include <functional>

/// Keeps Porthold's writers of one web root from losing each other's
/// changes: the panel and any number of portholdctl runs hold it from the
/// moment they read a file they will rewrite until the new file is in place.
///
/// The lock is flock(2) on the folder itself (the web root), so it needs no
/// file of its own and ends with the process however that ends. Within one
/// process it nests: a scope inside another on the same folder holds nothing
/// more. Waiting is bounded; the first wait is said through the reporter
/// ("waiting for another Porthold to finish writing .htusers…"), and a lock
/// not had in time leaves `held()` false with `error()` saying why.
class PHWriteLock {
public:
    /// Locks `folder`; `what` names the file(s) in messages (".htusers").
    PHWriteLock(const QString &folder, const QString &what);
    ~PHWriteLock();
    PHWriteLock(const PHWriteLock &) = delete;
    PHWriteLock &operator=(const PHWriteLock &) = delete;

    /// Whether this scope holds the lock (or an outer one does). A folder that
    /// cannot be opened is not locked, and not held.
    bool held() const { return m_held; }
    QString error() const { return m_error; }
    /// Whether another Porthold kept the lock past the timeout: the caller
    /// writes nothing. (A folder that cannot be opened is no such refusal:
    /// the write itself then says what is wrong.)
    bool timedOut() const { return m_timedOut; }

    /// Where "waiting for…" goes (by default, and after nullptr, the log).
    static void setWaitingReporter(std::function<void(const QString &)> reporter);
    /// How long to wait before giving up (by default 30 seconds).
    static void setTimeout(std::chrono::milliseconds timeout);

private:
    QByteArray m_key;
    bool m_held = false;
    bool m_timedOut = false;
    QString m_error;
};
