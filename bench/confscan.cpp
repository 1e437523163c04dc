// Runs the configuration tokenizer's line scanner over one UTF-8 file, as the
// server tab does to find its log files, and prints how many token lines it
// found. It is the scanner the tokenizer runs on every UTF-8 configuration
// (plain C++, no Qt to start); a file in another encoding is refused here,
// since the panel decodes such a file before scanning it.
#include "support/posix/PHConfLineScanner.h"

#include <atomic>
#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: phbench-confscan FILE\n");
        return 2;
    }
    // The tokenizer's defaults: "#" comments, single and double quotes, any case.
    const std::atomic<std::int32_t> comments{PHConfLineScanner::HashComment};
    const std::atomic<std::int32_t> quotes{PHConfLineScanner::SingleQuote | PHConfLineScanner::DoubleQuote};
    const std::atomic<bool> caseSensitive{false};
    std::atomic<std::int32_t> lineNumber{1};
    PHConfLineScanner scanner({"CustomLog", "ErrorLog", "Include"},
                              {&comments, &quotes, &caseSensitive, &lineNumber});
    long found = 0;
    switch (scanner.scanFile(argv[1], [&](std::size_t, std::string_view, std::int32_t) { ++found; })) {
    case PHConfLineScanner::Outcome::Scanned:
        std::printf("%ld\n", found);
        return 0;
    case PHConfLineScanner::Outcome::NotUtf8:
        std::fprintf(stderr, "phbench-confscan: %s is not UTF-8\n", argv[1]);
        return 1;
    case PHConfLineScanner::Outcome::Unreadable:
        break;
    }
    std::fprintf(stderr, "phbench-confscan: cannot read %s\n", argv[1]);
    return 1;
}
