#include "server/PHConfParser.h"

#include "ServerTestSupport.h"
#include "support/PHTextFile.h"
#include "support/posix/PHConfLineScanner.h"

#include <QObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct Found {
    QString token;
    QString line;
    qint32 number;
    QString path;
};

class Recorder : public QObject, public PHConfParserDelegate {
public:
    QList<Found> found;
    void parserParsedTokenInLineAtLineNumberOfFile(PHConfParser *, const QString &token, const QString &line,
                                                   qint32 lineNumber, const QString &path) override {
        found.append({token, line, lineNumber, path});
    }
};

QString strip(PHConfParser &parser, const QString &line) {
    return parser.removeComments(line);
}

// Parses the text to the end and delivers every callback.
QList<Found> parse(const QString &text, const QStringList &tokens, bool caseSensitive = false,
                   qint32 commentType = PHConfParser::HashComment) {
    servertest::application();
    auto parser = PHConfParser::initWithString(text);
    Recorder recorder;
    parser->setDelegate(&recorder);
    parser->setTokens(tokens);
    parser->setCaseSensitive(caseSensitive);
    parser->setCommentType(commentType);
    parser->parse();
    EXPECT_TRUE(servertest::waitFor([&] { return !parser->isParsing(); }));
    QCoreApplication::processEvents();
    return recorder.found;
}

TEST(ConfParser, HashCommentsRespectQuotesAndEscapes) {
    auto parser = PHConfParser::initWithString(QStringLiteral("x"));
    EXPECT_EQ(strip(*parser, "ErrorLog logs/error_log # main log"), "ErrorLog logs/error_log ");
    EXPECT_EQ(strip(*parser, "CustomLog 'a#b' common"), "CustomLog 'a#b' common");
    EXPECT_EQ(strip(*parser, "CustomLog \"a#b\" common # x"), "CustomLog \"a#b\" common ");
    // A different quote inside an open one does not close it.
    EXPECT_EQ(strip(*parser, "x \"it's # here\" # gone"), "x \"it's # here\" ");
    EXPECT_EQ(strip(*parser, "x \\# y"), "x \\# y");
    // Any earlier single backslash protects the rest of the line; two cancel out.
    EXPECT_EQ(strip(*parser, "a\\b # c"), "a\\b # c");
    EXPECT_EQ(strip(*parser, "a\\\\b # c"), "a\\\\b ");
    EXPECT_EQ(strip(*parser, "# ErrorLog x"), "");
    EXPECT_EQ(strip(*parser, "no comment here"), "no comment here");
    // Back quotes protect only when asked for; with no quote type, quotes are text.
    EXPECT_EQ(strip(*parser, "a `#` b"), "a `");
    parser->setQuoteType(PHConfParser::BackQuote);
    EXPECT_EQ(strip(*parser, "a `#` b"), "a `#` b");
    parser->setQuoteType(0);
    EXPECT_EQ(strip(*parser, "CustomLog 'a#b' common"), "CustomLog 'a");
}

TEST(ConfParser, OtherLineCommentForms) {
    auto parser = PHConfParser::initWithString(QStringLiteral("x"));
    parser->setCommentType(PHConfParser::DashSemicolon);
    EXPECT_EQ(strip(*parser, "x -- y"), "x ");
    EXPECT_EQ(strip(*parser, "x ; y"), "x ");
    EXPECT_EQ(strip(*parser, "x - y # z"), "x - y # z"); // "#" is off now
    parser->setCommentType(PHConfParser::SlashSlash);
    EXPECT_EQ(strip(*parser, "path/to // note"), "path/to ");
    EXPECT_EQ(strip(*parser, "'//' kept"), "'//' kept");
}

