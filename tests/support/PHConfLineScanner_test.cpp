#include "support/posix/PHConfLineScanner.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const std::vector<std::string> kTokens{"CustomLog", "ErrorLog", "Include"};

struct Options {
    std::int32_t comments = PHConfLineScanner::HashComment;
    bool caseSensitive = false;
    std::vector<std::string> tokens = kTokens;
};

// What a scan reports: "number|token|line" per token found, then the line
// number it ends at.
struct Scan {
    std::vector<std::string> found;
    std::int32_t lineNumber = 0;
    bool operator==(const Scan &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Scan &scan) {
    for (const std::string &line : scan.found)
        out << "\n  " << line;
    return out << "\n  (ends at line " << scan.lineNumber << ")";
}

// Scans the text in pieces cut at `cuts` (ascending), carrying the part of a
// piece the scanner leaves over into the next one, as a file is read.
Scan scan(const std::string &text, const Options &options, bool fast,
          const std::vector<std::size_t> &cuts = {}) {
    const std::atomic<std::int32_t> comments{options.comments};
    const std::atomic<std::int32_t> quotes{PHConfLineScanner::SingleQuote | PHConfLineScanner::DoubleQuote};
    const std::atomic<bool> caseSensitive{options.caseSensitive};
    std::atomic<std::int32_t> lineNumber{1};
    PHConfLineScanner scanner(options.tokens, {&comments, &quotes, &caseSensitive, &lineNumber});
    scanner.setFastPaths(fast);
    Scan result;
    const auto found = [&](std::size_t token, std::string_view line, std::int32_t number) {
        result.found.push_back(std::to_string(number) + "|" + options.tokens[token] + "|" +
                               std::string(line));
    };
    std::string carried;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const bool atEnd = i == cuts.size();
        const std::size_t to = atEnd ? text.size() : cuts[i];
        std::string piece = carried + text.substr(from, to - from);
        const std::size_t used = scanner.scanPiece(piece, atEnd, found);
        EXPECT_LE(used, piece.size());
        carried = piece.substr(used);
        from = to;
    }
    result.lineNumber = lineNumber.load();
    return result;
}

std::string repeated(const std::string &text, std::size_t times) {
    std::string result;
    for (std::size_t i = 0; i < times; ++i)
        result += text;
    return result;
}

// Lines of every length from 1 to 150 bytes, so that line starts, blanks and
// tokens fall on every position of the blocks the bulk pass classifies.
std::string everyAlignment() {
    std::string text;
    const char *starts[] = {"ErrorLog ", "\t include ", "Enable ", "x ", "   ", "customlog ", "#Include "};
    for (std::size_t length = 1; length <= 150; ++length) {
        std::string line = starts[length % std::size(starts)];
        line.resize(std::max(length, line.size()), 'a' + char(length % 26));
        text += line.substr(0, length) + "\n";
    }
    return text;
}

} // namespace

