#include "pane/PHBundle.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <plist/plist.h>

#include <cstdlib>

namespace {

QVariant toVariant(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return bool(value);
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return qulonglong(value);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    case PLIST_STRING: {
        char *value = nullptr;
        plist_get_string_val(node, &value);
        QString text = QString::fromUtf8(value ? value : "");
        free(value);
        return text;
    }
    case PLIST_DATA: {
        char *value = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &value, &length);
        QByteArray data(value, qsizetype(length));
        free(value);
        return data;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i)
            list.append(toVariant(plist_array_get_item(node, i)));
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
            if (!key)
                break;
            map.insert(QString::fromUtf8(key), toVariant(value));
            free(key);
        }
        free(iter);
        return map;
    }
    default:
        return {};
    }
}

} // namespace

PHBundle::PHBundle(const QString &path) : m_path(QFileInfo(path).absoluteFilePath()) {
    m_info = readPropertyList(QDir(m_path).filePath(QStringLiteral("Info.plist"))).toMap();
}

QString PHBundle::resourcePath() const {
    return m_path.isEmpty() ? QString() : QDir(m_path).filePath(QStringLiteral("Resources"));
}

QString PHBundle::pathForResource(const QString &name, const QString &type) const {
    if (m_path.isEmpty())
        return {};
    const QString file = type.isEmpty() ? name : name + QLatin1Char('.') + type;
    const QString path = QDir(resourcePath()).filePath(file);
    return QFileInfo::exists(path) ? path : QString();
}

QString PHBundle::pathForAuxiliaryExecutable(const QString &name) const {
    if (m_path.isEmpty())
        return {};
    const QString path = QDir(m_path).filePath(name);
    return QFileInfo(path).isFile() ? path : QString();
}

QVariant PHBundle::readPropertyList(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &root);
    if (!root)
        return {};
    QVariant value = toVariant(root);
    plist_free(root);
    return value;
}