TEST(ConfParser, BlockCommentsCarryAcrossLines) {
    auto parser = PHConfParser::initWithString(QStringLiteral("x"));
    parser->setCommentType(PHConfParser::SlashStarBlock);
    EXPECT_EQ(strip(*parser, "a /* b */ c"), "a  c");
    EXPECT_TRUE(parser->currentCommentMarker().isNull());

    EXPECT_EQ(strip(*parser, "keep /* drop"), "keep ");
    EXPECT_EQ(parser->currentCommentMarker(), QLatin1Char('/'));
    EXPECT_EQ(strip(*parser, "all of this # and 'quotes"), "");
    EXPECT_EQ(strip(*parser, "still */ back"), " back");
    EXPECT_TRUE(parser->currentCommentMarker().isNull());

    // "(*" does not open a block unless asked for; "*)" does not close "/*".
    EXPECT_EQ(strip(*parser, "(* x *)"), "(* x *)");
    parser->setCommentType(PHConfParser::ParenStarBlock);
    EXPECT_EQ(strip(*parser, "f (* x *) g"), "f  g");
    EXPECT_EQ(strip(*parser, "f (* x */ g"), "f ");
    EXPECT_EQ(strip(*parser, "*) tail"), " tail");

    // A line comment right after a block closes: the text before the marker is
    // empty, and what follows the marker is gone.
    parser->setCommentType(PHConfParser::SlashStarBlock | PHConfParser::SlashSlash);
    EXPECT_EQ(strip(*parser, "a /* b *//c"), "a ");
    EXPECT_EQ(strip(*parser, "a /* b */* c"), "a ");
    // "*/*" closed the block and opened the next: it is still open.
    EXPECT_EQ(parser->currentCommentMarker(), QLatin1Char('/'));
    EXPECT_EQ(strip(*parser, "d */ e"), " e");
}

TEST(ConfParser, ReportsTokenLinesWithNumbersOverBlankLines) {
    const QString text = QStringLiteral("\n\n   Include conf/extra.conf\n"
                                        "LoadModule include_module mod_include.so\n"
                                        "\t\r\n"
                                        "errorlog \"/x\" # note\r\n"
                                        "# ErrorLog commented\n"
                                        "ErrorLogFormat \"[%t]\"\n"
                                        "CustomLog /a common\r\n");
    const QList<Found> found = parse(text, {"CustomLog", "ErrorLog", "Include"});
    ASSERT_EQ(found.size(), 4);
    EXPECT_EQ(found[0].token, "Include");
    EXPECT_EQ(found[0].line, "Include conf/extra.conf");
    EXPECT_EQ(found[0].number, 1);
    EXPECT_TRUE(found[0].path.isEmpty());
    EXPECT_EQ(found[1].token, "ErrorLog");
    EXPECT_EQ(found[1].line, "errorlog \"/x\" ");
    EXPECT_EQ(found[1].number, 3);
    // A whole-line comment still counts as a line; a longer word fires its prefix.
    EXPECT_EQ(found[2].token, "ErrorLog");
    EXPECT_EQ(found[2].line, "ErrorLogFormat \"[%t]\"");
    EXPECT_EQ(found[2].number, 5);
    // The carriage return of a CRLF line stays in the line.
    EXPECT_EQ(found[3].token, "CustomLog");
    EXPECT_EQ(found[3].line, "CustomLog /a common\r");
    EXPECT_EQ(found[3].number, 6);

    const QList<Found> ab = parse(QStringLiteral("A\n\nB\n"), {"B"});
    ASSERT_EQ(ab.size(), 1);
    EXPECT_EQ(ab[0].number, 2);

    const QList<Found> sensitive = parse(QStringLiteral("errorlog x\nErrorLog y"), {"ErrorLog"}, true);
    ASSERT_EQ(sensitive.size(), 1);
    EXPECT_EQ(sensitive[0].line, "ErrorLog y");

    // Several tokens may fire on one line, in list order; an empty token never does.
    const QList<Found> both = parse(QStringLiteral("IncludeOptional x"), {"IncludeOptional", "", "Include"});
    ASSERT_EQ(both.size(), 2);
    EXPECT_EQ(both[0].token, "IncludeOptional");
    EXPECT_EQ(both[1].token, "Include");

    EXPECT_TRUE(parse(QStringLiteral(" \n\t\r\n \u00a0\n"), {"ErrorLog"}).isEmpty());
}

