#include "model/PHXDataSource.h"

#include <QMetaType>
#include <QStringList>
#include <QVariantMap>

PHXDataSource::PHXDataSource(QObject *parent) : PHItemModel(parent) {
}

PHXDataSource::PHXDataSource(QVariantList dataArray, QObject *parent)
    : PHItemModel(parent), m_dataArray(std::move(dataArray)) {
}

PHXDataSource::~PHXDataSource() = default;

std::unique_ptr<PHXDataSource> PHXDataSource::dataSource() {
    return std::make_unique<PHXDataSource>();
}

std::unique_ptr<PHXDataSource> PHXDataSource::dataSourceWithDataArray(QVariantList dataArray) {
    return std::make_unique<PHXDataSource>(std::move(dataArray));
}

void PHXDataSource::setDataArray(QVariantList dataArray) {
    beginResetModel();
    m_dataArray = std::move(dataArray);
    endResetModel();
}

bool PHXDataSource::hasRecordRows() const {
    return !m_dataArray.isEmpty() && m_dataArray.first().typeId() == QMetaType::QVariantMap;
}

qint32 PHXDataSource::numberOfRows() const {
    return qint32(m_dataArray.size());
}

qint32 PHXDataSource::numberOfColumns() const {
    return hasRecordRows() ? qint32(m_dataArray.first().toMap().size()) : 1;
}

QVariant PHXDataSource::objectAtRowColumn(qint32 row, const QString &column) const {
    if (row < 0 || row >= m_dataArray.size())
        return {};
    const QVariant &element = m_dataArray.at(row);
    if (!hasRecordRows())
        return element;
    // A record row without the key, or an element of another shape, has nothing there.
    return element.typeId() == QMetaType::QVariantMap ? element.toMap().value(column) : QVariant();
}

void PHXDataSource::setObjectForRowColumn(const QVariant &value, qint32 row, const QString &column) {
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

QString PHXDataSource::descriptionOfValue(const QVariant &value) {
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

QString PHXDataSource::summaryTextForRow(qint32 row) const {
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

bool PHXDataSource::isEditable(qint32, const QString &) const {
    return false;
}

bool PHXDataSource::removeElement(qsizetype index) {
    if (index < 0 || index >= m_dataArray.size())
        return false;
    m_dataArray.removeAt(index);
    reload();
    return true;
}

QModelIndex PHXDataSource::index(int row, int column, const QModelIndex &parent) const {
    if (parent.isValid() || row < 0 || column < 0 || row >= rowCount() || column >= columnCount())
        return {};
    return createIndex(row, column);
}

QModelIndex PHXDataSource::parent(const QModelIndex &) const {
    return {};
}

int PHXDataSource::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : qMax(0, int(numberOfRows()));
}

bool PHXDataSource::hasChildren(const QModelIndex &parent) const {
    return !parent.isValid() && rowCount() > 0;
}

QVariant PHXDataSource::data(const QModelIndex &index, int role) const {
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

bool PHXDataSource::setData(const QModelIndex &index, const QVariant &value, int role) {
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

Qt::ItemFlags PHXDataSource::flags(const QModelIndex &index) const {
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
