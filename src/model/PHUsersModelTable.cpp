// The users table's side of the user list: the "Any Valid User" row in front
// of the records, the check column that edits the selected folder's
// "Require user" list, the user icon, and users dragged onto groups.

#include "model/PHUsersModel.h"

#include "core/Log.h"
#include "model/PHFSItem.h"
#include "model/PHNameRule.h"
#include "model/PHPasswordHash.h"
#include "support/PHExtensions.h"

#include <QMimeData>

namespace {

const QString kUserColumn = QStringLiteral("user");
const QString kActiveColumn = QStringLiteral("active");

} // namespace

qint32 PHUsersModel::numberOfRows() const {
    return qint32(m_dataArray.size()) + 1;
}

QVariant PHUsersModel::objectAtRowColumn(qint32 row, const QString &column) const {
    if (row < 0 || row > m_dataArray.size())
        return {};
    const QString name =
        row == 0 ? anyUserDisplayName : m_dataArray.at(row - 1).toMap().value(userKey).toString();
    if (column == kUserColumn)
        return name;
    const PHFSItem *folder = activeDirectory();
    if (!folder)
        return false;
    const QString listed = row == 0 ? anyUserRealName : PHString::stringByRemovingSurroundingWhitespace(name);
    return folder->listForKey(PHFSItem::RequireUserKey).contains(listed);
}

void PHUsersModel::setObjectForRowColumn(const QVariant &value, qint32 row, const QString &) {
    PHFSItem *folder = activeDirectory();
    if (!folder || !folder->isPasswordProtected() || row < 0 || row > m_dataArray.size())
        return; // the check box is disabled: nothing to tick
    const bool ticked = value.toBool();
    QStringList list = folder->listForKey(PHFSItem::RequireUserKey);

    if (row == 0) {
        // Any user of the file: the named users go, since "valid-user" covers them.
        if (ticked)
            list = PHEditRules::requireUser(list, anyUserRealName);
        else
            list.removeAll(anyUserRealName);
        folder->setListForKey(PHFSItem::RequireUserKey, list);
        if (ticked)
            reload();
        folder->writeAccessFile();
        return;
    }

    const QString name = PHString::stringByRemovingSurroundingWhitespace(
        m_dataArray.at(row - 1).toMap().value(userKey).toString());
    if (ticked) {
        if (!list.contains(name)) {
            // A name Apache would misread in "Require user" would let in
            // someone else, or nobody. Such names are shown as the file has
            // them, but never required.
            const QString why = PHNameRule::refusal(name, PHNameRule::Kind::User);
            if (!why.isEmpty()) {
                Log::write(QStringLiteral("The user \"%1\" cannot be named in an access file").arg(name));
                emit beepRequested();
                emit nameRefused(QStringLiteral("\"%1\" cannot be let into a folder. %2.").arg(name, why));
                return;
            }
            list = PHEditRules::requireUser(list, name);
            folder->setListForKey(PHFSItem::RequireUserKey, list);
            reload();
        }
    } else {
        list.removeAll(name);
        folder->setListForKey(PHFSItem::RequireUserKey, list);
    }
    folder->writeAccessFile();
}

QString PHUsersModel::summaryTextForRow(qint32 row) const {
    return objectAtRowColumn(row, kUserColumn).toString();
}

bool PHUsersModel::isEditable(qint32 row, const QString &column) const {
    return row != 0 || column != kUserColumn;
}

void PHUsersModel::setIcons(const QVariant &userIcon, const QVariant &weakHashIcon) {
    m_userIcon = userIcon;
    m_weakHashIcon = weakHashIcon;
}

QVariant PHUsersModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid())
        return {};
    const QString column = identifierForColumn(index.column());
    const qint32 row = index.row();
    const bool weak = row >= 1 && row <= m_dataArray.size() &&
                      PHPasswordHash::isWeak(m_dataArray.at(row - 1).toMap().value(passwordKey).toString());
    if (column == kActiveColumn) {
        // A hand-managed file is shown as it is, read-only, with the reason.
        const PHFSItem *folder = activeDirectory();
        if (role == EnabledRole)
            return folder && folder->isPasswordProtected() && !folder->isHandManaged();
        if (role == Qt::ToolTipRole)
            return folder && folder->isHandManaged() ? QVariant(PHFSItem::handManagedMessage) : QVariant();
    } else if (column == kUserColumn) {
        // The theme's warning sign in place of the user icon.
        if (role == Qt::DecorationRole)
            return row == 0 ? QVariant() : weak ? m_weakHashIcon : m_userIcon;
        if (role == Qt::ToolTipRole)
            return weak ? QVariant(PHPasswordHash::weakHashToolTip) : QVariant();
    }
    return PHListModel::data(index, role);
}

QMimeData *PHUsersModel::mimeData(const QModelIndexList &indexes) const {
    qint32 row = -1;
    for (const QModelIndex &index : indexes)
        if (row < 0 || index.row() < row)
            row = index.row();
    if (row < 1 || row > m_dataArray.size())
        return nullptr; // "Any Valid User" is nobody in particular
    const QVariant &element = m_dataArray.at(row - 1);
    QString text;
    if (element.typeId() == QMetaType::QVariantMap) {
        const QVariantMap record = element.toMap();
        text = QStringLiteral("%1:%2").arg(record.value(userKey).toString(),
                                           record.value(passwordKey).toString());
    } else {
        text = element.toString();
    }
    if (text.isEmpty())
        return nullptr;
    auto *mime = new QMimeData;
    mime->setData(userMimeType, text.toUtf8());
    mime->setText(text);
    return mime;
}

QStringList PHUsersModel::mimeTypes() const {
    return {userMimeType, QStringLiteral("text/plain")};
}
