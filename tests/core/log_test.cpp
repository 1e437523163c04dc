#include "core/Log.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <paths.h>
#include <sys/stat.h>
#include <syslog.h>

namespace {

TEST(Log, SaysWhetherALineGoesAnywhere) {
    struct stat info {};
    const bool logger = ::stat(_PATH_LOG, &info) == 0 && S_ISSOCK(info.st_mode);
    qunsetenv("PORTHOLD_LOG_STDERR");
    EXPECT_EQ(Log::isRecorded(), logger);

    QStringList lines;
    Log::setCapture(&lines);
    EXPECT_TRUE(Log::isRecorded());
    Log::write(QStringLiteral("kept"));
    Log::setCapture(nullptr);
    EXPECT_EQ(lines, QStringList{QStringLiteral("kept")});

    qputenv("PORTHOLD_LOG_STDERR", "1");
    EXPECT_TRUE(Log::isRecorded());
    qputenv("PORTHOLD_LOG_STDERR", "0");
    EXPECT_EQ(Log::isRecorded(), logger);
    qunsetenv("PORTHOLD_LOG_STDERR");
}

} // namespace
