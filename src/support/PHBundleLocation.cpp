#include "support/PHBundleLocation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

// The installed bundle relative to the installed programs, derived from the
// install directories when the project is configured.
#ifndef PORTHOLD_BUNDLE_FROM_BINDIR
#error "PORTHOLD_BUNDLE_FROM_BINDIR must name the installed bundle relative to the programs' folder"
#endif

namespace PHBundleLocation {

QString bundleName() {
    return QStringLiteral("Porthold.panel");
}

QStringList candidates(const QString &programDir) {
    const QDir here(programDir);
    return {QDir::cleanPath(here.filePath(bundleName())),
            QDir::cleanPath(here.filePath(QStringLiteral(PORTHOLD_BUNDLE_FROM_BINDIR)))};
}

QString locate(const QString &programDir) {
    for (const QString &candidate : candidates(programDir))
        if (QFileInfo(QDir(candidate).filePath(QStringLiteral("Info.plist"))).isFile())
            return candidate;
    return {};
}

QString locateForThisProgram() {
    // The folder of the program file itself (links resolved by the kernel),
    // not of whatever name it was started by.
    return locate(QCoreApplication::applicationDirPath());
}

} // namespace PHBundleLocation
