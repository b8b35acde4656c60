// Inputs that used to hang, crash or drive the actuators wrongly.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "engine_test_util.h"
#include "lumetra-core/src/lmc.h"

using namespace lmc;
using enginetest::generatorOutput;
using enginetest::renderChannel;
using enginetest::SampleSpec;
using enginetest::spnText;
using enginetest::TrackSpec;

namespace {
constexpr uint64_t kWave = 96;
}

TEST(EngineFaults, NanSamplesBecomeSilenceNotFullStrength) {
    // A huge volume overflows the generator's float samples to +-infinity;
    // where two tracks of opposite signs meet, their sum is NaN.
    SampleSpec a, b;
    a.signalIndex = b.signalIndex = kWave;
    b.startCrop = 0.0125;
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 100);
    const int32_t pattern =
        pattern_load_from_spn(core, spnText({TrackSpec{100.0, {a}}, TrackSpec{100.0, {b}}}).c_str(), -1);
    const int32_t id = sequence_new(core, pattern, false, -1);
    ASSERT_EQ(property_volume_set(core, id, 1e300), 0);
    ASSERT_EQ(sequence_play(core, id, 0.0, 0.0), 0);

    const std::vector<float> ra = generatorOutput(kWave, 0.0, 0.0, 2000.0, 2000);
    const std::vector<float> rb = generatorOutput(kWave, 0.0125, 0.0, 2000.0, 2000);
    const std::vector<double> out = renderChannel(core, 2000);
    std::size_t opposite = 0;
    for (std::size_t k = 0; k < 2000; ++k) {
        ASSERT_FALSE(std::isnan(out[k])) << k;
        ASSERT_LE(std::fabs(out[k]), 1.0) << k;
        if ((ra[k] > 0 && rb[k] < 0) || (ra[k] < 0 && rb[k] > 0)) {
            ++opposite;
            EXPECT_EQ(out[k], 0.0) << k;
        } else if (ra[k] > 0 && rb[k] > 0) {
            EXPECT_EQ(out[k], 1.0) << k;
        } else if (ra[k] < 0 && rb[k] < 0) {
            EXPECT_EQ(out[k], -1.0) << k;
        }
    }
    EXPECT_GT(opposite, 10u);
}

TEST(EngineFaults, HugeFiniteRepeatOfNothingDoesNotSpin) {
    // An index past the table, and an empty crop: both play nothing, 2^32 - 1
    // times with no delay. The next sample starts where they end: at once.
    for (const bool emptyCrop : {false, true}) {
        SampleSpec nothing;
        nothing.repeatCount = 4294967295u;
        nothing.maxDuration = 0.5;
        if (emptyCrop) {
            nothing.signalIndex = kWave;
            nothing.startCrop = 0.5;
            nothing.stopCrop = 0.25;
        } else {
            nothing.signalIndex = 204;
        }
        SampleSpec after;
        after.signalIndex = kWave;
        after.timestamp = 0.5;
        LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 100);
        const int32_t pattern =
            pattern_load_from_spn(core, spnText({TrackSpec{100.0, {nothing, after}}}).c_str(), -1);
        const int32_t id = sequence_new(core, pattern, false, -1);
        sequence_play(core, id, 0.0, 0.0);
        const std::vector<double> out = renderChannel(core, 500);
        const std::vector<float> reference = generatorOutput(kWave, 0, 0, 2000.0, 500);
        for (std::size_t k = 0; k < 500; ++k) ASSERT_EQ(out[k], static_cast<double>(reference[k])) << k;
    }
}

TEST(EngineFaults, RepetitionsOfNothingWithADelayStillTakeTheirTime) {
    // 3 plays of nothing 0.1 s apart: 0.2 s of silence after the initial 0.05 s.
    SampleSpec nothing;
    nothing.signalIndex = 300;
    nothing.repeatCount = 3;
    nothing.preDelay = 0.05;
    nothing.postDelay = 0.05;
    SampleSpec after;
    after.signalIndex = kWave;
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 64);
    const int32_t pattern =
        pattern_load_from_spn(core, spnText({TrackSpec{100.0, {nothing, after}}}).c_str(), -1);
    sequence_play(core, sequence_new(core, pattern, false, -1), 0.0, 0.0);
    const std::vector<double> out = renderChannel(core, 1000);
    const std::vector<float> reference = generatorOutput(kWave, 0, 0, 2000.0, 500);
    const std::size_t start = 100 + 2 * 200; // initial delay, then two delays of pre + post
    for (std::size_t k = 0; k < start; ++k) ASSERT_EQ(out[k], 0.0) << k;
    for (std::size_t k = 0; k < 500; ++k)
        ASSERT_EQ(out[start + k], static_cast<double>(reference[k])) << k;
}

TEST(EngineFaults, SeekWithARepetitionPeriodOfZero) {
    // A sample of nothing without delays has a period of 0; starting the
    // pattern 0.3 s in must not divide 0 by 0. The other track plays from 0.3 s.
    SampleSpec nothing;
    nothing.signalIndex = 300;
    nothing.repeatCount = 5;
    SampleSpec signal;
    signal.signalIndex = kWave;
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 100);
    const int32_t pattern = pattern_load_from_spn(
        core, spnText({TrackSpec{100.0, {nothing}}, TrackSpec{100.0, {signal}}}).c_str(), -1);
    sequence_play(core, sequence_new(core, pattern, false, -1), 0.3, 0.0);
    const std::vector<float> reference = generatorOutput(kWave, 0, 0, 2000.0, 1100);
    const std::vector<double> out = renderChannel(core, 500);
    for (std::size_t k = 0; k < 500; ++k)
        ASSERT_EQ(out[k], static_cast<double>(reference[600 + k])) << k;
}

