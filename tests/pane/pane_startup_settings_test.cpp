// The panel's start-up reads its settings and shows them; with nothing new to
// store it leaves the settings file alone.

#include "PaneFixture.h"

#include <sys/stat.h>

namespace {

struct FileVersion {
    ino_t inode = 0;
    qint64 modified = 0;
    bool operator==(const FileVersion &) const = default;
};

FileVersion versionOf(const QString &path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return {info.st_ino, qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

class PaneStartupSettingsTest : public PaneFixture {};

TEST_F(PaneStartupSettingsTest, AStartWithTheSettingsAlreadyStoredWritesNothing) {
    preset("Address Array", QVariantList{"10.0.0.1", "lan.example", "192.168.1.0/24"});
    preset("Show Delete Dialog", false);
    start();
    pref.reset();
    window.reset();
    const QString path = PHSettingsStore::storagePath(QStringLiteral("com.quillmere.porthold.test"));
    const FileVersion before = versionOf(path);
    ASSERT_NE(before.inode, ino_t(0));

    // A new start, as a new process would make it, over the same settings.
    PHSettingsStore::resetInstanceForTesting();
    start();
    EXPECT_EQ(versionOf(path), before) << "the settings file was written at start-up";
    // What was stored is what the panel shows and keeps.
    PHSettingsStore::resetInstanceForTesting();
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->setApplicationIdentifier(QStringLiteral("com.quillmere.porthold.test"));
    EXPECT_EQ(defaults->arrayForKey("Address Array").value_or(QVariantList()),
              (QVariantList{"10.0.0.1", "lan.example", "192.168.1.0/24"}));
    EXPECT_FALSE(defaults->boolForKey("Show Delete Dialog"));
    EXPECT_EQ(defaults->stringForKey("Web Dir").value_or(QString()), web);
}

} // namespace
