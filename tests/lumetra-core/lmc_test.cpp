// The engine instance and its C-style interface: identifiers, configuration,
// result codes and log lines.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "engine_test_util.h"
#include "lumetra-core/src/lmc.h"

using namespace lmc;
using enginetest::LogCapture;
using enginetest::SampleSpec;
using enginetest::spnText;

namespace {

LumetraCore makeCore(double rate = 48000.0, std::size_t frames = 512) {
    return LumetraCore(layout_new_tarvonel_capsule(), rate, frames);
}

const std::string& validSpn() {
    static const std::string text = spnText(SampleSpec{});
    return text;
}

} // namespace

TEST(EngineCore, ConstructionLogsSizesTheBuffersAndMendsInvalidValues) {
    LogCapture log;
    std::shared_ptr<ILayout> layout = layout_new_tarvonel_capsule();
    LumetraCore core(layout, 2000.0, 20);
    ASSERT_EQ(core.actuatorBuffers().size(), 20u);
    for (const auto& buffer : core.actuatorBuffers()) EXPECT_EQ(buffer.size(), 20u);
    EXPECT_EQ(std::tuple(config_buffer_size_get(core), config_sample_rate_get(core), config_global_boost_get(core)),
              std::tuple(20u, 2000.0, 0.0));
    EXPECT_EQ(core.time(), 0.0);
    EXPECT_EQ(core.layout(), layout);
    char expected[128];
    std::snprintf(expected, sizeof expected, "LumetraCore(layout=%p, sample_rate=%f, buffer_size=%zu)",
                  static_cast<const void*>(layout.get()), 2000.0, std::size_t{20});
    ASSERT_EQ(log.at("lmc:27").size(), 1u);
    EXPECT_EQ(std::tuple(log.at("lmc:27")[0].message, log.at("lmc:27")[0].level), std::tuple(expected, kLogInfo));
    ASSERT_EQ(log.at("lmc:73").size(), 1u);
    EXPECT_EQ(log.at("lmc:73")[0].message, "config_buffer_size_set(20)");

    log.clear();
    LumetraCore mended(nullptr, std::nan(""), 0);
    EXPECT_EQ(mended.actuatorBuffers().size(), 20u); // null layout: the vest
    EXPECT_EQ(config_sample_rate_get(mended), kDefaultSampleRate);
    EXPECT_EQ(config_buffer_size_get(mended), 1u);
    EXPECT_EQ(log.at("lmc:51").size(), 1u);
    EXPECT_EQ(log.at("lmc:78").size(), 1u);
}
TEST(EngineCore, PatternIdentifiers) {
    LumetraCore core = makeCore();
    const char* spn = validSpn().c_str();
    for (const auto& [id, result] : {std::pair{-1, 0}, {-1, 1}, {5, 5}, {-1, 6}, {5, TRV_ERROR_CORE_INSTANCE_ALLOCATED},
                                     {-2, TRV_ERROR_CORE_INVALID_ARGUMENT}})
        EXPECT_EQ(pattern_load_from_spn(core, spn, id), result) << id;
    EXPECT_EQ(pattern_load_from_spn(core, "{}", 9), TRV_ERROR_CORE_INVALID_SPN);
    EXPECT_EQ(pattern_load_from_spn(core, "{}", -2), TRV_ERROR_CORE_INVALID_SPN);
    EXPECT_EQ(pattern_load_from_spn(core, nullptr, -1), TRV_ERROR_CORE_INVALID_SPN);
    EXPECT_FALSE(pattern_is_allocated(core, 9));
    EXPECT_TRUE(pattern_is_allocated(core, 5));
    EXPECT_EQ(pattern_unload(core, 5), 0);
    EXPECT_FALSE(pattern_is_allocated(core, 5));
    EXPECT_EQ(pattern_unload(core, 5), 0);                  // unknown: no effect
    EXPECT_EQ(pattern_load_from_spn(core, spn, -1), 7);     // never reused
    EXPECT_EQ(pattern_reserve_id_range(core, 10), 10);
    EXPECT_EQ(pattern_load_from_spn(core, spn, -1), 10);
    EXPECT_EQ(pattern_reserve_id_range(core, 3), 11);
    EXPECT_EQ(pattern_reserve_id_range(core, -5), 11);
}
TEST(EngineCore, IdentifierAtTheTopOfTheRangeIsRefused) {
    LumetraCore core = makeCore();
    const int32_t top = std::numeric_limits<int32_t>::max();
    EXPECT_EQ(pattern_load_from_spn(core, validSpn().c_str(), top), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(pattern_load_from_spn(core, validSpn().c_str(), top - 1), top - 1);
    // The next automatic identifier would be INT32_MAX, whose successor overflows.
    EXPECT_EQ(pattern_load_from_spn(core, validSpn().c_str(), -1), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(sequence_new(core, top - 1, false, top), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(sequence_new(core, top - 1, false, top - 1), top - 1);
    EXPECT_EQ(sequence_new(core, top - 1, false, -1), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(core.sequences().size(), 1u);
}

TEST(EngineCore, Configuration) {
    LogCapture log(kLogWarning); // info lines filtered out
    LumetraCore core = makeCore();
    for (double rate : {0.0, -1.0, std::nan(""), static_cast<double>(INFINITY)})
        EXPECT_EQ(config_sample_rate_set(core, rate), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(config_sample_rate_get(core), 48000.0);
    ASSERT_EQ(log.lines().size(), 4u);
    EXPECT_EQ(std::tuple(log.lines()[0].location, log.lines()[0].message, log.lines()[0].level),
              std::tuple("lmc:51", "invalid sample rate: 0.000000", kLogWarning));
    lmc_log_level_set(kLogInfo);
    EXPECT_EQ(config_sample_rate_set(core, 2000.0), 0);
    EXPECT_EQ(config_sample_rate_get(core), 2000.0);
    EXPECT_EQ(log.at("lmc:44").back().message, "config_sample_rate_set(2000.000000)");
    config_global_boost_set(core, 0.25);
    EXPECT_EQ(config_global_boost_get(core), 0.25);
    EXPECT_EQ(log.at("lmc:62").back().message, "config_global_boost_set(0.250000)");

    EXPECT_EQ(config_buffer_size_set(core, 0), 0);
    EXPECT_EQ(log.at("lmc:78").back().message, "invalid buffer size (set to 1 instead)");
    EXPECT_EQ(config_buffer_size_get(core), 1u);
    for (const auto& buffer : core.actuatorBuffers()) EXPECT_EQ(buffer.size(), 1u);
    // A request for millions of frames is capped instead of exhausting memory.
    for (std::size_t frames : {std::size_t{50'000'000}, std::numeric_limits<std::size_t>::max()}) {
        EXPECT_EQ(config_buffer_size_set(core, frames), 0);
        EXPECT_EQ(config_buffer_size_get(core), kMaxBufferFrames);
    }
    EXPECT_EQ(log.at("lmc:79").back().message, "invalid buffer size (set to 65536 instead)");
    core.process();
    EXPECT_EQ(core.actuatorBuffers()[19].size(), kMaxBufferFrames);
    // Unchanged size: the buffers stay where they are.
    EXPECT_EQ(config_buffer_size_set(core, 256), 0);
    const double* before = core.actuatorBuffers()[0].data();
    EXPECT_EQ(config_buffer_size_set(core, 256), 0);
    EXPECT_EQ(core.actuatorBuffers()[0].data(), before);
}
TEST(EngineCore, UnknownIdentifiers) {
    LogCapture log;
    LumetraCore core = makeCore();
    log.clear();
    const std::string warning = "entry not allocated (invalid map<K, T> key)";

    EXPECT_EQ(sequence_get_state(core, 3), 0);
    EXPECT_EQ(sequence_get_pattern_id(core, 3), TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED);
    EXPECT_FALSE(sequence_is_muted(core, 3));
    EXPECT_EQ(pattern_get_max_simultaneous_effects(core, 3), 0);
    EXPECT_EQ(pattern_get_boost(core, 3), 0.0);
    EXPECT_EQ(sequence_play(core, 3, 0.0, 0.0), TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED);
    EXPECT_EQ(sequence_stop(core, 3, 0.0), TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED);
    EXPECT_EQ(sequence_get_transform(core, 3), nullptr); // does not throw
    EXPECT_EQ(property_volume_set(core, 3, 1.0), TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED);
    EXPECT_EQ(property_speed_set(core, 3, 1.0), TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED);
    EXPECT_EQ(property_repeat_count_set(core, 3, 2), TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED);
    EXPECT_EQ(property_repeat_delay_set(core, 3, 1.0), TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED);
    EXPECT_EQ(property_max_duration_set(core, 3, 1.0), TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED);
    EXPECT_EQ(property_boost_set(core, 3, 1.0), TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED);
    EXPECT_EQ(sequence_new(core, 3, false, -1), TRV_ERROR_CORE_PATTERN_NOT_ALLOCATED);

    for (const char* location : {"lmc:237", "lmc:251", "lmc:285", "lmc:169", "lmc:143", "lmc:198",
                                 "lmc:215", "lmc:264", "lmc:293", "lmc:308", "lmc:325", "lmc:342",
                                 "lmc:359", "lmc:374"}) {
        const auto lines = log.at(location);
        ASSERT_EQ(lines.size(), 1u) << location;
        EXPECT_EQ(lines[0].message, warning) << location;
        EXPECT_EQ(lines[0].level, kLogWarning) << location;
    }
    // sequence_new on an unknown pattern warns nothing beyond its info line.
    std::size_t warnings = 0;
    for (const auto& line : log.lines()) warnings += line.level == kLogWarning ? 1 : 0;
    EXPECT_EQ(warnings, 14u);
}

TEST(EngineCore, InfoLinesOfEveryCall) {
    LogCapture log;
    LumetraCore core = makeCore();
    const std::string& spn = validSpn();
    const int32_t pattern = pattern_load_from_spn(core, spn.c_str(), -1);
    const int32_t id = sequence_new(core, pattern, true, -1);
    pattern_unload(core, 42);
    pattern_reserve_id_range(core, 4);
    pattern_is_allocated(core, pattern);
    pattern_get_max_simultaneous_effects(core, pattern);
    sequence_play(core, id, 0.5, 0.25);
    sequence_stop(core, id, 0.125);
    property_volume_set(core, id, 0.5);
    property_speed_set(core, id, 2.0);
    property_repeat_count_set(core, id, 3);
    property_repeat_delay_set(core, id, 0.75);
    property_max_duration_set(core, id, 1.5);
    property_boost_set(core, id, 0.125);
    set_pause(core, true);
    stop_all(core, 0.0);

    char loadLine[96];
    std::snprintf(loadLine, sizeof loadLine, "pattern_load_from_spn(spn=%p, id=%d)",
                  static_cast<const void*>(spn.c_str()), -1);
    const std::pair<const char*, std::string> expected[] = {
        {"lmc:106", loadLine},
        {"lmc:175", "sequence_new(pattern_id=0, auto_delete=1, sequence_id=-1)"},
        {"lmc:118", "pattern_unload(42)"},
        {"lmc:148", "pattern_reserve_id_range(4)"},
        {"lmc:160", "pattern_is_allocated(0)"},
        {"lmc:166", "pattern_get_max_simultaneous_effects(0)"},
        {"lmc:195", "sequence_play(0, play_at=0.500000, latency=0.250000)"},
        {"lmc:204", "sequence_stop(0, fade_out_duration=0.125000)"},
        {"lmc:290", "property_volume_set(0, volume=0.500000)"},
        {"lmc:305", "property_speed_set(0, speed=2.000000)"},
        {"lmc:322", "property_repeat_count_set(0, repeat_count=3)"},
        {"lmc:339", "property_repeat_delay_set(0, repeat_delay=0.750000)"},
        {"lmc:356", "property_max_duration_set(0, max_duration=1.500000)"},
        {"lmc:371", "property_boost_set(0, boost=0.125000)"},
        {"lmc:515", "set_pause(1)"},
        {"lmc:526", "stop_all(fade_out_duration=0.000000)"},
    };
    for (const auto& [location, message] : expected) {
        const auto lines = log.at(location);
        ASSERT_EQ(lines.size(), 1u) << location;
        EXPECT_EQ(lines[0].message, message);
        EXPECT_EQ(lines[0].level, kLogInfo);
    }
}

TEST(EngineCore, SequenceLifecycle) {
    LumetraCore core = makeCore(2000.0, 20);
    const int32_t pattern = pattern_load_from_spn(core, validSpn().c_str(), -1);
    const int32_t kept = sequence_new(core, pattern, false, -1);
    const int32_t erased = sequence_new(core, pattern, true, 7);
    EXPECT_EQ(kept, 0);
    EXPECT_EQ(erased, 7);
    EXPECT_EQ(sequence_new(core, pattern, true, 7), TRV_ERROR_CORE_INSTANCE_ALLOCATED);
    EXPECT_EQ(sequence_new(core, pattern, true, -3), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(sequence_new(core, pattern, true, -1), 8);
    EXPECT_EQ(sequence_get_pattern_id(core, erased), pattern);
    EXPECT_EQ(sequence_get_state(core, kept), 3);

    EXPECT_EQ(sequence_play(core, kept, 0.0, -0.1), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(sequence_play(core, kept, -1.0, 0.0), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(sequence_play(core, kept, std::nan(""), 0.0), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(sequence_play(core, kept, INFINITY, 0.0), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(sequence_play(core, kept, 0.0, INFINITY), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(sequence_get_state(core, kept), 3);
    EXPECT_EQ(sequence_play(core, kept, 0.0, 0.0), 0);
    EXPECT_EQ(sequence_play(core, kept, 0.0, 0.0), TRV_ERROR_CORE_SEQUENCE_PLAYING);
    EXPECT_EQ(sequence_get_state(core, kept), 1);
    EXPECT_EQ(sequence_play(core, erased, 0.0, 0.0), 0);
    EXPECT_EQ(sequence_stop(core, 8, 0.0), 0); // never played: nothing to stop

    // Waveform 120 lasts well under 10 s: both end.
    for (int i = 0; i < 1000 && sequence_get_state(core, kept) != 3; ++i) core.process();
    EXPECT_EQ(sequence_get_state(core, kept), 3);
    EXPECT_TRUE(core.sequences().contains(kept));
    EXPECT_FALSE(core.sequences().contains(erased)); // gone after the render in which it ended
    EXPECT_TRUE(core.sequences().contains(8));       // auto-delete, but never started

    // A stopped sequence without auto-delete plays again.
    EXPECT_EQ(sequence_play(core, kept, 0.0, 0.0), 0);
    EXPECT_EQ(sequence_get_state(core, kept), 1);
}

TEST(EngineCore, PauseFreezesEverything) {
    LumetraCore core = makeCore(2000.0, 100);
    const int32_t pattern = pattern_load_from_spn(core, validSpn().c_str(), -1);
    const int32_t id = sequence_new(core, pattern, true, -1);
    sequence_play(core, id, 0.0, 0.0);
    core.process();
    const double t = core.time();
    EXPECT_DOUBLE_EQ(t, 0.05);
    const uint32_t cycle = lmc_render_cycle();
    sequence_stop(core, id, 0.0); // ended: would be erased by the next render
    set_pause(core, true);
    for (int i = 0; i < 5; ++i) core.process();
    EXPECT_EQ(core.time(), t);
    EXPECT_EQ(lmc_render_cycle(), cycle);
    EXPECT_TRUE(core.sequences().contains(id));
    for (const auto& buffer : core.actuatorBuffers())
        for (double x : buffer) EXPECT_EQ(x, 0.0);
    set_pause(core, false);
    core.process();
    EXPECT_FALSE(core.sequences().contains(id));
    EXPECT_EQ(lmc_render_cycle(), cycle + 1);
}

TEST(EngineCore, StopAll) {
    LumetraCore core = makeCore(48000.0, 512);
    SampleSpec endless;
    endless.repeatCount = 0;
    const int32_t pattern = pattern_load_from_spn(core, spnText(endless).c_str(), -1);
    for (int i = 0; i < 3; ++i) sequence_play(core, sequence_new(core, pattern, false, -1), 0.0, 0.0);
    core.process();
    stop_all(core, 0.0);
    for (int id = 0; id < 3; ++id) EXPECT_EQ(sequence_get_state(core, id), 3);

    for (int id = 0; id < 3; ++id) sequence_play(core, id, 0.0, 0.0);
    stop_all(core, 0.5);
    // Each fades out over 24000 samples (how a fade ends: SequenceRender).
    for (int id = 0; id < 3; ++id) {
        EXPECT_EQ(sequence_get_state(core, id), 2);
        EXPECT_DOUBLE_EQ(core.sequences().find(id)->fade().step(), 1.0 / 24000.0);
    }
}

TEST(EngineCore, PropertyValues) {
    LogCapture log;
    LumetraCore core = makeCore();
    const int32_t id = sequence_new(core, pattern_load_from_spn(core, validSpn().c_str(), -1), false, -1);
    const Sequence& sequence = *core.sequences().find(id);
    using Read = double (*)(const Sequence&);
    const Read volume = [](const Sequence& s) { return s.volume; };
    const Read speed = [](const Sequence& s) { return s.speed; };
    const Read delay = [](const Sequence& s) { return s.tracks().repeatDelay; };
    const Read limit = [](const Sequence& s) { return s.tracks().maxDuration; };
    const Read boost = [](const Sequence& s) { return s.boost; };
    const double nan = std::nan(""), inf = INFINITY;
    const std::tuple<int32_t (*)(LumetraCore&, int32_t, double), double, int32_t, Read, double> cases[] = {
        {property_volume_set, -2.0, 0, volume, 0.0},          {property_volume_set, nan, 0, volume, 0.0},
        {property_volume_set, inf, -100, volume, 0.0},        {property_volume_set, 1.5, 0, volume, 1.5},
        {property_speed_set, nan, -100, speed, 1.0},          {property_speed_set, inf, -100, speed, 1.0},
        {property_speed_set, -inf, -100, speed, 1.0},         {property_speed_set, -3.0, 0, speed, 0.0},
        {property_repeat_delay_set, -1.0, 0, delay, 0.0},     {property_repeat_delay_set, inf, -100, delay, 0.0},
        {property_max_duration_set, nan, 0, limit, 0.0},      {property_max_duration_set, inf, -100, limit, 0.0},
        {property_max_duration_set, 2.5, 0, limit, 2.5},      {property_boost_set, -0.5, 0, boost, -0.5},
    };
    for (const auto& [set, value, result, read, expected] : cases) {
        EXPECT_EQ(set(core, id, value), result) << value;
        EXPECT_EQ(read(sequence), expected) << value;
    }
    EXPECT_EQ(log.at("lmc:311").size(), 3u);
    EXPECT_EQ(property_repeat_count_set(core, id, 0), 0);
    EXPECT_EQ(sequence.tracks().repeatCount, 0u);
    Transform* transform = sequence_get_transform(core, id);
    ASSERT_NE(transform, nullptr);
    transform->setTranslation(0, 0.1, 0);
    EXPECT_EQ(sequence.transform.height(), 0.1);
}
TEST(EngineCore, PatternBoostAndMaxSimultaneous) {
    LumetraCore core = makeCore();
    SampleSpec a, b;
    a.maxDuration = 1.0;
    b.maxDuration = 1.0;
    const std::string text = spnText({{100.0, {a}}, {100.0, {b}}}, 150.0);
    const int32_t id = pattern_load_from_spn(core, text.c_str(), -1);
    EXPECT_EQ(pattern_get_boost(core, id), 1.5);
    EXPECT_EQ(pattern_get_max_simultaneous_effects(core, id), 2);
    const int32_t sequence = sequence_new(core, id, false, -1);
    EXPECT_EQ(core.sequences().find(sequence)->boost, 1.5);
}

TEST(EngineCore, SequencesOutliveTheirPattern) {
    LumetraCore core = makeCore(2000.0, 100);
    const int32_t pattern = pattern_load_from_spn(core, validSpn().c_str(), -1);
    const int32_t id = sequence_new(core, pattern, false, -1);
    sequence_play(core, id, 0.0, 0.0);
    pattern_unload(core, pattern);
    core.process();
    double energy = 0.0;
    for (double x : core.actuatorBuffers()[0]) energy += x * x;
    EXPECT_GT(energy, 0.0);
    EXPECT_EQ(sequence_get_state(core, id), 1);
}

TEST(EngineCore, VisualiserWeightsAndClock) {
    LumetraCore core = makeCore(2000.0, 100);
    SampleSpec sample;
    sample.spatKeyframes = nlohmann::json::array({enginetest::weightsKey(0, {100, 50})});
    const int32_t pattern = pattern_load_from_spn(core, spnText(sample).c_str(), -1);
    sequence_play(core, sequence_new(core, pattern, false, 4), 0.0, 0.0);
    sequence_new(core, pattern, false, 2);

    std::vector<SequenceWeights> weights;
    core.process();
    double peak = 0.0;
    for (double x : core.actuatorBuffers()[0]) peak = std::max(peak, std::fabs(x));
    core.collectSequenceWeights(weights);
    ASSERT_EQ(weights.size(), 2u);
    EXPECT_EQ(weights[0].sequenceId, 2);
    EXPECT_EQ(weights[1].sequenceId, 4);
    ASSERT_EQ(weights[1].weights.size(), 20u);
    EXPECT_FLOAT_EQ(weights[1].weights[0], static_cast<float>(peak));
    EXPECT_FLOAT_EQ(weights[1].weights[1], static_cast<float>(0.5 * peak));
    EXPECT_EQ(weights[1].weights[2], 0.0f);
    for (float w : weights[0].weights) EXPECT_EQ(w, 0.0f);

    EXPECT_GT(core.time(), 0.0);
    core.resetClock();
    EXPECT_EQ(core.time(), 0.0);
    core.collectSequenceWeights(weights);
    ASSERT_EQ(weights.size(), 2u);
    EXPECT_EQ(weights[1].weights.size(), 20u);
    for (float w : weights[1].weights) EXPECT_EQ(w, 0.0f);
}

TEST(EngineCore, LayoutReloadResizesTheBuffers) {
    std::shared_ptr<ILayout> layout = makeLayout(ILayout::kBasic);
    LumetraCore core(layout, 2000.0, 16);
    EXPECT_EQ(core.actuatorBuffers().size(), 1u);
    ASSERT_EQ(layout->load(R"({"position": [[0,0,0],[1,0,0],[0,1,0]]})"), 0);
    EXPECT_TRUE(layout->changed());
    core.process();
    ASSERT_EQ(core.actuatorBuffers().size(), 3u);
    for (const auto& buffer : core.actuatorBuffers()) EXPECT_EQ(buffer.size(), 16u);
    EXPECT_FALSE(layout->changed());
}
