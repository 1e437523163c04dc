#include "server/PHLogWindow.h"

#include "platform/PHAction.h"
#include "platform/PHWindowKeys.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Opens without blocking on a FIFO or a device someone named as a log.
int openForReading(const QString &path, int *error) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    *error = fd < 0 ? errno : 0;
    return fd;
}

} // namespace

QString PHLogWindow::unreadableText(const QString &path, int error) {
    QString text = QStringLiteral("The log \"%1\" cannot be shown: %2.")
                       .arg(path, QString::fromLocal8Bit(strerror(error)));
    if (error == EACCES || error == EPERM) {
        // Debian keeps the server's logs readable by group adm only.
        struct stat folder {};
        const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
        if (::stat(dir.constData(), &folder) == 0) {
            const passwd *user = getpwuid(getuid());
            const QString login =
                user ? QString::fromLocal8Bit(user->pw_name) : QStringLiteral("<your name>");
            if (const group *g = getgrgid(folder.st_gid); g && folder.st_gid != 0)
                text += QStringLiteral("\n\nReading the web server's logs needs membership of group %1. "
                                       "An administrator can add you with \"adduser %2 %1\"; "
                                       "the change takes effect at your next login.")
                            .arg(QString::fromLocal8Bit(g->gr_name), login);
        }
    }
    return text;
}

PHLogWindow::PHLogWindow(const QString &path, QWidget *parent)
    : QWidget(parent, Qt::Window), m_path(path), m_view(new QPlainTextEdit(this)), m_note(new QLabel(this)),
      m_watcher(new QFileSystemWatcher(this)), m_poll(new QTimer(this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QFileInfo(path).fileName());
    resize(760, 480);
    m_view->setReadOnly(true);
    m_view->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_note->setText(path);
    m_note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_view->setAccessibleName(QStringLiteral("Log"));
    m_view->setAccessibleDescription(path);
    m_note->setAccessibleName(QStringLiteral("Log file"));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("logButtons"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_note);
    layout->addWidget(m_view);
    layout->addWidget(buttons);
    // A viewer window closes the way dialogs do: Escape, or the desktop's Close keys.
    QList<QKeySequence> closeKeys = PHWindowKeys::closeKeys();
    closeKeys.append(QKeySequence(Qt::Key_Escape));
    connect(PHWindowKeys::add(this, closeKeys), &QShortcut::activated, this, &QWidget::close);

    m_watcher->addPath(path);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, [this] {
        PHAction::run("follow log", [this] {
            refresh();
            // A rotated log is a new file: watch the new one.
            if (!m_watcher->files().contains(m_path) && QFileInfo::exists(m_path))
                m_watcher->addPath(m_path);
        });
    });
    // Watches can be lost (rotation, network file systems): look once a second as well.
    m_poll->setInterval(1000);
    connect(m_poll, &QTimer::timeout, this, [this] { PHAction::run("follow log", [this] { refresh(); }); });
    m_poll->start();
    reload();
}

QString PHLogWindow::text() const {
    return m_view->toPlainText();
}

void PHLogWindow::reload() {
    m_view->clear();
    m_offset = 0;
    m_inode = 0;
    m_partialLine.clear();
    int error = 0;
    const int fd = openForReading(m_path, &error);
    if (fd < 0) {
        m_readable = false;
        m_view->setPlainText(unreadableText(m_path, error));
        return;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        m_readable = false;
        m_view->setPlainText(unreadableText(m_path, S_ISDIR(info.st_mode) ? EISDIR : errno));
        return;
    }
    ::close(fd);
    m_readable = true;
    m_inode = quint64(info.st_ino);
    // Start near the end of a long log, at a line boundary.
    if (info.st_size > kInitialTail)
        m_offset = info.st_size - kInitialTail;
    refresh();
    if (m_offset > 0 && info.st_size > kInitialTail) {
        QTextCursor cursor(m_view->document());
        cursor.movePosition(QTextCursor::Start);
        cursor.select(QTextCursor::LineUnderCursor);
        cursor.removeSelectedText(); // the first line was cut in the middle
    }
}

void PHLogWindow::refresh() {
    int error = 0;
    const int fd = openForReading(m_path, &error);
    if (fd < 0) {
        if (m_readable) // gone for now (rotation in progress): keep what is shown
            return;
        m_view->setPlainText(unreadableText(m_path, error));
        return;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        ::close(fd);
        return;
    }
    if (!m_readable || quint64(info.st_ino) != m_inode || info.st_size < m_offset) {
        ::close(fd);
        reload(); // a new or truncated file: start over
        return;
    }
    QByteArray appended;
    if (info.st_size > m_offset && lseek(fd, m_offset, SEEK_SET) == m_offset) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            appended.append(buffer, n);
        }
    }
    ::close(fd);
    if (appended.isEmpty())
        return;
    m_offset += appended.size();

    // Show whole lines only; the rest waits until the server finishes it.
    appended.prepend(m_partialLine);
    const qsizetype lastBreak = appended.lastIndexOf('\n');
    if (lastBreak < 0) {
        m_partialLine = appended;
        return;
    }
    m_partialLine = appended.mid(lastBreak + 1);
    const QString lines = QString::fromUtf8(appended.left(lastBreak));

    QScrollBar *bar = m_view->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    m_view->appendPlainText(lines);
    if (atEnd)
        bar->setValue(bar->maximum());
}
