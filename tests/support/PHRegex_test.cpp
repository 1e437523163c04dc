#include "support/PHRegex.h"

#include "core/PHException.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace PHRegex;

template <typename Body> PHException raised(Body body) {
    try {
        body();
    } catch (const PHException &exception) {
        return exception;
    }
    ADD_FAILURE() << "no PHException was raised";
    return PHException({}, {});
}

TEST(Regex, MatchesSearchAnywhereAndHonourOptions) {
    EXPECT_TRUE(isMatchedByRegex(" \t", "^\\s*$"));
    EXPECT_FALSE(isMatchedByRegex(" x", "^\\s*$"));
    EXPECT_TRUE(isMatchedByRegex("AuthType Basic", "Basic")); // a search, not a whole-text match
    EXPECT_TRUE(isMatchedByRegex("", "^$"));

    const QString satisfy = "\\s*Satisfy\\s+(.*)";
    EXPECT_TRUE(
        isMatchedByRegexOptionsInRangeError("satisfy any", satisfy, CaseInsensitive, kWholeText, nullptr));
    EXPECT_FALSE(isMatchedByRegexOptionsInRangeError("satisfy any", satisfy, NoOptions, kWholeText, nullptr));

    // The range limits the search; anchors hold at its ends.
    EXPECT_FALSE(isMatchedByRegexOptionsInRangeError("abc def", "def", NoOptions, {0, 4}, nullptr));
    EXPECT_TRUE(isMatchedByRegexOptionsInRangeError("abc def", "^def$", NoOptions, {4, 3}, nullptr));
    EXPECT_TRUE(isMatchedByRegexOptionsInRangeError("abc def", "^def", NoOptions, {4, ~0ull}, nullptr));
}

TEST(Regex, CapturesGiveTheFirstMatchWithEveryGroup) {
    EXPECT_EQ(captureComponentsMatchedByRegex("# note", "#(.*)"), QStringList({"# note", " note"}));
    EXPECT_EQ(captureComponentsMatchedByRegex("AuthType Basic", "#(.*)"), QStringList());
    EXPECT_EQ(captureComponentsMatchedByRegex("b", "(a)|(b)"), QStringList({"b", "", "b"}));
    EXPECT_EQ(captureComponentsMatchedByRegex("Require user ann bob", "Require\\s+(user|group)\\s+(\\S+)"),
              QStringList({"Require user ann", "user", "ann"}));
    // Positions count UTF-16 units: text after a surrogate pair comes out whole.
    EXPECT_EQ(captureComponentsMatchedByRegex(QString::fromUtf8("\xF0\x9F\x94\x92 caf\xC3\xA9!"), "(\\w+)!"),
              QStringList({QString::fromUtf8("caf\xC3\xA9!"), QString::fromUtf8("caf\xC3\xA9")}));
    EXPECT_EQ(captureComponentsMatchedByRegexOptionsRangeError("x=1 y=2", "(\\w)=(\\d)", NoOptions, {2, 5},
                                                               nullptr),
              QStringList({"y=2", "y", "2"}));
}

TEST(Regex, ReplacementCountsAndLeavesTheTextAloneOnFailure) {
    QString text = "AllowOverride None";
    EXPECT_EQ(replaceOccurrencesOfRegexWithString(text, "Nothing", "x"), 0);
    EXPECT_EQ(text, "AllowOverride None");

    EXPECT_EQ(replaceOccurrencesOfRegexWithString(text, "AllowOverride\\s+None", "AllowOverride All"), 1);
    EXPECT_EQ(text, "AllowOverride All");

    text = "a1 b2 c3";
    EXPECT_EQ(replaceOccurrencesOfRegexWithString(text, "(\\w)(\\d)", "$2\\$$1"), 3);
    EXPECT_EQ(text, "1$a 2$b 3$c");

    text = "aaa";
    EXPECT_EQ(replaceOccurrencesOfRegexWithString(text, "a*", "-"),
              2); // "aaa" then the empty match at the end
    EXPECT_EQ(text, "--");

    text = "keep me";
    EXPECT_EQ(replaceOccurrencesOfRegexWithString(text, "(keep", "x"), -1);   // does not compile
    EXPECT_EQ(replaceOccurrencesOfRegexWithString(text, "(keep)", "$7"), -1); // no group 7
    EXPECT_EQ(text, "keep me");
}

