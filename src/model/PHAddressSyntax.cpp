#include "model/PHAddressSyntax.h"

#include <QStringList>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>

namespace PHAddressSyntax {

namespace {

enum class Verdict { NotAnAddress, Valid, BadAddress, BadMask, MappedIpv4 };

bool looksLikeIp(const QString &text) {
    if (text.isEmpty())
        return false;
    if (text.contains(QLatin1Char(':')))
        return true;
    for (const QChar c : text)
        if (!(c == QLatin1Char('.') || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))))
            return false;
    return true;
}

// The old partial form: "10.1" or "10.1." is a network of whole octets.
bool isPartialNetwork(const QString &text) {
    if (text.size() >= 16)
        return false;
    const QStringList octets = text.split(QLatin1Char('.'));
    qsizetype count = octets.size();
    if (count > 1 && octets.last().isEmpty())
        --count; // a trailing dot
    if (count > 4)
        return false;
    for (qsizetype i = 0; i < count; ++i) {
        const QString &octet = octets.at(i);
        if (octet.isEmpty())
            return false;
        for (const QChar c : octet)
            if (!(c >= QLatin1Char('0') && c <= QLatin1Char('9')))
                return false;
        if (octet.size() > 3 || octet.toInt() > 255)
            return false;
    }
    return true;
}

Verdict check(const QString &entry) {
    const qsizetype slash = entry.indexOf(QLatin1Char('/'));
    const QString ip = slash < 0 ? entry : entry.left(slash);
    if (!looksLikeIp(ip))
        return Verdict::NotAnAddress;
    const QByteArray ipBytes = ip.toLatin1();
    in6_addr six{};
    in_addr four{};
    int family = 0;
    if (::inet_pton(AF_INET6, ipBytes.constData(), &six) == 1) {
        if (IN6_IS_ADDR_V4MAPPED(&six))
            return Verdict::MappedIpv4;
        family = AF_INET6;
    } else if (::inet_pton(AF_INET, ipBytes.constData(), &four) == 1) {
        family = AF_INET;
    } else if (slash < 0 && isPartialNetwork(ip)) {
        return Verdict::Valid;
    } else {
        return Verdict::BadAddress;
    }
    if (slash < 0)
        return Verdict::Valid;
    const QByteArray mask = entry.mid(slash + 1).toLatin1();
    char *end = nullptr;
    errno = 0;
    const long bits = std::strtol(mask.constData(), &end, 10);
    const long most = family == AF_INET6 ? 128 : 32;
    if (!mask.isEmpty() && *end == '\0' && errno == 0 && bits > 0 && bits <= most)
        return Verdict::Valid;
    in_addr netmask{};
    if (family == AF_INET && ::inet_pton(AF_INET, mask.constData(), &netmask) == 1)
        return Verdict::Valid;
    return Verdict::BadMask;
}

QString sentence(const QString &entry, Verdict verdict) {
    switch (verdict) {
    case Verdict::BadAddress:
        return QStringLiteral("\"%1\" is not a valid IP address (the web server would refuse the folder's "
                              "access file)")
            .arg(entry);
    case Verdict::BadMask:
        return QStringLiteral("\"%1\" has an invalid network mask or prefix length (the web server would "
                              "refuse the folder's access file)")
            .arg(entry);
    case Verdict::MappedIpv4:
        return QStringLiteral("\"%1\" is an IPv4 address in IPv6 form, which the web server refuses: write "
                              "it as a.b.c.d")
            .arg(entry);
    case Verdict::NotAnAddress:
    case Verdict::Valid:
        break;
    }
    return {};
}

} // namespace

QString allowDenyRefusal(const QString &entry) {
    return sentence(entry, check(entry));
}

bool isHostName(const QString &entry) {
    return check(entry) == Verdict::NotAnAddress;
}

QString requireIpRefusal(const QString &entry) {
    const Verdict verdict = check(entry);
    if (verdict == Verdict::NotAnAddress)
        return QStringLiteral("\"%1\" is not an IP address").arg(entry);
    return sentence(entry, verdict);
}

} // namespace PHAddressSyntax
