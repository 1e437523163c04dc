// Version strings come from the update server's reply: any bytes at all.
#include "support/PHVersionNumber.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Two versions: the bytes before the first line feed and the rest.
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype split = bytes.indexOf('\n');
    const QString first = QString::fromUtf8(split < 0 ? bytes : bytes.left(split));
    const QString second = split < 0 ? QStringLiteral("1.0") : QString::fromUtf8(bytes.mid(split + 1));

    std::optional<PHVersionNumber> a = PHVersionNumber::versionWithString(first);
    std::optional<PHVersionNumber> b = PHVersionNumber::versionWithString(second);
    if (!a || !b)
        return 0;
    (void)a->description();
    if (a->stringValue() != first)
        std::abort();

    // The order is antisymmetric, and a version equals a fresh copy of itself.
    const qint32 forward = a->compare(*b);
    a->resetCursor();
    b->resetCursor();
    const qint32 backward = b->compare(*a);
    if (forward != -backward || forward < -1 || forward > 1)
        std::abort();
    std::optional<PHVersionNumber> again = PHVersionNumber::versionWithString(first);
    a->resetCursor();
    if (a->compare(*again) != 0)
        std::abort();
    return 0;
}
