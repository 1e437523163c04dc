// Server configuration text through the line scanner and the comment remover:
// no input may crash or hang, no stripped line may be longer than its text,
// and line numbers only grow. The scanner's fast paths find exactly what its
// line loop finds, in one piece and cut in two.

#include "server/PHConfParser.h"
#include "support/posix/PHConfLineScanner.h"

#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Every token found, with its line and number, and where the numbering ends.
std::string scanBytes(std::string_view text, std::int32_t commentType, std::int32_t quoteType,
                      bool caseSensitive, bool fast, std::size_t cut) {
    const std::atomic<std::int32_t> comments{commentType};
    const std::atomic<std::int32_t> quotes{quoteType};
    const std::atomic<bool> sensitive{caseSensitive};
    std::atomic<std::int32_t> lineNumber{1};
    PHConfLineScanner scanner({"ErrorLog", "Include", "#", "x", "Set-Env"},
                              {&comments, &quotes, &sensitive, &lineNumber});
    scanner.setFastPaths(fast);
    std::string found;
    const auto report = [&](std::size_t token, std::string_view line, std::int32_t number) {
        found += std::to_string(token) + "|" + std::to_string(number) + "|" + std::string(line) + "\n";
    };
    const std::size_t used = scanner.scanPiece(text.substr(0, cut), false, report);
    const std::string rest = std::string(text.substr(used, cut - used)) + std::string(text.substr(cut));
    scanner.scanPiece(rest, true, report);
    return found + std::to_string(lineNumber.load());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2)
        return 0;
    // The first byte picks the comment forms, quotes and case; the rest is the text.
    const std::uint8_t options = data[0];
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const std::int32_t commentType =
        (options & 0x07) | ((options & 0x08) ? 0x1000 : 0) | ((options & 0x10) ? 0x2000 : 0);

    const std::string_view bytes(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string expected =
        scanBytes(bytes, commentType, (options >> 5) & 0x07, options & 0x80, false, 0);
    for (const std::size_t cut : {std::size_t(0), bytes.size() / 2, bytes.size()})
        if (scanBytes(bytes, commentType, (options >> 5) & 0x07, options & 0x80, true, cut) != expected)
            std::abort();

    auto parser = PHConfParser::initWithString(text);
    parser->setCommentType(commentType);
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
