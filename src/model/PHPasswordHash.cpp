#include "model/PHPasswordHash.h"

#include "core/Log.h"
#include "support/PHSettingsStore.h"

#include <QCryptographicHash>

#include <crypt.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace {

constexpr char kCryptAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
const QByteArray kApacheMd5Magic = QByteArrayLiteral("$apr1$");
const QByteArray kSha1Prefix = QByteArrayLiteral("{SHA}");

bool isCryptCharacter(char c) {
    return c != '\0' && std::strchr(kCryptAlphabet, c) != nullptr;
}

/// Compares without stopping at the first difference, so the time taken
/// does not tell how much of a guess was right.
bool equalInConstantTime(const QByteArray &a, const QByteArray &b) {
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return difference == 0;
}

/// libcrypt's hash of the phrase with this setting, or none when it refuses
/// (NULL, or a failure token beginning with "*").
std::optional<QByteArray> cryptHash(const QByteArray &phrase, const QByteArray &setting) {
    auto data = std::make_unique<crypt_data>();
    const char *result =
        crypt_rn(phrase.constData(), setting.constData(), data.get(), int(sizeof(crypt_data)));
    if (!result || result[0] == '*' || result[0] == '\0')
        return std::nullopt;
    return QByteArray(result);
}

/// The traditional DES form: 13 characters of the crypt alphabet.
bool looksLikeDes(const QByteArray &stored) {
    return stored.size() == 13 && std::all_of(stored.cbegin(), stored.cend(), isCryptCharacter);
}

struct StoredForm {
    const char *prefix;
    const char *name;
    bool weak;
};

// The "$id$" forms libcrypt and Apache know, by prefix.
constexpr StoredForm kDollarForms[] = {
    {"$apr1$", "MD5 (Apache)", false}, {"$2y$", "bcrypt", false},   {"$2b$", "bcrypt", false},
    {"$2a$", "bcrypt", false},         {"$2x$", "bcrypt", false},   {"$6$", "SHA-512 crypt", false},
    {"$5$", "SHA-256 crypt", false},   {"$y$", "yescrypt", false},  {"$gy$", "gost-yescrypt", false},
    {"$7$", "scrypt", false},          {"$1$", "MD5 crypt", false}, {"$sha1$", "SHA-1 crypt", false},
    {"$md5", "Sun MD5 crypt", false},  {"$3$", "NT hash", true},
};

} // namespace

// ---------------------------------------------------------------- schemes

QList<PHPasswordHash::Scheme> PHPasswordHash::schemes() {
    return {Scheme::Bcrypt, Scheme::Sha512, Scheme::Des};
}

QString PHPasswordHash::settingValue(Scheme scheme) {
    switch (scheme) {
    case Scheme::Bcrypt:
        return bcryptValue;
    case Scheme::Sha512:
        return sha512Value;
    case Scheme::Des:
        return desValue;
    }
    return bcryptValue;
}

QString PHPasswordHash::label(Scheme scheme) {
    switch (scheme) {
    case Scheme::Bcrypt:
        return QStringLiteral("bcrypt (recommended)");
    case Scheme::Sha512:
        return QStringLiteral("SHA-512 crypt");
    case Scheme::Des:
        return QStringLiteral("DES: only the first 8 characters count; for very old servers");
    }
    return {};
}

std::optional<PHPasswordHash::Scheme> PHPasswordHash::schemeForSettingValue(const QString &value) {
    for (Scheme scheme : schemes())
        if (settingValue(scheme).compare(value, Qt::CaseInsensitive) == 0)
            return scheme;
    return std::nullopt;
}

PHPasswordHash::Scheme PHPasswordHash::configuredScheme() {
    const std::optional<QString> value = PHSettingsStore::instance()->stringForKey(settingKey);
    if (!value)
        return Scheme::Bcrypt;
    if (const std::optional<Scheme> scheme = schemeForSettingValue(*value))
        return *scheme;
    // A value written by hand or by a later version: the strongest choice, not the weakest.
    Log::write(
        QStringLiteral("unknown \"%1\" setting \"%2\"; new passwords use bcrypt").arg(settingKey, *value));
    return Scheme::Bcrypt;
}

// ---------------------------------------------------------------- new hashes

QString PHPasswordHash::hash(const QString &password, Scheme scheme) {
    if (password.contains(QChar(0)))
        return {};
    const char *prefix = "";
    unsigned long cost = 0; // libcrypt's default work factor
    switch (scheme) {
    case Scheme::Bcrypt:
        prefix = "$2y$";
        cost = bcryptCost;
        break;
    case Scheme::Sha512:
        prefix = "$6$";
        break;
    case Scheme::Des:
        prefix = "";
        break;
    }
    // No random bytes passed: libcrypt draws the salt from the system's source.
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn(prefix, cost, nullptr, 0, setting, int(sizeof setting))) {
        Log::write(QStringLiteral("no salt could be made for a new password"));
        return {};
    }
    const std::optional<QByteArray> hashed = cryptHash(password.toUtf8(), QByteArray(setting));
    return hashed ? QString::fromLatin1(*hashed) : QString();
}

