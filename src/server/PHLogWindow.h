#pragma once

#include <QString>
#include <QWidget>

class QFileSystemWatcher;
class QLabel;
class QPlainTextEdit;
class QTimer;

/// A read-only window on one log file that follows its growth, the way a log
/// viewer does: it shows the end of the file, appends what the server writes,
/// and starts over when the file is truncated or replaced (log rotation). A
/// file that cannot be read shows why instead of an empty view.
class PHLogWindow : public QWidget {
    Q_OBJECT
public:
    /// How much of an existing log is shown when the window opens.
    static constexpr qint64 kInitialTail = 1 << 20;

    explicit PHLogWindow(const QString &path, QWidget *parent = nullptr);

    QString path() const { return m_path; }
    /// The text shown (the log's contents, or the reason it cannot be shown).
    QString text() const;
    bool isReadable() const { return m_readable; }
    /// Reads what was appended since the last look (also done on a timer and
    /// when the file system reports a change).
    void refresh();

    /// The explanation shown for a log that cannot be opened.
    static QString unreadableText(const QString &path, int error);

private:
    void reload();

    QString m_path;
    QPlainTextEdit *m_view;
    QLabel *m_note;
    QFileSystemWatcher *m_watcher;
    QTimer *m_poll;
    qint64 m_offset = 0;
    quint64 m_inode = 0;
    bool m_readable = false;
    QByteArray m_partialLine; // bytes of a line the server has not finished
};
