#pragma once

#include <QString>
#include <QStringList>

#include <optional>

/// Hashing new passwords for the user file, telling which scheme a stored hash
/// uses, and checking a password against a stored hash as Apache does.
///
/// New hashes use the scheme of the setting "Password Hash" (bcrypt unless set
/// otherwise). Salts come from libcrypt's own draw on the system's random
/// source; nothing here seeds or reads a user-space generator.
///
/// Stored hashes are never rewritten: a user keeps the hash the file holds
/// until it is given a new password. Those whose scheme can be broken cheaply
/// (DES crypt, unsalted SHA-1, plain text) count as weak.
class PHPasswordHash {
public:
    enum class Scheme { Bcrypt, Sha512, Des };

    /// The setting that picks the scheme of new hashes, and its values.
    static inline const QString settingKey = QStringLiteral("Password Hash");
    static inline const QString bcryptValue = QStringLiteral("bcrypt");
    static inline const QString sha512Value = QStringLiteral("SHA-512");
    static inline const QString desValue = QStringLiteral("DES");

    /// The work factor of new bcrypt hashes. Apache checks the password on
    /// every request without caching it, so this was measured against the
    /// server's per-request time (see the README and bench/password_cost).
    static constexpr int bcryptCost = 5;

    /// The schemes offered, in menu order, with their setting values and labels.
    static QList<Scheme> schemes();
    static QString settingValue(Scheme scheme);
    static QString label(Scheme scheme);
    /// The scheme a setting value names; none for anything else.
    static std::optional<Scheme> schemeForSettingValue(const QString &value);
    /// The scheme the settings choose; bcrypt when the value is missing or unknown.
    static Scheme configuredScheme();

    /// A new hash of the password, with a fresh salt. A null QString when no
    /// hash can be made (libcrypt refused, or the password holds a NUL
    /// character): the caller refuses the password.
    static QString hash(const QString &password, Scheme scheme);
    /// The same with the configured scheme.
    static QString hash(const QString &password) { return hash(password, configuredScheme()); }

    /// The warning for a password the scheme would silently cut short (DES
    /// reads 8 bytes, bcrypt 72), or empty when every character counts.
    static QString truncationWarning(const QString &password, Scheme scheme);

    /// The name of the scheme a stored hash uses ("bcrypt", "DES crypt",
    /// "SHA-1", "plain text", ...).
    static QString storedSchemeName(const QString &stored);
    /// Whether the stored hash should be replaced by a new password.
    static bool isWeak(const QString &stored);
    /// The tooltip of the weak-hash mark.
    static inline const QString weakHashToolTip =
        QStringLiteral("This password is stored with a weak hash; give the user a new password");

    /// Whether Apache would accept the password for the stored hash: Apache's
    /// MD5 and SHA-1 forms are checked here, every other form by libcrypt (so
    /// a plain-text entry never matches, as on the server).
    static bool verify(const QString &password, const QString &stored);

    /// Apache's MD5 hash ("$apr1$salt$...") of the password with this salt
    /// (at most 8 characters are used). Exposed for tests against htpasswd.
    static QString apacheMd5(const QByteArray &password, const QByteArray &salt);
};
