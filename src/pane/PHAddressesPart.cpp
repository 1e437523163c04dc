#include "pane/PHAddressesPart.h"

#include "core/PHException.h"
#include "model/PHModelContext.h"
#include "model/PHSettings.h"
#include "pane/PHPaneSupport.h"
#include "platform/PHAction.h"
#include "platform/PHEnabling.h"
#include "support/PHSettingsStore.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QTimer>

namespace {

const QString kPlaceholderAddress = QStringLiteral("host.domain.tld");

PHSettingsStore *defaults() {
    return PHSettingsStore::instance();
}

} // namespace

PHAddressesPart::PHAddressesPart(const Widgets &widgets, const PHModelContext &context,
                                 PHManualEditGuard *guard, QObject *parent)
    : QObject(parent), m_context(context), m_guard(guard), m_mode(widgets.mode), m_table(widgets.table),
      m_remove(widgets.remove) {
    if (widgets.discover) {
        widgets.discover->setChecked(shouldDiscover());
        connect(widgets.discover, &QAbstractButton::clicked, this,
                [this](bool on) { PHAction::run("discover addresses", [&] { setDiscover(on); }); });
    }
    if (widgets.add)
        connect(widgets.add, &QAbstractButton::clicked, this,
                [this] { PHAction::run("add address", [&] { add(); }); });
    if (m_remove)
        connect(m_remove, &QAbstractButton::clicked, this,
                [this] { PHAction::run("remove addresses", [&] { removeSelected(); }); });
    connect(m_table, &PHTableView::deleteKeyPressed, this,
            [this] { PHAction::run("remove addresses", [&] { removeSelected(); }); });
    connect(m_mode, &QButtonGroup::idClicked, this,
            [this](int row) { PHAction::run("address mode", [&] { setMode(row); }); });
    // A reload forgets the selection: the button that acts on it follows.
    connect(m_table, &PHTableView::rowsReloaded, this, &PHAddressesPart::selectionChanged);
    connect(m_table, &PHTableView::action, this,
            [this] { PHAction::run("address selection", [&] { selectionChanged(); }); });
}

QString PHAddressesPart::addressAt(qint32 index) const {
    return index >= 0 && index < m_addresses.size() ? m_addresses.at(index) : QString();
}

bool PHAddressesPart::shouldDiscover() const {
    return defaults()->boolForKey(PHSettings::Key::ShouldDiscoverAddresses);
}

void PHAddressesPart::setDiscover(bool discover) {
    defaults()->setBoolForKey(discover, PHSettings::Key::ShouldDiscoverAddresses);
}

void PHAddressesPart::setUp() {
    delete m_source;
    m_source = new PHAddressModel(m_context, this);
    m_table->setModel(m_source);
    PHPaneSupport::checkAndNameColumns(m_table.data(), m_table->horizontalHeader(), QStringLiteral("address"),
                                       QStringLiteral("Address"));
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
}

void PHAddressesPart::reloadKnown() {
    // Start empty, then the stored list.
    m_addresses.clear();
    const auto stored = defaults()->arrayForKey(PHSettings::Key::AddressArray);
    QStringList storedAddresses;
    for (const QVariant &address : stored.value_or(QVariantList()))
        storedAddresses.append(address.toString());
    addFromList(storedAddresses);
    m_table->reloadData();
}

void PHAddressesPart::setFolder(PHFSItem *item) {
    m_folder = item;
    const int row = item && !item->isAllowSet() ? 1 : 0;
    m_mode->button(row)->setChecked(true);
    // A hand-managed file is shown as it is, read-only.
    const QString whyNot = !item ? QStringLiteral("Select a folder first")
                           : item->isHandManaged()
                               ? PHFSItem::handManagedMessage
                               : QStringLiteral("The folder's protection uses no addresses: choose Address, "
                                                "Password or Address, or Password and Address first");
    for (QAbstractButton *button : m_mode->buttons())
        PHEnabling::setEnabled(button, item && item->isAddressProtected() && !item->isHandManaged(), whyNot);
    m_table->reloadData();
}

