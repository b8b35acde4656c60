// Sequences and their effect tree, rendered through the engine: timing of
// latency, delays, repetitions, limits, fades, speed, mute and envelopes,
// checked sample by sample against the playback generator's own output.
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "engine_test_util.h"
#include "lumetra-core/src/lmc.h"
#include "lumetra-core/src/sample_assets.h"

using namespace lmc;
using enginetest::generatorOutput;
using enginetest::renderChannel;
using enginetest::SampleSpec;
using enginetest::spnText;

namespace {

// A core playing `spn` once from (playAt, latency); returns the sequence ID.
int32_t playPattern(LumetraCore& core, const std::string& spn, double playAt = 0.0,
                    double latency = 0.0, bool autoDelete = false) {
    const int32_t pattern = pattern_load_from_spn(core, spn.c_str(), -1);
    EXPECT_GE(pattern, 0);
    const int32_t id = sequence_new(core, pattern, autoDelete, -1);
    EXPECT_GE(id, 0);
    EXPECT_EQ(sequence_play(core, id, playAt, latency), 0);
    return id;
}

void expectSilence(const std::vector<double>& out, std::size_t from, std::size_t to) {
    for (std::size_t k = from; k < to; ++k) ASSERT_EQ(out[k], 0.0) << "frame " << k;
}

// out[at + k] == reference[k] exactly, for every reference sample.
void expectSignal(const std::vector<double>& out, std::size_t at, const std::vector<float>& reference,
                  double gain = 1.0) {
    ASSERT_LE(at + reference.size(), out.size());
    for (std::size_t k = 0; k < reference.size(); ++k)
        ASSERT_EQ(out[at + k], static_cast<double>(reference[k]) * gain) << "frame " << at + k;
}

bool anyNonZero(const std::vector<float>& samples) {
    for (float x : samples)
        if (x != 0.0f) return true;
    return false;
}

// A waveform long enough for every test here (the longest of the table).
constexpr uint64_t kWave = 96;

} // namespace

TEST(SequenceRender, LatencyIsSilenceAcrossBuffers) {
    LumetraCore core(layout_new_tarvonel_capsule(), 48000.0, 512);
    SampleSpec sample;
    sample.signalIndex = kWave;
    playPattern(core, spnText(sample), 0.0, 0.1);
    const std::vector<double> out = renderChannel(core, 4800 + 2000);
    const std::vector<float> reference = generatorOutput(kWave, 0, 0, 48000.0, 2000);
    ASSERT_TRUE(anyNonZero(reference));
    expectSilence(out, 0, 4800);
    expectSignal(out, 4800, reference);
}

TEST(SequenceRender, PlayAtTheFirstSampleStartsAtOnce) {
    SampleSpec sample;
    sample.signalIndex = kWave;
    sample.timestamp = 0.25;
    const std::vector<float> reference = generatorOutput(kWave, 0, 0, 2000.0, 1000);
    {
        LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 20);
        playPattern(core, spnText(sample), 0.25, 0.0);
        expectSignal(renderChannel(core, 1000), 0, reference);
    }
    {
        // From the pattern's start: its first sample's timestamp and preDelay are silence.
        sample.preDelay = 0.1;
        LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 20);
        playPattern(core, spnText(sample), 0.0, 0.0);
        const std::vector<double> out = renderChannel(core, 700 + 1000);
        expectSilence(out, 0, 700);
        expectSignal(out, 700, reference);
    }
}

TEST(SequenceRender, PatternRepetitionsAndTheirDelay) {
    // One second of waveform, played twice 0.5 s apart.
    SampleSpec sample;
    sample.signalIndex = kWave;
    sample.stopCrop = 1.0;
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 20);
    const int32_t id = playPattern(core, spnText(sample));
    EXPECT_EQ(property_repeat_count_set(core, id, 2), 0);
    EXPECT_EQ(property_repeat_delay_set(core, id, 0.5), 0);

    const std::vector<float> once = generatorOutput(kWave, 0, 1.0, 2000.0, 4000);
    ASSERT_GE(once.size(), 2000u);
    ASSERT_LE(once.size(), 2001u);
    const std::size_t total = 2 * once.size() + 1000;
    const std::vector<double> out = renderChannel(core, total + 200);
    expectSignal(out, 0, once);
    expectSilence(out, once.size(), once.size() + 1000);
    expectSignal(out, once.size() + 1000, once);
    expectSilence(out, total, out.size());
    EXPECT_EQ(sequence_get_state(core, id), 3);
}

