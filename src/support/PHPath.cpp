#include "support/PHPath.h"

#include <QDir>
#include <QFile>

#include <pwd.h>
#include <unistd.h>

namespace PHPath {

QString homeFolder() {
    if (const passwd *entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir)
        return QFile::decodeName(entry->pw_dir);
    return QDir::homePath();
}

QString loginName() {
    const passwd *entry = ::getpwuid(::getuid());
    return entry && entry->pw_name ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

QString joinPath(const QString &left, const QString &right) {
    if (left.isEmpty())
        return {};
    if (right.isEmpty())
        return left;
    return (left.endsWith(QLatin1Char('/')) ? left.chopped(1) : left) + QLatin1Char('/') +
           (right.startsWith(QLatin1Char('/')) ? right.mid(1) : right);
}

QString lastPathComponent(const QString &path) {
    // A bare name, as every folder of a listing is, is its own last component.
    if (!path.contains(QLatin1Char('/')))
        return path;
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    if (trimmed == QLatin1String("/"))
        return trimmed;
    return trimmed.mid(trimmed.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace PHPath
