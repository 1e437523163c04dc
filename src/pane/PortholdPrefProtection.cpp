// The panel controller: the address side of a folder's protection, the
// known-address list, clearing a folder's access file, and the manual editor.

#include "pane/PortholdPref.h"

#include "model/PHFSItem.h"
#include "model/PHSettings.h"
#include "pane/PortholdPrefSupport.h"
#include "platform/PHAction.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHException.h"
#include "support/PHUserDefaults.h"
#include "views/PHAddressDataSource.h"
#include "views/PHOutlineView.h"
#include "views/PHTableView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
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
    if (m_addressMode) {
        const int row = item && !item->isAllowSet() ? 1 : 0;
        if (QAbstractButton *button = m_addressMode->button(row))
            button->setChecked(true);
        // A hand-managed file is shown as it is, read-only.
        for (QAbstractButton *button : m_addressMode->buttons())
            button->setEnabled(item && item->isAddressProtected() && !item->isHandManaged());
    }
    if (m_addressTable)
        m_addressTable->reloadData();
}

void PortholdPref::changeAddressMode(QObject *sender) {
    const qint32 row = selectionOf(sender);
    if (m_manuallyEdited) {
        setAddressViewsForItem(m_fsItem); // back to what the folder says
        return retryAfterManualEditPrompt(QStringLiteral("changeAddressMode:"), [this, row] {
            PHState state(row);
            changeAddressMode(&state);
        });
    }
    if (!m_fsItem)
        return;
    m_fsItem->setAllow(row == 0);
    setAddressViewsForItem(m_fsItem);
}

void PortholdPref::addressClick(QObject *) {
    if (m_addressDeleteButton)
        m_addressDeleteButton->setEnabled(m_addressTable && m_addressTable->selectedRow() >= 0);
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
    for (const QString &entry : list) {
        const QString address = entry.toLower();
        if (m_addresses.contains(address) || !PHFSItem::isAcceptableAddress(address))
            continue;
        m_addresses.append(address);
        if (m_addressTable)
            m_addressTable->reloadData();
        storeAddresses();
    }
}

void PortholdPref::addAddress(QObject *) {
    m_addresses.append(kPlaceholderAddress);
    if (!m_addressTable)
        return;
    m_addressTable->reloadData();
    const qint32 row = indexOfAddress(kPlaceholderAddress);
    m_addressTable->selectRowByExtendingSelection(row, false);
    m_addressTable->editColumnRow(QStringLiteral("address"), row);
}

void PortholdPref::replaceAddressAtIndexWithAddress(qint32 index, const QString &address) {
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
        showMessage(PHThemeColors::Meaning::Negative,
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
    if (!m_addressTable || index < 0 || index >= m_addresses.size())
        return;
    m_addressTable->selectRowByExtendingSelection(index, false);
    m_addressTable->editColumnRow(QStringLiteral("address"), index);
}

void PortholdPref::removeAddress(QObject *) {
    if (!m_addressTable)
        return;
    QStringList chosen;
    for (qint32 row : m_addressTable->selectedRows())
        chosen.append(addressAtIndex(row));
    for (const QString &address : chosen)
        deleteAddress(address);
    m_addressTable->clearSelection();
    m_addressTable->reloadData();
    addressClick(m_addressTable);
    if (m_fsItem)
        m_fsItem->writeAccessFile();
}

void PortholdPref::deleteAddress(const QString &address) {
    if (!m_addresses.contains(address))
        return;
    m_addresses.removeAll(address);
    if (m_addressTable)
        m_addressTable->reloadData();
    storeAddresses();
}

// ----- Clearing a folder -----

void PortholdPref::clearAccessPrompt(QObject *) {
    m_fsItem = m_webDirOutline ? static_cast<PHFSItem *>(m_webDirOutline->selectedItem()) : nullptr;
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
            .arg(item->relativePath());
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
        setShouldShowDeleteDialog(false);
    else if (returnCode != PHAlertSheet::Default)
        return;
    if (!item)
        return; // the folder went with a rebuilt tree
    m_manuallyEdited = false;
    item->deleteAccessFile();
    webOutlineClick(nullptr);
}

// ----- Manual editor -----

void PortholdPref::setManualEditVisible(QObject *sender) {
    if (m_manuallyEdited) {
        if (m_manualEditCheck)
            m_manualEditCheck->setChecked(true);
        return retryAfterManualEditPrompt(QStringLiteral("setManualEditVisible:"), [this] {
            PHState off(0);
            setManualEditVisible(&off);
        });
    }
    const bool visible = stateOf(sender) != 0;
    if (m_manualEditCheck)
        m_manualEditCheck->setChecked(visible);
    defaults()->setBoolForKey(visible, PHSettings::Key::ShowManualEditor);
    if (!m_userAddressTabs || !m_manualEditTabViewItem)
        return;
    const int index = m_userAddressTabs->indexOf(m_manualEditTabViewItem);
    if (visible && index < 0) {
        showCustomEditor();
        m_userAddressTabs->addTab(m_manualEditTabViewItem, m_manualEditTabTitle);
    } else if (!visible && index >= 0) {
        m_userAddressTabs->removeTab(index);
    }
}

void PortholdPref::showCustomEditor(QObject *) {
    if (m_customViewText && !m_manuallyEdited) {
        const QString text = m_fsItem ? m_fsItem->stringValue() : QString();
        m_customViewText->setProperty("settingText", true);
        m_customViewText->setPlainText(text);
        m_customViewText->setProperty("settingText", false);
        QTextCursor cursor = m_customViewText->textCursor();
        cursor.movePosition(QTextCursor::Start);
        m_customViewText->setTextCursor(cursor);
    }
    m_manuallyEdited = false;
    if (m_customSaveButton)
        m_customSaveButton->setEnabled(false);
    if (m_customRevertButton)
        m_customRevertButton->setEnabled(false);
    showEffectiveAccess();
}

void PortholdPref::textDidChange() {
    m_manuallyEdited = true;
    if (m_customSaveButton)
        m_customSaveButton->setEnabled(true);
    if (m_customRevertButton)
        m_customRevertButton->setEnabled(true);
    showEffectiveAccess(); // says before saving whether the text would shut this computer out
}

bool PortholdPref::saveCustomEdit(QObject *) {
    PHFSItem *item = m_fsItem;
    if (!item || !m_customViewText)
        return false;
    // The edits stay flagged until they are on disk, so the re-read that
    // follows a refused or failed write cannot replace the typed text.
    item->setStringValue(m_customViewText->toPlainText());
    // A text with no directive in force is still written, in its disabled
    // form, so the file on disk is what the editor showed.
    if (!item->writeAccessFileEvenWhenUnprotected())
        return false;
    m_manuallyEdited = false;
    if (m_webDirOutline && m_fsItem)
        m_webDirOutline->reloadItem(m_fsItem);
    webOutlineClick(nullptr);
    return true;
}

void PortholdPref::revertCustomEdit(QObject *) {
    m_manuallyEdited = false; // put the stored text back
    showCustomEditor();
}
