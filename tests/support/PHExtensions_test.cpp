#include "support/PHExtensions.h"

#include "core/PHException.h"
#include "support/PHRegex.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// The program named as given for a scope; the earlier name comes back after it.
class ProgramNamed {
public:
    explicit ProgramNamed(const PHApplication::Information &information)
        : m_previous(PHApplication::setInformation(information)) {}
    ~ProgramNamed() { PHApplication::setInformation(m_previous); }

private:
    PHApplication::Information m_previous;
};

QByteArray encoded(const QString &path) {
    return QFile::encodeName(path);
}

void put(const QString &path, const QByteArray &data, mode_t mode = 0644) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(data);
    file.close();
    ASSERT_EQ(::chmod(encoded(path).constData(), mode), 0);
}

void link(const QString &destination, const QString &at) {
    ASSERT_EQ(::symlink(encoded(destination).constData(), encoded(at).constData()), 0) << at.toStdString();
}

TEST(StringHelpers, TrimChopAndRemove) {
    EXPECT_EQ(PHString::chop("abc\n"), "abc");
    EXPECT_EQ(PHString::chop("abc\n\n"), "abc\n");
    EXPECT_EQ(PHString::chop("abc\r\n"), "abc\r");
    EXPECT_EQ(PHString::chop(""), "");

    EXPECT_EQ(PHString::stringByRemovingLeadingZero("07"), "7");
    EXPECT_EQ(PHString::stringByRemovingLeadingZero("007"), "07");
    EXPECT_EQ(PHString::stringByRemovingLeadingZero(""), "");

    EXPECT_EQ(PHString::stringByRemovingSurroundingWhitespace(" \t a b \r\n"), "a b");
    EXPECT_EQ(PHString::stringByRemovingSurroundingWhitespace(" \t\r\n"), "");
    EXPECT_EQ(PHString::stringByRemovingSurroundingWhitespace(QString::fromUtf8("\xC2\xA0x\xC2\xA0")),
              QString::fromUtf8("\xC2\xA0x\xC2\xA0"));
    EXPECT_EQ(PHString::stringByRemovingSurroundingWhitespace("\vx\f"), "\vx\f");

    EXPECT_EQ(PHString::stringByRemovingCharactersInString("web: team", " :\t\r\n"), "webteam");
    EXPECT_EQ(PHString::stringByRemovingCharactersInString("a:b c", " \t\r\n"), "a:bc");
}

TEST(StringHelpers, LooseSpacePatternsMatchAnyRunOfWhitespace) {
    EXPECT_EQ(PHString::regexWithLooseSpaces("AuthUserFile"), "\\s*AuthUserFile");
    EXPECT_EQ(PHString::regexWithLooseSpaces("Require valid-user"), "\\s*Require\\s+valid-user");
    EXPECT_EQ(PHString::regexWithLooseSpaces("a  b"), "\\s*a\\s+\\s+b");
    EXPECT_TRUE(PHRegex::isMatchedByRegex("\t Require \t valid-user",
                                          PHString::regexWithLooseSpaces("Require valid-user")));
    EXPECT_FALSE(
        PHRegex::isMatchedByRegex("Requirevalid-user", PHString::regexWithLooseSpaces("Require valid-user")));
}

TEST(StringHelpers, GlobNeedsAnAbsolutePatternOrAFolder) {
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath("conf"));
    put(dir.filePath("conf/a.conf"), "");
    put(dir.filePath(QString::fromUtf8("conf/\xC3\xA9t\xC3\xA9.conf")), "");
    put(dir.filePath("conf/notes.txt"), "");

    EXPECT_EQ(PHString::glob("conf/*.conf"), std::nullopt);
    const std::optional<QStringList> relative = PHString::globRelativeTo("conf/*.conf", dir.path());
    ASSERT_TRUE(relative);
    EXPECT_EQ(QSet<QString>(relative->begin(), relative->end()),
              QSet<QString>({dir.filePath("conf/a.conf"),
                             dir.filePath(QString::fromUtf8("conf/\xC3\xA9t\xC3\xA9.conf"))}));
    EXPECT_EQ(PHString::glob(dir.filePath("conf/notes.txt")), QStringList{dir.filePath("conf/notes.txt")});
    // No match is an empty list, never the pattern itself.
    EXPECT_EQ(PHString::glob(dir.filePath("conf/*.missing")), QStringList());
    EXPECT_EQ(PHString::glob(dir.filePath("absent/*.conf")), QStringList());
}

