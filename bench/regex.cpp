// The regular-expression facade asked the same constant question many times:
// "cached" goes through the facade (compiled once), "compile" opens, matches
// and closes an ICU pattern every time, as a caller without the cache would.
// Writes its own CPU seconds for the loop alone into $PHBENCH_REPORT.
#include "support/PHRegex.h"

#include <QString>

#include <unicode/uregex.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 || (std::strcmp(argv[1], "cached") != 0 && std::strcmp(argv[1], "compile") != 0)) {
        std::fprintf(stderr, "usage: phbench-regex cached|compile COUNT\n");
        return 2;
    }
    const bool cached = std::strcmp(argv[1], "cached") == 0;
    const long count = std::strtol(argv[2], nullptr, 10);
    const QString pattern =
        QStringLiteral("^\\s*(AuthType|AuthName|AuthUserFile|AuthGroupFile|Order)(?:\\s+(.*))?$");
    const QString lines[] = {QStringLiteral("AuthType Basic"), QStringLiteral("  Require user alice bob"),
                             QStringLiteral("#AuthUserFile \"/home/alice/public_html/.htusers\""),
                             QStringLiteral("Options -Indexes")};
    long matched = 0;
    const double start = cpuSeconds();
    for (long i = 0; i < count; ++i) {
        const QString &line = lines[i % 4];
        if (cached) {
            matched += PHRegex::isMatchedByRegexOptionsInRangeError(line, pattern, PHRegex::CaseInsensitive,
                                                                    PHRegex::kWholeText, nullptr);
            continue;
        }
        UErrorCode status = U_ZERO_ERROR;
        URegularExpression *regex =
            uregex_open(reinterpret_cast<const UChar *>(pattern.utf16()),
                        static_cast<int32_t>(pattern.size()), PHRegex::CaseInsensitive, nullptr, &status);
        uregex_setText(regex, reinterpret_cast<const UChar *>(line.utf16()),
                       static_cast<int32_t>(line.size()), &status);
        matched += uregex_findNext(regex, &status);
        uregex_close(regex);
        if (U_FAILURE(status))
            return 1;
    }
    const double spent = cpuSeconds() - start;
    if (const char *report = std::getenv("PHBENCH_REPORT")) {
        if (FILE *file = std::fopen(report, "w")) {
            std::fprintf(file, "%.6f\n", spent);
            std::fclose(file);
        }
    }
    std::printf("%ld matched\n", matched);
    // Only the first of the four lines matches: both ways must agree on that.
    return matched == (count + 3) / 4 ? 0 : 1;
}
