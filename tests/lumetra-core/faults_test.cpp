// Inputs that used to hang, crash or drive the actuators wrongly.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "engine_test_util.h"
#include "lumetra-core/src/lmc.h"

using namespace lmc;
using enginetest::spnText;
using enginetest::TrackSpec;

namespace {

class EngineFaults : public enginetest::EngineTest {
protected:
    void expectInRange() {
        for (const auto& buffer : core->actuatorBuffers())
            for (double x : buffer) ASSERT_TRUE(x >= -1.0 && x <= 1.0);
    }
};

TEST_F(EngineFaults, NanSamplesBecomeSilenceNotFullStrength) {
    // A huge volume overflows the generator's float samples to +-infinity;
    // where two tracks of opposite signs meet, their sum is NaN.
    auto b = wave();
    b.startCrop = 0.0125;
    engine(2000.0, 100);
    const int32_t id = play(spnText({TrackSpec{100.0, {wave()}}, TrackSpec{100.0, {b}}}));
    ASSERT_EQ(property_volume_set(*core, id, 1e300), 0);
    const std::vector<float> ra = reference(2000);
    const std::vector<float> rb = reference(2000, 0.0125);
    const std::vector<double> out = render(2000);
    std::size_t opposite = 0;
    for (std::size_t k = 0; k < 2000; ++k) {
        const double sa = (ra[k] > 0) - (ra[k] < 0), sb = (rb[k] > 0) - (rb[k] < 0);
        opposite += sa * sb < 0;
        // Opposite signs: 0; the same sign: full strength in it.
        ASSERT_EQ(out[k], sa * sb < 0 ? 0.0 : sa == sb ? sa : out[k]) << k;
        ASSERT_LE(std::fabs(out[k]), 1.0) << k;
    }
    EXPECT_GT(opposite, 10u);
}

TEST_F(EngineFaults, RepetitionsOfNothingTakeTheirDelaysAndNeverSpin) {
    // An index past the table, and an empty crop: both play nothing, 2^32 - 1
    // times with no delay. The next sample starts where they end: at once.
    for (const bool emptyCrop : {false, true}) {
        auto nothing = wave();
        nothing.repeatCount = 4294967295u;
        nothing.maxDuration = 0.5;
        if (emptyCrop) {
            nothing.startCrop = 0.5;
            nothing.stopCrop = 0.25;
        } else {
            nothing.signalIndex = 204;
        }
        auto after = wave();
        after.timestamp = 0.5;
        engine(2000.0, 100);
        play(spnText({TrackSpec{100.0, {nothing, after}}}));
        expectSignal(render(500), 0, reference(500));
    }
    // 3 plays of nothing 0.1 s apart: 0.2 s of silence after the first 0.05 s.
    auto nothing = wave();
    nothing.signalIndex = 300;
    nothing.repeatCount = 3;
    nothing.preDelay = 0.05;
    nothing.postDelay = 0.05;
    engine(2000.0, 64);
    play(spnText({TrackSpec{100.0, {nothing, wave()}}}));
    const std::vector<double> out = render(1000);
    const std::size_t start = 100 + 2 * 200; // initial delay, then two delays of pre + post
    expectSilence(out, 0, start);
    expectSignal(out, start, reference(500));
}

TEST_F(EngineFaults, SeekWithARepetitionPeriodOfZero) {
    // A sample of nothing without delays has a period of 0; starting the
    // pattern 0.3 s in must not divide 0 by 0. The other track plays from 0.3 s.
    auto nothing = wave();
    nothing.signalIndex = 300;
    nothing.repeatCount = 5;
    engine(2000.0, 100);
    play(spnText({TrackSpec{100.0, {nothing}}, TrackSpec{100.0, {wave()}}}), 0.3);
    const std::vector<float> full = reference(1100);
    expectSignal(render(500), 0, std::vector<float>(full.begin() + 600, full.end()));
}

TEST_F(EngineFaults, VisualiserPeakIsTakenOverTheSamplesProduced) {
    // A loud sequence fills the shared work buffer; a quiet one whose crop
    // ends after a few samples must not see the loud samples left behind.
    auto loud = wave();
    loud.spatKeyframes = nlohmann::json::array({enginetest::weightsKey(0, {0, 100})});
    auto quiet = wave();
    quiet.stopCrop = 0.002; // 16 waveform samples
    engine(48000.0, 512);
    play(spnText(loud));
    play(spnText({TrackSpec{1.0, {quiet}}}));
    core->process();
    double quietPeak = 0.0, loudPeak = 0.0;
    for (double x : core->actuatorBuffers()[0]) quietPeak = std::max(quietPeak, std::fabs(x));
    for (double x : core->actuatorBuffers()[1]) loudPeak = std::max(loudPeak, std::fabs(x));
    ASSERT_GT(loudPeak, 100 * quietPeak);
    std::vector<SequenceWeights> weights;
    core->collectSequenceWeights(weights);
    ASSERT_EQ(weights.size(), 2u);
    EXPECT_FLOAT_EQ(weights[1].weights[0], static_cast<float>(quietPeak));
    EXPECT_EQ(weights[1].weights[1], 0.0f);
    EXPECT_FLOAT_EQ(weights[0].weights[1], static_cast<float>(loudPeak));
}

TEST_F(EngineFaults, ExtremeTimesRatesAndValuesStayDefined) {
    // Every seconds-to-samples conversion saturates: huge repeat delays and
    // maximum durations, tiny and huge speeds, far-away start times.
    auto sample = wave();
    sample.repeatCount = 0;
    sample.postDelay = 1e300;
    sample.maxDuration = 1e300;
    constexpr double kMax = std::numeric_limits<double>::max();
    for (const double speed : {1e-300, 1e-9, 1e9, 1e300, kMax}) {
        for (const double playAt : {0.0, 1e-300, 1e20, 1e300}) {
            engine(2000.0, 64);
            const int32_t id = sequence(spnText(sample), true);
            EXPECT_EQ(property_speed_set(*core, id, speed), 0);
            EXPECT_EQ(property_repeat_delay_set(*core, id, kMax), 0);
            EXPECT_EQ(property_max_duration_set(*core, id, kMax), 0);
            EXPECT_EQ(property_repeat_count_set(*core, id, 0), 0);
            ASSERT_EQ(sequence_play(*core, id, playAt, 1e-300), 0);
            for (int i = 0; i < 4; ++i) core->process();
            expectInRange();
            sequence_stop(*core, id, 1e300); // a fade of any length stays defined
            core->process();
        }
    }
    engine(1e300, 8);
    const int32_t id = play(spnText(sample), 0.0, 1.0);
    core->process();
    sequence_stop(*core, id, 1e-300); // one sample of fade, within the latency
    core->process();
    core->process();
    EXPECT_EQ(sequence_get_state(*core, id), 3);

    // The corpus's pattern of extreme values, at every rate the streams use.
    sample = wave();
    sample.signalIndex = 0x10000 + kWave; // shared clock
    sample.speed = sample.timestamp = sample.preDelay = sample.postDelay = 1e300;
    sample.repeatCount = 18446744073709551615u;
    sample.volumeKeyframes =
        nlohmann::json::array({{{"timestamp", 1}, {"volume", 0}}, {{"timestamp", 1.0001}, {"volume", 1e308}}});
    for (const double rate : {48000.0, 2000.0, 500.0, 8.0, 1e-300}) {
        engine(rate, 64);
        play(spnText(sample), 1e300);
        for (int i = 0; i < 4; ++i) core->process();
        expectInRange();
    }
}

} // namespace
