#pragma once

#include <QDir>
#include <QFile>
#include <QString>

/// Writes `text` readable by the server's worker user (0644).
inline bool writeServedFile(const QString &path, const QString &text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0)
        return false;
    file.close();
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

/// A folder `name` below `root` that the server's worker may enter, with an
/// index.html naming it and, unless `accessText` is null, that access file.
inline bool makeServedFolder(const QString &root, const QString &name,
                             const QString &accessText = QString()) {
    const QString path = root + QLatin1Char('/') + name;
    if (!QDir(root).mkpath(name) ||
        !QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                         QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                         QFile::ExeOther))
        return false;
    return writeServedFile(path + QStringLiteral("/index.html"), name) &&
           (accessText.isNull() || writeServedFile(path + QStringLiteral("/.htaccess"), accessText));
}
