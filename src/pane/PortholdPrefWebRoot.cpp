// The panel controller: the web root, its pop-up and chooser, the paths
// derived from it, re-rooting, folder selection and opening folders.

#include "pane/PortholdPref.h"

#include "core/Log.h"
#include "model/PHAccessCheck.h"
#include "model/PHFSItem.h"
#include "model/PHServerRules.h"
#include "model/PHSettings.h"
#include "model/PHWebRoot.h"
#include "pane/PHServerTab.h"
#include "pane/PortholdPrefSupport.h"
#include "platform/PHAction.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHImage.h"
#include "server/PHApacheController.h"
#include "support/PHExtensions.h"
#include "support/PHFileName.h"
#include "support/PHPath.h"
#include "support/PHUserDefaults.h"
#include "views/PHFSDataSource.h"
#include "views/PHOutlineView.h"
#include "views/PHTableView.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTabWidget>

#include <thread>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace PortholdPrefSupport;

namespace {
const QString kCustomFolderRole = QStringLiteral("custom folder");
constexpr int kItemKindRole = Qt::UserRole + 1;

PHUserDefaults *defaults() {
    return PHUserDefaults::standardUserDefaults();
}

} // namespace

// ----- Paths -----

QString PortholdPref::location(PHWebRoot::PathKind kind) {
    return PHWebRoot::location(PHWebRoot::configured(), kind);
}

QString PortholdPref::serverLocation(PHWebRoot::PathKind kind) {
    return PHWebRoot::adjusted(location(kind));
}

// ----- The pop-up and the chooser -----

int PortholdPref::customEntryIndex() const {
    return m_webDirFolder->count() - 1;
}

void PortholdPref::setWebDirRoot(QObject *sender) {
    const qint32 chosen = selectionOf(sender);
    const qint32 stored = defaults()->integerForKey(PHSettings::Key::ProtectedFolder);
    if (chosen != stored && holdBackForManualEdits(
                                QStringLiteral("setWebDirRoot:"), this,
                                [this, chosen] {
                                    PHState state(chosen);
                                    setWebDirRoot(&state);
                                },
                                [this, stored] { m_webDirFolder->setCurrentIndex(stored); }))
        return;
    m_webDirFolder->setCurrentIndex(chosen);
    if (chosen == customEntryIndex() && defaults()->boolForKey(PHSettings::Key::AllowCustomWebDir)) {
        auto *chooser = new QFileDialog(m_window, QStringLiteral("Choose a Web Folder"));
        chooser->setObjectName(QStringLiteral("webDirChooser"));
        chooser->setAttribute(Qt::WA_DeleteOnClose);
        chooser->setWindowModality(m_window ? Qt::WindowModal : Qt::ApplicationModal);
        chooser->setFileMode(QFileDialog::Directory);
        chooser->setOption(QFileDialog::ShowDirsOnly, true);
        const QVariant start = defaults()->objectForKey(PHSettings::Key::CustomWebDir);
        if (start.isValid()) {
            const QString folder = start.toString();
            chooser->setDirectory(folder.isEmpty() ? QStringLiteral("/") : folder);
        }
        QPointer<PortholdPref> self(this);
        connect(chooser, &QDialog::finished, this, [self, chooser](int result) {
            const QStringList chosenFolders = chooser->selectedFiles();
            PHAction::run("chooseWebDir:returnCode:contextInfo:", [&] {
                if (self)
                    self->chooseWebDirReturnCode(chosenFolders.value(0), result == QDialog::Accepted ? 1 : 0);
            });
        });
        chooser->open();
        return;
    }
    setStartDirectory(chosen);
}

void PortholdPref::chooseWebDirReturnCode(const QString &path, int returnCode) {
    if (returnCode != 1) {
        m_webDirFolder->setCurrentIndex(defaults()->integerForKey(PHSettings::Key::ProtectedFolder));
        return;
    }
    if (!setCustomWebDir(path)) {
        // Refused or gone: the panel stays where it was.
        m_webDirFolder->setCurrentIndex(defaults()->integerForKey(PHSettings::Key::ProtectedFolder));
        return;
    }
    m_webDirFolder->setCurrentIndex(2);
    setStartDirectory(2);
}

