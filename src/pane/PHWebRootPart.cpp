#include "pane/PHWebRootPart.h"

#include "model/PHErrorTexts.h"
#include "model/PHModelContext.h"
#include "model/PHSettings.h"
#include "model/PHWebRoot.h"
#include "platform/PHAction.h"
#include "platform/PHImage.h"
#include "support/PHFileName.h"
#include "support/PHPath.h"
#include "support/PHSettingsStore.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kCustomFolderRole = QStringLiteral("custom folder");
constexpr int kItemKindRole = Qt::UserRole + 1;

PHSettingsStore *defaults() {
    return PHSettingsStore::instance();
}

qint32 storedIndex() {
    return defaults()->integerForKey(PHSettings::Key::ProtectedFolder);
}

} // namespace

PHWebRootPart::PHWebRootPart(const Widgets &widgets, PHManualEditGuard *guard, QObject *parent)
    : QObject(parent), m_guard(guard), m_window(widgets.window), m_popUp(widgets.popUp),
      m_status(widgets.status) {
    // The pop-up mirrors the stored root before the options act on it, so
    // that turning custom roots off cannot move a stored system root to item 0.
    m_popUp->setCurrentIndex(storedIndex() == 1 ? 1 : 0);
    connect(m_popUp, &QComboBox::activated, this,
            [this](int index) { PHAction::run("choose web folder", [&] { choose(index); }); });
}

QString PHWebRootPart::location(PHWebRoot::PathKind kind) {
    return PHWebRoot::location(PHWebRoot::configured(), kind);
}

QString PHWebRootPart::serverLocation(PHWebRoot::PathKind kind) {
    return PHWebRoot::adjusted(location(kind));
}

void PHWebRootPart::load() {
    fillIcons();
    if (m_popUp->count() == 0)
        return;
    const qint32 last = qint32(m_popUp->count()) - 1;
    m_popUp->setCurrentIndex(qMax(0, qMin(storedIndex(), last)));
}

void PHWebRootPart::fillIcons() {
    if (m_popUp->count() < 2)
        return;
    const auto folderIcon = [](const QString &path) {
        QIcon icon(PHImage::imageForFileWidthHeight(path, 16, 16));
        return icon.isNull() ? PHImage::folderImage() : icon;
    };
    m_popUp->setItemIcon(0, folderIcon(PHWebRoot::userWebFolder()));
    m_popUp->setItemIcon(1, folderIcon(PHWebRoot::systemWebFolder()));
}

void PHWebRootPart::choose(qint32 chosen) {
    const qint32 stored = storedIndex();
    if (chosen != stored && m_guard &&
        m_guard->holdBackForUnsavedEdits(
            QStringLiteral("choose web folder"), this, [this, chosen] { choose(chosen); },
            [this, stored] { m_popUp->setCurrentIndex(stored); }))
        return;
    m_popUp->setCurrentIndex(chosen);
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
        connect(chooser, &QDialog::finished, this, [this, chooser](int result) {
            const QStringList chosenFolders = chooser->selectedFiles();
            PHAction::run("web folder chosen",
                          [&] { chooserEnded(chosenFolders.value(0), result == QDialog::Accepted); });
        });
        chooser->open();
        return;
    }
    setStartDirectory(chosen);
}

void PHWebRootPart::chooserEnded(const QString &path, bool accepted) {
    // Cancelled, refused or gone: the panel stays where it was.
    if (!accepted || !setCustomFolder(path)) {
        m_popUp->setCurrentIndex(storedIndex());
        return;
    }
    m_popUp->setCurrentIndex(2);
    setStartDirectory(2);
}

bool PHWebRootPart::setCustomFolder(const QString &path) {
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return false;
    if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r'))) {
        // Apache could not be told where the user and group files are.
        emit errorShown(PHError::WebRootLineBreak);
        return false;
    }
    const QString title = QFileInfo(QDir::cleanPath(path)).fileName();
    // The previous custom folder's item goes, whichever root is active.
    if (m_popUp->count() > 2 && m_popUp->itemData(2, kItemKindRole).toString() == kCustomFolderRole)
        m_popUp->removeItem(2);
    defaults()->setObjectForKey(path, PHSettings::Key::WebDir);
    m_popUp->insertItem(2, PHImage::imageForFileWidthHeight(path, 16, 16), title.isEmpty() ? path : title);
    m_popUp->setItemData(2, kCustomFolderRole, kItemKindRole);
    m_popUp->setItemData(2, path, Qt::ToolTipRole);
    return true;
}

void PHWebRootPart::allowCustomRoots(bool allowed) {
    const int count = m_popUp->count();
    if (allowed) {
        if (count > 2)
            return;
        m_popUp->insertSeparator(count);
        m_popUp->addItem(QStringLiteral("Custom%1").arg(QChar(0x2026)));
        setCustomFolder(defaults()->stringForKey(PHSettings::Key::WebDir).value_or(QString()));
        return;
    }
    for (int i = m_popUp->count() - 1; i >= 2; --i)
        m_popUp->removeItem(i);
    choose(m_popUp->currentIndex());
}

void PHWebRootPart::setStartDirectory(qint32 index) {
    defaults()->setIntegerForKey(index, PHSettings::Key::ProtectedFolder);
    emit rootChanged();
}

QUrl PHWebRootPart::webAddress(PHFSItem *item) const {
    QString base = QStringLiteral("%1://%2").arg(
        defaults()->stringForKey(PHSettings::Key::SiteProtocol).value_or(QString()),
        defaults()->stringForKey(PHSettings::Key::SiteAddress).value_or(QString()));
    // Folder names from the top down, below the outline's root.
    QStringList names;
    for (PHFSItem *node = item; node && node->parent(); node = node->parent())
        names.prepend(QString::fromLatin1(PHFileName::encode(node->name()).toPercentEncoding()));
    if (m_popUp->currentIndex() == 0)
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

void PHWebRootPart::openFolder(const QString &path) {
    if (path.isEmpty())
        return;
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        emit messageShown(
            PHThemeColors::Meaning::Negative,
            QStringLiteral("Could not open %1: no file manager was found (xdg-open could not be started).")
                .arg(path));
}

QString PHWebRootPart::whyFoldersCannotChange() {
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

void PHWebRootPart::explain() {
    const QString root = location(PHWebRoot::Root);
    const qint32 index = storedIndex();
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
    m_status->setText(notes.join(QLatin1Char(' ')));
    m_status->setToolTip(notes.join(QLatin1Char('\n')));
    // A row of its own across the panel: none at all when there is nothing to say.
    m_status->setVisible(!notes.isEmpty());
}
