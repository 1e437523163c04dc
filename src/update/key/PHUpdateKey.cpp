// The update signing key this program trusts. Compiled once per key: the
// program links the maker's (PORTHOLD_UPDATE_PUBLIC_KEY), the tests a test
// key whose private half is in tests/update/keys.
#include "update/PHUpdateSignature.h"

#ifndef PORTHOLD_UPDATE_PUBLIC_KEY
#error "PORTHOLD_UPDATE_PUBLIC_KEY (base64 of 32 bytes) must be defined"
#endif

QByteArray PHUpdateSignature::trustedKey() {
    static const QByteArray key = QByteArray::fromBase64(QByteArrayLiteral(PORTHOLD_UPDATE_PUBLIC_KEY));
    return key;
}