bool PortholdPref::setCustomWebDir(const QString &path) {
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return false;
    if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r'))) {
        // Apache could not be told where the user and group files are.
        displayError(PHError::WebRootLineBreak);
        return false;
    }
    const QString title = QFileInfo(QDir::cleanPath(path)).fileName();
    // The previous custom folder's item goes, whichever root is active.
    if (m_webDirFolder->count() > 2 &&
        m_webDirFolder->itemData(2, kItemKindRole).toString() == kCustomFolderRole)
        m_webDirFolder->removeItem(2);
    defaults()->setObjectForKey(path, PHSettings::Key::WebDir);
    m_webDirFolder->insertItem(2, PHImage::imageForFileWidthHeight(path, 16, 16),
                               title.isEmpty() ? path : title);
    m_webDirFolder->setItemData(2, kCustomFolderRole, kItemKindRole);
    m_webDirFolder->setItemData(2, path, Qt::ToolTipRole);
    return true;
}

void PortholdPref::allowCustomRoots(bool allowed) {
    const int count = m_webDirFolder->count();
    if (allowed) {
        if (count > 2)
            return;
        m_webDirFolder->insertSeparator(count);
        m_webDirFolder->addItem(QStringLiteral("Custom%1").arg(QChar(0x2026)));
        setCustomWebDir(defaults()->stringForKey(PHSettings::Key::WebDir).value_or(QString()));
        return;
    }
    for (int i = m_webDirFolder->count() - 1; i >= 2; --i)
        m_webDirFolder->removeItem(i);
    setWebDirRoot(m_webDirFolder);
}

void PortholdPref::setStartDirectory(qint32 index) {
    defaults()->setIntegerForKey(index, PHSettings::Key::ProtectedFolder);
    // The new root's users and groups first: its folders are read against them.
    // Before the tables are set up nothing is read yet (they read the files once).
    if (m_users)
        reloadUsersAndGroups();
    if (m_files) {
        m_files->setRootPath(location(PHWebRoot::Root));
        m_webDirOutline->reloadData();
        m_webDirOutline->expandToDepth(0);
    }
    // The old tree is gone: nothing of it may stay selected.
    m_webDirOutline->clearSelection();
    webOutlineClick(nullptr);
    explainWebRoot();
}

void PortholdPref::webRefresh(QObject *sender) {
    const QPointer<QObject> keep(sender);
    if (holdBackForManualEdits(QStringLiteral("webRefresh:"), this, [this, keep] { webRefresh(keep); }))
        return;
    // Refresh is what the read errors of these files tell people to choose;
    // read first, as the folders are read against them.
    reloadUsersAndGroups();
    if (m_files) {
        m_files->setRootPath(location(PHWebRoot::Root));
        m_webDirOutline->reloadData();
        m_webDirOutline->expandToDepth(0);
        m_webDirOutline->clearSelection();
    }
    webOutlineClick(nullptr);
    explainWebRoot();
}

void PortholdPref::revealWebDir(QObject *) {
    // The folder the user is looking at; the web folder when none is selected.
    openFolder(m_fsItem ? m_fsItem->fullPath() : location(PHWebRoot::Root));
}

void PortholdPref::openFolder(const QString &path) {
    if (path.isEmpty())
        return;
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        showMessage(
            PHThemeColors::Meaning::Negative,
            QStringLiteral("Could not open %1: no file manager was found (xdg-open could not be started).")
                .arg(path));
}

// ----- Selection -----

void PortholdPref::webOutlineClick(QObject *) {
    if (m_manuallyEdited)
        return;
    m_fsItem = selectedFolder();
    if (m_fsItem)
        m_files->refreshFolder(m_fsItem, true);
    const bool hasFile = m_fsItem && m_fsItem->hasAccessFile();
    m_customViewText->setReadOnly(!hasFile);
    m_customViewText->setTextInteractionFlags(hasFile ? Qt::TextEditorInteraction : Qt::NoTextInteraction);
    setAddressViewsForItem(m_fsItem);
    m_userTable->reloadData();
    m_groupOutline->viewport()->update();
    showCustomEditor();
    userClick(nullptr);
}

