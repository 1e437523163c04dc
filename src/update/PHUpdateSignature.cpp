#include "update/PHUpdateSignature.h"

#include "support/PHExtensions.h"

#include <openssl/evp.h>

#include <memory>

namespace PHUpdateSignature {

namespace {

constexpr qsizetype kKeySize = 32;
constexpr qsizetype kSignatureSize = 64;

struct KeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
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
    const std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.data()), kKeySize));
    const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!key || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    // Ed25519 signs the message itself, in one call.
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.data()),
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
