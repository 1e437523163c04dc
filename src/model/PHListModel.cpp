#include "model/PHListModel.h"

#include <QMetaType>
#include <QStringList>
#include <QVariantMap>

PHListModel::PHListModel(QObject *parent) : PHItemModel(parent) {
}

PHListModel::PHListModel(QVariantList dataArray, QObject *parent)
    : PHItemModel(parent), m_dataArray(std::move(dataArray)) {
}

PHListModel::~PHListModel() = default;

std::unique_ptr<PHListModel> PHListModel::withRows(QVariantList dataArray) {
    return std::make_unique<PHListModel>(std::move(dataArray));
}

void PHListModel::setDataArray(QVariantList dataArray) {
    beginResetModel();
    m_dataArray = std::move(dataArray);
    endResetModel();
}

bool PHListModel::hasRecordRows() const {
    return !m_dataArray.isEmpty() && m_dataArray.first().typeId() == QMetaType::QVariantMap;
}

qint32 PHListModel::numberOfRows() const {
    return qint32(m_dataArray.size());
}

qint32 PHListModel::numberOfColumns() const {
    return hasRecordRows() ? qint32(m_dataArray.first().toMap().size()) : 1;
}

QVariant PHListModel::objectAtRowColumn(qint32 row, const QString &column) const {
    if (row < 0 || row >= m_dataArray.size())
        return {};
    const QVariant &element = m_dataArray.at(row);
    if (!hasRecordRows())
        return element;
    // A record row without the key, or an element of another shape, has nothing there.
    return element.typeId() == QMetaType::QVariantMap ? element.toMap().value(column) : QVariant();
}

void PHListModel::setObjectForRowColumn(const QVariant &value, qint32 row, const QString &column) {
    if (row < 0 || row >= m_dataArray.size())
        return;
    QVariant &element = m_dataArray[row];
    if (!hasRecordRows()) {
        element = value;
        return;
    }
    QVariantMap record = element.toMap();
    record.insert(column, value);
    element = record;
}

QString PHListModel::descriptionOfValue(const QVariant &value) {
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        return QStringLiteral("(null)");
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QStringList parts;
        for (const QVariant &part : value.toList())
            parts.append(descriptionOfValue(part));
        return parts.join(QStringLiteral(", "));
    }
    default:
        if (value.canConvert<QString>())
            return value.toString();
        return QString::fromLatin1(value.typeName());
    }
}

QString PHListModel::summaryTextForRow(qint32 row) const {
    if (row < 0 || row >= m_dataArray.size())
        return {};
    const QVariant &element = m_dataArray.at(row);
    if (!hasRecordRows() || element.typeId() != QMetaType::QVariantMap)
        return descriptionOfValue(element);
    QString text;
    const QVariantMap record = element.toMap();
    for (const QVariant &value : record)
        text += descriptionOfValue(value) + QLatin1Char(' ');
    return text;
}

bool PHListModel::isEditable(qint32, const QString &) const {
    return false;
}

bool PHListModel::removeElement(qsizetype index) {
    if (index < 0 || index >= m_dataArray.size())
        return false;
    m_dataArray.removeAt(index);
    reload();
    return true;
}

QModelIndex PHListModel::index(int row, int column, const QModelIndex &parent) const {
    if (parent.isValid() || row < 0 || column < 0 || row >= rowCount() || column >= columnCount())
        return {};
    return createIndex(row, column);
}

QModelIndex PHListModel::parent(const QModelIndex &) const {
    return {};
}

int PHListModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : qMax(0, int(numberOfRows()));
}

bool PHListModel::hasChildren(const QModelIndex &parent) const {
    return !parent.isValid() && rowCount() > 0;
}

QVariant PHListModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid())
        return {};
    const ColumnKind kind = kindOfColumn(index.column());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole: {
        if (kind != ColumnKind::Text)
            return {};
        const QVariant value = objectAtRowColumn(index.row(), identifierForColumn(index.column()));
        return value.typeId() == QMetaType::QString ? value : QVariant(descriptionOfValue(value));
    }
    case Qt::CheckStateRole:
        if (kind != ColumnKind::Check || isHidden(index))
            return {};
        return objectAtRowColumn(index.row(), identifierForColumn(index.column())).toBool() ? Qt::Checked
                                                                                            : Qt::Unchecked;
    default:
        return PHItemModel::data(index, role);
    }
}

bool PHListModel::setData(const QModelIndex &index, const QVariant &value, int role) {
    if (!index.isValid())
        return false;
    const ColumnKind kind = kindOfColumn(index.column());
    QVariant stored;
    if (kind == ColumnKind::Check && role == Qt::CheckStateRole) {
        if (!isEnabled(index) || isHidden(index))
            return false;
        stored = value.toInt() == Qt::Checked;
    } else if (role == Qt::EditRole && (kind != ColumnKind::Text || (flags(index) & Qt::ItemIsEditable))) {
        stored = value;
    } else {
        return false;
    }
    // The subclass may reload the table, and so end this index.
    const QPersistentModelIndex kept(index);
    setObjectForRowColumn(stored, index.row(), identifierForColumn(index.column()));
    rowChanged(kept);
    return true;
}

Qt::ItemFlags PHListModel::flags(const QModelIndex &index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    switch (kindOfColumn(index.column())) {
    case ColumnKind::Text:
        if (isEditable(index.row(), identifierForColumn(index.column())))
            flags |= Qt::ItemIsEditable;
        break;
    case ColumnKind::Check:
        if (isEnabled(index) && !isHidden(index))
            flags |= Qt::ItemIsUserCheckable;
        break;
    case ColumnKind::PopUp:
    case ColumnKind::Button:
        break;
    }
    if (!mimeTypes().isEmpty())
        flags |= Qt::ItemIsDragEnabled;
    return flags;
}
