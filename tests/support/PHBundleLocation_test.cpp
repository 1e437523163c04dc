// The programs' bundle lookup: beside the program first, then the installed
// place relative to it; a folder without Info.plist is no bundle.

#include "support/PHBundleLocation.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

void makeBundle(const QString &path) {
    ASSERT_TRUE(QDir().mkpath(path));
    QFile info(QDir(path).filePath("Info.plist"));
    ASSERT_TRUE(info.open(QIODevice::WriteOnly));
}

TEST(BundleLocation, BesideTheProgramWinsOverTheInstalledPlaceAndOnlyRealBundlesCount) {
    QTemporaryDir prefix;
    const QString bin = prefix.filePath("bin");
    ASSERT_TRUE(QDir().mkpath(bin));

    const QStringList places = PHBundleLocation::candidates(bin);
    ASSERT_EQ(places.size(), 2);
    EXPECT_EQ(places[0], QDir(bin).filePath("Porthold.panel"));
    // The installed place is a clean path under the same prefix, outside bin.
    EXPECT_TRUE(places[1].startsWith(prefix.path() + "/")) << places[1].toStdString();
    EXPECT_FALSE(places[1].contains("..")) << places[1].toStdString();
    EXPECT_FALSE(places[1].startsWith(bin + "/")) << places[1].toStdString();
    EXPECT_TRUE(places[1].endsWith("/porthold/Porthold.panel")) << places[1].toStdString();

    EXPECT_TRUE(PHBundleLocation::locate(bin).isEmpty());
    // A folder of the right name without its Info.plist is not a bundle.
    ASSERT_TRUE(QDir().mkpath(places[1]));
    EXPECT_TRUE(PHBundleLocation::locate(bin).isEmpty());

    makeBundle(places[1]);
    EXPECT_EQ(PHBundleLocation::locate(bin), places[1]);
    makeBundle(places[0]);
    EXPECT_EQ(PHBundleLocation::locate(bin), places[0]);
}

} // namespace