TEST(SequenceRender, EndlessRepetitionEndsAtTheMaximumDuration) {
    SampleSpec sample;
    sample.signalIndex = kWave;
    sample.stopCrop = 0.4;
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 64);
    const int32_t id = playPattern(core, spnText(sample));
    property_repeat_count_set(core, id, 0);
    property_max_duration_set(core, id, 3.0);

    std::size_t rendered = 0;
    while (sequence_get_state(core, id) == 1 && rendered < 20000) {
        core.process();
        rendered += 64;
    }
    // 6000 frames = 3 s: the render holding frame 6000 ends it.
    EXPECT_EQ(rendered, (6000 / 64 + 1) * 64u);
    const std::vector<double>& last = core.actuatorBuffers()[0];
    const std::size_t end = 6000 % 64;
    for (std::size_t k = end; k < last.size(); ++k) EXPECT_EQ(last[k], 0.0);
}

TEST(SequenceRender, FadeOutFallsLinearly) {
    SampleSpec sample;
    sample.signalIndex = kWave;
    LumetraCore core(layout_new_tarvonel_capsule(), 48000.0, 512);
    const int32_t id = playPattern(core, spnText(sample));
    const std::vector<float> reference = generatorOutput(kWave, 0, 0, 48000.0, 3 * 512);
    core.process();
    // 1024 samples: a step of 1/1024 per sample from gain 1.
    EXPECT_EQ(sequence_stop(core, id, 1024.0 / 48000.0), 0);
    EXPECT_EQ(sequence_get_state(core, id), 2);
    const std::vector<double> out = renderChannel(core, 3 * 512);
    for (std::size_t k = 0; k < 1024; ++k) {
        const float gain = static_cast<float>(1.0 - static_cast<double>(k) / 1024.0);
        ASSERT_EQ(out[k], static_cast<double>(reference[512 + k] * gain)) << k;
    }
    expectSilence(out, 1024, out.size());
    EXPECT_EQ(sequence_get_state(core, id), 3);
}

TEST(SequenceRender, SecondFadeChangesOnlyTheStep) {
    SampleSpec sample;
    sample.signalIndex = kWave;
    LumetraCore core(layout_new_tarvonel_capsule(), 48000.0, 512);
    const int32_t id = playPattern(core, spnText(sample));
    sequence_stop(core, id, 1024.0 / 48000.0);
    core.process();
    EXPECT_DOUBLE_EQ(core.sequences().find(id)->fade().gain(), 0.5);
    sequence_stop(core, id, 2048.0 / 48000.0); // half the step from where it stands
    EXPECT_DOUBLE_EQ(core.sequences().find(id)->fade().gain(), 0.5);
    core.process();
    EXPECT_DOUBLE_EQ(core.sequences().find(id)->fade().gain(), 0.25);
    core.process();
    EXPECT_EQ(sequence_get_state(core, id), 2);
    core.process();
    EXPECT_EQ(sequence_get_state(core, id), 3); // 0.5 + 1024 samples at 1/2048 each
}

TEST(SequenceRender, SpeedHastensTheSamplesButNotTheSequenceTimes) {
    SampleSpec sample;
    sample.signalIndex = kWave;
    sample.timestamp = 0.5;
    sample.preDelay = 0.1;
    sample.stopCrop = 1.0;
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 20);
    const int32_t id = playPattern(core, spnText(sample));
    property_speed_set(core, id, 2.0);
    property_repeat_count_set(core, id, 2);
    property_repeat_delay_set(core, id, 0.5);

    // Samples at half the rate: 0.6 s of gap and preDelay take 0.3 s, the
    // second of waveform 0.5 s; the sequence's repeat delay stays 0.5 s.
    const std::vector<float> hastened = generatorOutput(kWave, 0, 1.0, 1000.0, 2000);
    ASSERT_GE(hastened.size(), 1000u);
    const std::size_t period = 600 + hastened.size() + 1000;
    const std::vector<double> out = renderChannel(core, 2 * period);
    expectSilence(out, 0, 600);
    expectSignal(out, 600, hastened);
    expectSilence(out, 600 + hastened.size(), period + 600);
    expectSignal(out, period + 600, hastened);
}

TEST(SequenceRender, SpeedZeroIsSilenceThatKeepsPlaying) {
    SampleSpec sample;
    sample.signalIndex = kWave;
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 100);
    const int32_t id = playPattern(core, spnText(sample));
    const std::vector<float> reference = generatorOutput(kWave, 0, 0, 2000.0, 400);
    std::vector<double> out = renderChannel(core, 200);
    expectSignal(out, 0, std::vector<float>(reference.begin(), reference.begin() + 200));
    property_speed_set(core, id, 0.0);
    out = renderChannel(core, 1000);
    expectSilence(out, 0, out.size());
    EXPECT_EQ(sequence_get_state(core, id), 1);
    property_speed_set(core, id, 1.0); // time stood still: it goes on from there
    out = renderChannel(core, 200);
    expectSignal(out, 0, std::vector<float>(reference.begin() + 200, reference.begin() + 400));
}

