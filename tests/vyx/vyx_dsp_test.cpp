// The channel, its analysers, generators and reader, against the worked cases.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "vyx/src/sample_convert.h"
#include "vyx/src/vyx_channel.h"

namespace vyx {
namespace {

using Channel = VyxChannel<double>;
using Frame = std::vector<double>;

// Synthesises one frame per token on `channel`, all frames concatenated.
Frame play(Channel& channel, const std::vector<std::array<double, 4>>& tokens) {
    const uint32_t n = channel.frameSize();
    Frame out, frame(n), scratch(n);
    for (const auto& token : tokens) {
        EXPECT_TRUE(
            channel.synthesise(reinterpret_cast<const uint8_t*>(token.data()), frame, scratch));
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

Frame play(uint32_t rate, uint32_t preset, const std::vector<std::array<double, 4>>& tokens) {
    Channel channel(rate, preset);
    return play(channel, tokens);
}

// Linear interpolation of a table at a fractional index: the reference the
// reader's output is compared with.
double at(const WaveTable& table, double index) {
    const auto i = static_cast<uint64_t>(index);
    const double next = i + 1 < table.count ? table.samples[i + 1] : 0.0;
    return table.samples[i] + (index - i) * (next - table.samples[i]);
}

TEST(VyxSynthesis, ZeroTokenIsSilence) {
    const Frame out = play(48000, 0, {{0, 0, 0, 0}, {0, 0, 0, 0}});
    EXPECT_EQ(out, Frame(out.size(), 0.0));
}

// Default, 48 kHz, descriptor 1 = 1: pulse 1 at 0.8 plays its 1000 samples in
// 0.061 s (step 0.3415): the table proper ends at sample 2925 (phase 998.98),
// the fade to 0 takes the next two samples, then silence; that is in the
// fourth frame. Another 1.0 in the next frame does not restart it.
TEST(VyxSynthesis, DefaultPulseLengthAndNoRetriggerAtEqualAmplitude) {
    const Frame held = play(48000, 0, {{0, 1, 0, 0}, {0, 1, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
    const Frame once = play(48000, 0, {{0, 1, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
    EXPECT_EQ(held, once);
    const WaveTable& table = waveTable(WaveId::DefaultPulse);
    const double step = 1000.0 / 0.061 / 48000.0;
    EXPECT_NEAR(held[1400], 0.8 * at(table, 1400 * step), 1e-12);
    EXPECT_NE(held[2925], 0.0);
    EXPECT_NE(held[2927], 0.0);
    for (std::size_t i = 2928; i < held.size(); ++i) ASSERT_EQ(held[i], 0.0) << i;
    EXPECT_EQ(2927 / 960, 3);
}

// Descriptor 0.5 plays at 0.8 * 0.5^0.4 for 0.05 + 0.011 * 0.5^0.5 s; a larger
// one restarts the pulse from its start, a smaller one lets it play on.
TEST(VyxSynthesis, RisingDescriptorRestartsThePulse) {
    const Frame half = play(48000, 0, {{0, 0.5, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
    double peak = 0;
    std::size_t last = 0;
    for (std::size_t i = 0; i < half.size(); ++i) {
        peak = std::max(peak, std::fabs(half[i]));
        if (half[i] != 0.0) last = i;
    }
    EXPECT_NEAR(peak, 0.8 * std::pow(0.5, 0.4), 1e-5);
    // 0.0578 s is 2773.3 samples: the table proper ends at phase 998.8 (sample
    // 2770), the fade takes phases -0.84, -0.48 and -0.12 (samples 2771-2773).
    EXPECT_EQ(last, 2773u);

    const Frame fresh = play(48000, 0, {{0, 1, 0, 0}});
    const Frame raised = play(48000, 0, {{0, 0.5, 0, 0}, {0, 1, 0, 0}});
    EXPECT_EQ(Frame(raised.begin() + 960, raised.end()), fresh);
    const Frame lowered = play(48000, 0, {{0, 0.5, 0, 0}, {0, 0.3, 0, 0}});
    EXPECT_EQ(lowered, Frame(half.begin(), half.begin() + 1920));
}

// Default rumble, descriptor 0 = 1 and 0 in turn: 40 Hz and 90 Hz with the
// phase carried across frames, the amplitude ramping between 0.75 and 0 over
// the first 48 samples of each frame.
TEST(VyxSynthesis, RumbleRunsOnAcrossFramesWithItsRamp) {
    std::vector<std::array<double, 4>> tokens;
    for (int k = 0; k < 6; ++k) tokens.push_back({static_cast<double>(k % 2 == 0), 0, 0, 0});
    const Frame out = play(48000, 0, tokens);
    double cycles = 0;
    double last = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t k = i / 960, n = i % 960;
        const double target = k % 2 == 0 ? 0.75 : 0.0;
        const double amplitude = n < 48 ? last + (target - last) / 48 * (n + 1) : target;
        ASSERT_NEAR(out[i], amplitude * std::sin(2 * M_PI * cycles), 1e-5) << i;
        cycles += (k % 2 == 0 ? 40.0 : 90.0) / 48000;
        if (n == 959) last = target;
    }
}

// At 500 Hz the rumble has no ramp, and a Default pulse 2 (0.015 s) reads its
// table at phases 0, 133.3, ..., 933.3: 8 samples, then it ends inside the
// frame and can trigger again in the next one.
TEST(VyxSynthesis, FiveHundredHertz) {
    const Frame rumble = play(500, 0, {{1, 0, 0, 0}});
    const double step = 40.0 * 1000 / 500;
    for (int i = 1; i < 10; ++i)
        EXPECT_NEAR(rumble[i], 0.75 * at(waveTable(WaveId::Sine), i * step), 1e-12) << i;

    const Frame pulse = play(500, 0, {{0, 0, 1, 0}, {0, 0, 1, 0}});
    const double amplitude = 0.3;
    for (int i = 0; i < 10; ++i) {
        const double expected =
            i < 8 ? amplitude * at(waveTable(WaveId::DefaultPulse), i * 1000 / 7.5) : 0.0;
        EXPECT_NEAR(pulse[i], expected, 1e-12) << i;
        EXPECT_EQ(pulse[10 + i], pulse[i]) << i;
    }
}

// Sharp: two pulses of 0.6 and 0.5 leave no room, the rumble is silent; one
// pulse of 0.4 leaves it at most 0.6.
TEST(VyxSynthesis, SharpRumbleGivesWayToPulses) {
    const double d1For = std::pow(0.6, 1 / 0.6); // 1.0 * d^0.6 = 0.6
    EXPECT_EQ(play(48000, 1, {{1, d1For, 1, 0}}), play(48000, 1, {{0, d1For, 1, 0}}));

    const double d1 = std::pow(0.4, 1 / 0.6);
    const Frame both = play(48000, 1, {{1, d1, 0, 0}});
    const Frame pulse = play(48000, 1, {{0, d1, 0, 0}});
    double peak = 0;
    for (std::size_t i = 0; i < both.size(); ++i)
        peak = std::max(peak, std::fabs(both[i] - pulse[i]));
    EXPECT_LE(peak, 0.6 + 1e-12);
    EXPECT_GT(peak, 0.59);
}

// A token from outside may hold anything: values beyond [0, 1] act as their
// clamp, NaN as 0, and the signal stays finite.
TEST(VyxSynthesis, DescriptorsAreClampedIntoUnitRange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Frame wild = play(48000, 0, {{-0.5, 2.0, nan, 1e300}, {nan, -1, 5, -nan}});
    const Frame tame = play(48000, 0, {{0, 1, 0, 1}, {0, 0, 1, 0}});
    EXPECT_EQ(wild, tame);
}

TEST(VyxAnalysis, FirstLoudFrameIsOneThenSteadySoundFadesAndSilenceIsZero) {
    Channel channel(48000, 0);
    Frame frame(960), scratch(960);
    for (int i = 0; i < 960; ++i) frame[i] = std::sin(2 * M_PI * 100 * i / 48000.0);
    std::array<double, 4> previous{};
    for (int k = 0; k < 20; ++k) {
        uint8_t token[32];
        ASSERT_TRUE(channel.analyse(frame, token, scratch));
        const auto d = channel.descriptors();
        if (k == 0) {
            EXPECT_EQ(d[0], 1.0);
            EXPECT_EQ(d[1], 1.0);
        } else if (k > 1) { // the filters settle within the first frame
            EXPECT_LT(d[1], previous[1]);
        }
        previous = d;
    }
    EXPECT_LT(previous[1], 0.6);
    const Frame silence(960, 0.0);
    double level = channel.analyser(1).level();
    double mean = channel.analyser(1).meanPower();
    for (int k = 0; k < 5; ++k) {
        uint8_t token[32];
        ASSERT_TRUE(channel.analyse(silence, token, scratch));
        EXPECT_EQ(channel.descriptors()[0], 0.0);
        EXPECT_EQ(channel.descriptors()[1], 0.0);
        if (k > 0) {
            EXPECT_NEAR(channel.analyser(1).meanPower(), mean * 0.96, mean * 1e-9);
        }
        EXPECT_DOUBLE_EQ(channel.analyser(1).level(), std::max(level - 0.00005, 0.008));
        mean = channel.analyser(1).meanPower();
        level = channel.analyser(1).level();
    }
    Frame short959(959);
    uint8_t token[32];
    EXPECT_FALSE(channel.analyse(short959, token, std::span<double>(scratch).first(959)));
}

// The band filters follow the bilinear design rule in double; the check
// values at 48 kHz agree to within 3 ulp (they differ in the last digits).
TEST(VyxAnalysis, BandFiltersMatchTheCheckValues) {
    struct Check {
        BandFilter f;
        double b0, a1, a2;
    };
    const Check checks[] = {
        {BandFilter::LowPass1000Hz, 0.0039161266605473692, -1.815341082704568, 0.8310055893467575},
        {BandFilter::LowPass150Hz, 9.5060029449229081e-05, -1.9722337291952663,
         0.97261396931306321},
        {BandFilter::BandPass5500To7500Hz, 0.11633650601051984, -1.1753348056317021,
         0.76732698797896026},
        {BandFilter::HighPass10000Hz, 0.37397788016906358, -0.30756635979220975,
         0.18834516088404465},
        {BandFilter::HighPass6500Hz, 0.5416924137335124, -0.86097213206906464, 0.30579752286498535},
        {BandFilter::BandPass4800To5800Hz, 0.061511768503621542, -1.4461944358652055,
         0.87697646299275722},
    };
    for (const Check& c : checks) {
        const BandSections& s = bandSections(c.f, 48000);
        ASSERT_EQ(s.count, 1u);
        for (auto [got, want] : {std::pair{s.sections[0].b0(), c.b0},
                                 {s.sections[0].a1(), c.a1},
                                 {s.sections[0].a2(), c.a2}})
            EXPECT_LE(std::fabs(got - want), 3 * std::fabs(std::nextafter(want, 0.0) - want))
                << static_cast<int>(c.f) << " " << got << " " << want;
    }
}

// Float and double channels agree up to rounding.
TEST(VyxAnalysis, FloatAndDoubleChannelsAgree) {
    VyxChannel<float> f(44100, 3);
    Channel d(44100, 3);
    std::vector<float> ff(882), fs(882);
    Frame df(882), ds(882);
    uint8_t token[32];
    for (int k = 0; k < 30; ++k) {
        for (int i = 0; i < 882; ++i)
            df[i] = ff[i] = (k % 3 == 0 ? 0.8f : 0.1f) * std::sin(static_cast<float>(i * i % 997));
        ASSERT_TRUE(f.analyse(ff, token, fs) && d.analyse(df, token, ds));
        for (int b = 0; b < 4; ++b) EXPECT_NEAR(f.descriptors()[b], d.descriptors()[b], 1e-3) << k;
    }
}

TEST(VyxFaults, SampleConversionRoundsAndClamps) {
    EXPECT_EQ(fromProcess<int16_t>(1.5), 32767);
    EXPECT_EQ(fromProcess<int16_t>(-1.5), -32768);
    EXPECT_EQ(fromProcess<int16_t>(0.5), 16384);
    EXPECT_EQ(fromProcess<int32_t>(1.0f), 2147483647);
    EXPECT_EQ(fromProcess<int32_t>(-1.0f), -2147483647 - 1);
    EXPECT_EQ(fromProcess<float>(1e300), std::numeric_limits<float>::max());
    EXPECT_EQ(toProcess<float>(2147483647), 1.0f);
    EXPECT_EQ(toProcess<float>(1e300), std::numeric_limits<float>::max());
    EXPECT_EQ(toProcess<double>(std::numeric_limits<double>::quiet_NaN()), 0.0);
}

// Within the tolerance below 0 the read is at sample 0, not one step ahead.
TEST(VyxFaults, ReaderDoesNotJumpAheadAtANegativeTolerance) {
    const double ramp[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const WaveTable table{ramp, 10};
    TableReader<double> reader;
    reader.setSourceRate(2.4995); // output rate 1: the fifth step ends at 9.998
    std::vector<double> out(6);
    uint64_t position = 0, cursor = 0;
    EXPECT_FALSE(reader.read(table, position, out, cursor));
    EXPECT_EQ(cursor, 4u);
    EXPECT_LT(reader.phase(), 0.0);
    EXPECT_GE(reader.phase(), -reader.tolerance());
    EXPECT_TRUE(reader.read(table, position, out, cursor));
    EXPECT_EQ(out[4], 0.0);
}

// A table that ends before any progress cannot hold the rumble's loop.
TEST(VyxFaults, DegenerateTablesEndTheRumblesLoop) {
    const double one[1] = {0.5};
    for (const WaveTable table : {WaveTable{one, 0}, WaveTable{one, 1}}) {
        RumbleGenerator<double> rumble(table, 48000, 0.5, 1.0, 40, 90, 0.5);
        Frame out(960, 1.0);
        rumble.generate(out, 1.0, 1.0);
        for (double v : out) ASSERT_TRUE(std::isfinite(v));
    }
    RumbleGenerator<double> fast(waveTable(WaveId::Sine), 1, 0.5, 1.0, 4e6, 4e6, 0.5);
    Frame out(960);
    fast.generate(out, 1.0, 1.0);
}

// Silence after sound decays to exact zeros, never through subnormals.
TEST(VyxFaults, SilenceLeavesNoSubnormalState) {
    VyxChannel<float> channel(8000, 0);
    std::vector<float> frame(160), scratch(160);
    for (int i = 0; i < 160; ++i) frame[i] = std::sin(0.3f * i);
    uint8_t token[16];
    ASSERT_TRUE(channel.analyse(frame, token, scratch));
    std::fill(frame.begin(), frame.end(), 0.0f);
    for (int k = 0; k < 3000; ++k) {
        ASSERT_TRUE(channel.analyse(frame, token, scratch));
        for (uint32_t b = 0; b < 2; ++b) {
            const auto& a = channel.analyser(b);
            ASSERT_NE(std::fpclassify(a.meanPower()), FP_SUBNORMAL) << k;
            for (float w : a.state(0)) ASSERT_NE(std::fpclassify(w), FP_SUBNORMAL) << k;
        }
    }
    EXPECT_EQ(channel.analyser(1).meanPower(), 0.0f);
}

} // namespace
} // namespace vyx
