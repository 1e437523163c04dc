#pragma once

#include <QString>
#include <QStringList>

/// Where the programs find the panel bundle: beside the program (the build
/// tree, or a folder the bundle was copied into with its host), else where the
/// install rules put it relative to the program's own folder. Both are
/// relative to the program, so an installed tree works under any prefix and
/// wherever it was staged.
namespace PHBundleLocation {

/// The bundle's folder name.
QString bundleName();

/// The folders looked at for a program in `programDir`, in order.
QStringList candidates(const QString &programDir);

/// The first candidate of `programDir` that holds a bundle (an Info.plist),
/// cleaned; empty when there is none.
QString locate(const QString &programDir);

/// locate() for the running program's folder.
QString locateForThisProgram();

} // namespace PHBundleLocation
