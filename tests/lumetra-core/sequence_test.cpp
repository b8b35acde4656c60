// Sequences and their effect tree, rendered through the engine: timing of
// latency, delays, repetitions, limits, fades, speed, mute and envelopes,
// checked sample by sample against the playback generator's own output.
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "engine_test_util.h"
#include "lumetra-core/src/lmc.h"

using namespace lmc;
using enginetest::spnText;

namespace {

class SequenceRender : public enginetest::EngineTest {};

TEST_F(SequenceRender, StartsAfterTheLatencyOrFromPlayAt) {
    // 0.1 s of latency, across buffers.
    engine(48000.0, 512);
    play(spnText(wave()), 0.0, 0.1);
    std::vector<double> out = render(4800 + 2000);
    expectSilence(out, 0, 4800);
    expectSignal(out, 4800, reference(2000));

    // Played at its first sample's timestamp: at once; from the pattern's
    // start, its first sample's timestamp and preDelay are silence.
    auto sample = wave();
    sample.timestamp = 0.25;
    engine(2000.0, 20);
    play(spnText(sample), 0.25, 0.0);
    expectSignal(render(1000), 0, reference(1000));
    sample.preDelay = 0.1;
    engine(2000.0, 20);
    play(spnText(sample));
    out = render(700 + 1000);
    expectSilence(out, 0, 700);
    expectSignal(out, 700, reference(1000));
}

TEST_F(SequenceRender, PatternRepetitionsAndTheirDelay) {
    // One second of waveform, played twice 0.5 s apart.
    auto sample = wave();
    sample.stopCrop = 1.0;
    engine(2000.0, 20);
    const int32_t id = play(spnText(sample));
    EXPECT_EQ(property_repeat_count_set(*core, id, 2), 0);
    EXPECT_EQ(property_repeat_delay_set(*core, id, 0.5), 0);
    const std::vector<float> once = reference(4000, 0, 1.0);
    ASSERT_GE(once.size(), 2000u);
    ASSERT_LE(once.size(), 2001u);
    const std::size_t total = 2 * once.size() + 1000;
    const std::vector<double> out = render(total + 200);
    expectSignal(out, 0, once);
    expectSilence(out, once.size(), once.size() + 1000);
    expectSignal(out, once.size() + 1000, once);
    expectSilence(out, total, out.size());
    EXPECT_EQ(sequence_get_state(*core, id), 3);
}

TEST_F(SequenceRender, EndlessRepetitionEndsAtTheMaximumDuration) {
    auto sample = wave();
    sample.stopCrop = 0.4;
    engine(2000.0, 64);
    const int32_t id = play(spnText(sample));
    property_repeat_count_set(*core, id, 0);
    property_max_duration_set(*core, id, 3.0);
    std::size_t rendered = 0;
    while (sequence_get_state(*core, id) == 1 && rendered < 20000) {
        core->process();
        rendered += 64;
    }
    // 6000 frames = 3 s: the render holding frame 6000 ends it.
    EXPECT_EQ(rendered, (6000 / 64 + 1) * 64u);
    expectSilence(core->actuatorBuffers()[0], 6000 % 64, 64);
}

TEST_F(SequenceRender, FadeOutFallsLinearlyAndASecondFadeChangesOnlyTheStep) {
    engine(48000.0, 512);
    int32_t id = play(spnText(wave()));
    const std::vector<float> full = reference(3 * 512);
    core->process();
    // 1024 samples: a step of 1/1024 per sample from gain 1.
    EXPECT_EQ(sequence_stop(*core, id, 1024.0 / 48000.0), 0);
    EXPECT_EQ(sequence_get_state(*core, id), 2);
    const std::vector<double> out = render(3 * 512);
    for (std::size_t k = 0; k < 1024; ++k) {
        const float gain = static_cast<float>(1.0 - static_cast<double>(k) / 1024.0);
        ASSERT_EQ(out[k], static_cast<double>(full[512 + k] * gain)) << k;
    }
    expectSilence(out, 1024, out.size());
    EXPECT_EQ(sequence_get_state(*core, id), 3);

    engine(48000.0, 512);
    id = play(spnText(wave()));
    sequence_stop(*core, id, 1024.0 / 48000.0);
    core->process();
    const auto gain = [&] { return core->sequences().find(id)->fade().gain(); };
    EXPECT_DOUBLE_EQ(gain(), 0.5);
    sequence_stop(*core, id, 2048.0 / 48000.0); // half the step from where it stands
    EXPECT_DOUBLE_EQ(gain(), 0.5);
    core->process();
    EXPECT_DOUBLE_EQ(gain(), 0.25);
    core->process();
    EXPECT_EQ(sequence_get_state(*core, id), 2);
    core->process();
    EXPECT_EQ(sequence_get_state(*core, id), 3); // 0.5 + 1024 samples at 1/2048 each
}

TEST_F(SequenceRender, SpeedHastensTheSamplesButNotTheSequenceTimes) {
    auto sample = wave();
    sample.timestamp = 0.5;
    sample.preDelay = 0.1;
    sample.stopCrop = 1.0;
    engine(2000.0, 20);
    const int32_t id = play(spnText(sample));
    property_speed_set(*core, id, 2.0);
    property_repeat_count_set(*core, id, 2);
    property_repeat_delay_set(*core, id, 0.5);
    // Samples at half the rate: 0.6 s of gap and preDelay take 0.3 s, the
    // second of waveform 0.5 s; the sequence's repeat delay stays 0.5 s.
    const std::vector<float> hastened = enginetest::generatorOutput(kWave, 0, 1.0, 1000.0, 2000);
    ASSERT_GE(hastened.size(), 1000u);
    const std::size_t period = 600 + hastened.size() + 1000;
    const std::vector<double> out = render(2 * period);
    expectSilence(out, 0, 600);
    expectSignal(out, 600, hastened);
    expectSilence(out, 600 + hastened.size(), period + 600);
    expectSignal(out, period + 600, hastened);
}

TEST_F(SequenceRender, SpeedZeroAndMuteAreSilenceThatKeepsTime) {
    engine(2000.0, 100);
    const int32_t id = play(spnText(wave()));
    const std::vector<float> full = reference(900);
    const auto part = [&](std::size_t from, std::size_t to) {
        return std::vector<float>(full.begin() + static_cast<long>(from), full.begin() + static_cast<long>(to));
    };
    expectSignal(render(200), 0, part(0, 200));
    property_speed_set(*core, id, 0.0);
    expectSilence(render(1000), 0, 1000);
    EXPECT_EQ(sequence_get_state(*core, id), 1);
    property_speed_set(*core, id, 1.0); // time stood still: it goes on from there
    expectSignal(render(200), 0, part(200, 400));

    Sequence& sequence = const_cast<Sequence&>(*core->sequences().find(id));
    sequence.muted = true; // time runs on while muted
    EXPECT_TRUE(sequence_is_muted(*core, id));
    expectSilence(render(300), 0, 300);
    EXPECT_EQ(sequence_get_state(*core, id), 1);
    sequence.muted = false;
    expectSignal(render(200), 0, part(700, 900));
}

TEST_F(SequenceRender, VolumeEnvelopeAndVolumesMultiply) {
    auto sample = wave();
    sample.volumeKeyframes = nlohmann::json::array({{{"timestamp", 0}, {"volume", 0}}, {{"timestamp", 1}, {"volume", 100}}});
    engine(2000.0, 100);
    play(spnText(sample));
    const std::vector<float> full = reference(3000);
    const std::vector<double> out = render(3000);
    for (std::size_t k = 0; k < 2000; ++k)
        ASSERT_NEAR(out[k], static_cast<double>(full[k]) * (static_cast<double>(k) / 2000.0), 1e-6) << k;
    expectSignal(out, 2000, std::vector<float>(full.begin() + 2000, full.end()));

    // Track 50 % x sequence 0.5 scale the generator's samples (in float);
    // the weights 50 %, 0 and 100 % spread them.
    sample = wave();
    sample.spatKeyframes = nlohmann::json::array({enginetest::weightsKey(0, {50, 0, 100})});
    engine(2000.0, 100);
    const int32_t id = play(spnText({{50.0, {sample}}}));
    property_volume_set(*core, id, 0.5);
    core->process();
    for (std::size_t k = 0; k < 100; ++k) {
        const double value = static_cast<double>(full[k] * 0.25f);
        EXPECT_EQ(std::tuple(core->actuatorBuffers()[0][k], core->actuatorBuffers()[1][k], core->actuatorBuffers()[2][k]),
                  std::tuple(value * 0.5, 0.0, value));
    }
}

TEST_F(SequenceRender, SampleRepetitionsKeepTheEffectTime) {
    // Three plays of 0.1 s with 0.05 s between them. The envelope rises over
    // the effect's own time, which runs on across its plays (not during the
    // delays): 0 at the first play's start, full after the third.
    auto sample = wave();
    sample.stopCrop = 0.1;
    sample.repeatCount = 3;
    sample.postDelay = 0.05;
    sample.volumeKeyframes =
        nlohmann::json::array({{{"timestamp", 0}, {"volume", 0}}, {{"timestamp", 0.3}, {"volume", 100}}});
    engine(2000.0, 50);
    play(spnText(sample));
    const std::vector<float> once = reference(400, 0, 0.1);
    ASSERT_GE(once.size(), 200u);
    const std::vector<double> out = render(3 * once.size() + 200 + 100);
    std::size_t at = 0;
    for (int played = 0; played < 3; ++played) {
        for (std::size_t k = 0; k < once.size(); ++k) {
            const double t = static_cast<double>(played * once.size() + k) / 2000.0;
            ASSERT_NEAR(out[at + k], static_cast<double>(once[k]) * std::min(t / 0.3, 1.0), 1e-6) << played << " " << k;
        }
        at += once.size() + (played < 2 ? 100 : 0);
        if (played < 2) expectSilence(out, at - 100, at);
    }
    expectSilence(out, at, out.size());
}

} // namespace