QUrl PortholdPref::webAddressForItem(PHFSItem *item) const {
    QString base = QStringLiteral("%1://%2").arg(
        defaults()->stringForKey(PHSettings::Key::SiteProtocol).value_or(QString()),
        defaults()->stringForKey(PHSettings::Key::SiteAddress).value_or(QString()));
    // Folder names from the top down, below the outline's root.
    QStringList names;
    for (PHFSItem *node = item; node && node->parent(); node = node->parent())
        names.prepend(QString::fromLatin1(PHFileName::encode(node->name()).toPercentEncoding()));
    if (m_webDirFolder->currentIndex() == 0)
        base +=
            QStringLiteral("/~%1/").arg(QString::fromLatin1(QUrl::toPercentEncoding(PHPath::loginName())));
    QString address = base;
    const QString relative = names.join(QLatin1Char('/'));
    if (!relative.isEmpty())
        address = PHPath::joinPath(address, relative);
    else if (!address.endsWith(QLatin1Char('/')))
        address += QLatin1Char('/');
    return QUrl::fromEncoded(address.toUtf8());
}

void PortholdPref::viewSelectionOnWeb(QObject *) {
    auto *item = selectedFolder();
    if (!item)
        return;
    const QUrl address = webAddressForItem(item);
    if (!QDesktopServices::openUrl(address))
        showMessage(
            PHThemeColors::Meaning::Negative,
            QStringLiteral("Could not open %1: no web browser was found (xdg-open could not be started).")
                .arg(address.toString()));
}

void PortholdPref::showEffectiveAccess() {
    auto *label = m_window ? m_window->findChild<QLabel *>(QStringLiteral("effectiveAccessLabel")) : nullptr;
    auto *warning = m_window ? m_window->findChild<QLabel *>(QStringLiteral("thisComputerWarning")) : nullptr;
    QStringList lines;
    QString refusal;
    if (m_fsItem) {
        const PHEffectiveAccess access = m_fsItem->effectiveAccess();
        lines = access.lines();
        if (m_fsItem->isHandManaged())
            lines.prepend(PHFSItem::handManagedMessage + QLatin1Char('.'));
        if (const QString unread = PHServerRules::unreadNote(m_fsItem->treeRootPath()); !unread.isEmpty())
            lines.append(unread);
        refusal = access.thisComputerWarning();
        // An unsaved text in the manual editor: what saving it would do.
        if (m_manuallyEdited) {
            const QString pending =
                m_fsItem->effectiveAccessWithText(m_customViewText->toPlainText()).thisComputerWarning();
            refusal = pending.isEmpty() ? QString() : QStringLiteral("Once saved: ") + pending;
        }
    }
    if (label)
        label->setText(lines.isEmpty() ? QString()
                                       : QStringLiteral("%1: %2").arg(m_fsItem->name(),
                                                                      lines.join(QStringLiteral("; "))));
    if (warning) {
        warning->setText(refusal);
        warning->setToolTip(
            refusal.isEmpty()
                ? QString()
                : QStringLiteral("Tick 127.0.0.1 (this computer) among the allowed addresses, "
                                 "or untick it among the denied ones, to let this computer in."));
        warning->setVisible(!refusal.isEmpty());
    }
}

void PortholdPref::checkSelectionAccess(QObject *) {
    auto *item = selectedFolder();
    if (!item || !m_files || m_checkingAccess)
        return;
    const QString base = PHAccessCheck::serverAddress(
        webAddressForItem(m_files->rootItem()).toString(QUrl::FullyEncoded), m_files->rootItem()->fullPath());
    // What the folder says is read here; the server is asked on a worker
    // thread (each request may wait up to 10 s), so the panel stays usable.
    const PHAccessCheck::Plan plan =
        PHAccessCheck::prepare(item, base, QString(), QString(), m_server->errorLog());
    const QString folder = item->treePath();
    const QStringList effective = plan.access.lines();
    showAccessCheckRunning(true);
    askServerInBackground(
        this, plan, "checkSelectionAccess:", [this, folder, effective](const PHAccessCheck::Report &report) {
            accessCheckDidEnd(report, folder, effective);
        });
}

void PortholdPrefSupport::askServerInBackground(QObject *owner, const PHAccessCheck::Plan &plan,
                                                const char *action,
                                                std::function<void(const PHAccessCheck::Report &)> done) {
    QPointer<QObject> guard(owner);
    std::thread([plan, action, guard, done = std::move(done)] {
        const PHAccessCheck::Report report = PHAccessCheck::execute(plan);
        QObject *application = QCoreApplication::instance();
        if (!application)
            return;
        QMetaObject::invokeMethod(
            application,
            [guard, action, done, report] {
                if (guard)
                    PHAction::run(action, [&] { done(report); });
            },
            Qt::QueuedConnection);
    }).detach();
}

