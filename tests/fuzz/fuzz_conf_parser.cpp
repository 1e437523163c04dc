// Server configuration text through the line scanner and the comment remover:
// no input may crash or hang, no stripped line may be longer than its text,
// and line numbers only grow.

#include "server/PHConfParser.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2)
        return 0;
    // The first byte picks the comment forms, quotes and case; the rest is the text.
    const std::uint8_t options = data[0];
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    auto parser = PHConfParser::initWithString(text);
    parser->setCommentType((options & 0x07) | ((options & 0x08) ? 0x1000 : 0) |
                           ((options & 0x10) ? 0x2000 : 0));
    parser->setQuoteType((options >> 5) & 0x07);
    parser->setCaseSensitive(options & 0x80);
    parser->setTokens(
        {QStringLiteral("ErrorLog"), QStringLiteral("Include"), QStringLiteral("#"), QStringLiteral("x")});

    qint32 last = 0;
    parser->scan([&](const QString &token, const QString &line, qint32 number) {
        if (number < last || line.size() > text.size() || !line.startsWith(token, Qt::CaseInsensitive))
            std::abort();
        last = number;
    });
    return 0;
}
