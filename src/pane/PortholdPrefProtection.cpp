// The panel controller: the address side of a folder's protection, the
// known-address list, clearing a folder's access file, and the manual editor.

#include "pane/PortholdPref.h"

#include "core/PHException.h"
#include "model/PHAccessCheck.h"
#include "model/PHFSItem.h"
#include "model/PHSettings.h"
#include "pane/PHOptionsTab.h"
#include "pane/PHServerTab.h"
#include "pane/PortholdPrefSupport.h"
#include "platform/PHAction.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHEnabling.h"
#include "support/PHTextFile.h"
#include "support/PHUserDefaults.h"
#include "views/PHAddressDataSource.h"
#include "views/PHOutlineView.h"
#include "views/PHTableView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QDir>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>

using namespace PortholdPrefSupport;

namespace {
const QString kPlaceholderAddress = QStringLiteral("host.domain.tld");
PHUserDefaults *defaults() {
    return PHUserDefaults::standardUserDefaults();
}
} // namespace

// ----- Addresses -----

void PortholdPref::setAddressViewsForItem(PHFSItem *item) {
    const int row = item && !item->isAllowSet() ? 1 : 0;
    m_addressMode->button(row)->setChecked(true);
    // A hand-managed file is shown as it is, read-only.
    const QString whyNot = !item ? QStringLiteral("Select a folder first")
                           : item->isHandManaged()
                               ? PHFSItem::handManagedMessage
                               : QStringLiteral("The folder's protection uses no addresses: choose Address, "
                                                "Password or Address, or Password and Address first");
    for (QAbstractButton *button : m_addressMode->buttons())
        PHEnabling::setEnabled(button, item && item->isAddressProtected() && !item->isHandManaged(), whyNot);
    m_addressTable->reloadData();
}

void PortholdPref::changeAddressMode(QObject *sender) {
    const qint32 row = selectionOf(sender);
    if (holdBackForManualEdits(
            QStringLiteral("changeAddressMode:"), this,
            [this, row] {
                PHState state(row);
                changeAddressMode(&state);
            },
            [this] { setAddressViewsForItem(m_fsItem); })) // back to what the folder says
        return;
    if (!m_fsItem)
        return;
    m_fsItem->setAllow(row == 0);
    setAddressViewsForItem(m_fsItem);
}

void PortholdPref::addressClick(QObject *) {
    PHEnabling::setEnabled(m_addressDeleteButton, m_addressTable->selectedRow() >= 0,
                           QStringLiteral("Select the addresses to remove first"));
}

void PortholdPref::storeAddresses() {
    // Only accepted addresses are stored; a refused row stays in memory until edited.
    QStringList accepted;
    for (const QString &address : m_addresses)
        if (PHFSItem::isAcceptableAddress(address))
            accepted.append(address);
    defaults()->setObjectForKey(accepted, PHSettings::Key::AddressArray);
}

void PortholdPref::addAddressesFromArray(const QStringList &list) {
    bool added = false;
    for (const QString &entry : list) {
        const QString address = entry.toLower();
        if (m_addresses.contains(address) || !PHFSItem::isAcceptableAddress(address))
            continue;
        m_addresses.append(address);
        added = true;
    }
    if (!added)
        return;
    m_addressTable->reloadData();
    // Stored once, the whole list, rather than once per address.
    storeAddresses();
}

void PortholdPref::addAddress(QObject *) {
    m_addresses.append(kPlaceholderAddress);
    m_addressTable->reloadData();
    const qint32 row = indexOfAddress(kPlaceholderAddress);
    m_addressTable->selectRowByExtendingSelection(row, false);
    m_addressTable->editColumnRow(QStringLiteral("address"), row);
}

void PortholdPref::replaceKnownAddress(qint32 index, const QString &address) {
    if (!(index >= 0 && index < m_addresses.size()))
        throw PHException::invalidParameter(QStringLiteral("old >= 0 && old < [addresses count]"));
    m_addresses[index] = address;
    if (PHFSItem::isAcceptableAddress(address)) {
        storeAddresses();
        return;
    }
    // Refused: back into the cell once the table has finished this edit.
    QApplication::beep();
    const QString shown = address.trimmed();
    if (PHFSItem::isReservedAddress(address))
        showMessage(PHThemeColors::Meaning::Negative,
                    QStringLiteral("%1 is a reserved word, not an address").arg(address));
    else if (shown.isEmpty())
        showMessage(PHThemeColors::Meaning::Negative, QStringLiteral("An address cannot be empty"));
    else
        showMessage(
            PHThemeColors::Meaning::Negative,
            QStringLiteral("\"%1\" is not an address: addresses contain no spaces, line breaks or quotes")
                .arg(shown));
    QPointer<PortholdPref> self(this);
    QTimer::singleShot(0, this, [self, index] {
        PHAction::run("reeditAddressAfterDelay:", [&] {
            if (self)
                self->reeditAddressAfterDelay(index);
        });
    });
}

