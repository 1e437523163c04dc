#pragma once

#include <QIcon>
#include <QString>

/// The desktop's icons for files, for the widgets that list them.
namespace PHImage {

/// The desktop's icon for the item at `path`, drawn at `width` x `height`
/// pixels (the icon holds that one size); a null icon when no GUI application
/// runs (pixmaps cannot exist without one).
QIcon imageForFileWidthHeight(const QString &path, int width, int height);
/// The style's icon for a folder in general, for a folder that has no icon of
/// its own (one that does not exist yet); made once and shared.
QIcon folderImage();
/// The desktop's icon for files with the name extension `type` ("log", "conf").
QIcon imageForFileTypeWidthHeight(const QString &type, int width, int height);

} // namespace PHImage
