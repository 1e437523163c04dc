#include "platform/PHFolderWatcher.h"

#include "core/Log.h"

#include <QFile>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

// What changes a folder's listing or a file in it; IN_ONLYDIR refuses
// anything but a folder without a stat of its own.
constexpr uint32_t kFolderEvents = IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

PHFolderWatcher::PHFolderWatcher(QObject *parent) : QObject(parent) {
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        m_noInstance = QString::fromLocal8Bit(std::strerror(errno));
    } else {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &PHFolderWatcher::readEvents);
    }
    if (auto *application = qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        connect(application, &QGuiApplication::applicationStateChanged, this,
                [this](Qt::ApplicationState state) {
                    if (state == Qt::ApplicationActive)
                        refreshUnwatched();
                });
}

PHFolderWatcher::~PHFolderWatcher() {
    if (m_fd >= 0)
        ::close(m_fd); // every watch goes with it
}

void PHFolderWatcher::giveUp(const QString &path, const QString &why) {
    m_unwatched.insert(path);
    if (m_loggedShortage)
        return;
    m_loggedShortage = true;
    Log::write(QStringLiteral("Folders are no longer followed for changes (%1): they are read again when "
                              "Porthold becomes active")
                   .arg(why));
}

bool PHFolderWatcher::addPath(const QString &path) {
    if (path.isEmpty())
        return false;
    if (m_watchOfPath.contains(path))
        return true;
    if (m_fd < 0) {
        giveUp(path, QStringLiteral("no inotify instance: %1").arg(m_noInstance));
        return false;
    }
    if (m_limit >= 0 && m_watchOfPath.size() >= m_limit) {
        giveUp(path, QStringLiteral("at most %1 folders").arg(m_limit));
        return false;
    }
    const int watch = ::inotify_add_watch(m_fd, QFile::encodeName(path).constData(), kFolderEvents);
    if (watch < 0) {
        const int error = errno;
        if (error == ENOSPC || error == ENOMEM)
            giveUp(path, QString::fromLocal8Bit(std::strerror(error)));
        // Otherwise not a folder (or gone, or not ours to read): nothing to follow.
        return false;
    }
    m_unwatched.remove(path);
    m_watchOfPath.insert(path, watch);
    m_pathsOfWatch[watch].append(path);
    return true;
}

void PHFolderWatcher::removePath(const QString &path) {
    m_unwatched.remove(path);
    const auto found = m_watchOfPath.constFind(path);
    if (found == m_watchOfPath.constEnd())
        return;
    const int watch = *found;
    m_watchOfPath.erase(found);
    QList<QString> &paths = m_pathsOfWatch[watch];
    paths.removeOne(path);
    if (paths.isEmpty()) {
        m_pathsOfWatch.remove(watch);
        ::inotify_rm_watch(m_fd, watch);
    }
}

void PHFolderWatcher::removeAll() {
    for (auto it = m_pathsOfWatch.constBegin(); it != m_pathsOfWatch.constEnd(); ++it)
        ::inotify_rm_watch(m_fd, it.key());
    m_pathsOfWatch.clear();
    m_watchOfPath.clear();
    m_unwatched.clear();
}

void PHFolderWatcher::forget(int watch) {
    const auto found = m_pathsOfWatch.constFind(watch);
    if (found == m_pathsOfWatch.constEnd())
        return;
    for (const QString &path : *found)
        m_watchOfPath.remove(path);
    m_pathsOfWatch.erase(found);
}

void PHFolderWatcher::refreshUnwatched() {
    const QList<QString> paths(m_unwatched.cbegin(), m_unwatched.cend());
    for (const QString &path : paths)
        if (m_unwatched.contains(path)) // a slot may have removed it
            emit directoryChanged(path);
}

void PHFolderWatcher::readEvents() {
    // Each folder once per batch, in the order its first event came.
    QList<QString> changed;
    QSet<QString> seen;
    const auto note = [&](const QString &path) {
        if (!seen.contains(path)) {
            seen.insert(path);
            changed.append(path);
        }
    };
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event)) + event->len;
            if (event->mask & IN_Q_OVERFLOW) {
                // Events were lost: any followed folder may have changed.
                for (auto it = m_watchOfPath.constBegin(); it != m_watchOfPath.constEnd(); ++it)
                    note(it.key());
                continue;
            }
            const auto found = m_pathsOfWatch.constFind(event->wd);
            if (found == m_pathsOfWatch.constEnd())
                continue; // removed already
            for (const QString &path : *found)
                note(path);
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
                // The folder went (or is elsewhere now): no longer followed at this path.
                if (!(event->mask & IN_IGNORED))
                    ::inotify_rm_watch(m_fd, event->wd);
                forget(event->wd);
            }
        }
    }
    for (const QString &path : changed)
        emit directoryChanged(path);
}
