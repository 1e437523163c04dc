#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class QSocketNotifier;

/// Follows folders for changes to what they hold, with one inotify watch per
/// folder: adding, finding and removing a folder cost the same however many
/// are followed (a hash from each path to its watch, and from each watch to
/// its paths).
///
/// A folder is reported once per batch of events from the kernel: an entry
/// created, deleted, moved, its attributes changed or a file in it written
/// and closed. A followed folder that is deleted or moved away stops being
/// followed, and is reported.
///
/// Where the system gives out (no inotify instance, or the user's watches
/// used up, or the limit set with setWatchLimit reached) the folders that
/// could not be watched are logged once and reported each time the
/// application becomes active again instead, so that a change another
/// program made meanwhile still shows once the user comes back to it.
///
/// Main thread only.
class PHFolderWatcher : public QObject {
    Q_OBJECT
public:
    explicit PHFolderWatcher(QObject *parent = nullptr);
    ~PHFolderWatcher() override;

    /// Follows the folder at `path` (a link to one is followed to it). Returns
    /// false when it is not a folder, or it could not be watched: it is then
    /// among those reported on activation, unless it is not a folder.
    bool addPath(const QString &path);
    /// Stops following the path (watched or waiting for activation).
    void removePath(const QString &path);
    void removeAll();
    /// Whether the path is followed by a watch of its own.
    bool isWatched(const QString &path) const { return m_watchOfPath.contains(path); }
    /// Whether the path could not be watched and is reported on activation.
    bool isUnwatched(const QString &path) const { return m_unwatched.contains(path); }
    int watchCount() const { return int(m_watchOfPath.size()); }

    /// At most this many watches (negative: as many as the system gives).
    void setWatchLimit(int limit) { m_limit = limit; }

    /// Reports every folder that could not be watched (done when the
    /// application becomes active).
    void refreshUnwatched();

signals:
    void directoryChanged(const QString &path);

private:
    void readEvents();
    void forget(int watch);
    void giveUp(const QString &path, const QString &why);

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QHash<QString, int> m_watchOfPath;
    QHash<int, QList<QString>> m_pathsOfWatch; // a folder reached by two paths has one watch
    QSet<QString> m_unwatched;
    QString m_noInstance; // why inotify_init1 failed
    int m_limit = -1;
    bool m_loggedShortage = false;
};
