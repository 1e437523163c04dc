#include "update/PHUpdateSignature.h"

#include "support/PHExtensions.h"

#include <QLibrary>

#include <openssl/evp.h>

#include <memory>

namespace PHUpdateSignature {

namespace {

constexpr qsizetype kKeySize = 32;
constexpr qsizetype kSignatureSize = 64;

/// OpenSSL's calls for a signature check, looked up in libcrypto when the
/// first reply is checked: a start of the panel whose update check ends
/// before a reply (or makes none) does not load the library, whose loading
/// (its relocations, its pages) costs a start about as much as a tenth of
/// the window's own.
struct Crypto {
    decltype(&EVP_PKEY_new_raw_public_key) newRawPublicKey = nullptr;
    decltype(&EVP_PKEY_free) freeKey = nullptr;
    decltype(&EVP_MD_CTX_new) newContext = nullptr;
    decltype(&EVP_MD_CTX_free) freeContext = nullptr;
    decltype(&EVP_DigestVerifyInit) verifyInit = nullptr;
    decltype(&EVP_DigestVerify) digestVerify = nullptr;
    bool loaded = false;
};

template <typename Function> bool resolve(QLibrary &library, const char *name, Function &function) {
    function = reinterpret_cast<Function>(library.resolve(name));
    return function != nullptr;
}

const Crypto &crypto() {
    static const Crypto functions = [] {
        Crypto found;
        // The version the program was built against, by the loader's own
        // search (as a linked library would be); never unloaded.
        QLibrary library(QStringLiteral("crypto"), OPENSSL_VERSION_MAJOR);
        if (!library.load())
            return found;
        found.loaded = resolve(library, "EVP_PKEY_new_raw_public_key", found.newRawPublicKey) &&
                       resolve(library, "EVP_PKEY_free", found.freeKey) &&
                       resolve(library, "EVP_MD_CTX_new", found.newContext) &&
                       resolve(library, "EVP_MD_CTX_free", found.freeContext) &&
                       resolve(library, "EVP_DigestVerifyInit", found.verifyInit) &&
                       resolve(library, "EVP_DigestVerify", found.digestVerify);
        return found;
    }();
    return functions;
}

struct KeyFree {
    void operator()(EVP_PKEY *key) const { crypto().freeKey(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX *context) const { crypto().freeContext(context); }
};

std::optional<QByteArray> refuse(QString *why, const QString &reason) {
    if (why)
        *why = reason;
    return std::nullopt;
}

} // namespace

bool verify(QByteArrayView message, QByteArrayView signature, QByteArrayView publicKey) {
    if (publicKey.size() != kKeySize || signature.size() != kSignatureSize)
        return false;
    const Crypto &openssl = crypto();
    if (!openssl.loaded)
        return false;
    const std::unique_ptr<EVP_PKEY, KeyFree> key(openssl.newRawPublicKey(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.data()), kKeySize));
    const std::unique_ptr<EVP_MD_CTX, ContextFree> context(openssl.newContext());
    if (!key || !context || openssl.verifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    // Ed25519 signs the message itself, in one call.
    return openssl.digestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.data()),
                                kSignatureSize, reinterpret_cast<const unsigned char *>(message.data()),
                                static_cast<size_t>(message.size())) == 1;
}

std::optional<QByteArray> signedBody(const QByteArray &reply, QByteArrayView publicKey, QString *why) {
    // The body as the reply's reader takes it: after the header block, found
    // where the reader finds it.
    QByteArray body = reply;
    PHData::stripHeaders(body);
    if (body.size() == reply.size())
        return refuse(why, QStringLiteral("the reply has no header block, so no signature"));
    const QByteArray header = reply.left(reply.size() - body.size());

    const QByteArray name = QByteArray(HeaderName).toLower();
    QByteArray signatureLine;
    int found = 0;
    for (const QByteArray &line : header.split('\n')) {
        // A field name is taken as it stands: HTTP allows no white space
        // before the colon, and a line that starts with some continues the
        // field above it.
        const qsizetype colon = line.indexOf(':');
        if (colon < 0 || line.left(colon).toLower() != name)
            continue;
        signatureLine = line.mid(colon + 1).trimmed();
        ++found;
    }
    if (found == 0)
        return refuse(why, QStringLiteral("the reply is not signed"));
    if (found > 1)
        return refuse(why, QStringLiteral("the reply has more than one signature"));
    const QList<QByteArray> words = signatureLine.simplified().split(' ');
    if (words.size() != 2 || words[0] != "ed25519")
        return refuse(why, QStringLiteral("the reply's signature is not an Ed25519 signature"));
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(words[1], QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != kSignatureSize)
        return refuse(why, QStringLiteral("the reply's signature is not 64 bytes of base64"));
    if (!crypto().loaded)
        return refuse(
            why, QStringLiteral("the signature cannot be checked: OpenSSL's libcrypto %1 could not be loaded")
                     .arg(OPENSSL_VERSION_MAJOR));
    if (!verify(body, decoded.decoded, publicKey))
        return refuse(why, QStringLiteral("the reply's signature is not the maker's"));
    return body;
}

std::optional<QByteArray> sha256FromHex(const QString &text) {
    if (text.size() != 64)
        return std::nullopt;
    for (const QChar c : text)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return std::nullopt;
    return QByteArray::fromHex(text.toLatin1());
}

} // namespace PHUpdateSignature