QString PHPasswordHash::truncationWarning(const QString &password, Scheme scheme) {
    const qsizetype bytes = password.toUtf8().size();
    if (scheme == Scheme::Des && bytes > 8)
        return QStringLiteral("Only the first 8 characters of this password will count");
    if (scheme == Scheme::Bcrypt && bytes > 72)
        return QStringLiteral("Only the first 72 characters of this password will count");
    return {};
}

// ---------------------------------------------------------------- stored hashes

QString PHPasswordHash::storedSchemeName(const QString &stored) {
    const QByteArray bytes = stored.toUtf8();
    if (bytes.startsWith(kSha1Prefix))
        return QStringLiteral("SHA-1");
    for (const StoredForm &form : kDollarForms)
        if (bytes.startsWith(form.prefix))
            return QString::fromLatin1(form.name);
    if (looksLikeDes(bytes))
        return QStringLiteral("DES crypt");
    if (bytes.size() == 20 && bytes.startsWith('_') &&
        std::all_of(bytes.cbegin() + 1, bytes.cend(), isCryptCharacter))
        return QStringLiteral("extended DES crypt");
    return QStringLiteral("plain text");
}

bool PHPasswordHash::isWeak(const QString &stored) {
    const QByteArray bytes = stored.toUtf8();
    for (const StoredForm &form : kDollarForms)
        if (bytes.startsWith(form.prefix))
            return form.weak;
    // SHA-1 without salt, DES in both forms, and plain text.
    return true;
}

// ---------------------------------------------------------------- checking

QString PHPasswordHash::apacheMd5(const QByteArray &password, const QByteArray &salt) {
    const QByteArray usedSalt = salt.left(8);
    QCryptographicHash alternate(QCryptographicHash::Md5);
    alternate.addData(password);
    alternate.addData(usedSalt);
    alternate.addData(password);
    QByteArray final = alternate.result();

    QCryptographicHash context(QCryptographicHash::Md5);
    context.addData(password);
    context.addData(kApacheMd5Magic);
    context.addData(usedSalt);
    for (qsizetype left = password.size(); left > 0; left -= 16)
        context.addData(final.left(std::min<qsizetype>(left, 16)));
    for (qsizetype bits = password.size(); bits != 0; bits >>= 1)
        context.addData((bits & 1) ? QByteArray(1, '\0') : password.left(1));
    final = context.result();

    // A thousand rounds to slow down guessing.
    for (int round = 0; round < 1000; ++round) {
        QCryptographicHash step(QCryptographicHash::Md5);
        step.addData((round & 1) ? password : final);
        if (round % 3)
            step.addData(usedSalt);
        if (round % 7)
            step.addData(password);
        step.addData((round & 1) ? final : password);
        final = step.result();
    }

    QByteArray encoded;
    const auto emit64 = [&encoded](unsigned value, int characters) {
        for (int i = 0; i < characters; ++i, value >>= 6)
            encoded.append(kCryptAlphabet[value & 0x3f]);
    };
    const auto byte = [&final](int index) {
        return static_cast<unsigned>(static_cast<unsigned char>(final.at(index)));
    };
    for (const auto &[a, b, c] : {std::array{0, 6, 12}, std::array{1, 7, 13}, std::array{2, 8, 14},
                                  std::array{3, 9, 15}, std::array{4, 10, 5}})
        emit64(byte(a) << 16 | byte(b) << 8 | byte(c), 4);
    emit64(byte(11), 2);
    return QString::fromLatin1(kApacheMd5Magic + usedSalt + '$' + encoded);
}

bool PHPasswordHash::verify(const QString &password, const QString &stored) {
    const QByteArray phrase = password.toUtf8();
    const QByteArray bytes = stored.toUtf8();
    if (phrase.contains('\0'))
        return false;
    if (bytes.startsWith(kApacheMd5Magic)) {
        const QByteArray rest = bytes.mid(kApacheMd5Magic.size());
        const qsizetype dollar = rest.indexOf('$');
        if (dollar < 0)
            return false;
        return equalInConstantTime(apacheMd5(phrase, rest.left(dollar)).toLatin1(), bytes);
    }
    if (bytes.startsWith(kSha1Prefix)) {
        const QByteArray digest = QCryptographicHash::hash(phrase, QCryptographicHash::Sha1).toBase64();
        return equalInConstantTime(kSha1Prefix + digest, bytes);
    }
    // Everything else goes to libcrypt with the stored text as its setting,
    // exactly as the server does; a text it cannot use matches nothing.
    const std::optional<QByteArray> hashed = cryptHash(phrase, bytes);
    return hashed && equalInConstantTime(*hashed, bytes);
}
