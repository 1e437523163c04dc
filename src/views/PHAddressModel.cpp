#include "views/PHAddressModel.h"

#include "model/PHFSItem.h"

namespace {
const QString kAddress = QStringLiteral("address");
const QString kActive = QStringLiteral("active");
} // namespace

PHAddressModel::PHAddressModel(const PHModelContext &context, QObject *parent)
    : PHListModel(parent), m_context(context) {
}

qint32 PHAddressModel::numberOfRows() const {
    return m_context.names ? qint32(m_context.names->addresses().size()) : 0;
}

QString PHAddressModel::addressAtIndex(qint32 row) const {
    return m_context.names ? m_context.names->addresses().value(row) : QString();
}

QVariant PHAddressModel::objectAtRowColumn(qint32 row, const QString &column) const {
    if (row < 0 || row >= numberOfRows())
        return {};
    const QString address = addressAtIndex(row);
    if (column == kAddress)
        return address;
    PHFSItem *item = m_context.selectedItem();
    return item ? item->addressArray().contains(address) : false;
}

void PHAddressModel::setObjectForRowColumn(const QVariant &value, qint32 row, const QString &column) {
    if (row < 0 || row >= numberOfRows())
        return;
    if (column == kAddress) {
        m_context.names->replaceKnownAddress(row, value.toString().toLower());
        return;
    }
    PHFSItem *item = m_context.selectedItem();
    if (!item || !item->isAddressProtected())
        return; // a disabled check box cannot be ticked
    const QString address = addressAtIndex(row);
    if (!PHFSItem::isAcceptableAddress(address))
        return; // a reserved word or a refused text in a row is never an address of a folder
    QStringList list = item->addressArray();
    const bool ticked = value.toBool();
    if (ticked && !list.contains(address))
        list.append(address);
    else if (!ticked && list.contains(address))
        list.removeAll(address);
    else
        return;
    item->setAddressArray(list);
    item->writeAccessFile();
}

QString PHAddressModel::summaryTextForRow(qint32 row) const {
    return objectAtRowColumn(row, kAddress).toString();
}

bool PHAddressModel::isEditable(qint32, const QString &column) const {
    return column == kAddress;
}

QVariant PHAddressModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid())
        return {};
    const QString column = identifierForColumn(index.column());
    const qint32 row = index.row();
    if (column == kAddress && (role == Qt::DisplayRole || role == Qt::ToolTipRole)) {
        // 127.0.0.1 is written with ::1 beside it: it stands for this computer
        // whichever way a browser here reaches the server.
        const bool thisComputer =
            row >= 0 && row < numberOfRows() && addressAtIndex(row) == PHFSItem::thisComputerAddress;
        if (role == Qt::ToolTipRole)
            return thisComputer ? QVariant(QStringLiteral(
                                      "Clients on this computer: 127.0.0.1 and ::1 (IPv4 and IPv6 loopback)"))
                                : QVariant();
        if (thisComputer)
            return thisComputerTitle;
    } else if (column == kActive && (role == EnabledRole || role == Qt::ToolTipRole)) {
        PHFSItem *item = m_context.selectedItem();
        if (role == EnabledRole)
            return item && item->isAddressProtected() && !item->isHandManaged();
        return item && item->isHandManaged() ? QVariant(PHFSItem::handManagedMessage) : QVariant();
    }
    return PHListModel::data(index, role);
}