TEST(ConfParser, FileParserPassesPathAndRefusesChangesWhileParsing) {
    servertest::application();
    QTemporaryDir dir;
    EXPECT_EQ(PHConfParser::initWithFile(dir.filePath("missing.conf")), nullptr);

    // A long file keeps the parse busy while the setters are tried.
    const QString path = dir.filePath("httpd.conf");
    QByteArray text;
    for (int i = 0; i < 20000; ++i)
        text += "ErrorLog \"/var/log/x\" # line\n";
    servertest::writeFile(path, text);
    auto parser = PHConfParser::initWithFile(path);
    ASSERT_NE(parser, nullptr);
    EXPECT_EQ(parser->path(), path);
    Recorder recorder;
    parser->setDelegate(&recorder);
    parser->setTokens({"ErrorLog"});
    parser->parse();
    ASSERT_TRUE(parser->isParsing() || recorder.found.isEmpty());
    if (parser->isParsing()) {
        parser->setTokens({"Other"});
        parser->setPath(QStringLiteral("/elsewhere"));
        parser->setConf(QStringLiteral("x"));
        parser->parse(); // a second parse while one runs does nothing
    }
    ASSERT_TRUE(servertest::waitFor([&] { return !parser->isParsing(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(parser->tokens(), QStringList{"ErrorLog"});
    EXPECT_EQ(parser->path(), path);
    ASSERT_EQ(recorder.found.size(), 20000);
    EXPECT_EQ(recorder.found.last().number, 20000);
    EXPECT_EQ(recorder.found.last().path, path);
    EXPECT_EQ(recorder.found.last().line, "ErrorLog \"/var/log/x\" ");
}

// Every token line the scan reports, as "number|token|line".
QStringList scanned(PHConfParser &parser, const QStringList &tokens, qint32 commentType) {
    parser.setTokens(tokens);
    parser.setCommentType(commentType);
    QStringList lines;
    parser.scan([&](const QString &token, const QString &line, qint32 number) {
        lines.append(QStringLiteral("%1|%2|%3").arg(number).arg(token, line));
    });
    return lines;
}

TEST(ConfParser, AFileIsScannedInPiecesAsItsWholeTextWouldBe) {
    servertest::application();
    QTemporaryDir dir;
    // Long enough for many pieces; lines of every kind cross the piece
    // boundaries, block comments span lines, and some text is not ASCII.
    QString text;
    for (int i = 0; i < 6000; ++i) {
        text += QStringLiteral("  ErrorLog /var/log/caf\u00e9-%1.log # note\n").arg(i);
        text += QStringLiteral("\n\t\r\n");
        text += QStringLiteral("Include \"conf/%1.conf\" /* block\n").arg(i);
        text += QStringLiteral(" still */ CustomLog x%1 common\r\n").arg(i);
        text += QStringLiteral("\u00a0errorlog %1 ; dash\n").arg(QString(i % 97, QLatin1Char('y')));
    }
    const QStringList tokens{"CustomLog", "ErrorLog", "Include"};
    const struct {
        const char *encoding;
        QByteArray bytes;
    } files[] = {
        {"UTF-8", text.toUtf8()},
        {"UTF-8 with a mark", "\xEF\xBB\xBF" + text.toUtf8()},
        {"Latin-1", text.toLatin1()},
        {"UTF-16LE with a mark",
         QByteArray("\xFF\xFE") + QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2)},
    };
    for (qint32 comments :
         {qint32(PHConfParser::HashComment),
          qint32(PHConfParser::HashComment | PHConfParser::DashSemicolon | PHConfParser::SlashStarBlock)}) {
        auto whole = PHConfParser::initWithString(text);
        const QStringList expected = scanned(*whole, tokens, comments);
        ASSERT_GT(expected.size(), 6000);
        for (const auto &file : files) {
            const QString path = dir.filePath(QStringLiteral("httpd.conf"));
            servertest::writeFile(path, file.bytes);
            auto parser = PHConfParser::initWithFile(path);
            ASSERT_NE(parser, nullptr);
            EXPECT_TRUE(parser->conf().isEmpty()) << "the file is never held whole";
            const QStringList lines = scanned(*parser, tokens, comments);
            ASSERT_EQ(lines.size(), expected.size()) << file.encoding;
            EXPECT_EQ(lines, expected) << file.encoding;
        }
    }

    // Text past the first piece that is not valid in the file's encoding
    // costs a character, not the file.
    const QString path = dir.filePath(QStringLiteral("mixed.conf"));
    servertest::writeFile(path, QByteArray(100000, '#') + "\nErrorLog caf\xE9\nInclude x\n");
    auto mixed = PHConfParser::initWithFile(path);
    ASSERT_NE(mixed, nullptr);
    EXPECT_EQ(scanned(*mixed, tokens, PHConfParser::HashComment),
              QStringList(
                  {QStringLiteral("2|ErrorLog|ErrorLog caf\ufffd"), QStringLiteral("3|Include|Include x")}));
}

TEST(ConfParser, SpacesAndCaseAreUnicodesThoughLinesAreScannedAsBytes) {
    // What the scan skips before a line and what it folds to ASCII ignoring
    // case is what QChar says, for every character.
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        ASSERT_EQ(PHConfLineScanner::isSpace(c), QChar::isSpace(c)) << "U+" << std::hex << unsigned(c);
        const char32_t folded = QChar::toCaseFolded(c);
        ASSERT_EQ(PHConfLineScanner::asciiFolding(c), folded < 0x80 ? char(folded) : char(0))
            << "U+" << std::hex << unsigned(c);
    }

    const QString text = QStringLiteral("\u2028\u3000ErrorLog a\n"
                                        "\u0085include b\n"
                                        "\u212Aeep c\n"
                                        "\u017Fet d # note\n"
                                        "\U0001F600ErrorLog e\n"
                                        "Stra\u00DFe f\n"
                                        "STRASSE g\n"
                                        "\u00E9rrorLog h\n");
    const QStringList tokens{"ErrorLog", "Include", "Keep", "Set", QStringLiteral("stra\u00DFe")};
    QStringList lines;
    for (const Found &found : parse(text, tokens))
        lines.append(QStringLiteral("%1|%2|%3").arg(found.number).arg(found.token, found.line));
    EXPECT_EQ(lines,
              QStringList({QStringLiteral("1|ErrorLog|ErrorLog a"), QStringLiteral("2|Include|include b"),
                           QStringLiteral("3|Keep|\u212Aeep c"), QStringLiteral("4|Set|\u017Fet d "),
                           QStringLiteral("6|stra\u00DFe|Stra\u00DFe f")}));
    // Compared exactly, the look-alikes are other letters.
    lines.clear();
    for (const Found &found : parse(text, tokens, true))
        lines.append(QStringLiteral("%1|%2").arg(found.number).arg(found.token));
    EXPECT_EQ(lines, QStringList({"1|ErrorLog"}));
}

TEST(ConfParser, AUtf8FileEndsAndBeginsAsItsDecoderReadsIt) {
    servertest::application();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("httpd.conf"));
    const QStringList tokens{"ErrorLog", QStringLiteral("\u00C9rrorLog")};
    // A large file: a second byte order mark is passed over as the decoder
    // does, and a character cut at the very end is dropped.
    QByteArray bytes = "\xEF\xBB\xBF\xEF\xBB\xBF"
                       "ErrorLog a\n";
    for (int i = 0; i < 5000; ++i)
        bytes += "# filler line of the configuration\n";
    bytes += "\xC3\xA9rrorlog b\n"
             "ErrorLog z\xE2\x82";
    servertest::writeFile(path, bytes);
    auto parser = PHConfParser::initWithFile(path);
    ASSERT_NE(parser, nullptr);
    EXPECT_EQ(scanned(*parser, tokens, PHConfParser::HashComment),
              QStringList({QStringLiteral("1|ErrorLog|ErrorLog a"),
                           QStringLiteral("5002|\u00C9rrorLog|\u00E9rrorlog b"),
                           QStringLiteral("5003|ErrorLog|ErrorLog z")}));
    // A small file is decoded whole: with the cut character it is not UTF-8.
    servertest::writeFile(path, "ErrorLog z\xE2\x82");
    parser = PHConfParser::initWithFile(path);
    ASSERT_NE(parser, nullptr);
    const PHTextFile whole = PHTextFile::read(path);
    ASSERT_NE(whole.encoding, "UTF-8");
    EXPECT_EQ(scanned(*parser, tokens, PHConfParser::HashComment), QStringList({"1|ErrorLog|" + whole.text}));
}

TEST(ConfParser, NothingHappensWithoutDelegateTokensOrText) {
    servertest::application();
    Recorder recorder;
    auto noDelegate = PHConfParser::initWithString(QStringLiteral("ErrorLog x"));
    noDelegate->setTokens({"ErrorLog"});
    noDelegate->parse();
    EXPECT_FALSE(noDelegate->isParsing());

    auto noTokens = PHConfParser::initWithString(QStringLiteral("ErrorLog x"));
    noTokens->setDelegate(&recorder);
    noTokens->parse();
    EXPECT_FALSE(noTokens->isParsing());

    auto noText = PHConfParser::initWithString(QString());
    noText->setDelegate(&recorder);
    noText->setTokens({"ErrorLog"});
    noText->parse();
    EXPECT_FALSE(noText->isParsing());
    QCoreApplication::processEvents();
    EXPECT_TRUE(recorder.found.isEmpty());

    // A delegate that goes away before its callbacks arrive receives nothing, and
    // nothing crashes; the parser outlives its creator's reference.
    auto *gone = new Recorder;
    std::weak_ptr<PHConfParser> weak;
    {
        auto parser = PHConfParser::initWithString(QStringLiteral("ErrorLog a\nErrorLog b\n"));
        weak = parser;
        parser->setDelegate(gone);
        parser->setTokens({"ErrorLog"});
        parser->parse();
    }
    PHConfParser::waitForAllParses();
    delete gone;
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(weak.expired());
}

} // namespace
