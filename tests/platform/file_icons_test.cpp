#include "platform/PHImage.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QStyle>

namespace {

TEST(FileIcons, AreNullWithoutAGuiAndSixteenPixelsSquareWithOne) {
    EXPECT_TRUE(PHImage::imageForFileWidthHeight("/", 16, 16).isNull()); // no GUI yet
    EXPECT_TRUE(PHImage::imageForFileTypeWidthHeight("log", 16, 16).isNull());
    int argc = 1;
    char name[] = "platform_test";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    const QIcon folder = PHImage::imageForFileWidthHeight(QDir::tempPath(), 16, 16);
    ASSERT_FALSE(folder.isNull());
    EXPECT_EQ(folder.availableSizes(), QList<QSize>{QSize(16, 16)});
    const QIcon log = PHImage::imageForFileTypeWidthHeight("log", 16, 16);
    ASSERT_FALSE(log.isNull());
    EXPECT_EQ(log.availableSizes(), QList<QSize>{QSize(16, 16)});

    // The general folder icon is the style's, made once and then shared.
    const QIcon general = PHImage::folderImage();
    ASSERT_FALSE(general.isNull());
    EXPECT_EQ(general.cacheKey(), PHImage::folderImage().cacheKey());
    EXPECT_EQ(general.pixmap(16, 16).toImage(),
              QApplication::style()->standardIcon(QStyle::SP_DirIcon).pixmap(16, 16).toImage());
}

} // namespace
