#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

/// How a folder is protected: the choices of its Protection pop-up, in the
/// pop-up's order.
enum class PHMode : qint32 {
    None,     ///< open to everyone (the directives kept, commented out)
    Password, ///< a user of the user file, or a group
    Address,  ///< a computer of the address list
    Either,   ///< the password or the address is enough
    Both,     ///< the password and the address are both needed
};

/// Which way an address-protected folder reads its list.
enum class PHAddressRule {
    DenyListed,  ///< everyone but the listed computers ("Deny from")
    AllowListed, ///< only the listed computers ("Allow from")
};

namespace PHProtection {

/// Whether the mode asks for a user's password.
constexpr bool asksPassword(PHMode mode) {
    return mode == PHMode::Password || mode == PHMode::Either || mode == PHMode::Both;
}
/// Whether the mode asks for an address of the list.
constexpr bool asksAddress(PHMode mode) {
    return mode == PHMode::Address || mode == PHMode::Either || mode == PHMode::Both;
}

/// The pop-up's position of a mode, and the mode at a position (none outside 0-4).
constexpr qint32 indexOf(PHMode mode) {
    return static_cast<qint32>(mode);
}
constexpr std::optional<PHMode> modeAt(qint32 index) {
    if (index < indexOf(PHMode::None) || index > indexOf(PHMode::Both))
        return std::nullopt;
    return static_cast<PHMode>(index);
}

/// The name the panel shows for a mode ("Password or Address", ...).
QString name(PHMode mode);

} // namespace PHProtection
