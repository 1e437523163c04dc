#include "model/PHNameRule.h"

#include <algorithm>

QString PHNameRule::refusal(const QString &name, Kind kind) {
    const bool user = kind == Kind::User;
    if (name.isEmpty())
        return user ? QStringLiteral("A username cannot be empty") : QStringLiteral("A group needs a name");
    if (std::any_of(name.cbegin(), name.cend(), [](QChar c) { return c.isSpace(); }))
        return user ? QStringLiteral("Usernames cannot contain spaces, tabs, or line returns")
                    : QStringLiteral("Group names cannot contain spaces, tabs, or line returns");
    if (std::any_of(name.cbegin(), name.cend(), [](QChar c) {
            return c.unicode() <= 0x20 || c.unicode() >= 0x7F || c == QLatin1Char(':');
        }))
        return user ? QStringLiteral("Usernames can only contain printable ASCII characters, and no \":\"")
                    : QStringLiteral("Group names can only contain printable ASCII characters, and no \":\"");
    if (name.startsWith(QLatin1Char('#')))
        return user
                   ? QStringLiteral("Usernames cannot begin with \"#\": Apache reads such a line of the user "
                                    "file as a comment, so the user could never log in")
                   : QStringLiteral(
                         "Group names cannot begin with \"#\": Apache reads such a line of the group "
                         "file as a comment, so the group would have no members");
    if (name.startsWith(QLatin1Char('-')))
        return (user ? QStringLiteral("Usernames") : QStringLiteral("Group names")) +
               QStringLiteral(" cannot begin with \"-\": command-line tools, portholdctl among them, "
                              "would read the name as an option");
    if (std::any_of(name.cbegin(), name.cend(), [](QChar c) {
            return c == QLatin1Char('"') || c == QLatin1Char('\'') || c == QLatin1Char('\\');
        }))
        return (user ? QStringLiteral("Usernames") : QStringLiteral("Group names")) +
               QStringLiteral(
                   " cannot contain quotation marks, apostrophes or backslashes: Apache reads them as "
                   "quoting, and the names after them in a \"Require\" line would be misread");
    if (name.contains(QLatin1String("${")))
        return (user ? QStringLiteral("Usernames") : QStringLiteral("Group names")) +
               QStringLiteral(" cannot contain \"${\": Apache replaces it and the name after it with the "
                              "value of a variable");
    return {};
}
