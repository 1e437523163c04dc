// The readers of the server's formats, on the forms whose reading the real
// Apache showed (the Apache examples test asks it about the same forms).

#include "model/PHAuthFiles.h"
#include "model/PHConfigText.h"
#include "model/PHEffectiveAccess.h"

#include <gtest/gtest.h>

namespace {

TEST(ApacheReading, WordsAreSplitAndUnquotedAsTheServerDoes) {
    using PHConfigText::words;
    EXPECT_EQ(words(u"Require user \"alice\""), (QStringList{"Require", "user", "alice"}));
    EXPECT_EQ(words(u"a\tb  \t c"), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(words(u"\"a b\" 'c d'"), (QStringList{"a b", "c d"}));
    EXPECT_EQ(words(u"\"x\\\"y\" a\\b"), (QStringList{"x\"y", "a\\b"}));
    EXPECT_EQ(words(u"\"ab\"cd \"open"), (QStringList{"ab", "cd", "open"}));
    for (const QString &word : {QStringLiteral("plain"), QStringLiteral("two words"), QStringLiteral("\"q"),
                                QStringLiteral("a\"b"), QStringLiteral("'s")})
        EXPECT_EQ(words(PHConfigText::quotedWord(word)), QStringList{word}) << word.toStdString();
    EXPECT_TRUE(PHConfigText::quotedWord(QStringLiteral("a\nb")).isEmpty());
    // Escapes after the first, and a backslash before another character.
    EXPECT_EQ(words(u"'it\\'s \\'x' \"a\\b\\\"c\\\"\""), (QStringList{"it's 'x", "a\\b\"c\""}));
    // Directive names fold as QString does, beyond ASCII too.
    EXPECT_EQ(PHConfigText::lowerCase(u"AuthUserFile"), QStringLiteral("authuserfile"));
    EXPECT_EQ(PHConfigText::lowerCase(u"ÄuthTYPE"), QStringLiteral("ÄuthTYPE").toLower());
}

TEST(ApacheReading, ContinuedLinesAreJoinedBeforeCommentsAreSeen) {
    const std::vector<PHConfigText::Line> lines = PHConfigText::lines(QStringLiteral(
        "# staff only, see ticket \\\nRequire user alice\r\n  Require user bob \\\r\n carol\r\nlast\\\n"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, QStringLiteral("# staff only, see ticket Require user alice"));
    EXPECT_TRUE(lines[0].isSkipped());
    EXPECT_EQ(lines[0].number, 1);
    EXPECT_EQ(lines[0].lastNumber, 2);
    EXPECT_EQ(lines[1].text, QStringLiteral("Require user bob  carol"));
    EXPECT_EQ(lines[1].raw, QStringLiteral("  Require user bob \\\r\n carol\r"));
    EXPECT_EQ(lines[2].text, QStringLiteral("last"))
        << "a backslash before the end of the file joins nothing";
}

TEST(ApacheReading, UserAndGroupFiles) {
    const QList<PHUserFile::Record> users =
        PHUserFile::read(QStringLiteral("alice:HASH:Alice in accounting\n# bob:x\n  carol :h2 \nnocolon\n"));
    ASSERT_EQ(users.size(), 3);
    EXPECT_EQ(users[0].name, QStringLiteral("alice"));
    EXPECT_EQ(users[0].hash, QStringLiteral("HASH"));
    EXPECT_EQ(users[0].rest, QStringLiteral(":Alice in accounting"));
    EXPECT_EQ(users[1].name, QStringLiteral("carol "));
    EXPECT_EQ(users[1].hash, QStringLiteral("h2"));
    EXPECT_FALSE(users[2].hasColon);
    EXPECT_EQ(PHUserFile::hashOf(QStringLiteral("alice:HASH:x\n"), QStringLiteral("alice")),
              QStringLiteral("HASH"));
    EXPECT_FALSE(PHUserFile::hashOf(QStringLiteral("alice :HASH\n"), QStringLiteral("alice")));

    const QString groups =
        QStringLiteral("team:\talice\ncrew: \"bob\" 'carol dave'\n#old: alice\n staff : \\\n erin\nnone\n");
    EXPECT_EQ(PHGroupFile::groupsOf(groups, QStringLiteral("alice")), QStringList{"team"});
    EXPECT_EQ(PHGroupFile::groupsOf(groups, QStringLiteral("bob")), QStringList{"crew"});
    EXPECT_EQ(PHGroupFile::groupsOf(groups, QStringLiteral("carol dave")), QStringList{"crew"});
    EXPECT_EQ(PHGroupFile::groupsOf(groups, QStringLiteral("erin")), QStringList{"staff"});
    EXPECT_EQ(PHGroupFile::read(groups).size(), 3);
    EXPECT_TRUE(PHGroupFile::sameGroup(QStringLiteral("STAFF"), QStringLiteral("staff")));
    EXPECT_FALSE(PHGroupFile::sameGroup(QStringLiteral("staff"), QStringLiteral("staf")));
}

TEST(ApacheReading, AccessFileErrorsNameTheLine) {
    const PHEffectiveAccess::Section section = PHEffectiveAccess::parse(QStringLiteral(
        "Order deny, allow\nAllow from 999.1.1.1\n<Limit get>\n</Limit>\nRequire All granted\n"));
    EXPECT_EQ(
        section.errors,
        (QStringList{"line 1: order takes one argument, 'allow,deny', 'deny,allow', or 'mutual-failure'",
                     "line 2: \"999.1.1.1\" is not a valid IP address (the web server would refuse the "
                     "folder's access file)",
                     "line 3: Could not register method 'get' for <Limit from .htaccess configuration",
                     "line 5: Unknown Authz provider: All"}));
    EXPECT_TRUE(
        PHEffectiveAccess::parse(QStringLiteral("order DENY,ALLOW\nallow FROM 10.1\n")).errors.isEmpty());
}

TEST(ApacheReading, OneTextReadForTwoFoldersAndTwoOverridesAnswersEach) {
    // A text read again is taken from the reading before: it must still name
    // the folder asked about, and follow the AllowOverride given.
    const QString text =
        QStringLiteral("<RequireAll>\nRequire user alice\n</RequireAll>\nOrder deny,allow\n");
    const PHEffectiveAccess::Section first = PHEffectiveAccess::parse(text, QStringLiteral("a"));
    const PHEffectiveAccess::Section second = PHEffectiveAccess::parse(text, QStringLiteral("b/c"));
    ASSERT_EQ(first.requires_.size(), 1u);
    ASSERT_EQ(second.requires_.size(), 1u);
    ASSERT_EQ(second.requires_[0].children.size(), 1u);
    EXPECT_EQ(first.folder, QStringLiteral("a"));
    EXPECT_EQ(first.requires_[0].folder, QStringLiteral("a"));
    EXPECT_EQ(second.folder, QStringLiteral("b/c"));
    EXPECT_EQ(second.requires_[0].folder, QStringLiteral("b/c"));
    EXPECT_EQ(second.requires_[0].children[0].folder, QStringLiteral("b/c"));
    EXPECT_TRUE(second.errors.isEmpty());
    PHEffectiveAccess::Reading noLimit;
    noLimit.limit = false;
    const PHEffectiveAccess::Section refused = PHEffectiveAccess::parse(text, QStringLiteral("a"), noLimit);
    ASSERT_EQ(refused.errors.size(), 1);
    EXPECT_TRUE(refused.errors.at(0).contains(QLatin1String("not allowed here")))
        << qPrintable(refused.errors.at(0));
    EXPECT_TRUE(PHEffectiveAccess::parse(text, QStringLiteral("a")).errors.isEmpty());
}

} // namespace
