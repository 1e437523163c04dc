// The folder tree: names and paths, lazy sorted listing, leaves, links, the
// expansion-state table and the node lifecycle lines.

#include "access_test_support.h"

#include "support/PHFileName.h"

#include <QScopeGuard>

#include <sys/stat.h>

namespace {

class FSItemTreeTest : public AccessTest {
protected:
    static QStringList names(PHFSItem &item) {
        QStringList result;
        for (PHFSItem *child : item.children())
            result.append(child->name());
        return result;
    }
};

TEST_F(FSItemTreeTest, NamesAndPathsJoinWithOneSlash) {
    PHFSItem system;
    EXPECT_EQ(system.name(), QStringLiteral("/"));
    EXPECT_EQ(system.fullPath(), QStringLiteral("/"));
    EXPECT_EQ(system.accessPath(), QStringLiteral("/.htaccess"));
    EXPECT_EQ(log.filter(QStringLiteral("Created /")).size(), 2) << log;
    ASSERT_GT(system.numberOfChildren(), 0);
    PHFSItem *first = system.childAtIndex(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->fullPath(), QLatin1Char('/') + first->name());
    EXPECT_EQ(first->parent(), &system);

    folder(QStringLiteral("Documents/inner"));
    auto documents = node(QDir(root()).filePath(QStringLiteral("Documents/")));
    EXPECT_EQ(documents->name(), QStringLiteral("Documents"));
    EXPECT_EQ(documents->fullPath(), QDir(root()).filePath(QStringLiteral("Documents/")));
    ASSERT_EQ(documents->numberOfChildren(), 1);
    EXPECT_EQ(documents->childAtIndex(0)->fullPath(),
              QDir(root()).filePath(QStringLiteral("Documents/inner")));
    EXPECT_EQ(documents->childAtIndex(0)->accessPath(),
              QDir(root()).filePath(QStringLiteral("Documents/inner/.htaccess")));
    EXPECT_EQ(documents->childAtIndex(1), nullptr);
    EXPECT_EQ(documents->childAtIndex(-1), nullptr);

    // A root without a path is nothing there: no listing, no file.
    PHFSItem nowhere(QString(), nullptr);
    EXPECT_EQ(nowhere.name(), QStringLiteral("/"));
    EXPECT_TRUE(nowhere.fullPath().isEmpty());
    EXPECT_EQ(nowhere.numberOfChildren(), -1);
    EXPECT_FALSE(nowhere.hasAccessFile());
    EXPECT_FALSE(nowhere.writeAccessFile() && nowhere.hasAccessFile());
}

TEST_F(FSItemTreeTest, ListingOrdersNamesIgnoringCaseThenExactlyAsQtComparesThem) {
    // ASCII names beside each other and beside names that are not: signs
    // between the capitals and the small letters, prefixes, digits, letters
    // that fold to ASCII (Kelvin sign, long s), accents, and a byte that is
    // not UTF-8. Long names alike in their first nine letters (or in all but
    // letter case) differ only further on, in ASCII or not.
    const QStringList made =
        QStringLiteral(u"b B _a Ab ab AB a a_ a-b A[ a{ 10 9 Z z~ \u212Aelvin kelvin \u017Fun Sun sun "
                       u"\u00E9t\u00E9 Ete \u00C9T\u00C9 site00001 SITE00001 site000010 Site00001_ "
                       u"site00001[ site00001\u00E9 site0000\u00E9 site0000\u212A site00001Z site00001a "
                       u"site00001~ site0000 site0000_ site1")
            .split(QLatin1Char(' '));
    QStringList expected;
    for (const QString &name : made) {
        folder(name);
        expected.append(name);
    }
    ASSERT_EQ(::mkdir(QFile::encodeName(root()).append("/caf\xe9").constData(), 0755), 0);
    expected.append(PHFileName::decode("caf\xe9"));
    std::sort(expected.begin(), expected.end(), [](const QString &a, const QString &b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a.compare(b, Qt::CaseSensitive) < 0;
    });
    auto top = node(root());
    EXPECT_EQ(names(*top), expected) << names(*top).join(' ').toStdString();
}

TEST_F(FSItemTreeTest, ListingIsSortedAndFollowsLinksToFolders) {
    const QDir web(root());
    for (const char *name : {"b", "A", "a", ".hidden", "C", "Zeta", "toA-target/deep"})
        folder(QString::fromLatin1(name));
    writeFile(web.filePath(QStringLiteral("file.txt")), "x");
    ASSERT_TRUE(QFile::link(QStringLiteral("toA-target"), web.filePath(QStringLiteral("toA"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("missing"), web.filePath(QStringLiteral("broken"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("file.txt"), web.filePath(QStringLiteral("toFile"))));
    writeFile(web.filePath(QStringLiteral("A/.htaccess")), "Require user alice\n");

    auto top = node(root());
    EXPECT_EQ(names(*top), QStringList({".hidden", "A", "a", "b", "C", "toA", "toA-target", "Zeta"}));
    EXPECT_EQ(top->numberOfChildren(), 8);

    // Listing made the children without opening their access files; the
    // first question reads the file, and that first reading is no change to
    // announce.
    PHFSItem *upperA = top->childAtIndex(1);
    for (PHFSItem *child : top->children())
        EXPECT_FALSE(child->isAccessLoaded()) << child->name().toStdString();
    EXPECT_TRUE(upperA->isPasswordProtected());
    EXPECT_TRUE(upperA->isAccessLoaded());
    EXPECT_FALSE(top->childAtIndex(2)->isAccessLoaded());
    EXPECT_TRUE(notified.isEmpty());
    EXPECT_EQ(upperA->parent(), top.get());

    // A link to a folder is listed through: its own subfolders appear.
    PHFSItem *link = top->childAtIndex(5);
    EXPECT_EQ(names(*link), QStringList({"deep"}));
    EXPECT_EQ(link->childAtIndex(0)->fullPath(), web.filePath(QStringLiteral("toA/deep")));
}

TEST_F(FSItemTreeTest, LeavesAndLazyListing) {
    writeFile(QDir(folder(QStringLiteral("files"))).filePath(QStringLiteral("index.html")), "<p>");
    auto files = node(QDir(root()).filePath(QStringLiteral("files")));
    EXPECT_EQ(files->numberOfChildren(), -1);
    EXPECT_TRUE(files->isLeaf());
    EXPECT_TRUE(files->children().isEmpty());

    auto missing = node(QDir(root()).filePath(QStringLiteral("no-such-folder")));
    EXPECT_EQ(missing->numberOfChildren(), -1);

    // Nothing is listed before it is asked for, and then only once.
    auto lazy = node(folder(QStringLiteral("lazy")));
    folder(QStringLiteral("lazy/first"));
    EXPECT_EQ(lazy->numberOfChildren(), 1);
    folder(QStringLiteral("lazy/second"));
    EXPECT_EQ(lazy->numberOfChildren(), 1);
    lazy->loadChildren();
    EXPECT_EQ(names(*lazy), QStringList({"first", "second"}));
}

TEST_F(FSItemTreeTest, AccessFilesAreReadOnFirstDemandFromAnyNode) {
    writeFile(accessPathIn(folder(QStringLiteral("site"))),
              "AuthType Basic\nRequire valid-user\nOptions -Indexes\n");
    folder(QStringLiteral("site/inner"));
    auto top = node(QDir(root()).filePath(QStringLiteral("site")));
    PHFSItem *inner = top->childAtIndex(0);
    ASSERT_NE(inner, nullptr);
    EXPECT_FALSE(top->isAccessLoaded());

    // A descendant asking about its folder's parent reads the parent's file then.
    EXPECT_EQ(inner->parent()->modeIndex(), 1);
    EXPECT_TRUE(top->isAccessLoaded());
    EXPECT_FALSE(inner->isAccessLoaded());
    EXPECT_EQ(inner->modeIndex(), 0);

    // The first change reads the file before rebuilding it: the line the
    // panel does not own survives a change made before any question.
    folder(QStringLiteral("other"));
    writeFile(accessPathIn(folder(QStringLiteral("other"))), "Options -Indexes\n");
    auto other = node(QDir(root()).filePath(QStringLiteral("other")));
    other->setModeIndex(1);
    QFile written(other->accessPath());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray text = written.readAll();
    EXPECT_TRUE(text.contains("\nOptions -Indexes\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nAuthType Basic\n")) << text.toStdString();
}

TEST_F(FSItemTreeTest, EffectiveAccessIsWorkedOutOncePerChangeAndFollowsEveryChangeAbove) {
    writeFile(accessPathIn(folder(QStringLiteral("site"))), "AuthType Basic\nRequire valid-user\n");
    folder(QStringLiteral("site/inner/deep"));
    auto top = node(QDir(root()).filePath(QStringLiteral("site")));
    PHFSItem *inner = top->childAtIndex(0);
    ASSERT_NE(inner, nullptr);
    PHFSItem *deep = inner->childAtIndex(0);
    ASSERT_NE(deep, nullptr);

    EXPECT_TRUE(deep->effectiveAccess().anyValidUser());
    // Painting the row again, or asking for its note, merges nothing again.
    const quint64 merges = PHFSItem::effectiveAccessMerges();
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(deep->effectiveAccess().anyValidUser());
    deep->modeNote();
    EXPECT_EQ(PHFSItem::effectiveAccessMerges(), merges);

    // A change of a folder above, however it is made, is seen below.
    top->setStringValue(QStringLiteral("AuthType Basic\nRequire user alice\n"));
    EXPECT_FALSE(deep->effectiveAccess().anyValidUser());
    EXPECT_EQ(deep->effectiveAccess().users(), QStringList{QStringLiteral("alice")});
    inner->setStringValue(QStringLiteral("Require all denied\n"));
    EXPECT_TRUE(deep->effectiveAccess().users().isEmpty());
    EXPECT_FALSE(deep->effectiveAccess().passwordRequired());
    ASSERT_TRUE(inner->deleteAccessFile());
    EXPECT_EQ(deep->effectiveAccess().users(), QStringList{QStringLiteral("alice")});
    // The folder's own text too.
    deep->setStringValue(QStringLiteral("Require user bob\n"));
    EXPECT_EQ(deep->effectiveAccess().users(), QStringList{QStringLiteral("bob")});
    deep->setStringValue(QString());
    EXPECT_EQ(deep->effectiveAccess().users(), QStringList{QStringLiteral("alice")});
}

TEST_F(FSItemTreeTest, ExpansionStateOutlivesTheTree) {
    folder(QStringLiteral("x/y"));
    auto first = node(root());
    PHFSItem *x = first->childAtIndex(0);
    ASSERT_NE(x, nullptr);
    EXPECT_FALSE(PHFSItem::expansionStateForItem(x));
    PHFSItem::saveStateForItem(true, x);
    EXPECT_TRUE(x->description().contains(QStringLiteral("\nExpanded? YES\n"))) << x->description();
    first.reset();

    auto second = node(root() + QLatin1Char('/'));
    PHFSItem *again = second->childAtIndex(0);
    EXPECT_TRUE(PHFSItem::expansionStateForItem(again)) << "same path, same entry";
    EXPECT_FALSE(PHFSItem::expansionStateForItem(again->childAtIndex(0)));
    PHFSItem::saveStateForItem(false, again);
    EXPECT_FALSE(PHFSItem::expansionStateForItem(again));
    EXPECT_FALSE(PHFSItem::expansionStateForItem(nullptr));
    PHFSItem::saveStateForItem(true, nullptr); // nothing happens
}

TEST_F(FSItemTreeTest, ReleasingLogsParentThenChildren) {
    folder(QStringLiteral("tree/one"));
    folder(QStringLiteral("tree/two"));
    auto tree = node(QDir(root()).filePath(QStringLiteral("tree")));
    EXPECT_EQ(tree->numberOfChildren(), 2);
    EXPECT_EQ(log.mid(log.size() - 3), QStringList({"Created tree", "Created one", "Created two"}));

    // A folder held through a pointer is seen to go with its tree, and a
    // pointer to a folder that stays is unchanged.
    const PHFSItemPointer one = tree->childAtIndex(0);
    const PHFSItemPointer top = tree.get();
    ASSERT_TRUE(one);
    EXPECT_EQ(one->parent(), tree.get());
    PHFSItem other(QDir(root()).filePath(QStringLiteral("tree")), nullptr);
    const PHFSItemPointer kept = &other;
    log.clear();
    tree.reset();
    EXPECT_FALSE(one);
    EXPECT_TRUE(top.isNull());
    EXPECT_EQ(kept.data(), &other);
    EXPECT_EQ(log, QStringList({"Dealloced tree", "Dealloced one", "Dealloced two"}));
}

TEST_F(FSItemTreeTest, NamesThatAreNotUtf8AreListedAndOpenTheirOwnFolder) {
    // Latin-1 "caf\xe9", a lone continuation byte, and a UTF-8 neighbour.
    const QByteArray web = QFile::encodeName(root());
    // The temporary folder's own removal decodes names lossily and would leave these.
    const auto cleanUp = qScopeGuard([web] {
        ::unlink((web + "/caf\xe9/.htaccess").constData());
        ::rmdir((web + "/caf\xe9/inner").constData());
        ::rmdir((web + "/caf\xe9").constData());
        ::rmdir((web + "/x\x80y").constData());
    });
    for (const QByteArray &name : {QByteArray("caf\xe9"), QByteArray("x\x80y"), QByteArray("caf\xc3\xa9")})
        ASSERT_EQ(::mkdir((web + '/' + name).constData(), 0755), 0) << name.toStdString();
    ASSERT_EQ(::mkdir((web + "/caf\xe9/inner").constData(), 0755), 0);
    writeFile(QString::fromUtf8(web + "/caf\xc3\xa9/.htaccess"), "Require user alice\n");

    auto top = node(root());
    ASSERT_EQ(top->numberOfChildren(), 3) << names(*top).join(',').toStdString();
    QStringList shown;
    for (PHFSItem *child : top->children())
        shown.append(PHFileName::readable(child->name()));
    EXPECT_EQ(shown, QStringList({"caf\u00e9", "caf\uFFFD", "x\uFFFDy"}));

    // Each name leads back to its own bytes: the Latin-1 folder lists its
    // child, and its access file is written beside it, not beside its UTF-8 twin.
    PHFSItem *latin = top->childAtIndex(1);
    EXPECT_EQ(PHFileName::encode(latin->fullPath()), web + "/caf\xe9");
    EXPECT_EQ(names(*latin), QStringList{"inner"});
    EXPECT_FALSE(latin->hasAccessFile());
    EXPECT_TRUE(top->childAtIndex(0)->hasAccessFile());
    latin->setModeIndex(1);
    EXPECT_TRUE(latin->hasAccessFile());
    struct stat info {};
    EXPECT_EQ(::stat((web + "/caf\xe9/.htaccess").constData(), &info), 0);
    EXPECT_EQ(readFile(QString::fromUtf8(web + "/caf\xc3\xa9/.htaccess")),
              QByteArray("Require user alice\n"));
}

TEST_F(FSItemTreeTest, NamesWithLineBreaksCannotForgeLogLines) {
    folder(QStringLiteral("evil\nsentrel: granted root\r"));
    auto top = node(root());
    ASSERT_EQ(top->numberOfChildren(), 1);
    EXPECT_EQ(log.last(), QStringLiteral("Created evil sentrel: granted root "))
        << log.join('|').toStdString();
    top.reset();
    EXPECT_TRUE(log.contains(QStringLiteral("Dealloced evil sentrel: granted root ")));
    for (const QString &line : std::as_const(log))
        EXPECT_FALSE(line.contains(QLatin1Char('\n')) || line.contains(QLatin1Char('\r')));
}

} // namespace
