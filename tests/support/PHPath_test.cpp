#include "support/PHPath.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

// Folder rows are made from bare names and the settings store, the server tab
// and the log window from whole paths: both must give the same last component.
TEST(PHPath, LastPathComponentOfNamesAndPaths) {
    const std::vector<std::pair<QString, QString>> cases = {
        {"site00001", "site00001"},
        {"", ""},
        {"/", "/"},
        {"//", "/"},
        {"/a/b/c", "c"},
        {"/a/b/c/", "c"},
        {"/a/b/c//", "c"},
        {"a/b", "b"},
        {"/top", "top"},
        {"name with spaces", "name with spaces"},
        {"caf\u00e9/\u00fcber", "\u00fcber"},
        {".htaccess", ".htaccess"},
    };
    for (const auto &[path, expected] : cases)
        EXPECT_EQ(PHPath::lastPathComponent(path), expected) << path.toStdString();
}
