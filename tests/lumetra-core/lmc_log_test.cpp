#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lumetra-core/src/lmc_log.h"

namespace {
std::vector<std::pair<std::string, std::string>> gSeen; // (location, message)
void hook(int32_t, const char* location, const char* message) {
    gSeen.emplace_back(location, message);
}
} // namespace

TEST(EngineLog, LevelLocationAndTruncation) {
    gSeen.clear(); // as a repeated run left it
    LMC_LOG(lmc::kLogError, "lmc", "no hook yet");
    lmc::lmc_log_callback_set(&hook);
    lmc::lmc_log_level_set(lmc::kLogWarning);
    lmc::lmc_log(lmc::kLogInfo, "lmc", 10, "below");
    lmc::lmc_log(lmc::kLogWarning, "src/engine\\pattern", 42, "value %d", 7);
    lmc::lmc_log(lmc::kLogError, "filter", 3, "%s", std::string(100000, 'x').c_str());
    ASSERT_EQ(gSeen.size(), 2u);
    EXPECT_EQ(gSeen[0].first, "pattern:42");
    EXPECT_EQ(gSeen[0].second, "value 7");
    EXPECT_EQ(gSeen[1].first, "filter:3");
    EXPECT_EQ(gSeen[1].second.size(), lmc::kLogBufferBytes - 1);
    lmc::lmc_log_callback_set(nullptr);
    lmc::lmc_log(lmc::kLogError, "lmc", 1, "silenced");
    EXPECT_EQ(gSeen.size(), 2u);
}

TEST(EngineLog, RenderCycleIsSharedAndWraps) {
    const uint32_t start = lmc::lmc_render_cycle();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 1000; ++i) lmc::lmc_render_cycle_advance();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(lmc::lmc_render_cycle() - start, 4000u);
}
