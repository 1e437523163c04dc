// Writes and deletes that fail leave the old file whole, the node's state
// equal to the file on disk, and an error code reported; files the node
// cannot read are never replaced.

#include "access_test_support.h"

#include <csignal>

#include <sys/resource.h>

namespace {

const QByteArray kOriginal = "AuthType Basic\nRequire user alice\nOptions -Indexes\n";

class AccessFailureTest : public AccessTest {
protected:
    /// The state a node shows for kOriginal.
    static bool showsOriginal(const PHFSItem &item) {
        EXPECT_EQ(item.listForKey(PHFSItem::RequireUserKey), QStringList({"alice"}));
        EXPECT_EQ(item.customLines(), QStringList({"Options -Indexes"}));
        EXPECT_EQ(item.authStatus(), 1);
        EXPECT_FALSE(item.isAuthenticationDisabled());
        EXPECT_EQ(item.stringValue(), QString::fromUtf8(kOriginal));
        return item.authStatus() == 1 && item.stringValue() == QString::fromUtf8(kOriginal);
    }
    static void changeState(PHFSItem &item) {
        item.setListForKey(PHFSItem::RequireUserKey, {QStringLiteral("alice"), QStringLiteral("bob")});
        item.setListForKey(PHFSItem::AllowFromKey, {QStringLiteral("127.0.0.1")});
        item.setModeIndex(4);
    }
};

TEST_F(AccessFailureTest, ReadOnlyFolderKeepsTheOldFile) {
    const QString path = folder(QStringLiteral("readonly"));
    writeFile(accessPathIn(path), kOriginal);
    ::chmod(QFile::encodeName(path).constData(), 0555);

    EXPECT_TRUE(unprivileged([&] {
        auto item = node(path);
        changeState(*item);
        EXPECT_FALSE(item->writeAccessFile());
        EXPECT_EQ(readFile(accessPathIn(path)), kOriginal);
        EXPECT_EQ(filesIn(path), QStringList({".htaccess"}));
        EXPECT_EQ(context.errors,
                  QList<qint32>({PHFSItem::ErrorAccessFileWrite, PHFSItem::ErrorAccessFileWrite}));
        EXPECT_EQ(log.filter(QStringLiteral("Could not write %1").arg(accessPathIn(path))).size(), 2) << log;

        // Deleting fails the same way.
        EXPECT_FALSE(item->deleteAccessFile());
        EXPECT_TRUE(item->hasAccessFile());
        EXPECT_EQ(context.errors.last(), PHFSItem::ErrorAccessFileDelete);
        return showsOriginal(*item) && !::testing::Test::HasFailure();
    }));
    EXPECT_EQ(readFile(accessPathIn(path)), kOriginal);
    ::chmod(QFile::encodeName(path).constData(), 0755);
}

TEST_F(AccessFailureTest, WriteCutShortByTheFileSizeLimit) {
    const QString path = folder(QStringLiteral("limited"));
    writeFile(accessPathIn(path), kOriginal);
    auto item = node(path);

    // The new text is far longer than the limit: the write fails part-way.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 64;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    changeState(*item);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(readFile(accessPathIn(path)), kOriginal);
    EXPECT_EQ(filesIn(path), QStringList({".htaccess"})) << "the partial temporary file is gone";
    EXPECT_EQ(context.errors, QList<qint32>({PHFSItem::ErrorAccessFileWrite}));
    showsOriginal(*item);

    // Without the limit the same change goes through.
    changeState(*item);
    EXPECT_EQ(item->authStatus(), 7);
    EXPECT_TRUE(readFile(accessPathIn(path)).contains("\nSatisfy all\n"));
}

TEST_F(AccessFailureTest, AnAccessFileOrFolderThatIsALinkIsNeverWrittenThrough) {
    const QString shared = folder(QStringLiteral("shared"));
    const QString site = folder(QStringLiteral("site"));
    const QString target = QDir(shared).filePath(QStringLiteral("site-access"));
    writeFile(target, kOriginal);
    ASSERT_TRUE(QFile::link(QStringLiteral("../shared/site-access"), accessPathIn(site)));

    // Neither read nor replaced: the link may lead anywhere (another site,
    // a system file), and the program may run as root.
    auto item = node(site);
    EXPECT_TRUE(item->isUnreadable());
    changeState(*item);
    EXPECT_EQ(readFile(target), kOriginal);
    EXPECT_TRUE(QFileInfo(accessPathIn(site)).isSymLink()) << "the link stays as it was";
    EXPECT_EQ(context.errors, QList<qint32>({PHFSItem::ErrorAccessFileUnreadable}));
    ASSERT_EQ(context.errorDetails.size(), 1);
    EXPECT_TRUE(context.errorDetails.at(0).contains(
        QStringLiteral("is a symbolic link; Porthold does not write through links")))
        << qPrintable(context.errorDetails.at(0));
    context.errors.clear();
    context.errorDetails.clear();
    EXPECT_FALSE(item->deleteAccessFile());
    EXPECT_TRUE(QFileInfo(accessPathIn(site)).isSymLink());

    // A folder that is a link: nothing is written or deleted inside it.
    const QString linked = QDir(site).filePath(QStringLiteral("linked"));
    ASSERT_TRUE(QFile::link(shared, linked));
    writeFile(accessPathIn(shared), kOriginal);
    auto tree = node(site);
    PHFSItem *inside = nullptr;
    for (PHFSItem *child : tree->children())
        if (child->name() == QLatin1String("linked"))
            inside = child;
    ASSERT_NE(inside, nullptr) << "a folder that is a link is listed";
    EXPECT_TRUE(inside->isUnreadable());
    changeState(*inside);
    EXPECT_FALSE(inside->deleteAccessFile());
    EXPECT_EQ(readFile(accessPathIn(shared)), kOriginal);

    // A folder that is a link and holds no access file has nothing to refuse.
    ASSERT_TRUE(
        QFile::link(folder(QStringLiteral("bare")), QDir(site).filePath(QStringLiteral("bare-link"))));
    folder(QStringLiteral("site/plain"));
    auto listed = node(site);
    PHFSItem *bare = nullptr;
    PHFSItem *plain = nullptr;
    for (PHFSItem *child : listed->children()) {
        if (child->name() == QLatin1String("bare-link"))
            bare = child;
        else if (child->name() == QLatin1String("plain"))
            plain = child;
    }
    ASSERT_NE(bare, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_FALSE(bare->isUnreadable());
    EXPECT_FALSE(bare->hasAccessFile());
    EXPECT_EQ(bare->storedAuthStatus(), 0);
    // Only a folder listed as one is known to be no link.
    EXPECT_FALSE(bare->isListedAsFolder());
    EXPECT_TRUE(plain->isListedAsFolder());
}

TEST_F(AccessFailureTest, FilesThatCannotBeReadAreNeverReplaced) {
    // Binary data is not an access file we understand.
    const QString binary = folder(QStringLiteral("binary"));
    const QByteArray bytes("Require user alice\n\0\x01\x02", 22);
    writeFile(accessPathIn(binary), bytes);
    auto item = node(binary);
    EXPECT_TRUE(item->isUnreadable());
    EXPECT_TRUE(item->stringValue().isEmpty());
    item->setModeIndex(1);
    EXPECT_EQ(readFile(accessPathIn(binary)), bytes);
    EXPECT_EQ(context.errors, QList<qint32>({PHFSItem::ErrorAccessFileUnreadable}));

    // Nor is a file this user may not read, in a folder it may write.
    const QString closed = folder(QStringLiteral("closed"));
    writeFile(accessPathIn(closed), kOriginal);
    ::chmod(QFile::encodeName(accessPathIn(closed)).constData(), 0);
    ::chmod(QFile::encodeName(closed).constData(), 0777);
    EXPECT_TRUE(unprivileged([&] {
        context.errors.clear();
        auto shut = node(closed);
        EXPECT_TRUE(shut->isUnreadable());
        EXPECT_FALSE(shut->writeAccessFileEvenWhenUnprotected());
        EXPECT_EQ(context.errors, QList<qint32>({PHFSItem::ErrorAccessFileUnreadable}));
        EXPECT_EQ(filesIn(closed), QStringList({".htaccess"}));
        return !::testing::Test::HasFailure();
    }));
    ::chmod(QFile::encodeName(accessPathIn(closed)).constData(), 0644);
    EXPECT_EQ(readFile(accessPathIn(closed)), kOriginal);
}

} // namespace