void PortholdPref::reeditAddressAfterDelay(qint32 index) {
    if (index < 0 || index >= m_addresses.size())
        return;
    m_addressTable->selectRowByExtendingSelection(index, false);
    m_addressTable->editColumnRow(QStringLiteral("address"), index);
}

void PortholdPref::removeAddress(QObject *) {
    QStringList chosen;
    for (qint32 row : m_addressTable->selectedRows())
        chosen.append(addressAtIndex(row));
    for (const QString &address : chosen)
        deleteAddress(address);
    m_addressTable->clearSelection();
    m_addressTable->reloadData();
    addressClick(m_addressTable);
    if (!m_fsItem)
        return;
    m_fsItem->writeAccessFile();
    // An address in force on the folder stays on it, and so in the list,
    // until it is unticked there: removing it from the list is no edit of
    // the folder's rules.
    QStringList kept;
    for (const QString &address : std::as_const(chosen))
        if (m_addresses.contains(address))
            kept.append(address);
    if (!kept.isEmpty()) {
        m_addressTable->reloadData();
        showMessage(PHThemeColors::Meaning::Warning,
                    QStringLiteral("%1 stays in the list: in force on %2; untick it there first")
                        .arg(kept.join(QStringLiteral(", ")), m_fsItem->name()));
    }
}

void PortholdPref::deleteAddress(const QString &address) {
    if (!m_addresses.contains(address))
        return;
    m_addresses.removeAll(address);
    m_addressTable->reloadData();
    storeAddresses();
}

// ----- Clearing a folder -----

void PortholdPref::clearAccessPrompt(QObject *) {
    m_fsItem = selectedFolder();
    PHFSItem *item = m_fsItem;
    if (!item)
        return;
    if (!shouldShowDeleteDialog()) {
        clearAccessReturnCode(PHAlertSheet::Default, item);
        return;
    }
    PHAlertSheet::Request request;
    request.title = QStringLiteral("Delete Access File");
    request.message =
        QStringLiteral("Are you sure you want to permanently delete all access restrictions for \"%1\"?"
                       "\n\nThis action cannot be undone.")
            .arg(item->name());
    request.defaultButton = QStringLiteral("Delete");
    request.otherButton = QStringLiteral("Cancel");
    request.context = QStringLiteral("clearAccess:returnCode:contextInfo:");
    QPointer<PortholdPref> self(this);
    QPointer<PHFSItem> target(item);
    PHAlertSheet::begin(m_window, request, [self, target](int returnCode) {
        if (self)
            self->clearAccessReturnCode(returnCode, target);
    });
}

void PortholdPref::clearAccessReturnCode(int returnCode, PHFSItem *item) {
    if (returnCode == PHAlertSheet::Alternate)
        m_options->setAskBeforeClearing(false);
    else if (returnCode != PHAlertSheet::Default)
        return;
    if (!item)
        return; // the folder went with a rebuilt tree
    m_manuallyEdited = false;
    item->deleteAccessFile();
    webOutlineClick(nullptr);
}

// ----- Manual editor -----

void PortholdPref::showManualEditorTab(bool visible) {
    const int index = m_userAddressTabs->indexOf(m_manualEditTabViewItem);
    if (visible && index < 0) {
        showCustomEditor();
        m_userAddressTabs->addTab(m_manualEditTabViewItem, m_manualEditTabTitle);
    } else if (!visible && index >= 0) {
        m_userAddressTabs->removeTab(index);
    }
}

void PortholdPref::showCustomEditor(QObject *) {
    if (!m_manuallyEdited) {
        const QString text = m_fsItem ? m_fsItem->stringValue() : QString();
        m_customViewText->setProperty("settingText", true);
        m_customViewText->setPlainText(text);
        m_customViewText->setProperty("settingText", false);
        QTextCursor cursor = m_customViewText->textCursor();
        cursor.movePosition(QTextCursor::Start);
        m_customViewText->setTextCursor(cursor);
    }
    m_manuallyEdited = false;
    PHEnabling::setEnabled(m_customSaveButton, false,
                           QStringLiteral("The text is as saved: there is nothing to save or revert"));
    PHEnabling::setEnabled(m_customRevertButton, false,
                           QStringLiteral("The text is as saved: there is nothing to save or revert"));
    showEffectiveAccess();
}

void PortholdPref::textDidChange() {
    m_manuallyEdited = true;
    PHEnabling::setEnabled(m_customSaveButton, !m_checkingManualSave,
                           QStringLiteral("Waiting for the web server's answer about the last save"));
    PHEnabling::setEnabled(m_customRevertButton, true, QString());
    showEffectiveAccess(); // says before saving whether the text would shut this computer out
}

