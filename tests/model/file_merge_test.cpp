// Three-way merge of named entries: each side's change survives, and a name
// both sides changed keeps the file's version and is reported.

#include "model/PHFileMerge.h"

#include <gtest/gtest.h>

namespace {

using PHFileMerge::Entries;

TEST(FileMerge, ChangesOfBothSidesAreKeptAndConflictsReported) {
    const Entries base{{"alice", "a1"}, {"bob", "b1"}, {"carol", "c1"}, {"dave", "d1"}};
    // Here: bob deleted, carol re-passworded, erin added, dave deleted.
    const Entries mine{{"alice", "a1"}, {"carol", "c2"}, {"erin", "e1"}};
    // On disk: alice re-passworded, frank added, dave re-passworded.
    const Entries theirs{{"alice", "a2"}, {"bob", "b1"}, {"carol", "c1"}, {"dave", "d2"}, {"frank", "f1"}};
    const PHFileMerge::Result result = PHFileMerge::threeWay(base, mine, theirs);
    const Entries expected{{"alice", "a2"}, {"carol", "c2"}, {"dave", "d2"}, {"frank", "f1"}, {"erin", "e1"}};
    EXPECT_EQ(result.merged, expected);
    // dave: deleted here, changed there.
    EXPECT_EQ(result.conflicts, QStringList{"dave"});
}

TEST(FileMerge, TheSameChangeOnBothSidesIsNoConflict) {
    const Entries base{{"staff", "alice"}};
    const Entries both{{"staff", "alice bob"}, {"crew", ""}};
    const PHFileMerge::Result result = PHFileMerge::threeWay(base, both, both);
    EXPECT_EQ(result.merged, both);
    EXPECT_TRUE(result.conflicts.isEmpty());
    // Deleted on both sides; added on both sides with different values.
    const PHFileMerge::Result added = PHFileMerge::threeWay({{"x", "1"}}, {{"y", "mine"}}, {{"y", "theirs"}});
    EXPECT_EQ(added.merged, (Entries{{"y", "theirs"}}));
    EXPECT_EQ(added.conflicts, QStringList{"y"});
}

} // namespace