TEST(Regex, FailuresAreNamedWithTheirReasonAndDetails) {
    const PHException nullPattern = raised([] { isMatchedByRegex("text", QString()); });
    EXPECT_EQ(nullPattern.name(), "NSInvalidArgumentException");
    EXPECT_EQ(
        nullPattern.reason(),
        "*** -[QString isMatchedByRegex:options:inRange:error:]: The regular expression argument is NULL.");

    const PHException outside = raised([] {
        captureComponentsMatchedByRegexOptionsRangeError("short", "s", NoOptions, {3, 3}, nullptr);
    });
    EXPECT_EQ(outside.name(), "NSRangeException");
    EXPECT_EQ(outside.reason(),
              "*** -[QString captureComponentsMatchedByRegex:options:range:error:]: Range or index "
              "out of bounds.");
    EXPECT_EQ(outside.userInfo().value(kSubjectString).toString(), "short");
    EXPECT_EQ(raised([] {
                  isMatchedByRegexOptionsInRangeError("ab", "a", NoOptions, {3, 0}, nullptr);
              }).name(),
              "NSRangeException");

    // A pattern that does not compile fills the error record when one is given...
    Error error;
    EXPECT_FALSE(isMatchedByRegexOptionsInRangeError("abc", "ab(c", NoOptions, kWholeText, &error));
    EXPECT_EQ(error.domain, "PHICURegexErrorDomain");
    EXPECT_EQ(error.localizedDescription, "There was an error compiling the regular expression.");
    EXPECT_EQ(error.localizedFailureReason,
              "The error U_REGEX_MISMATCHED_PAREN occurred at line 1, column 4: ab(c<<HERE>>");
    EXPECT_EQ(error.userInfo.value(kErrorName).toString(), "U_REGEX_MISMATCHED_PAREN");
    EXPECT_EQ(error.userInfo.value(kRegex).toString(), "ab(c");
    EXPECT_EQ(error.userInfo.value(kPreContext).toString(), "ab(c");
    EXPECT_TRUE(captureComponentsMatchedByRegexOptionsRangeError("abc", "[", NoOptions, kWholeText, &error)
                    .isEmpty());

    // Without a position from ICU (here: an option bit it does not know) the
    // reason names the error alone.
    EXPECT_FALSE(isMatchedByRegexOptionsInRangeError("abc", "a", 0x40000000u, kWholeText, &error));
    EXPECT_EQ(error.localizedFailureReason, "The error U_REGEX_INVALID_FLAG occurred.");

    // Absent texts are refused like an absent pattern, not taken as empty ones.
    const PHException nullSubject = raised([] { isMatchedByRegex(QString(), "x*"); });
    EXPECT_EQ(nullSubject.name(), "NSInvalidArgumentException");
    EXPECT_TRUE(nullSubject.reason().endsWith("]: The match string argument is NULL."))
        << nullSubject.reason().toStdString();
    EXPECT_EQ(raised([] { captureComponentsMatchedByRegex(QString(), "(x*)"); }).name(),
              "NSInvalidArgumentException");
    QString absent;
    EXPECT_TRUE(raised([&] { replaceOccurrencesOfRegexWithString(absent, "x*", "y"); })
                    .reason()
                    .endsWith("]: The match string argument is NULL."));
    QString kept = "keep me";
    const PHException nullReplacement =
        raised([&] { replaceOccurrencesOfRegexWithString(kept, "me", QString()); });
    EXPECT_EQ(nullReplacement.name(), "NSInvalidArgumentException");
    EXPECT_TRUE(nullReplacement.reason().endsWith("]: The replacement string argument is NULL."))
        << nullReplacement.reason().toStdString();
    EXPECT_EQ(kept, "keep me");
    // Empty texts are texts.
    EXPECT_TRUE(isMatchedByRegex(QStringLiteral(""), "^$"));
    EXPECT_EQ(replaceOccurrencesOfRegexWithString(kept, "me", QStringLiteral("")), 1);
    EXPECT_EQ(kept, "keep ");

    // ...and is raised when none is.
    const PHException uncompiled = raised([] { captureComponentsMatchedByRegex("abc", "ab(c"); });
    EXPECT_EQ(uncompiled.name(), "PHICURegexException");
    EXPECT_TRUE(uncompiled.reason().endsWith("occurred at line 1, column 4: ab(c<<HERE>>"))
        << uncompiled.reason().toStdString();
}

TEST(Regex, AFifthPatternInAFullSetEvictsTheLeastRecentlyUsedWay) {
    // Six fresh patterns that all fall into one set of the cache.
    const int set = Testing::cacheSetOf("probe-0", NoOptions);
    QStringList patterns;
    for (int i = 0; patterns.size() < 6; ++i) {
        const QString candidate = QStringLiteral("probe-%1").arg(i);
        if (Testing::cacheSetOf(candidate, NoOptions) == set)
            patterns.append(candidate);
    }
    const QString &a = patterns[0], &b = patterns[1], &c = patterns[2], &d = patterns[3], &e = patterns[4],
                  &f = patterns[5];
    auto compilesFor = [](const QString &pattern) {
        const quint64 before = Testing::compileCount();
        EXPECT_TRUE(isMatchedByRegex(QStringLiteral("x ") + pattern, pattern));
        return Testing::compileCount() - before;
    };

    for (const QString &pattern : {a, b, c, d})
        EXPECT_EQ(compilesFor(pattern), 1u) << pattern.toStdString();
    for (const QString &pattern : {a, b, c, d})
        EXPECT_EQ(compilesFor(pattern), 0u) << pattern.toStdString(); // all four held; order now a b c d
    EXPECT_EQ(compilesFor(c), 0u);
    EXPECT_EQ(compilesFor(a), 0u); // order b d c a: b is least recently used, then d

    EXPECT_EQ(compilesFor(e), 1u); // evicts b
    EXPECT_EQ(compilesFor(f), 1u); // evicts d
    // Equal texts in other objects are found too.
    for (const QString &pattern : {c, a, e, f})
        EXPECT_EQ(compilesFor(QString(pattern.constData(), pattern.size())), 0u) << pattern.toStdString();
    EXPECT_EQ(compilesFor(b), 1u); // evicted, so compiled again
    EXPECT_EQ(compilesFor(d), 1u);

    // The same text with other options is another line.
    const quint64 before = Testing::compileCount();
    EXPECT_TRUE(isMatchedByRegexOptionsInRangeError(a.toUpper(), a, CaseInsensitive, kWholeText, nullptr));
    EXPECT_EQ(Testing::compileCount() - before, 1u);
}

TEST(Regex, ThreadsShareTheCacheSafely) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 3000; ++i) {
                const QString pattern = QStringLiteral("(t%1)-(\\d+)").arg((t + i) % 70);
                const QString subject = QStringLiteral("x t%1-%2 y").arg((t + i) % 70).arg(i);
                const QStringList parts = captureComponentsMatchedByRegex(subject, pattern);
                if (parts.size() != 3 || parts[2] != QString::number(i))
                    ++wrong;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
