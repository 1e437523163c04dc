#include "views/PHAddressDataSource.h"

#include "model/PHFSItem.h"
#include "platform/PanelContext.h"

namespace {
const QString kAddress = QStringLiteral("address");
const QString kActive = QStringLiteral("active");
} // namespace

PHAddressDataSource::PHAddressDataSource(QObject *parent) : PHXDataSource(parent) {
}

qint32 PHAddressDataSource::numberOfRows() const {
    PanelContext *context = PanelContext::sharedInstance();
    return context ? qint32(context->addresses().size()) : 0;
}

QVariant PHAddressDataSource::objectAtRowColumn(qint32 row, const QString &column) const {
    PanelContext *context = PanelContext::sharedInstance();
    if (!context || row < 0 || row >= numberOfRows())
        return {};
    const QString address = context->addressAtIndex(row);
    if (column == kAddress)
        return address;
    PHFSItem *item = context->selectedItem();
    return item ? item->addressArray().contains(address) : false;
}

void PHAddressDataSource::setObjectForRowColumn(const QVariant &value, qint32 row, const QString &column) {
    PanelContext *context = PanelContext::sharedInstance();
    if (!context || row < 0 || row >= numberOfRows())
        return;
    if (column == kAddress) {
        context->replaceAddressAtIndexWithAddress(row, value.toString().toLower());
        return;
    }
    PHFSItem *item = context->selectedItem();
    if (!item || !item->isAddressProtected())
        return; // a disabled check box cannot be ticked
    const QString address = context->addressAtIndex(row);
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

QString PHAddressDataSource::summaryTextForRow(qint32 row) const {
    return objectAtRowColumn(row, kAddress).toString();
}

bool PHAddressDataSource::tableViewShouldEditTableColumnRow(QObject *, const QString &column, qint32) {
    return column == kAddress;
}

void PHAddressDataSource::tableViewWillDisplayCellForTableColumnRow(QObject *, PHCell &cell,
                                                                    const QString &column, qint32 row) {
    PanelContext *context = PanelContext::sharedInstance();
    if (column == kAddress) {
        // 127.0.0.1 is written with ::1 beside it: it stands for this computer
        // whichever way a browser here reaches the server.
        if (context && row >= 0 && row < numberOfRows() &&
            context->addressAtIndex(row) == PHFSItem::thisComputerAddress) {
            cell.title = thisComputerTitle;
            cell.toolTip =
                QStringLiteral("Clients on this computer: 127.0.0.1 and ::1 (IPv4 and IPv6 loopback)");
        }
        return;
    }
    if (column != kActive)
        return;
    PHFSItem *item = context ? context->selectedItem() : nullptr;
    cell.enabled = item && item->isAddressProtected() && !item->isHandManaged();
    if (item && item->isHandManaged())
        cell.toolTip = PHFSItem::handManagedMessage;
}
