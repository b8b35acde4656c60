#include <gtest/gtest.h>

#include "sdk/PatternRegistry.h"

namespace {
void callbackA(trv_connection_state_t, trv_error_t, uint32_t, void*) {}
} // namespace

TEST(PatternRegistry, KeepsTheFirstTextPerIdAndTracksTheLargestId) {
    PatternRegistry registry;
    EXPECT_EQ(registry.lastID(), -1);
    registry.add(0, "zero");
    registry.add(1, "one");
    registry.add(2, "two");
    registry.add(1, "another one"); // present: the first text stays
    EXPECT_EQ(registry.lastID(), 2);
    registry.remove(2);
    registry.remove(7); // absent: nothing
    EXPECT_EQ(registry.lastID(), 1);

    PatternRegistry::PatternMap out{{5, "stale"}, {-3, "older"}};
    registry.copyTo(out);
    EXPECT_EQ(out, (PatternRegistry::PatternMap{{0, "zero"}, {1, "one"}}));

    registry.remove(0);
    registry.remove(1);
    EXPECT_EQ(registry.lastID(), -1);
    registry.copyTo(out);
    EXPECT_TRUE(out.empty());
}

TEST(PatternRegistry, KeysSortAsSignedNumbers) {
    PatternRegistry registry;
    registry.add(10, "ten");
    registry.add(2, "two");
    registry.add(100, "hundred");
    EXPECT_EQ(registry.lastID(), 100);
    PatternRegistry::PatternMap out;
    registry.copyTo(out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out.begin()->first, 2);
}

TEST(PatternRegistry, StoresTheCallbackPairNullIncluded) {
    PatternRegistry registry;
    EXPECT_EQ(registry.connectionCallback(), nullptr);
    EXPECT_EQ(registry.connectionUserData(), nullptr);
    int data = 0;
    registry.setConnectionCallback(&callbackA, &data);
    EXPECT_EQ(registry.connectionCallback(), &callbackA);
    EXPECT_EQ(registry.connectionUserData(), &data);
    EXPECT_EQ(registry.connectionCallbackPair(),
              std::make_pair(static_cast<trv_connection_callback_t>(&callbackA),
                             static_cast<void*>(&data)));
    registry.setConnectionCallback(nullptr, &data);
    EXPECT_EQ(registry.connectionCallback(), nullptr);
    EXPECT_EQ(registry.connectionUserData(), &data);
}