TEST(ByteBuffers, StripHeadersOnlyWithinTheFirst511Bytes) {
    QByteArray reply = "HTTP/1.0 200 OK\r\nA: b\r\n\r\nbody";
    PHData::stripHeaders(reply);
    EXPECT_EQ(reply, "body");

    QByteArray noBlankLine = "HTTP/1.0 200 OK\r\nA: b\r\nbody";
    PHData::stripHeaders(noBlankLine);
    EXPECT_EQ(noBlankLine, "HTTP/1.0 200 OK\r\nA: b\r\nbody");

    // The blank line ending exactly at byte 511 is found; one byte later it is not.
    const QByteArray filler(507, 'x');
    QByteArray atLimit = filler + "\r\n\r\n" + "data";
    PHData::stripHeaders(atLimit);
    EXPECT_EQ(atLimit, "data");
    QByteArray beyond = filler + "y\r\n\r\n" + "data";
    const QByteArray beyondBefore = beyond;
    PHData::stripHeaders(beyond);
    EXPECT_EQ(beyond, beyondBefore);

    // A zero byte ends the search early.
    QByteArray zero = QByteArray("A\0B\r\n\r\nrest", 11);
    const QByteArray zeroBefore = zero;
    PHData::stripHeaders(zero);
    EXPECT_EQ(zero, zeroBefore);

    QByteArray buffer = "x";
    PHData::appendString(buffer, QString::fromUtf8("\xC3\xA9"));
    EXPECT_EQ(buffer, "x\xC3\xA9");
}

TEST(Records, BooleansAndFlattening) {
    const QVariantMap record{{"text yes", "yes"}, {"text YES", "YES"},       {"two", 2},
                             {"zero", 0.0},       {"list", QVariantList{1}}, {"bool", true}};
    EXPECT_FALSE(PHDictionary::boolForKeyDefaultValue(record, "text yes", true));
    EXPECT_TRUE(PHDictionary::boolForKeyDefaultValue(record, "text YES", false));
    EXPECT_TRUE(PHDictionary::boolForKeyDefaultValue(record, "two", false));
    EXPECT_FALSE(PHDictionary::boolForKeyDefaultValue(record, "zero", true));
    EXPECT_FALSE(PHDictionary::boolForKeyDefaultValue(record, "list", true));
    EXPECT_TRUE(PHDictionary::boolForKeyDefaultValue(record, "missing", true));
    EXPECT_FALSE(PHDictionary::boolForKey(record, "missing"));
    QVariantMap changed;
    PHDictionary::setBoolValueForKey(changed, true, "Allow or Deny");
    EXPECT_TRUE(PHDictionary::boolForKey(changed, "Allow or Deny"));

    EXPECT_EQ(PHArray::flattenedArrayWithKey(QVariantList(), "user"), QVariantList());
    const QVariantList users{QVariantMap{{"user", "ann"}, {"basic password", "x"}},
                             QVariantMap{{"user", "bob"}}, QVariantMap{}};
    const QVariantList names = PHArray::flattenedArrayWithKey(users, "user");
    ASSERT_EQ(names.size(), 3);
    EXPECT_EQ(names[0], "ann");
    EXPECT_EQ(names[1], "bob");
    EXPECT_FALSE(names[2].isValid());
    try {
        PHArray::flattenedArrayWithKey(QVariantList{QVariantMap{{"user", "ann"}}, "bob"}, "user");
        ADD_FAILURE() << "a text element was accepted";
    } catch (const PHException &exception) {
        EXPECT_EQ(exception.name(), "Invalid Array Component");
        EXPECT_EQ(exception.reason(), "-flattenedArrayWithKey: requires all components to be NSDictionaries");
    }
}

