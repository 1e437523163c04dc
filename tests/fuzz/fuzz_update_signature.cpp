// The signature check of the update server's reply: any bytes at all. A body
// is taken only as the reply's own tail, and only when the one signature its
// header block carries checks against the trusted key.
#include "update/PHUpdateSignature.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray reply(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QByteArray key = PHUpdateSignature::trustedKey();
    QString why;
    if (std::optional<QByteArray> body = PHUpdateSignature::signedBody(reply, key, &why)) {
        if (!reply.endsWith(*body) || body->size() == reply.size() || !why.isEmpty())
            std::abort();
        // A found signature over the body: no bytes of the header block are in it.
        const QByteArray header = reply.left(reply.size() - body->size());
        if (!header.endsWith("\r\n\r\n") || !header.toLower().contains("porthold-signature:"))
            std::abort();
    } else if (why.isEmpty()) {
        std::abort(); // a refusal always says why
    }
    // Whatever the input, the check itself never takes a key of another size.
    if (PHUpdateSignature::verify(reply, reply.left(64), reply.left(31)))
        std::abort();
    return 0;
}
