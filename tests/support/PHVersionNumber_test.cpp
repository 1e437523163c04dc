#include "support/PHVersionNumber.h"

#include "core/Log.h"

#include <gtest/gtest.h>

namespace {

PHVersionNumber version(const char *text) {
    std::optional<PHVersionNumber> made = PHVersionNumber::versionWithString(QString::fromUtf8(text));
    EXPECT_TRUE(made) << text;
    return made ? *made : *PHVersionNumber::versionWithString("0");
}

qint32 order(const char *a, const char *b) {
    PHVersionNumber left = version(a), right = version(b);
    return left.compare(right);
}

class LogCapture {
public:
    LogCapture() { Log::setCapture(&lines); }
    ~LogCapture() { Log::setCapture(nullptr); }
    QStringList lines;
};

TEST(VersionNumber, OrdersNumbersStagesAndFurtherLevels) {
    struct Case {
        const char *a, *b;
        qint32 expected;
    };
    const Case cases[] = {
        {"1.0", "1.0", 0},
        {"1.0", "1.1", -1},
        {"1.10", "1.9", 1},
        {"1.0", "1.0.1", -1},
        {"1.0.1", "1.0", 1},
        {"1.0b1", "1.0", -1},
        {"1.0", "1.0b1", 1},
        {"1.0d", "1.0", -1},
        {"1.0a2", "1.0b1", -1},
        {"2.0d1", "1.9", 1},
        {"1.0fc1", "1.0r1", -1},
        {"1.0 b2", "1.0b2", 0},
        {"1.0B2", "1.0b2", 0},
        {"1.0dp1", "1.0dr1", -1},
        {"3.0", "2.99.99", 1},
        {"1.00", "1.0", 0},
        // Tokens are compared by value: a trailing number 7 counts as a further
        // dotted level, any other as a pre-release.
        {"1.0 7", "1.0", 1},
        {"1.0 6", "1.0", -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(order(c.a, c.b), c.expected) << c.a << " against " << c.b;
}

TEST(VersionNumber, ParsesIntoTokensAndDescribesThem) {
    PHVersionNumber beta = version("B3");
    EXPECT_EQ(beta.numberOfTokens(), 3);
    EXPECT_EQ(beta.nextToken(), 0);
    EXPECT_EQ(beta.nextToken(), 2); // "b"
    EXPECT_EQ(beta.nextToken(), 3);
    EXPECT_EQ(beta.nextToken(), 0); // past the end
    EXPECT_EQ(beta.description(), "0b3");
    EXPECT_EQ(beta.stringValue(), "B3");
    beta.resetCursor();
    EXPECT_EQ(beta.nextToken(), 0);

    EXPECT_EQ(version("1.00").description(), "1.0");
    EXPECT_EQ(version("1.0B2").description(), "1.0b2");
    EXPECT_EQ(version("b1").description(), "0b1");
    EXPECT_EQ(version(" 2.1.3\n").description(), "2.1.3");
    EXPECT_EQ(version("+4.2").description(), "4.2");
    EXPECT_EQ(version("99999999999.1").description(), "2147483647.1");
    EXPECT_EQ(version("3.0fc1").description(), "3.0fc1");

    EXPECT_FALSE(PHVersionNumber::versionWithString(QString()));
    EXPECT_FALSE(PHVersionNumber::versionWithString(""));
    EXPECT_EQ(PHVersionNumber::dividers().indexOf("."), 7);
}

TEST(VersionNumber, BadTextLogsAndLeavesNoTokens) {
    struct Case {
        const char *text;
        const char *line;
    };
    const Case cases[] = {
        {"1.0-beta", "Invalid characters '-beta' in version string"},
        {"-1", "Invalid value '-1' in version string"},
        {"1.0 -2", "Invalid value '-2' in version string"},
        {"1.0b 2", "Invalid characters 'b ' in version string"},
        {"1.X", "Invalid characters '.x' in version string"},
    };
    for (const Case &c : cases) {
        LogCapture log;
        PHVersionNumber bad = version(c.text);
        EXPECT_EQ(bad.numberOfTokens(), 0) << c.text;
        EXPECT_EQ(log.lines, QStringList{QString::fromUtf8(c.line)}) << c.text;
    }

    // No tokens against "1.0": the first token 1 is not "." in value, so "1.0"
    // counts as older; against "7.1" it is, so "7.1" counts as newer.
    LogCapture log;
    EXPECT_EQ(order("1.0-beta", "1.0"), 1);
    EXPECT_EQ(order("1.0", "1.0-beta"), -1);
    EXPECT_EQ(order("1.0-beta", "7.1"), -1);
}

TEST(VersionNumber, ComparingAgainWithoutResettingReadsPastTheTokens) {
    PHVersionNumber a = version("1.0b1"), b = version("1.0");
    EXPECT_EQ(a.compare(b), -1);
    EXPECT_EQ(a.compare(b), 1); // cursors past both ends: 0 against the shorter one's nothing
    a.resetCursor();
    b.resetCursor();
    EXPECT_EQ(a.compare(b), -1);
}

} // namespace
