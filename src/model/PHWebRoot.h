#pragma once

#include <QString>

/// The web root and the paths derived from it: where the user and group files
/// are, and how the server names them (the adjusted paths written into access
/// files). Both front ends answer their locations with these.
namespace PHWebRoot {

/// The paths a front end's locations (PHLocations) answer for.
enum PathKind {
    UserFile,  ///< the user file, ".htusers" in the web root
    GroupFile, ///< the group file, ".htgroups" in the web root
    Root,      ///< the web root itself
};

/// What Apache's mod_userdir serves as /~name/.
QString userWebFolder();
/// Debian's document root.
QString systemWebFolder();
/// The web root the settings choose ("Porthold Protected Folder" 0, 1 or 2),
/// empty when a custom root is chosen but none is stored.
QString configured();

/// The path of `kind` for the web root `root`; empty for an empty root.
QString location(const QString &root, PathKind kind);

/// The path as the server sees it: "/Volumes" dropped from its front when
/// "stripVolumesFromPortholdFolder" is set, then put below
/// "portholdFolderPrefix" when one is set. Empty stays empty.
QString adjusted(const QString &path);

} // namespace PHWebRoot