TEST(ConfLineScanner, TheFastPathsFindWhatTheLineLoopFinds) {
    const struct {
        const char *what;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"only blanks", " \t\n\r\n\v\f \n   "},
        {"one line, no final line break", "ErrorLog /var/log/a.log"},
        {"no final line break", "Include a.conf\n  CustomLog b common"},
        {"continuation lines (each physical line on its own)",
         "ErrorLog a \\\nInclude b.conf\n  CustomLog c \\\n   combined\nServerName x \\\n\tErrorLog d\n"},
        {"CRLF", "ErrorLog a\r\n\r\n  Include b\r\n\r\nCustomLog c common\r\n"},
        {"tabs and other blanks", "\tErrorLog a\n\v\f Include b\n \t \n\t\t\t\tCustomLog c\n"},
        {"mixed case", "errorlog a\nINCLUDE b\ncUsToMlOg c\nErRoRlOg d\n"},
        {"a name inside a comment or an argument",
         "# ErrorLog a\nServerName ErrorLog\nDocumentRoot \"Include\"\n  #Include x\nLogLevel CustomLog\n"
         "Define X ErrorLog # Include\n"},
        {"comments and quotes on token lines",
         "ErrorLog a # note\nInclude \"x#y\" # z\nCustomLog 'q # r' common #\nErrorLog \\# kept # gone\n"},
        {"near misses", "Error a\nEnable b\nIncl c\nCustomLo d\nI\nE\nC\nErrorLogs e\nIncludeOptional f\n"},
        {"control bytes before a name", "\x01"
                                        "ErrorLog a\n\x7f"
                                        "Include b\n" +
                                            std::string(1, '\0') + "CustomLog c\nErrorLog d\n"},
        {"Unicode spaces and letters",
         "\xC2\xA0"
         "ErrorLog a\n\xE2\x80\xA8Include b\n\xE3\x80\x80 \t CustomLog c\n\xC3\xA9rrorLog d\n"
         "\xE2\x80\xA8\n\nErrorLog e\n\xF0\x9F\x98\x80Include f\n"},
        {"invalid UTF-8 before a name", "\xC3"
                                        "ErrorLog a\n\xFF Include b\nErrorLog \xE2\x82\n"},
        {"a very long line", "ErrorLog " + std::string(5000, 'x') + "\nInclude y\n" + std::string(3000, 'z') +
                                 " ErrorLog\n" + std::string(300, ' ') + "CustomLog w\n"},
        {"long runs of blanks and blank lines", std::string(200, ' ') + "ErrorLog a\n" +
                                                    repeated(" \t\r\n", 70) + "\t\tInclude b\n" +
                                                    std::string(130, '\n') + "CustomLog c"},
        {"tokens compared in words",
         "\xE2\x84\xAA"
         "eep this line long enough\nKEEP this line long enough\nkeeq this line long\n"
         "\xC5\xBF"
         "et x = y and then some\nSET x = y and then some\n<directory /var/www/html>\n"
         "<DIRECTORY /x/y/z/w/v>\n\x1c"
         "Directory /x/y/z/w/v\nErrorLo\xC4\xA3 x long enough line\n"
         "ErrorLog\xC3\xA9 long line here\nErrorLo' long line here\nErrorLoG\nErrorLog x\n"
         "eRRORlOG /var/log/a/long/path.log\nErrorLoh /var/log\nSet\rEnv x long enough line\n"
         "set-ENV x long enough line\n"},
        {"block comments", "Include a /* x\nErrorLog b */ CustomLog c\n/* ErrorLog d */ Include e\n"},
        {"every alignment", everyAlignment()},
    };
    const Options optionSets[] = {
        {},
        {PHConfLineScanner::HashComment, true},
        {PHConfLineScanner::HashComment | PHConfLineScanner::DashSemicolon |
         PHConfLineScanner::SlashStarBlock},
        {PHConfLineScanner::HashComment, false, {"Keep", "<Directory", "ErrorLog", "", "Set", "Set-Env"}},
        {PHConfLineScanner::HashComment, true, {"Keep", "<Directory", "ErrorLog", "", "Set", "Set-Env"}},
    };
    for (const auto &c : cases) {
        for (const Options &options : optionSets) {
            const Scan expected = scan(c.text, options, false);
            EXPECT_EQ(scan(c.text, options, true), expected) << c.what;
            // Cut into two pieces anywhere (a name split across the boundary
            // included), and into pieces of a few bytes.
            const std::size_t step = c.text.size() > 1000 ? 7 : 1;
            for (std::size_t cut = 0; cut <= c.text.size(); cut += step)
                ASSERT_EQ(scan(c.text, options, true, {cut}), expected) << c.what << ", cut at " << cut;
            std::vector<std::size_t> cuts;
            for (std::size_t cut = 3; cut < c.text.size(); cut += 61)
                cuts.push_back(cut);
            EXPECT_EQ(scan(c.text, options, true, cuts), expected) << c.what << ", many pieces";
        }
    }
    // The table is not vacuous: the reference finds what it should.
    EXPECT_EQ(scan("ErrorLog a \\\nInclude b\n\r\n \xC2\xA0"
                   "errorlog c # d\n",
                   {}, false)
                  .found,
              (std::vector<std::string>{"1|ErrorLog|ErrorLog a \\", "2|Include|Include b",
                                        "3|ErrorLog|errorlog c "}));
}

