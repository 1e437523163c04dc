#include "model/PHErrorTexts.h"

#include "support/PHPropertyList.h"

#include <QDir>
#include <QVariantList>

namespace PHErrorTexts {

QStringList read(const QString &bundlePath) {
    if (bundlePath.isEmpty())
        return {};
    QStringList texts;
    const QVariant list =
        PHPropertyList::readFile(QDir(bundlePath).filePath(QStringLiteral("Resources/errors.plist")));
    for (const QVariant &text : list.toList())
        texts.append(text.toString());
    return texts;
}

QString message(const QStringList &texts, qint32 code) {
    if (static_cast<quint32>(code) < static_cast<quint32>(texts.size()))
        return QStringLiteral("An error was encountered by Porthold in phase %1: %2")
            .arg(QStringLiteral("1"), texts.at(code));
    return QStringLiteral("An unknown error occured");
}

} // namespace PHErrorTexts
