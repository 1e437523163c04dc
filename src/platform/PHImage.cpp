#include "platform/PHImage.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeDatabase>

namespace {

bool guiRuns() {
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
}

} // namespace

namespace PHImage {

QIcon imageForFileWidthHeight(const QString &path, int width, int height) {
    if (!guiRuns())
        return {};
    const QFileIconProvider provider;
    return QIcon(provider.icon(QFileInfo(path)).pixmap(width, height));
}

QIcon imageForFileTypeWidthHeight(const QString &type, int width, int height) {
    if (!guiRuns())
        return {};
    const QFileIconProvider provider;
    const QMimeType mime =
        QMimeDatabase().mimeTypeForFile(QStringLiteral("file.") + type, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName()));
    if (icon.isNull())
        icon = provider.icon(QAbstractFileIconProvider::File);
    return QIcon(icon.pixmap(width, height));
}

} // namespace PHImage