void PortholdPref::showAccessCheckRunning(bool running) {
    m_checkingAccess = running;
    if (m_window) {
        if (auto *button = m_window->findChild<QAbstractButton *>(QStringLiteral("checkAccessButton")))
            button->setEnabled(!running);
        if (auto *progress = m_window->findChild<QWidget *>(QStringLiteral("checkAccessProgress")))
            progress->setVisible(running);
    }
}

void PortholdPref::accessCheckDidEnd(const PHAccessCheck::Report &report, const QString &folder,
                                     const QStringList &effective) {
    showAccessCheckRunning(false);
    PHAlertSheet::Request request;
    request.title = !report.reachable ? QStringLiteral("The web server cannot be reached")
                    : report.agrees() ? QStringLiteral("The web server does what the panel shows")
                                      : QStringLiteral("The web server does not do what the panel shows");
    QStringList lines = effective;
    lines.prepend(QStringLiteral("Effective access of %1:").arg(folder));
    lines.append(QString());
    lines.append(report.lines());
    request.message = lines.join(QLatin1Char('\n'));
    request.context = QStringLiteral("checkSelectionAccess:");
    // Agreement is good news, not a warning.
    request.informational = report.reachable && report.agrees();
    PHAlertSheet::begin(m_window, request, [](int) {});
}

// ----- What Linux needs explained about a web root -----

QString PortholdPref::whyFoldersCannotChange() {
    const QString root = location(PHWebRoot::Root);
    if (root.isEmpty())
        return QStringLiteral("No web folder is chosen.");
    if (!QFileInfo(root).isDir())
        return QStringLiteral("%1 does not exist.").arg(root);
    if (access(QFile::encodeName(root).constData(), W_OK) != 0)
        return QStringLiteral("You cannot write to %1 (%2).")
            .arg(root, QString::fromLocal8Bit(std::strerror(errno)));
    return {};
}

void PortholdPref::applyFolderAvailability() {
    const QString refusal = whyFoldersCannotChange();
    if (m_files && m_files->changeRefusal() != refusal) {
        m_files->setChangeRefusal(refusal);
        m_webDirOutline->viewport()->update();
    }
    for (const char *name : {"userAddButton", "groupAddButton"}) {
        if (auto *button = m_mainView->findChild<QAbstractButton *>(QLatin1String(name))) {
            button->setEnabled(refusal.isEmpty());
            button->setToolTip(refusal);
        }
    }
}

void PortholdPref::explainWebRoot() {
    applyFolderAvailability();
    const QString root = location(PHWebRoot::Root);
    const qint32 index = defaults()->integerForKey(PHSettings::Key::ProtectedFolder);
    QStringList notes;
    const QFileInfo info(root);
    if (root.isEmpty()) {
        notes << QStringLiteral("No web folder chosen yet: pick one in the Web folder menu.");
    } else if (!info.isDir()) {
        notes << QStringLiteral("%1 does not exist yet.").arg(root);
        if (index != 1 && index != 2)
            notes << QStringLiteral("Create it (mkdir ~/public_html) to serve your own pages.");
    } else if (access(QFile::encodeName(root).constData(), W_OK) != 0) {
        notes << QStringLiteral(
                     "You cannot write to %1, so its folders cannot be protected from this account "
                     "(see Help: \"Folders you cannot write to\").")
                     .arg(root);
    }
    if (index != 1 && index != 2 && info.isDir()) {
        if (QFileInfo(QStringLiteral("/etc/apache2/mods-available")).isDir() &&
            !QFileInfo::exists(QStringLiteral("/etc/apache2/mods-enabled/userdir.load")))
            notes << QStringLiteral("Apache does not serve ~/public_html until mod_userdir is enabled "
                                    "(sudo a2enmod userdir).");
        struct stat home {};
        if (::stat(QFile::encodeName(PHPath::homeFolder()).constData(), &home) == 0 &&
            !(home.st_mode & S_IXOTH))
            notes << QStringLiteral("Apache cannot enter your home folder; allow it with chmod o+x ~.");
    }
    m_webRootStatus->setText(notes.join(QLatin1Char(' ')));
    m_webRootStatus->setToolTip(notes.join(QLatin1Char('\n')));
    // A row of its own across the panel: none at all when there is nothing to say.
    m_webRootStatus->setVisible(!notes.isEmpty());
}
