#include "support/PHWriteLock.h"

#include "core/Log.h"
#include "support/PHFileName.h"

#include <QHash>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Held {
    int fd = -1;
    int depth = 0;
};

QHash<QByteArray, Held> &heldLocks() {
    static QHash<QByteArray, Held> locks;
    return locks;
}

void logWaiting(const QString &message) {
    Log::write(message);
}

std::function<void(const QString &)> &reporter() {
    static std::function<void(const QString &)> report = logWaiting;
    return report;
}

std::chrono::milliseconds g_timeout{30000};

} // namespace

void PHWriteLock::setWaitingReporter(std::function<void(const QString &)> report) {
    reporter() = report ? std::move(report) : std::function<void(const QString &)>(logWaiting);
}

void PHWriteLock::setTimeout(std::chrono::milliseconds timeout) {
    g_timeout = timeout;
}

PHWriteLock::PHWriteLock(const QString &folder, const QString &what) {
    const QByteArray path = PHFileName::encode(folder);
    const int fd = path.isEmpty() ? -1 : ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        m_error = QStringLiteral("cannot open %1 to lock it: %2")
                      .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
        Log::write(m_error);
        return;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        m_error = QStringLiteral("cannot read the attributes of %1: %2")
                      .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
        return;
    }
    const QByteArray key =
        QByteArray::number(quint64(info.st_dev)) + ':' + QByteArray::number(quint64(info.st_ino));
    if (auto found = heldLocks().find(key); found != heldLocks().end()) {
        ::close(fd);
        ++found->depth;
        m_key = key;
        m_held = true;
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + g_timeout;
    bool said = false;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            m_error = QStringLiteral("cannot lock %1: %2")
                          .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
            Log::write(m_error);
            ::close(fd);
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            m_error =
                QStringLiteral("another Porthold has been writing %1 for %2 seconds; nothing was written")
                    .arg(what)
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(g_timeout).count());
            m_timedOut = true;
            ::close(fd);
            return;
        }
        if (!said) {
            said = true;
            if (reporter())
                reporter()(
                    QStringLiteral("waiting for another Porthold to finish writing %1\u2026").arg(what));
        }
        // Staggered, so that many waiters do not all try at once.
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + QRandomGenerator::global()->bounded(20)));
    }
    heldLocks().insert(key, Held{fd, 1});
    m_key = key;
    m_held = true;
}

PHWriteLock::~PHWriteLock() {
    if (!m_held)
        return;
    auto found = heldLocks().find(m_key);
    if (found == heldLocks().end() || --found->depth > 0)
        return;
    ::close(found->fd); // releases the flock
    heldLocks().erase(found);
}