TEST(EngineFaults, VisualiserPeakIsTakenOverTheSamplesProduced) {
    // A loud sequence fills the shared work buffer; a quiet one whose crop
    // ends after a few samples must not see the loud samples left behind.
    SampleSpec loud;
    loud.signalIndex = kWave;
    loud.spatKeyframes = nlohmann::json::array({enginetest::weightsKey(0, {0, 100})});
    SampleSpec quiet;
    quiet.signalIndex = kWave;
    quiet.stopCrop = 0.002; // 16 waveform samples
    LumetraCore core(layout_new_tarvonel_capsule(), 48000.0, 512);
    const int32_t first = sequence_new(core, pattern_load_from_spn(core, spnText(loud).c_str(), -1), false, -1);
    const int32_t second =
        sequence_new(core, pattern_load_from_spn(core, spnText({TrackSpec{1.0, {quiet}}}).c_str(), -1), false, -1);
    sequence_play(core, first, 0.0, 0.0);
    sequence_play(core, second, 0.0, 0.0);
    core.process();
    double quietPeak = 0.0, loudPeak = 0.0;
    for (double x : core.actuatorBuffers()[0]) quietPeak = std::max(quietPeak, std::fabs(x));
    for (double x : core.actuatorBuffers()[1]) loudPeak = std::max(loudPeak, std::fabs(x));
    ASSERT_GT(loudPeak, 100 * quietPeak);
    std::vector<SequenceWeights> weights;
    core.collectSequenceWeights(weights);
    ASSERT_EQ(weights.size(), 2u);
    EXPECT_FLOAT_EQ(weights[1].weights[0], static_cast<float>(quietPeak));
    EXPECT_EQ(weights[1].weights[1], 0.0f);
    EXPECT_FLOAT_EQ(weights[0].weights[1], static_cast<float>(loudPeak));
}

TEST(EngineFaults, ExtremeTimesAndRatesStayDefined) {
    // Every seconds-to-samples conversion saturates: huge repeat delays and
    // maximum durations, tiny and huge speeds, far-away start times.
    SampleSpec sample;
    sample.signalIndex = kWave;
    sample.repeatCount = 0;
    sample.postDelay = 1e300;
    sample.maxDuration = 1e300;
    for (const double speed : {1e-300, 1e-9, 1e9, 1e300, std::numeric_limits<double>::max()}) {
        for (const double playAt : {0.0, 1e-300, 1e20, 1e300}) {
            LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 64);
            const int32_t id =
                sequence_new(core, pattern_load_from_spn(core, spnText(sample).c_str(), -1), true, -1);
            EXPECT_EQ(property_speed_set(core, id, speed), 0);
            EXPECT_EQ(property_repeat_delay_set(core, id, std::numeric_limits<double>::max()), 0);
            EXPECT_EQ(property_max_duration_set(core, id, std::numeric_limits<double>::max()), 0);
            EXPECT_EQ(property_repeat_count_set(core, id, 0), 0);
            ASSERT_EQ(sequence_play(core, id, playAt, 1e-300), 0);
            for (int i = 0; i < 4; ++i) core.process();
            for (const auto& buffer : core.actuatorBuffers())
                for (double x : buffer) ASSERT_TRUE(x >= -1.0 && x <= 1.0);
            sequence_stop(core, id, 1e300); // a fade of any length stays defined
            core.process();
        }
    }
    LumetraCore core(layout_new_tarvonel_capsule(), 1e300, 8);
    const int32_t id = sequence_new(core, pattern_load_from_spn(core, spnText(sample).c_str(), -1), false, -1);
    sequence_play(core, id, 0.0, 1.0);
    core.process();
    sequence_stop(core, id, 1e-300); // one sample of fade, within the latency
    core.process();
    core.process();
    EXPECT_EQ(sequence_get_state(core, id), 3);
}

TEST(EngineFaults, HugeSampleValuesOfAPatternStayDefined) {
    // The corpus's pattern of extreme values, at every rate the streams use.
    SampleSpec sample;
    sample.signalIndex = 0x10000 + kWave; // shared clock
    sample.speed = 1e300;
    sample.timestamp = 1e300;
    sample.preDelay = 1e300;
    sample.postDelay = 1e300;
    sample.repeatCount = 18446744073709551615u;
    sample.volumeKeyframes = nlohmann::json::array(
        {{{"timestamp", 1}, {"volume", 0}}, {{"timestamp", 1.0001}, {"volume", 1e308}}});
    for (const double rate : {48000.0, 2000.0, 500.0, 8.0, 1e-300}) {
        LumetraCore core(layout_new_tarvonel_capsule(), rate, 64);
        const int32_t id = sequence_new(core, pattern_load_from_spn(core, spnText(sample).c_str(), -1), false, -1);
        ASSERT_GE(id, 0);
        ASSERT_EQ(sequence_play(core, id, 1e300, 0.0), 0);
        for (int i = 0; i < 4; ++i) core.process();
        for (const auto& buffer : core.actuatorBuffers())
            for (double x : buffer) ASSERT_TRUE(x >= -1.0 && x <= 1.0);
    }
}
