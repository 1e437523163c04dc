#pragma once

#include <QString>

/// Address entries as the server checks them when it reads an access file
/// (`Allow from`, `Deny from`, `Require ip`): what looks like an IP address
/// (digits and dots only, or anything with a colon) must be a valid IPv4 or
/// IPv6 address, or for IPv4 without a mask a partial network ("10.1",
/// "10.1."); a mask is a prefix length from 1 to the address's bits or, for
/// IPv4, a dotted netmask; IPv4 written in IPv6 form ("::ffff:1.2.3.4") is
/// refused. Anything else is a host name (or a domain).
namespace PHAddressSyntax {

/// Why the server would refuse `entry` in an `Allow from`/`Deny from` line,
/// as a sentence naming the entry; empty when it accepts it.
QString allowDenyRefusal(const QString &entry);
/// True when the server reads `entry` as a host name or domain, not as an
/// IP address or network.
bool isHostName(const QString &entry);
/// The same for `Require ip`, which takes no host names.
QString requireIpRefusal(const QString &entry);

} // namespace PHAddressSyntax
