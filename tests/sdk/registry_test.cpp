#include <gtest/gtest.h>

#include "sdk/PatternRegistry.h"

TEST(PatternRegistry, KeepsTheFirstTextPerIdAndTracksTheLargestSignedId) {
    PatternRegistry registry;
    EXPECT_EQ(registry.lastID(), -1);
    registry.add(-5, "minus five"); // unsigned keys would sort it last
    registry.add(1, "one");
    registry.add(3, "three");
    registry.add(1, "another one"); // present: the first text stays
    EXPECT_EQ(registry.lastID(), 3);
    registry.remove(3);
    registry.remove(7); // absent: nothing
    EXPECT_EQ(registry.lastID(), 1);

    PatternRegistry::PatternMap out{{5, "stale"}};
    registry.copyTo(out);
    EXPECT_EQ(out, (PatternRegistry::PatternMap{{-5, "minus five"}, {1, "one"}}));
    registry.remove(1);
    EXPECT_EQ(registry.lastID(), -5);
    registry.remove(-5);
    registry.copyTo(out);
    EXPECT_TRUE(out.empty());
}