TEST(Lists, IntersectionAndUnionKeepTheFirstListsOrderWithoutRepeats) {
    EXPECT_EQ(PHArray::intersectionWith(QStringList{"c", "a", "b", "a"}, QStringList{"a", "b", "z", "c"}),
              QStringList({"c", "a", "b"}));
    EXPECT_EQ(PHArray::unionWith(QStringList{"c", "a", "c"}, QStringList{"b", "a", "d", "b"}),
              QStringList({"c", "a", "b", "d"}));
    EXPECT_EQ(PHArray::intersectionWith(QStringList{"x"}, QStringList()), QStringList());
    EXPECT_EQ(PHArray::unionWith(QVariantList{1, 2}, QVariantList{2, 3}), QVariantList({1, 2, 3}));
    EXPECT_EQ(PHSet::intersectionWithSet({"a", "b"}, {"b", "c"}), QSet<QString>({"b"}));
    EXPECT_EQ(PHSet::unionWithSet({"a", "b"}, {"b", "c"}), QSet<QString>({"a", "b", "c"}));
}

TEST(Files, AttributesFollowLinksFromTheLinksOwnFolder) {
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath("sub"));
    put(dir.filePath("sub/target"), "12345", 0640);
    link("target", dir.filePath("sub/relative")); // relative to sub/, not to the working folder

    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    int error = -1;
    const auto followed =
        PHFileManager::attributesOfItemAtPathTraverseLinkError(dir.filePath("sub/relative"), true, &error);
    QDir::setCurrent(previous);
    ASSERT_TRUE(followed);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(followed->type, PHFileAttributes::Type::Regular);
    EXPECT_EQ(followed->size, 5u);
    EXPECT_EQ(followed->permissions, 0640u);
    EXPECT_EQ(followed->ownerID, ::geteuid());

    const auto itself =
        PHFileManager::attributesOfItemAtPathTraverseLinkError(dir.filePath("sub/relative"), false);
    ASSERT_TRUE(itself);
    EXPECT_EQ(itself->type, PHFileAttributes::Type::SymbolicLink);

    link("loop-b", dir.filePath("loop-a"));
    link("loop-a", dir.filePath("loop-b"));
    EXPECT_FALSE(
        PHFileManager::attributesOfItemAtPathTraverseLinkError(dir.filePath("loop-a"), true, &error));
    EXPECT_EQ(error, ELOOP);
    EXPECT_FALSE(attributesOfItemAtPathTraverseLinkError(encoded(dir.filePath("missing")).toStdString(), true,
                                                         &error));
    EXPECT_EQ(error, ENOENT);
}

TEST(Files, AcceptableMeansPresentAndNotEmpty) {
    QTemporaryDir dir;
    put(dir.filePath("empty"), "");
    put(dir.filePath("one"), "x");
    link("empty", dir.filePath("to-empty"));
    link("one", dir.filePath("to-one"));
    link("nowhere", dir.filePath("broken"));
    EXPECT_EQ(PHFileManager::isFileAcceptable(dir.filePath("missing")), 4);
    EXPECT_EQ(PHFileManager::isFileAcceptable(dir.filePath("missing/below")), 4);
    EXPECT_EQ(PHFileManager::isFileAcceptable(QString()), 4);
    EXPECT_EQ(PHFileManager::isFileAcceptable(dir.filePath("empty")), 9);
    EXPECT_EQ(PHFileManager::isFileAcceptable(dir.filePath("one")), 0);
    EXPECT_EQ(PHFileManager::isFileAcceptable(dir.filePath("to-empty")), 9);
    EXPECT_EQ(PHFileManager::isFileAcceptable(dir.filePath("to-one")), 0);
    EXPECT_EQ(PHFileManager::isFileAcceptable(dir.filePath("broken")), 9);
}

