#pragma once

#include <QString>
#include <QStringList>

#include <functional>

/// The rules of the panel's edits, shared by every front end. Each refusal
/// function returns the text shown to the person who typed the input, or an
/// empty string when the input is accepted.
namespace PHEditRules {

/// What "Require user" names for any user of the user file, and how the
/// users table shows it.
inline const QString anyUserRealName = QStringLiteral("valid-user");
inline const QString anyUserDisplayName = QStringLiteral("Any Valid User");
/// The name the panel reserves for itself: never a user's.
inline const QString placeholderName = QStringLiteral("portholded");

/// Refused because another user or group has the name.
inline const QString uniqueUserNameText = QStringLiteral("Please choose a unique username");
inline const QString uniqueGroupNameText = QStringLiteral("Please choose a unique group name");

/// A name for a user. `isNew` is false when an existing user gets a new
/// password (a user already in the file keeps its name, whatever it is);
/// `taken` says whether the name is in use (see
/// `PHUsersModel::containsItem`). The characters are checked by
/// `PHNameRule`. The name is checked before any password is asked for.
QString userNameRefusal(const QString &name, bool isNew, bool taken);
/// The whole user sheet, in the order it is checked: the name, then the
/// password and its confirmation, then the reserved placeholder name.
QString userRefusal(const QString &name, bool isNew, bool taken, const QString &password,
                    const QString &confirmation);
/// Shown when the password cannot be hashed.
QString unusablePasswordText();

/// A typed group name: a blank one needs a name, then `PHNameRule` judges
/// its characters, then the name as it will be stored (`cleanGroupName`) must
/// be new. `isTaken` says whether another group has a name (ignoring letter
/// case); it is asked about the typed and the stored form.
QString groupNameRefusal(const QString &typed, const std::function<bool(const QString &)> &isTaken);
/// A typed group name without blanks, tabs, line breaks and colons.
QString cleanGroupName(const QString &typed);

/// An address for the known-address list, already lower-cased: not a reserved
/// word, not empty, nothing that would break an access-file line.
QString addressRefusal(const QString &lowerCased);
/// Reserved words that are never addresses.
bool isReservedAddress(const QString &address);

/// The "Require user" list after `user` is required. "valid-user" (any user
/// of the user file) and named users exclude each other: the later choice wins.
QStringList requireUser(QStringList required, const QString &user);

} // namespace PHEditRules
