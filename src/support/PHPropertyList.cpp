#include "support/PHPropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QTimeZone>
#include <QVariantList>
#include <QVariantMap>

#include <cstdint>
#include <cstdlib>
#include <limits>

namespace PHPropertyList {

namespace {

// Dates in property lists count seconds from the start of 2001, UTC.
const QDateTime kReferenceDate(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());

QVariant stringValue(plist_t node) {
    uint64_t length = 0;
    if (plist_get_node_type(node) == PLIST_STRING) {
        if (const char *text = plist_get_string_ptr(node, &length))
            return QString::fromUtf8(text, static_cast<qsizetype>(length));
        return QString();
    }
    char *copy = nullptr;
    plist_get_key_val(node, &copy);
    const QString value = QString::fromUtf8(copy ? copy : "");
    std::free(copy);
    return value;
}

// libplist keeps a date as a double of seconds since 2001 but hands it out as
// 32-bit whole seconds (cut toward zero) and the fraction's magnitude. Whole
// seconds beyond 32 bits come from its text form, which it writes exactly.
qint64 wholeSecondsFromText(plist_t node) {
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    const QString text = QString::fromUtf8(xml ? xml : "", xml ? qsizetype(length) : 0);
    plist_to_xml_free(xml);
    const qsizetype start = text.indexOf(QLatin1String("<date>"));
    const qsizetype end = text.indexOf(QLatin1String("</date>"));
    if (start < 0 || end < start)
        return 0;
    const QDateTime when = QDateTime::fromString(text.mid(start + 6, end - start - 6), Qt::ISODate);
    return when.isValid() ? kReferenceDate.secsTo(when) : 0;
}

QDateTime dateValue(plist_t node) {
    int32_t seconds = 0;
    int32_t micros = 0;
    plist_get_date_val(node, &seconds, &micros);
    const qint64 whole = seconds == INT32_MIN || seconds == INT32_MAX ? wholeSecondsFromText(node) : seconds;
    // The fraction carries the sign of the whole seconds. (Within the last
    // second before 2001 the library has already lost that sign.)
    // Rounded: the library cuts the microseconds off a double (0.9 s gives 899999).
    const qint64 fraction = (qint64(micros) + 500) / 1000;
    return kReferenceDate.addMSecs(whole * 1000 + (whole < 0 ? -fraction : fraction)).toLocalTime();
}

QVariant integerValue(plist_t node, bool narrow) {
    uint64_t raw = 0;
    plist_get_uint_val(node, &raw);
    const auto value = static_cast<qint64>(raw);
    if (narrow && value >= INT32_MIN && value <= INT32_MAX)
        return QVariant(static_cast<int>(value));
    return QVariant(static_cast<qlonglong>(value));
}

QVariant read(plist_t node, const ReadOptions &options, int depth) {
    if (!node || depth > options.maxDepth)
        return {};
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return QVariant(value != 0);
    }
    case PLIST_UINT:
        return integerValue(node, options.narrowIntegers);
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return QVariant(value);
    }
    case PLIST_STRING:
    case PLIST_KEY:
        return stringValue(node);
    case PLIST_DATA: {
        uint64_t length = 0;
        const char *bytes = plist_get_data_ptr(node, &length);
        return QByteArray(bytes, static_cast<qsizetype>(length));
    }
    case PLIST_DATE:
        return dateValue(node);
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i)
            if (QVariant element = read(plist_array_get_item(node, i), options, depth + 1); element.isValid())
                list.append(std::move(element));
        return list;
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iter, &key, &value);
            if (!key || !value) {
                std::free(key);
                break;
            }
            if (QVariant converted = read(value, options, depth + 1); converted.isValid())
                map.insert(QString::fromUtf8(key), converted);
            std::free(key);
        }
        std::free(iter);
        return map;
    }
    default:
        return {};
    }
}

plist_t dateNode(const QDateTime &date) {
    if (!date.isValid())
        return nullptr;
    const qint64 msecs = kReferenceDate.msecsTo(date);
    const qint64 seconds = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
    if (seconds > INT32_MIN && seconds < INT32_MAX)
        return plist_new_date(static_cast<int32_t>(seconds),
                              static_cast<int32_t>((msecs - seconds * 1000) * 1000));
    // Beyond what the library takes in numbers (from 2069 on, before 1933):
    // through its text form, to the second, as the settings file keeps dates.
    const QDateTime utc = date.toUTC();
    if (utc.date().year() < 1 || utc.date().year() > 9999)
        return nullptr;
    const QByteArray xml = "<plist version=\"1.0\"><date>" +
                           utc.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")).toLatin1() +
                           "</date></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &node);
    if (node && plist_get_node_type(node) != PLIST_DATE) {
        plist_free(node);
        return nullptr;
    }
    return node;
}

} // namespace

bool isIntegerType(int typeId) {
    switch (typeId) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return true;
    default:
        return false;
    }
}

bool isRealType(int typeId) {
    return typeId == QMetaType::Double || typeId == QMetaType::Float;
}

bool isNumberType(int typeId) {
    return typeId == QMetaType::Bool || isIntegerType(typeId) || isRealType(typeId);
}

QVariant toVariant(plist_t node, const ReadOptions &options) {
    return read(node, options, 0);
}

plist_t fromVariant(const QVariant &value) {
    const int type = value.typeId();
    if (type == QMetaType::QString)
        return plist_new_string(value.toString().toUtf8().constData());
    if (type == QMetaType::QByteArray) {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), static_cast<uint64_t>(bytes.size()));
    }
    if (type == QMetaType::Bool)
        return plist_new_bool(value.toBool() ? 1 : 0);
    if (type == QMetaType::UInt || type == QMetaType::ULong || type == QMetaType::ULongLong) {
        // The library writes every integer as a signed 64-bit one: a larger
        // value would come back negative, so it is refused.
        if (value.toULongLong() > quint64(std::numeric_limits<qint64>::max()))
            return nullptr;
        return plist_new_uint(value.toULongLong());
    }
    if (isIntegerType(type))
        return plist_new_uint(static_cast<uint64_t>(value.toLongLong())); // two's complement
    if (isRealType(type))
        return plist_new_real(value.toDouble());
    if (type == QMetaType::QDateTime)
        return dateNode(value.toDateTime());
    if (type == QMetaType::QVariantList || type == QMetaType::QStringList) {
        Node array(plist_new_array());
        for (const QVariant &element : value.toList()) {
            plist_t node = fromVariant(element);
            if (!node)
                return nullptr;
            plist_array_append_item(array.get(), node);
        }
        return array.release();
    }
    if (type == QMetaType::QVariantMap || type == QMetaType::QVariantHash) {
        Node dict(plist_new_dict());
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            plist_t node = fromVariant(it.value());
            if (!node)
                return nullptr;
            plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), node);
        }
        return dict.release();
    }
    return nullptr;
}

QVariant readFile(const QString &path, const ReadOptions &options) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &root);
    const Node owned(root);
    return root ? toVariant(root, options) : QVariant();
}

} // namespace PHPropertyList
