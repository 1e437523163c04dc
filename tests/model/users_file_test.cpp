// The user file: reading what people and Apache's tools write, writing what
// Apache accepts, and never losing the file when a write cannot be made.

#include "model/PHAuthFiles.h"
#include "model/PHUsersModel.h"
#include "users_groups_fixture.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <random>
#include <tuple>

namespace {

QVariantMap user(const QString &name, const QString &hash) {
    return PHUsersModel::userRecord(name, hash);
}

QStringList namesIn(const QVariantList &records) {
    QStringList names;
    for (const QVariant &record : records)
        names.append(record.toMap().value(QStringLiteral("user")).toString());
    return names;
}

int htpasswdVerify(const QString &file, const QString &name, const QString &password) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("htpasswd"), {QStringLiteral("-vb"), file, name, password});
    if (!process.waitForFinished(10000))
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool htpasswdAvailable() {
    return !QStandardPaths::findExecutable(QStringLiteral("htpasswd")).isEmpty();
}

} // namespace

using UsersFileTest = UsersGroupsTest;

TEST_F(UsersFileTest, ReadsRecordsTheWayTheScannerTakesThem) {
    // As the server reads them: final line without a line feed, a blank line
    // between records, a colon inside a hash (what follows it is kept with the
    // record but is no part of the hash), leading blanks before a name dropped
    // but kept before a hash, trailing blanks kept in a name, and a CRLF line
    // trimmed of its "\r".
    const QVariantList records = PHUsersModel::recordsFromText(
        QStringLiteral("alice:abCDefGHijKL.\n\n  \n  bob:  $apr1$x:y$z\ncarol :hash\r\ndave:last"));
    EXPECT_EQ(records, (QVariantList{user("alice", "abCDefGHijKL."), user("bob", "  $apr1$x:y$z"),
                                     user("carol ", "hash"), user("dave", "last")}));
}

TEST_F(UsersFileTest, DropsThePlaceholderUserInAnyCaseAndRemovesItAtTheNextWrite) {
    writeFile(usersPath(), "Portholded:xx\nann:h1\nPORTHOLDED:yy\nportholded:zz\nportholded2:ok\n");
    PHUsersModel users(context.model());
    EXPECT_EQ(namesIn(users.dataArray()), (QStringList{"ann", "portholded2"}));
    ASSERT_TRUE(users.writeUserfile());
    EXPECT_EQ(readFile(usersPath()), QByteArray("ann:h1\nportholded2:ok\n"));
}

TEST_F(UsersFileTest, SkipsMalformedLinesAndKeepsTheWellFormedOnesAroundThem) {
    // No colon, a colon first (also after blanks), a colon right before the
    // line feed (an empty hash, not the next line), and a last name with a
    // colon and nothing after it.
    const QVariantList records = PHUsersModel::recordsFromText(
        QStringLiteral("first:h1\nno colon here\n:orphan\n   :orphan2\nempty:\nnext:h2\nlast:"));
    EXPECT_EQ(records,
              (QVariantList{user("first", "h1"), user("empty", ""), user("next", "h2"), user("last", "")}));
    EXPECT_TRUE(PHUsersModel::recordsFromText(QStringLiteral(":::\n\n:\n \t \r\n")).isEmpty());
}

TEST_F(UsersFileTest, AMissingFileIsAnEmptyListAndAnEmptyListWritesAnEmptyFile) {
    PHUsersModel users(context.model());
    EXPECT_TRUE(users.dataArray().isEmpty());
    EXPECT_FALSE(users.loadFailed());
    // Leaving the panel with nothing to say creates nothing.
    EXPECT_TRUE(users.writeUserfileUnlessEmptyAndMissing());
    EXPECT_FALSE(QFile::exists(usersPath()));

    writeFile(usersPath(), "gone:h\n");
    PHUsersModel reread(context.model());
    ASSERT_EQ(reread.dataArray().size(), 1);
    ASSERT_TRUE(reread.deleteUser(QStringLiteral("gone")));
    EXPECT_EQ(readFile(usersPath()), QByteArray());
    EXPECT_TRUE(context.errors.isEmpty());
}