void PHAddressesPart::setMode(int row) {
    if (m_guard && m_guard->holdBackForUnsavedEdits(
                       QStringLiteral("address mode"), this, [this, row] { setMode(row); },
                       [this] { setFolder(m_folder); })) // back to what the folder says
        return;
    if (!m_folder)
        return;
    m_folder->setAllow(row == 0);
    setFolder(m_folder);
}

void PHAddressesPart::selectionChanged() {
    PHEnabling::setEnabled(m_remove, m_table->selectedRow() >= 0,
                           QStringLiteral("Select the addresses to remove first"));
}

void PHAddressesPart::store() {
    // Only accepted addresses are stored; a refused row stays in memory until edited.
    QStringList accepted;
    for (const QString &address : std::as_const(m_addresses))
        if (PHFSItem::isAcceptableAddress(address))
            accepted.append(address);
    defaults()->setObjectForKey(accepted, PHSettings::Key::AddressArray);
}

void PHAddressesPart::addFromList(const QStringList &list) {
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
    m_table->reloadData();
    // Stored once, the whole list, rather than once per address.
    store();
}

void PHAddressesPart::add() {
    m_addresses.append(kPlaceholderAddress);
    m_table->reloadData();
    const qint32 row = indexOf(kPlaceholderAddress);
    m_table->selectRowByExtendingSelection(row, false);
    m_table->editColumnRow(QStringLiteral("address"), row);
}

void PHAddressesPart::replace(qint32 index, const QString &address) {
    if (!(index >= 0 && index < m_addresses.size()))
        throw PHException::invalidParameter(QStringLiteral("old >= 0 && old < [addresses count]"));
    m_addresses[index] = address;
    if (PHFSItem::isAcceptableAddress(address)) {
        store();
        return;
    }
    // Refused: back into the cell once the table has finished this edit.
    QApplication::beep();
    const QString shown = address.trimmed();
    if (PHFSItem::isReservedAddress(address))
        emit messageShown(PHThemeColors::Meaning::Negative,
                          QStringLiteral("%1 is a reserved word, not an address").arg(address));
    else if (shown.isEmpty())
        emit messageShown(PHThemeColors::Meaning::Negative, QStringLiteral("An address cannot be empty"));
    else
        emit messageShown(
            PHThemeColors::Meaning::Negative,
            QStringLiteral("\"%1\" is not an address: addresses contain no spaces, line breaks or quotes")
                .arg(shown));
    QPointer<PHAddressesPart> self(this);
    QTimer::singleShot(0, this, [self, index] {
        PHAction::run("reedit address", [&] {
            if (self)
                self->reedit(index);
        });
    });
}

void PHAddressesPart::reedit(qint32 index) {
    if (index < 0 || index >= m_addresses.size())
        return;
    m_table->selectRowByExtendingSelection(index, false);
    m_table->editColumnRow(QStringLiteral("address"), index);
}

void PHAddressesPart::removeSelected() {
    QStringList chosen;
    for (qint32 row : m_table->selectedRows())
        chosen.append(addressAt(row));
    for (const QString &address : std::as_const(chosen))
        removeAddress(address);
    m_table->clearSelection();
    m_table->reloadData();
    selectionChanged();
    if (!m_folder)
        return;
    m_folder->writeAccessFile();
    // An address in force on the folder stays on it, and so in the list,
    // until it is unticked there: removing it from the list is no edit of
    // the folder's rules.
    QStringList kept;
    for (const QString &address : std::as_const(chosen))
        if (m_addresses.contains(address))
            kept.append(address);
    if (!kept.isEmpty()) {
        m_table->reloadData();
        emit messageShown(PHThemeColors::Meaning::Warning,
                          QStringLiteral("%1 stays in the list: in force on %2; untick it there first")
                              .arg(kept.join(QStringLiteral(", ")), m_folder->name()));
    }
}

void PHAddressesPart::removeAddress(const QString &address) {
    if (!m_addresses.contains(address))
        return;
    m_addresses.removeAll(address);
    m_table->reloadData();
    store();
}