TEST(ConfLineScanner, BlockCommentsTurnedOnDuringAScanCountFromTheNextLine) {
    // A report turns block comments on: the lines after it (passed over in
    // bulk until then) must now open and close them.
    const std::string text = "Include a\n"
                             "Listen 80 /* open\n"
                             "ErrorLog hidden\n"
                             "*/\n"
                             "ErrorLog shown\n" +
                             repeated("ServerAlias x\n", 20);
    for (const bool fast : {false, true}) {
        std::atomic<std::int32_t> comments{PHConfLineScanner::HashComment};
        const std::atomic<std::int32_t> quotes{PHConfLineScanner::DoubleQuote};
        const std::atomic<bool> caseSensitive{false};
        std::atomic<std::int32_t> lineNumber{1};
        PHConfLineScanner scanner(kTokens, {&comments, &quotes, &caseSensitive, &lineNumber});
        scanner.setFastPaths(fast);
        std::vector<std::string> found;
        scanner.scanPiece(text, true, [&](std::size_t, std::string_view line, std::int32_t number) {
            found.push_back(std::to_string(number) + "|" + std::string(line));
            comments.store(PHConfLineScanner::HashComment | PHConfLineScanner::SlashStarBlock);
        });
        EXPECT_EQ(found, (std::vector<std::string>{"1|Include a", "5|ErrorLog shown"})) << "fast " << fast;
        EXPECT_EQ(lineNumber.load(), 26);
    }
}

TEST(ConfLineScanner, AFileScannedWithTheFastPathsReportsWhatTheLineLoopReports) {
    // Large enough for several reads, with lines crossing every read boundary.
    std::string text = "\xEF\xBB\xBF";
    for (int i = 0; i < 20000; ++i)
        text += "  ErrorLog /var/log/site" + std::to_string(i) + ".log\n\tServerName x\n\n#Include no\n" +
                (i % 7 == 0 ? "include \"conf/" + std::to_string(i) + ".conf\" # note\r\n" : "Require all\n");
    char path[] = "/tmp/confscanner.XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
    ::close(fd);
    Scan byLine, inBulk;
    for (const bool fast : {false, true}) {
        const std::atomic<std::int32_t> comments{PHConfLineScanner::HashComment};
        const std::atomic<std::int32_t> quotes{PHConfLineScanner::SingleQuote |
                                               PHConfLineScanner::DoubleQuote};
        const std::atomic<bool> caseSensitive{false};
        std::atomic<std::int32_t> lineNumber{1};
        PHConfLineScanner scanner(kTokens, {&comments, &quotes, &caseSensitive, &lineNumber});
        scanner.setFastPaths(fast);
        Scan &result = fast ? inBulk : byLine;
        EXPECT_EQ(scanner.scanFile(path,
                                   [&](std::size_t token, std::string_view line, std::int32_t number) {
                                       result.found.push_back(std::to_string(number) + "|" + kTokens[token] +
                                                              "|" + std::string(line));
                                   }),
                  PHConfLineScanner::Outcome::Scanned);
        result.lineNumber = lineNumber.load();
    }
    ::unlink(path);
    EXPECT_EQ(byLine.found.size(), 20000u + 20000u / 7 + 1);
    EXPECT_EQ(byLine.found.back(), "80000|Include|include \"conf/19999.conf\" ");
    EXPECT_EQ(inBulk, byLine);
}
