#include "model/PHXDataSource.h"

#include <QMetaType>
#include <QStringList>
#include <QVariantMap>

PHXDataSource::PHXDataSource(QObject *parent) : QObject(parent) {
}

PHXDataSource::PHXDataSource(QVariantList dataArray, QObject *parent)
    : QObject(parent), m_dataArray(std::move(dataArray)) {
}

PHXDataSource::~PHXDataSource() = default;

std::unique_ptr<PHXDataSource> PHXDataSource::dataSource() {
    return std::make_unique<PHXDataSource>();
}

std::unique_ptr<PHXDataSource> PHXDataSource::dataSourceWithDataArray(QVariantList dataArray) {
    return std::make_unique<PHXDataSource>(std::move(dataArray));
}

void PHXDataSource::setDataArray(QVariantList dataArray) {
    m_dataArray = std::move(dataArray);
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

qint32 PHXDataSource::numberOfRowsInTableView(QObject *) {
    return numberOfRows();
}

QVariant PHXDataSource::tableViewObjectValueForTableColumnRow(QObject *, const QString &column, qint32 row) {
    return objectAtRowColumn(row, column);
}

void PHXDataSource::tableViewSetObjectValueForTableColumnRow(QObject *, const QVariant &value,
                                                             const QString &column, qint32 row) {
    setObjectForRowColumn(value, row, column);
}

bool PHXDataSource::removeElement(qsizetype index) {
    if (index < 0 || index >= m_dataArray.size())
        return false;
    m_dataArray.removeAt(index);
    reloadView(nullptr);
    return true;
}