TEST_F(UsersFileTest, GeneratedListsSurviveAWriteAndARead) {
    std::mt19937 random(20240611);
    const QString nameCharacters = QStringLiteral(
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-@!#$%&'*+/=?^`{|}~()[]<>,;\"\\");
    const QString hashCharacters = nameCharacters + QStringLiteral(": ");
    auto pick = [&random](const QString &alphabet, int length) {
        QString text;
        for (int i = 0; i < length; ++i)
            text += alphabet.at(std::uniform_int_distribution<int>(0, int(alphabet.size()) - 1)(random));
        return text;
    };
    for (int round = 0; round < 60; ++round) {
        QVariantList records;
        const int count = std::uniform_int_distribution<int>(0, 25)(random);
        for (int i = 0; i < count; ++i) {
            QString hash = pick(hashCharacters, std::uniform_int_distribution<int>(0, 60)(random));
            // The server trims a line's end, and a final backslash joins the next line on.
            while (hash.endsWith(QLatin1Char(' ')) || hash.endsWith(QLatin1Char('\\')))
                hash.chop(1);
            QString name = pick(nameCharacters, std::uniform_int_distribution<int>(1, 12)(random));
            if (name.startsWith(QLatin1Char('#'))) // a comment to the server
                name.replace(0, 1, QLatin1Char('x'));
            records.append(user(name, hash));
        }
        PHUsersModel users(context.model());
        users.setDataArray(records);
        ASSERT_TRUE(users.writeUserfile()) << "round " << round;
        PHUsersModel reread(context.model());
        ASSERT_EQ(reread.dataArray(), records) << "round " << round;
    }
    EXPECT_TRUE(context.errors.isEmpty());
}

TEST_F(UsersFileTest, FilesWrittenByApachesToolReadWithoutLossAndWriteBackUnchanged) {
    if (!htpasswdAvailable())
        GTEST_SKIP() << "htpasswd (apache2-utils) is not installed";
    const QString path = usersPath();
    ASSERT_EQ(QProcess::execute(QStringLiteral("htpasswd"), {"-cbd", path, "crypted", "pw1"}), 0);
    ASSERT_EQ(QProcess::execute(QStringLiteral("htpasswd"), {"-bB", path, "blowfish", "pw2"}), 0);
    ASSERT_EQ(QProcess::execute(QStringLiteral("htpasswd"), {"-bm", path, "md5", "pw3"}), 0);
    const QByteArray before = readFile(path);

    PHUsersModel users(context.model());
    EXPECT_EQ(namesIn(users.dataArray()), (QStringList{"crypted", "blowfish", "md5"}));
    ASSERT_TRUE(users.writeUserfile());
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(htpasswdVerify(path, QStringLiteral("blowfish"), QStringLiteral("pw2")), 0);
    EXPECT_EQ(htpasswdVerify(path, QStringLiteral("crypted"), QStringLiteral("pw1")), 0);
}

TEST_F(UsersFileTest, RefusesPasswordsThatCannotBeHashedWhole) {
    EXPECT_TRUE(
        PHUsersModel::encryptPassword(QStringLiteral("ab") + QChar(0) + QStringLiteral("cd")).isNull());
    EXPECT_FALSE(PHUsersModel::encryptPassword(QString()).isNull()); // an empty password is a password
}

TEST_F(UsersFileTest, NamesAreTakenIgnoringCaseAndReservedNamesAreAlwaysTaken) {
    writeFile(usersPath(), "Alice:h\n");
    PHUsersModel users(context.model());
    EXPECT_TRUE(users.containsItem(QStringLiteral("alice")));
    EXPECT_TRUE(users.containsItem(QStringLiteral("ALICE")));
    EXPECT_TRUE(users.containsItem(QString()));
    EXPECT_TRUE(users.containsItem(QStringLiteral("Valid-User")));
    EXPECT_TRUE(users.containsItem(QStringLiteral("any valid user")));
    EXPECT_FALSE(users.containsItem(QStringLiteral(" ")));
    EXPECT_FALSE(users.containsItem(QStringLiteral("alice2")));
}

TEST_F(UsersFileTest, DeletingAUserSavesTheFileAndTellsThePanelUnlessReplacing) {
    writeFile(usersPath(), "ann:h1\nbob:h2\ncid:h3\n");
    PHUsersModel users(context.model());
    context.follow(users);
    int reloads = 0;
    QObject::connect(&users, &QAbstractItemModel::modelReset, [&reloads] { ++reloads; });

    EXPECT_FALSE(users.deleteUser(PHUsersModel::anyUserDisplayName));
    EXPECT_FALSE(users.deleteUser(QStringLiteral("nobody")));
    EXPECT_FALSE(users.removeRecord(3, PHUsersModel::Removal::Deleted));
    EXPECT_FALSE(users.removeRecord(-1, PHUsersModel::Removal::Deleted));
    EXPECT_EQ(reloads, 0);

    EXPECT_TRUE(users.deleteUser(QStringLiteral("bob")));
    EXPECT_EQ(readFile(usersPath()), QByteArray("ann:h1\ncid:h3\n"));
    EXPECT_EQ(context.deletedUsers, QStringList{"bob"});

    // A password change: the new record is already there; groups stay.
    users.dataArray().append(user("ann", "newhash"));
    EXPECT_TRUE(users.removeRecord(0, PHUsersModel::Removal::Replaced));
    EXPECT_EQ(readFile(usersPath()), QByteArray("cid:h3\nann:newhash\n"));
    EXPECT_EQ(context.deletedUsers, QStringList{"bob"});
    EXPECT_EQ(reloads, 2);
}

TEST_F(UsersFileTest, SortsByNameWithAndWithoutCaseSensitivity) {
    PHUsersModel users(context.model());
    users.setDataArray(
        {user("bob", "1"), user("Carol", "2"), user("alice", "3"), user("Bob", "4"), user("al", "5")});
    users.sortByUsername();
    // Ignoring case, "bob" and "Bob" are equal and keep their order.
    EXPECT_EQ(namesIn(users.dataArray()), (QStringList{"al", "alice", "bob", "Bob", "Carol"}));

    setSetting("Case Sensitive Compare", true);
    users.sortByUsername();
    EXPECT_EQ(namesIn(users.dataArray()), (QStringList{"Bob", "Carol", "al", "alice", "bob"}));
    EXPECT_LT(PHUsersModel::compareOnUsername(user("B", ""), user("a", "")), 0);
    setSetting("Case Sensitive Compare", false);
    EXPECT_GT(PHUsersModel::compareOnUsername(user("B", ""), user("a", "")), 0);
    EXPECT_EQ(PHUsersModel::compareOnUsername(user("ann", ""), user("ANN", "")), 0);
}

TEST_F(UsersFileTest, ANameThatIsNotAsciiLeavesTheFileWholeAndTheListEqualToTheDisk) {
    writeFile(usersPath(), "ann:h1\n");
    PHUsersModel users(context.model());
    int reloads = 0;
    QObject::connect(&users, &QAbstractItemModel::modelReset, [&reloads] { ++reloads; });
    for (const QVariantMap &broken : {user(QStringLiteral("j\u00f6rg"), "h2"), user("a:b", "h2"),
                                      user("two\nlines", "h2"), user("ok", "hash\nmore")}) {
        users.dataArray().append(broken);
        EXPECT_FALSE(users.writeUserfile());
        EXPECT_EQ(readFile(usersPath()), QByteArray("ann:h1\n"));
        EXPECT_EQ(users.dataArray(), QVariantList{user("ann", "h1")});
    }
    EXPECT_EQ(context.errors, QList<qint32>(4, PHUsersModel::kUserFileWriteError));
    EXPECT_EQ(reloads, 4);
    EXPECT_TRUE(log.filter(QStringLiteral("could not save the user file ") + usersPath()).size() == 4)
        << log.join('\n').toStdString();
    EXPECT_EQ(folderEntries(), QStringList{".htusers"});
}

TEST_F(UsersFileTest, AnUnwritableFolderLeavesTheFileWholeAndTheListEqualToTheDisk) {
    writeFile(usersPath(), "ann:h1\n");
    const bool held = whereFolderIsUnwritable([this] {
        PHUsersModel users(context.model());
        context.follow(users);
        users.dataArray().append(user("bob", "h2"));
        EXPECT_FALSE(users.writeUserfile());
        EXPECT_EQ(users.dataArray(), QVariantList{user("ann", "h1")});
        // A deletion that cannot be saved is undone, and the groups keep the user.
        EXPECT_FALSE(users.deleteUser(QStringLiteral("ann")));
        EXPECT_EQ(users.dataArray(), QVariantList{user("ann", "h1")});
        EXPECT_TRUE(context.deletedUsers.isEmpty());
        EXPECT_EQ(context.errors, QList<qint32>(2, PHUsersModel::kUserFileWriteError));
        EXPECT_FALSE(log.filter(QStringLiteral("could not save the user file")).isEmpty());
        return !::testing::Test::HasFailure();
    });
    EXPECT_TRUE(held);
    EXPECT_EQ(readFile(usersPath()), QByteArray("ann:h1\n"));
    EXPECT_EQ(folderEntries(), QStringList{".htusers"});
}

TEST_F(UsersFileTest, AFileThatCannotBeReadIsReportedAndNeverWrittenOver) {
    // A folder where the file should be cannot be read as text as root or not.
    ASSERT_TRUE(QDir(root()).mkdir(QStringLiteral(".htusers")));
    {
        PHUsersModel users(context.model());
        EXPECT_TRUE(users.loadFailed());
        EXPECT_TRUE(users.dataArray().isEmpty());
        EXPECT_EQ(context.errors, QList<qint32>{PHUsersModel::kUserFileReadError});
        EXPECT_FALSE(log.filter(QStringLiteral("could not read the user file")).isEmpty());
        users.dataArray().append(user("new", "h"));
        EXPECT_FALSE(users.writeUserfile());
        EXPECT_FALSE(users.writeUserfileUnlessEmptyAndMissing());
        EXPECT_TRUE(QFileInfo(usersPath()).isDir());
    }
    // Undecodable bytes (broken UTF-16) are a load failure too; once the file
    // reads again, writing resumes.
    ASSERT_TRUE(QDir(root()).rmdir(QStringLiteral(".htusers")));
    writeFile(usersPath(), QByteArray("\xff\xfe\x00\xd8", 4));
    PHUsersModel users(context.model());
    EXPECT_TRUE(users.loadFailed());
    EXPECT_FALSE(users.writeUserfile());
    EXPECT_EQ(readFile(usersPath()), QByteArray("\xff\xfe\x00\xd8", 4));
    writeFile(usersPath(), "ann:h\n");
    users.setDataArray(users.parseUserfile(false));
    EXPECT_FALSE(users.loadFailed());
    users.dataArray().append(user("bob", "h2"));
    EXPECT_TRUE(users.writeUserfile());
    EXPECT_EQ(readFile(usersPath()), QByteArray("ann:h\nbob:h2\n"));
}

TEST_F(UsersFileTest, ReadsTheFileWithItsEncodingDetected) {
    // UTF-16 with a byte-order mark, as some editors save it.
    QByteArray utf16("\xff\xfe", 2);
    for (const char c : QByteArray("ann:h1\nbob:h2\n")) {
        utf16.append(c);
        utf16.append('\0');
    }
    writeFile(usersPath(), utf16);
    PHUsersModel users(context.model());
    EXPECT_EQ(users.dataArray(), (QVariantList{user("ann", "h1"), user("bob", "h2")}));

    // The file with the "New File Extension" appended, read on request only.
    writeFile(usersPath() + ".new", "fresh:h\n");
    EXPECT_EQ(namesIn(users.parseUserfile(true)), QStringList{"fresh"});
}

// The password change made in pieces finds the records the records would
// give (the first of the name, compared exactly) and changes that one's hash
// where it stands: every other byte of the file stays, odd lines too.
TEST_F(UsersFileTest, OnePassPasswordChangeKeepsEveryByteButTheHash) {
    const QByteArray file = "alice:$apr1$x$abc\n"
                            "\n"
                            "  bob :  AbCdEfGhIjKlM\r\n"
                            "# a comment:with colons\n"
                            "no colon here\n"
                            ":nameless\n"
                            "PortHolded:xyz\n"
                            "carol:has:colons\n"
                            "bob:second-bob\n"
                            "erin:crlf\r\n"
                            "dave:\n"
                            "\tlast:zz";
    const QString path = QDir(root()).filePath(QStringLiteral("bytes.htusers"));
    const QList<std::pair<QString, QByteArray>> changes{
        {"bob", "bob:NEWHASH\n"},   {"alice", "alice:NEWHASH\n"},        {"last", "last:NEWHASH"},
        {"dave", "dave:NEWHASH\n"}, {"carol", "carol:NEWHASH:colons\n"}, {"erin", "erin:NEWHASH\r\n"}};
    for (const auto &[name, line] : changes) {
        writeFile(path, file);
        PHUserFileStream stream(root(), path, name);
        ASSERT_EQ(stream.state(), PHUserFileStream::State::Plain);
        EXPECT_TRUE(stream.hasUser()) << name.toStdString();
        // The hash of the record the records' way finds first.
        const QVariantList records = PHUsersModel::recordsFromText(QString::fromLatin1(file));
        const auto first = std::find_if(records.cbegin(), records.cend(), [&](const QVariant &record) {
            return record.toMap().value(QStringLiteral("user")).toString() == name;
        });
        ASSERT_NE(first, records.cend());
        ASSERT_TRUE(stream.hash());
        EXPECT_TRUE(
            first->toMap().value(QStringLiteral("basic password")).toString().startsWith(*stream.hash()));
        QString why;
        ASSERT_TRUE(stream.setPassword(QStringLiteral("NEWHASH"), false, &why)) << why.toStdString();
        QByteArray expected = file;
        const qsizetype at =
            name == QLatin1String("bob") ? file.indexOf("bob:second") : file.indexOf(name.toLatin1() + ':');
        const qsizetype end = file.indexOf('\n', at);
        expected.replace(at - (name == QLatin1String("last") ? 1 : 0),
                         (end < 0 ? file.size() : end + 1) - at + (name == QLatin1String("last") ? 1 : 0),
                         line);
        EXPECT_EQ(readFile(path), expected) << name.toStdString();
    }

    // Nobody by that name, the placeholder, a line that names nobody: nothing written.
    for (const QString &name : {QStringLiteral("fred"), QStringLiteral("portholded"),
                                QStringLiteral("no colon here"), QStringLiteral("# a comment")}) {
        writeFile(path, file);
        PHUserFileStream stream(root(), path, name);
        EXPECT_FALSE(stream.hasUser()) << name.toStdString();
        QString why;
        EXPECT_FALSE(stream.setPassword(QStringLiteral("h"), false, &why)) << name.toStdString();
        EXPECT_EQ(readFile(path), file);
    }
    // A hash that would not read back is refused rather than written.
    PHUserFileStream bob(root(), path, QStringLiteral("bob"));
    QString why;
    EXPECT_FALSE(bob.setPassword(QStringLiteral("two\nlines"), false, &why));
    EXPECT_FALSE(bob.setPassword(QStringLiteral("h:colon"), false, &why));
    EXPECT_EQ(readFile(path), file);
    // Taken as containsItem takes names: any case, and the reserved words.
    EXPECT_TRUE(PHUserFileStream(root(), path, QStringLiteral("ALICE")).nameTaken());
    EXPECT_FALSE(PHUserFileStream(root(), path, QStringLiteral("ALICE")).hasUser());
    EXPECT_TRUE(PHUserFileStream(root(), path, QStringLiteral("Valid-User")).nameTaken());
    EXPECT_FALSE(PHUserFileStream(root(), path, QStringLiteral("fred")).nameTaken());

    // A new user comes last, on a line of its own: after a last line without
    // a line end, and after one a backslash would carry on to it.
    for (const QByteArray &ending : {QByteArray("a:b"), QByteArray("a:b\n"), QByteArray("a:b\\\n"),
                                     QByteArray("a:b\\\r\n"), QByteArray()}) {
        writeFile(path, ending);
        PHUserFileStream stream(root(), path, QStringLiteral("new"));
        ASSERT_TRUE(stream.setPassword(QStringLiteral("NEWHASH"), true, &why)) << why.toStdString();
        const QByteArray written = readFile(path);
        EXPECT_TRUE(written.startsWith(ending)) << ending.toStdString();
        EXPECT_EQ(namesIn(PHUsersModel::recordsFromText(QString::fromLatin1(written))),
                  ending.isEmpty() ? QStringList{"new"} : (QStringList{"a", "new"}))
            << ending.toStdString();
        EXPECT_TRUE(written.endsWith("new:NEWHASH\n")) << ending.toStdString();
    }

    // Only plain ASCII qualifies; the rest goes through the records.
    writeFile(path, "j\xc3\xb6rg:abc\n");
    EXPECT_EQ(PHUserFileStream(root(), path).state(), PHUserFileStream::State::NotPlain);
    writeFile(path, QByteArray("a:b\n\0c:d\n", 9));
    EXPECT_EQ(PHUserFileStream(root(), path).state(), PHUserFileStream::State::NotPlain);
    EXPECT_EQ(PHUserFileStream(root(), path + QStringLiteral(".none")).state(),
              PHUserFileStream::State::Missing);
    // A line longer than the server reads is refused, not copied in part.
    writeFile(path, "a:b\n" + QByteArray(100000, 'x') + "\nc:d\n");
    PHUserFileStream longLine(root(), path, QStringLiteral("c"));
    EXPECT_EQ(longLine.state(), PHUserFileStream::State::Unreadable);
    EXPECT_TRUE(longLine.error().contains(QLatin1String("longer than"))) << longLine.error().toStdString();

    // Once the name is found the rest is only measured, and still checked:
    // a file of many pieces whose line far past the name is too long, as
    // one line or as short lines a backslash joins, or not ASCII, is refused.
    QByteArray many;
    for (int i = 0; i < 20000; ++i)
        many += "user" + QByteArray::number(i) + ":hash\n";
    const QByteArray joined = QByteArray("x\\\n").repeated(30000) + "end:h\n";
    for (const QByteArray &late : {QByteArray(100000, 'x') + "\n", joined, QByteArray("j\xc3\xb6rg:abc\n")}) {
        writeFile(path, "c:d\n" + many + late + "last:h\n");
        PHUserFileStream early(root(), path, QStringLiteral("c"));
        EXPECT_NE(early.state(), PHUserFileStream::State::Plain) << late.left(8).toStdString();
    }
    // A line just within the limit, joined from short ones, is read.
    writeFile(path, "c:d\n" + many + QByteArray("x\\\n").repeated(20000) + "end:h\n");
    PHUserFileStream within(root(), path, QStringLiteral("c"));
    EXPECT_EQ(within.state(), PHUserFileStream::State::Plain);
    EXPECT_TRUE(within.hasUser());
}

// Removing in one pass takes out the line of the record the records' way
// removes (the first whose name, blanks ignored, is the one asked for) and
// nothing else: comments, blank lines and odd lines stay byte for byte.
TEST_F(UsersFileTest, OnePassRemovalTakesOutTheUsersLineAlone) {
    const QByteArray file = "alice:$apr1$x$abc\n"
                            "# a comment:with colons\n"
                            "\n"
                            "  bob :  AbCdEfGhIjKlM\r\n"
                            "no colon here\n"
                            "PortHolded:xyz\n"
                            "carol:has:colons\n"
                            "bob:second-bob\n"
                            "alice:second-alice\n"
                            "\tlast:zz";
    const QString path = QDir(root()).filePath(QStringLiteral("remove.htusers"));
    const QList<std::tuple<QString, QByteArray, bool>> removals{{"bob", "  bob :  AbCdEfGhIjKlM\r\n", false},
                                                                {"carol", "carol:has:colons\n", false},
                                                                {"alice", "alice:$apr1$x$abc\n", true},
                                                                {"last", "\tlast:zz", false}};
    for (const auto &[name, line, stillAUser] : removals) {
        writeFile(path, file);
        PHUserFileStream stream(root(), path, name);
        ASSERT_TRUE(stream.recordName()) << name.toStdString();
        bool still = !stillAUser;
        QString why;
        ASSERT_TRUE(stream.removeUser(&still, &why)) << why.toStdString();
        QByteArray expected = file;
        expected.remove(file.indexOf(line), line.size());
        EXPECT_EQ(readFile(path), expected) << name.toStdString();
        EXPECT_EQ(still, stillAUser) << name.toStdString();
        // The records that remain are those the records' way keeps.
        QVariantList records = PHUsersModel::recordsFromText(QString::fromLatin1(file));
        records.removeAt(
            std::find_if(records.cbegin(), records.cend(),
                         [&](const QVariant &record) {
                             return record.toMap().value(QStringLiteral("user")).toString().trimmed() == name;
                         }) -
            records.cbegin());
        EXPECT_EQ(PHUsersModel::recordsFromText(QString::fromLatin1(readFile(path))), records)
            << name.toStdString();
    }
    // Nobody by the name, the placeholder, a line that names nobody: nothing to remove.
    for (const QString &name : {QStringLiteral("fred"), QStringLiteral("portholded"),
                                QStringLiteral("no colon here"), QStringLiteral("# a comment")}) {
        writeFile(path, file);
        PHUserFileStream stream(root(), path, name);
        EXPECT_FALSE(stream.recordName()) << name.toStdString();
        bool still = false;
        QString why;
        EXPECT_FALSE(stream.removeUser(&still, &why)) << name.toStdString();
        EXPECT_EQ(readFile(path), file);
    }

    // Which names are users, compared exactly, each once in file order; the
    // first reading and a later one agree.
    writeFile(path, file);
    const QStringList asked{"carol", "fred", "bob ", "portholded", "bob", "last", "Alice", "j\u00f6rg"};
    PHUserFileStream stream(root(), path, QString(), asked);
    EXPECT_EQ(stream.usersAmongOthers(), (QStringList{"bob ", "carol", "bob", "last"}));
    QStringList found;
    ASSERT_TRUE(stream.findUsers(asked, &found));
    EXPECT_EQ(found, stream.usersAmongOthers());
}

// Pieces of any size give the lines and records of the whole file, and the
// lines' bytes are the file's.
TEST_F(UsersFileTest, UserFileInPiecesReadsAsTheWholeFile) {
    QByteArray file;
    for (int i = 0; i < 3000; ++i)
        file += QByteArray("user") + QByteArray::number(i) + ":h" + QByteArray::number(i * 7) +
                (i % 5 == 0    ? "\r\n"
                 : i % 7 == 0  ? "\\\n  more\n"
                 : i % 11 == 0 ? "\n# c\n\n"
                               : "\n");
    file += "tail:\\";
    const QList<PHUserFile::Record> whole = PHUserFile::read(QString::fromLatin1(file));
    for (const qsizetype size : {1, 2, 7, 4096, 65536}) {
        PHUserFile::Pieces pieces(1 << 16);
        QByteArray raw;
        QList<PHUserFile::Record> read;
        const auto visit = [&](QByteArrayView bytes, const auto &record) {
            raw += bytes;
            if (record)
                read.append(PHUserFile::Record{QString::fromLatin1(record->name),
                                               QString::fromLatin1(record->hash),
                                               QString::fromLatin1(record->rest), record->hasColon});
            return true;
        };
        for (qsizetype at = 0; at < file.size(); at += size)
            ASSERT_TRUE(
                pieces.feed(QByteArrayView(file).sliced(at, std::min(size, file.size() - at)), visit));
        ASSERT_TRUE(pieces.finish(visit));
        EXPECT_EQ(raw, file) << size;
        ASSERT_EQ(read.size(), whole.size()) << size;
        for (qsizetype i = 0; i < read.size(); ++i)
            EXPECT_TRUE(read.at(i).name == whole.at(i).name && read.at(i).hash == whole.at(i).hash &&
                        read.at(i).rest == whole.at(i).rest)
                << size << " " << i;
    }
}
