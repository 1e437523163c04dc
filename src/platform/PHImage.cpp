#include "platform/PHImage.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeDatabase>
#include <QPointer>

namespace {

bool guiRuns() {
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
}

/// One icon provider for the application's life. A provider keeps the style's
/// icons it has made (the folder's, the file's); a new one per call decoded the
/// style's folder pictures, every size of them, once for each row shown.
class SharedIconProvider : public QObject {
public:
    explicit SharedIconProvider(QObject *application) : QObject(application) {}
    const QFileIconProvider provider;
};

const QFileIconProvider &iconProvider() {
    static QPointer<SharedIconProvider> shared;
    if (!shared)
        shared = new SharedIconProvider(QCoreApplication::instance());
    return shared->provider;
}

} // namespace

namespace PHImage {

QIcon imageForFileWidthHeight(const QString &path, int width, int height) {
    if (!guiRuns())
        return {};
    return QIcon(iconProvider().icon(QFileInfo(path)).pixmap(width, height));
}

QIcon folderImage() {
    if (!guiRuns())
        return {};
    return iconProvider().icon(QAbstractFileIconProvider::Folder);
}

QIcon imageForFileTypeWidthHeight(const QString &type, int width, int height) {
    if (!guiRuns())
        return {};
    const QMimeType mime =
        QMimeDatabase().mimeTypeForFile(QStringLiteral("file.") + type, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName()));
    if (icon.isNull())
        icon = iconProvider().icon(QAbstractFileIconProvider::File);
    return QIcon(icon.pixmap(width, height));
}

} // namespace PHImage
