#include "model/PHEditRules.h"

#include "model/PHAddressSyntax.h"
#include "model/PHNameRule.h"
#include "support/PHExtensions.h"

#include <algorithm>

namespace PHEditRules {

namespace {

// An address is written as one word of an "Allow from" line.
bool isWritableAddress(const QString &address) {
    return !address.isEmpty() && std::none_of(address.cbegin(), address.cend(), [](QChar c) {
        return c.isSpace() || c == QLatin1Char('"') || c == QLatin1Char('\'') ||
               c.category() == QChar::Other_Control;
    });
}

} // namespace

QString userNameRefusal(const QString &name, bool isNew, bool taken) {
    if (!isNew)
        return {};
    if (taken)
        return uniqueUserNameText;
    return PHNameRule::refusal(name, PHNameRule::Kind::User);
}

QString userRefusal(const QString &name, bool isNew, bool taken, const QString &password,
                    const QString &confirmation) {
    if (QString refusal = userNameRefusal(name, isNew, taken); !refusal.isEmpty())
        return refusal;
    if (password.isEmpty())
        return QStringLiteral("You must supply a password");
    if (password != confirmation)
        return QStringLiteral("Passwords do not match");
    if (name.compare(placeholderName, Qt::CaseInsensitive) == 0)
        return QStringLiteral("Invalid username. Please choose another");
    return {};
}

QString unusablePasswordText() {
    return QStringLiteral("This password cannot be used. Please choose another");
}

QString groupNameRefusal(const QString &typed, const std::function<bool(const QString &)> &isTaken) {
    if (PHString::stringByRemovingSurroundingWhitespace(typed).isEmpty())
        return QStringLiteral("A group needs a name");
    if (QString why = PHNameRule::refusal(typed, PHNameRule::Kind::Group); !why.isEmpty())
        return why;
    if (isTaken(typed) || isTaken(cleanGroupName(typed)))
        return uniqueGroupNameText;
    return {};
}

QString cleanGroupName(const QString &typed) {
    return PHString::stringByRemovingCharactersInString(typed, QStringLiteral(" :\t\r\n"));
}

bool isReservedAddress(const QString &address) {
    static const QStringList reserved{placeholderName, QStringLiteral("all"),
                                      QStringLiteral("host.domain.tld"), QStringLiteral("(null)")};
    return reserved.contains(address, Qt::CaseInsensitive);
}

QString addressRefusal(const QString &lowerCased) {
    if (isReservedAddress(lowerCased))
        return QStringLiteral("\"%1\" is a reserved word and cannot be used as an address").arg(lowerCased);
    if (lowerCased.isEmpty())
        return QStringLiteral("An address cannot be empty");
    if (!isWritableAddress(lowerCased))
        return QStringLiteral("\"%1\" is not an address: addresses cannot contain spaces, tabs, line returns "
                              "or quotation marks")
            .arg(lowerCased);
    if (lowerCased.contains(QLatin1String("${")) || lowerCased.endsWith(QLatin1Char('\\')))
        return QStringLiteral("\"%1\" is not an address: the web server would read \"${\" or a final "
                              "backslash as something else")
            .arg(lowerCased);
    // What the server refuses when it reads the access file.
    return PHAddressSyntax::allowDenyRefusal(lowerCased);
}

QStringList requireUser(QStringList required, const QString &user) {
    if (user == anyUserRealName)
        return {anyUserRealName};
    if (!required.contains(user)) {
        required.removeAll(anyUserRealName);
        required.append(user);
    }
    return required;
}

} // namespace PHEditRules