TEST(SequenceRender, MutedSequenceKeepsTime) {
    SampleSpec sample;
    sample.signalIndex = kWave;
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 100);
    const int32_t id = playPattern(core, spnText(sample));
    const std::vector<float> reference = generatorOutput(kWave, 0, 0, 2000.0, 600);
    Sequence& sequence = const_cast<Sequence&>(*core.sequences().find(id));
    sequence.muted = true;
    EXPECT_TRUE(sequence_is_muted(core, id));
    std::vector<double> out = renderChannel(core, 300);
    expectSilence(out, 0, out.size());
    EXPECT_EQ(sequence_get_state(core, id), 1);
    sequence.muted = false;
    out = renderChannel(core, 300);
    expectSignal(out, 0, std::vector<float>(reference.begin() + 300, reference.begin() + 600));
}

TEST(SequenceRender, VolumeEnvelope) {
    SampleSpec sample;
    sample.signalIndex = kWave;
    const std::vector<float> reference = generatorOutput(kWave, 0, 0, 2000.0, 3000);
    {
        LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 100);
        playPattern(core, spnText(sample)); // no keyframes: volume 1
        expectSignal(renderChannel(core, 3000), 0, reference);
    }
    sample.volumeKeyframes = nlohmann::json::array(
        {{{"timestamp", 0}, {"volume", 0}}, {{"timestamp", 1}, {"volume", 100}}});
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 100);
    playPattern(core, spnText(sample));
    const std::vector<double> out = renderChannel(core, 3000);
    for (std::size_t k = 0; k < 3000; ++k) {
        const double gain = std::min(static_cast<double>(k) / 2000.0, 1.0);
        ASSERT_NEAR(out[k], static_cast<double>(reference[k]) * gain, 1e-6) << k;
    }
    for (std::size_t k = 2000; k < 3000; ++k) ASSERT_EQ(out[k], static_cast<double>(reference[k]));
}

TEST(SequenceRender, VolumesMultiply) {
    SampleSpec sample;
    sample.signalIndex = kWave;
    sample.spatKeyframes = nlohmann::json::array({enginetest::weightsKey(0, {50, 0, 100})});
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 100);
    const int32_t id = playPattern(core, spnText({{50.0, {sample}}}));
    property_volume_set(core, id, 0.5);
    const std::vector<float> quarter = generatorOutput(kWave, 0, 0, 2000.0, 100);
    core.process();
    for (std::size_t k = 0; k < 100; ++k) {
        // The generator scales by the volume (track x sequence) in float.
        const double sampleValue = static_cast<double>(quarter[k] * 0.25f);
        EXPECT_EQ(core.actuatorBuffers()[0][k], sampleValue * 0.5);
        EXPECT_EQ(core.actuatorBuffers()[1][k], 0.0);
        EXPECT_EQ(core.actuatorBuffers()[2][k], sampleValue);
    }
}

TEST(SequenceRender, SampleRepetitionsKeepTheEffectTime) {
    // Three plays of 0.1 s with 0.05 s between them. The envelope rises over
    // the effect's own time, which runs on across its plays (not during the
    // delays): 0 at the first play's start, full after the third.
    SampleSpec sample;
    sample.signalIndex = kWave;
    sample.stopCrop = 0.1;
    sample.repeatCount = 3;
    sample.postDelay = 0.05;
    sample.volumeKeyframes = nlohmann::json::array(
        {{{"timestamp", 0}, {"volume", 0}}, {{"timestamp", 0.3}, {"volume", 100}}});
    LumetraCore core(layout_new_tarvonel_capsule(), 2000.0, 50);
    playPattern(core, spnText(sample));
    const std::vector<float> once = generatorOutput(kWave, 0, 0.1, 2000.0, 400);
    ASSERT_GE(once.size(), 200u);
    const std::vector<double> out = renderChannel(core, 3 * once.size() + 200 + 100);
    std::size_t at = 0;
    double effectTime = 0.0;
    for (int play = 0; play < 3; ++play) {
        for (std::size_t k = 0; k < once.size(); ++k) {
            const double t = effectTime + static_cast<double>(k) / 2000.0;
            ASSERT_NEAR(out[at + k], static_cast<double>(once[k]) * std::min(t / 0.3, 1.0), 1e-6)
                << "play " << play << " frame " << k;
        }
        at += once.size();
        effectTime += static_cast<double>(once.size()) / 2000.0;
        if (play < 2) {
            expectSilence(out, at, at + 100);
            at += 100;
        }
    }
    expectSilence(out, at, out.size());
}