TEST(Files, ResetRecreatesAnEmptyFileWithTheOldAttributes) {
    QTemporaryDir dir;
    const mode_t previousUmask = ::umask(022);
    put(dir.filePath(".htaccess"), "old directives", 0604);
    EXPECT_TRUE(PHFileManager::resetFile(dir.filePath(".htaccess")));
    EXPECT_EQ(QFileInfo(dir.filePath(".htaccess")).size(), 0);
    struct stat info {};
    ASSERT_EQ(::stat(encoded(dir.filePath(".htaccess")).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u);

    // A link is replaced by a regular file carrying its former target's
    // attributes; the target itself is left alone.
    put(dir.filePath("target"), "kept", 0640);
    link("target", dir.filePath("link"));
    EXPECT_TRUE(PHFileManager::resetFile(dir.filePath("link")));
    EXPECT_FALSE(QFileInfo(dir.filePath("link")).isSymLink());
    ASSERT_EQ(::lstat(encoded(dir.filePath("link")).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(QFileInfo(dir.filePath("target")).size(), 4);

    EXPECT_TRUE(PHFileManager::resetFile(dir.filePath("new")));
    ASSERT_EQ(::stat(encoded(dir.filePath("new")).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);

    ASSERT_TRUE(QDir(dir.path()).mkpath("folder"));
    EXPECT_FALSE(PHFileManager::resetFile(dir.filePath("folder")));
    EXPECT_TRUE(QFileInfo(dir.filePath("folder")).isDir());
    EXPECT_FALSE(PHFileManager::resetFile(dir.filePath("absent/file")));
    ::umask(previousUmask);
}

TEST(Files, TempFileIsPrivateUniqueAndOpen) {
    QTemporaryDir dir;
    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", encoded(dir.path()));
    {
        const ProgramNamed named({"Porthold", "1.0", "Quillmere Software"});
        std::optional<PHTempFile> first = PHFileManager::tempFile();
        std::optional<PHTempFile> second = PHFileManager::tempFile();
        ASSERT_TRUE(first && second);
        EXPECT_NE(first->path, second->path);
        EXPECT_EQ(QFileInfo(first->path).absolutePath(), QFileInfo(dir.path()).absoluteFilePath());
        EXPECT_TRUE(QFileInfo(first->path).fileName().startsWith(".Porthold"));
        EXPECT_EQ(QFileInfo(first->path).fileName().size(), QString(".Porthold").size() + 6);
        struct stat info {};
        ASSERT_EQ(::stat(encoded(first->path).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);

        EXPECT_TRUE(
            PHFileHandle::writeString(*first->handle, QString::fromUtf8("AllowOverride All \xE2\x9C\x93\n")));
        first->handle->flush();
        QFile check(first->path);
        ASSERT_TRUE(check.open(QIODevice::ReadOnly));
        EXPECT_EQ(check.readAll(), "AllowOverride All \xE2\x9C\x93\n");

        std::weak_ptr<QFile> watched = first->handle;
        first.reset();
        EXPECT_TRUE(watched.expired());
    }
    // Without a program name the name has no product part.
    std::optional<PHTempFile> bare = PHFileManager::tempFile();
    ASSERT_TRUE(bare);
    EXPECT_EQ(QFileInfo(bare->path).fileName().size(), 7);

    qputenv("TMPDIR", encoded(dir.filePath("absent")));
    EXPECT_FALSE(PHFileManager::tempFile());

    // A relative folder counts as none: the helper tool takes absolute paths only.
    QDir here(dir.path());
    ASSERT_TRUE(here.mkdir("relative"));
    const QString previousFolder = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    qputenv("TMPDIR", "relative");
    std::optional<PHTempFile> fallback = PHFileManager::tempFile();
    QDir::setCurrent(previousFolder);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(QFileInfo(fallback->path).path(), "/tmp") << fallback->path.toStdString();
    EXPECT_TRUE(QFile::remove(fallback->path));
    EXPECT_TRUE(QDir(dir.filePath("relative")).isEmpty());
    if (previous.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", previous);
}

TEST(Application, InformationIsWhatTheFrontEndSet) {
    EXPECT_EQ(PHApplication::applicationName(), "");
    {
        const ProgramNamed named({"Porthold", "1.2b3", "Quillmere Software"});
        EXPECT_EQ(PHApplication::applicationName(), "Porthold");
        EXPECT_EQ(PHApplication::applicationVersion(), "1.2b3");
        EXPECT_EQ(PHApplication::applicationCompany(), "Quillmere Software");
    }
    EXPECT_EQ(PHApplication::applicationName(), "") << "the earlier information is back";
}

} // namespace
