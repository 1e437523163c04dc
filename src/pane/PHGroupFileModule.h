#pragma once

#include <QString>

#include <optional>

/// Whether Apache can resolve "Require group": the group file is read by the
/// module authz_groupfile, which Debian's layout ships disabled. Without it
/// Apache answers every request for a folder that requires a group with an
/// internal error.
namespace PHGroupFileModule {

/// True when the server's layout shows the module available but not enabled
/// (`mods-available` exists, `mods-enabled/authz_groupfile.load` does not).
/// Layouts without those folders (Red Hat, a source build) count as enabled.
bool isDisabled();
/// Asks the server itself which modules its configuration loads (`-M`):
/// whether authz_groupfile is among them, or nothing when the server could
/// not be asked (no program, a configuration it cannot read).
std::optional<bool> loadedByServer(const QString &binary, const QString &confFile);
/// The command that enables the module on that layout.
QString enableCommand();
/// The server folder holding mods-available and mods-enabled; "/etc/apache2"
/// unless changed (tests point it at a folder of their own).
QString serverRoot();
void setServerRoot(const QString &path);

} // namespace PHGroupFileModule
