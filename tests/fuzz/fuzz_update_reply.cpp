// The update server's reply: any bytes at all, header block included. The
// version check strips the headers and parses the rest as a property list;
// the download keeps the body of a complete success.
#include "support/PHPropertyList.h"
#include "update/PHUpdateController.h"

#include <cstdint>
#include <cstdlib>

namespace {

QByteArray xmlOf(plist_t node) {
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    const QByteArray text(xml, static_cast<qsizetype>(length));
    plist_to_xml_free(xml);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray reply(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    if (std::optional<QVariantMap> record = PHUpdateController::parseVersionReply(reply)) {
        // What the check reads from it must be readable whatever its types.
        const QVariant product = record->value(QStringLiteral("Porthold"));
        (void)product.toMap().value(QStringLiteral("current version")).toString();
        (void)product.toMap().value(QStringLiteral("version byte size")).toLongLong();
        (void)record->value(QStringLiteral("QOTD")).toString();

        // Whatever the reader yields the writer takes, and a written tree read
        // back writes the same document again.
        const PHPropertyList::Node written(PHPropertyList::fromVariant(*record));
        if (!written)
            std::abort();
        const PHPropertyList::Node again(
            PHPropertyList::fromVariant(PHPropertyList::toVariant(written.get())));
        if (!again || xmlOf(written.get()) != xmlOf(again.get()))
            std::abort();
    }

    // A body is always the reply's tail, of the expected size when one is given.
    const qint64 expected = size > 0 ? data[0] : 0;
    if (std::optional<QByteArray> body = PHUpdateController::downloadBody(reply, expected)) {
        if (!reply.endsWith(*body) || (expected > 0 && body->size() != expected))
            std::abort();
    }
    return 0;
}
