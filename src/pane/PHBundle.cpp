#include "pane/PHBundle.h"

#include "support/PHPropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <plist/plist.h>

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

QVariant PHBundle::readPropertyList(const QString &path) {
    return PHPropertyList::readFile(path);
}