bool PortholdPref::saveCustomEdit(QObject *) {
    PHFSItem *item = m_fsItem;
    if (!item)
        return false;
    // What was on disk, for Revert when the server cannot read the new text.
    const PHTextFile before = PHTextFile::readBelow(item->treeRootPath(), item->accessPath());
    const std::optional<QString> previous = before.ok() ? std::optional<QString>(before.text) : std::nullopt;
    // The edits stay flagged until they are on disk, so the re-read that
    // follows a refused or failed write cannot replace the typed text.
    item->setStringValue(m_customViewText->toPlainText());
    // A text with no directive in force is still written, in its disabled
    // form, so the file on disk is what the editor showed.
    if (!item->writeAccessFileEvenWhenUnprotected())
        return false;
    m_manuallyEdited = false;
    if (m_fsItem)
        m_files->refreshFolder(m_fsItem);
    webOutlineClick(nullptr);
    checkManualSave(item, previous);
    return true;
}

void PortholdPref::checkManualSave(PHFSItem *item, const std::optional<QString> &previous) {
    if (!item || !m_files || m_checkingManualSave)
        return;
    // Apache reads an access file on each request: a word it does not know
    // turns the whole folder into "500 Internal Server Error". Ask it now, on
    // a worker thread (each request may wait up to 10 s), so the panel stays
    // usable; the file is read here, the answer comes back queued.
    const QString base = webAddressForItem(m_files->rootItem()).toString(QUrl::FullyEncoded);
    const PHAccessCheck::Plan plan =
        PHAccessCheck::prepare(item, base, QString(), QString(), m_server->errorLog());
    const QString folder = item->name().isEmpty() ? QStringLiteral("the web folder") : item->name();
    showManualSaveCheckRunning(true);
    QPointer<PHFSItem> target(item);
    askServerInBackground(this, plan, "checkManualSave",
                          [this, target, folder, previous](const PHAccessCheck::Report &report) {
                              manualSaveCheckDidEnd(report, target.data(), folder, previous);
                          });
}

void PortholdPref::showManualSaveCheckRunning(bool running) {
    m_checkingManualSave = running;
    if (m_customSaveButton)
        PHEnabling::setEnabled(
            m_customSaveButton, !running && m_manuallyEdited,
            running ? QStringLiteral("Waiting for the web server's answer about the last save")
                    : QStringLiteral("The text is as saved: there is nothing to save or revert"));
    if (m_window)
        if (auto *progress = m_window->findChild<QWidget *>(QStringLiteral("customCheckProgress")))
            progress->setVisible(running);
}

void PortholdPref::manualSaveCheckDidEnd(const PHAccessCheck::Report &report, PHFSItem *item,
                                         const QString &folder, const std::optional<QString> &previous) {
    showManualSaveCheckRunning(false);
    const bool broken = std::any_of(report.probes.cbegin(), report.probes.cend(),
                                    [](const PHAccessCheck::Probe &probe) { return probe.answered == 500; });
    if (!broken)
        return;
    // "[time] [core:alert] [pid 1] [client ::1:2] /x/.htaccess: Invalid command 'Bogus', ..."
    QString reason;
    for (const QString &line : report.logLines) {
        const qsizetype end = line.lastIndexOf(QStringLiteral("] "));
        reason = end >= 0 ? line.mid(end + 2) : line;
        if (reason.contains(QStringLiteral(".htaccess")))
            break;
    }
    QString text = QStringLiteral("The web server cannot read the saved .htaccess in %1: it answers "
                                  "500 Internal Server Error")
                       .arg(folder);
    if (!reason.isEmpty())
        text += QStringLiteral(" (%1)").arg(reason);
    showMessage(PHThemeColors::Meaning::Negative, text);
    // A folder that left the tree meanwhile (a re-listing) has nothing to revert.
    PHMessageLine *line = item ? messageLine() : nullptr;
    if (!line)
        return;
    QPointer<PortholdPref> self(this);
    QPointer<PHFSItem> target(item);
    line->addButton(QStringLiteral("Revert"), [self, target, previous] {
        PHAction::run("revertManualSave", [&] {
            if (self && target)
                self->revertManualSave(target, previous);
        });
    });
}

void PortholdPref::revertManualSave(PHFSItem *item, const std::optional<QString> &previous) {
    if (m_manuallyEdited)
        return; // newer typing is not thrown away
    const bool reverted = previous
                              ? (item->setStringValue(*previous), item->writeAccessFileEvenWhenUnprotected())
                              : item->deleteAccessFile();
    m_files->refreshFolder(item);
    webOutlineClick(nullptr);
    if (reverted)
        showMessage(PHThemeColors::Meaning::Normal,
                    QStringLiteral("Put back the earlier .htaccess in %1").arg(item->name()));
}

void PortholdPref::revertCustomEdit(QObject *) {
    m_manuallyEdited = false; // put the stored text back
    showCustomEditor();
}
