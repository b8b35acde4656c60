// The render path allocates nothing once warm, and log lines below the level
// cost no formatting. Linked with the counting operator new of the benchmarks.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "alloc_counter.h"
#include "engine_test_util.h"
#include "lumetra-core/src/lmc.h"
#include "support/temp_dir.h"

using namespace lmc;
using enginetest::SampleSpec;
using enginetest::spnText;
using enginetest::TrackSpec;

namespace {

using trv::test::readFile;

// A pattern that exercises every part of the tree: several tracks of several
// samples with delays and repetitions, envelopes, vicinities that move
// (keyframes), explicit weights, and shared clocks.
std::string busyPattern() {
    std::vector<TrackSpec> tracks;
    for (int t = 0; t < 4; ++t) {
        TrackSpec track{80.0, {}};
        for (int s = 0; s < 3; ++s) {
            SampleSpec sample;
            sample.signalIndex = static_cast<uint64_t>((t * 3 + s) * 7 % 204) | (s == 1 ? 0x10000u : 0u);
            sample.timestamp = 0.05 * s;
            sample.maxDuration = s == 2 ? 0.0 : 0.05;
            sample.repeatCount = s == 0 ? 3 : 1;
            sample.postDelay = 0.01;
            sample.stopCrop = 0.02;
            sample.volumeKeyframes = nlohmann::json::array(
                {{{"timestamp", 0}, {"volume", 20}}, {{"timestamp", 0.03}, {"volume", 100}}});
            nlohmann::json vicinity = {{"position", {0.1039, 0.06 * (t - 1.5), 0.06}},
                                       {"orientation", {1, 0, 0, 0}},
                                       {"scale", {0.1, 0.1, 0.1}},
                                       {"amplitude", 100}};
            nlohmann::json moved = vicinity;
            moved["position"] = {-0.1039, 0.06, -0.06};
            if (s == 2)
                sample.spatKeyframes = nlohmann::json::array(
                    {enginetest::weightsKey(0, {100, 50, 0, 25}), enginetest::weightsKey(0.02, {0, 100})});
            else
                sample.spatKeyframes = nlohmann::json::array(
                    {{{"timestamp", 0}, {"vicinities", {vicinity}}},
                     {{"timestamp", 0.02}, {"vicinities", {moved}}}});
            sample.repeatSpat = s == 0;
            track.samples.push_back(sample);
        }
        tracks.push_back(track);
    }
    return spnText(tracks, 10.0);
}

} // namespace

TEST(RenderAllocations, NoneOnceWarm) {
    LumetraCore core(layout_new_tarvonel_capsule(), 48000.0, 512);
    const int32_t busy = pattern_load_from_spn(core, busyPattern().c_str(), -1);
    const int32_t rich = pattern_load_from_spn(core, trv::test::readFile(std::filesystem::path(TRV_SPN_CORPUS_DIR) / "valid_09_rich.spn").c_str(), -1);
    ASSERT_GE(busy, 0);
    ASSERT_GE(rich, 0);
    for (int i = 0; i < 16; ++i) {
        const int32_t id = sequence_new(core, i % 2 == 0 ? busy : rich, i % 3 == 0, -1);
        property_repeat_count_set(core, id, i % 4); // some endless
        property_repeat_delay_set(core, id, 0.013 * i);
        Transform* transform = sequence_get_transform(core, id);
        transform->setRotation(0, 0.3 * i, 0.1);
        transform->setAddMirroredX(i % 2);
        ASSERT_EQ(sequence_play(core, id, 0.01 * i, 0.002 * i), 0);
    }
    core.process(); // warm: the shared clocks of these crops take their places

    const long long before = allocationCount();
    for (int i = 0; i < 400; ++i) core.process(); // repetitions, sample changes, erasures
    EXPECT_EQ(allocationCount() - before, 0);

    // A sequence created and played later renders without allocating either,
    // its fade, its pause and a new rate included.
    const int32_t late = sequence_new(core, busy, true, -1);
    sequence_play(core, late, 0.0, 0.0);
    const long long again = allocationCount();
    for (int i = 0; i < 50; ++i) core.process();
    sequence_stop(core, late, 0.02);
    set_pause(core, true);
    core.process();
    set_pause(core, false);
    config_sample_rate_set(core, 44100.0);
    for (int i = 0; i < 50; ++i) core.process();
    EXPECT_EQ(allocationCount() - again, 0);

    // Collecting the visualiser weights reuses the records once they exist.
    std::vector<SequenceWeights> weights;
    core.collectSequenceWeights(weights);
    const long long collected = allocationCount();
    core.collectSequenceWeights(weights);
    EXPECT_EQ(allocationCount() - collected, 0);
}

TEST(RenderAllocations, LinesBelowTheLevelAreNotFormatted) {
    // The streaming handler calls the configuration setters on every request
    // of the vest. Below the level, a line must not even get the thread's
    // text buffers (allocated on the first line a thread formats).
    enginetest::LogCapture log(kLogWarning);
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 20);
    config_buffer_size_set(core, 1000); // a fast-forward's chunk: the largest size
    long long allocations = -1;
    std::thread caller([&] {
        const long long before = allocationCount();
        for (int i = 0; i < 1000; ++i) {
            // The requests' sizes jitter and fast-forwards come between them.
            config_buffer_size_set(core, i % 5 == 0 ? 1000 : 20 - i % 3);
            core.process();
            config_sample_rate_set(core, 2000.0);
            config_global_boost_set(core, 0.0);
        }
        allocations = allocationCount() - before;
    });
    caller.join();
    EXPECT_EQ(allocations, 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST(RenderAllocations, LinesTheFilterRefusesAreNotFormatted) {
    // The SDK's log would drop these warnings (an effect's state asked for an
    // ID the engine never issued): the engine must not format them either.
    enginetest::LogCapture log(kLogInfo);
    lmc_log_filter_set([](int32_t level) noexcept { return level >= kLogError; });
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 20);
    long long allocations = -1;
    std::thread caller([&] {
        const long long before = allocationCount();
        for (int i = 0; i < 100; ++i) sequence_get_state(core, 12345);
        allocations = allocationCount() - before;
        LMC_LOG(kLogError, "lmc", "passes");
    });
    caller.join();
    lmc_log_filter_set(nullptr);
    EXPECT_EQ(allocations, 0);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].message, "passes");
}
