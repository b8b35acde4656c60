// Every stated property of every wave table.
#include <gtest/gtest.h>

#include <cmath>

#include "vyx/src/wave_tables.h"

namespace vyx {
namespace {

struct Extreme {
    uint64_t index;
    double value;
};

struct TableCase {
    WaveId id;
    uint64_t count;
    Extreme peak;    // the largest sample, at its only index
    Extreme minimum; // the smallest sample, at its only index
};

const TableCase kPulses[] = {
    {WaveId::DefaultPulse, 1000, {293, 0.442561}, {500, -1.0}},
    {WaveId::SharpPulse1, 5848, {428, 1.0}, {213, -0.716636}},
    {WaveId::SharpPulse2, 3366, {161, 1.0}, {70, -0.883624}},
    {WaveId::SharpPulse3, 1352, {85, 1.0}, {44, -0.82317}},
    {WaveId::CrunchyPulse1, 6108, {640, 0.978524}, {970, -1.0}},
    {WaveId::CrunchyPulse2, 2189, {244, 1.0}, {363, -0.871488}},
    {WaveId::CrunchyPulse3, 2212, {857, 1.0}, {243, -0.762972}},
    {WaveId::SmoothPulse1, 1782, {964, 1.0}, {1273, -0.640214}},
    {WaveId::SmoothPulse2, 710, {385, 1.0}, {170, -0.694452}},
    {WaveId::SmoothPulse3, 390, {152, 1.0}, {243, -0.346947}},
};

class PulseTable : public testing::TestWithParam<TableCase> {};

TEST_P(PulseTable, MeetsItsStatedProperties) {
    const TableCase& c = GetParam();
    const WaveTable& t = waveTable(c.id);
    ASSERT_EQ(t.count, c.count);
    EXPECT_EQ(t.samples[0], 0.0);
    if (c.id != WaveId::DefaultPulse) {
        EXPECT_EQ(t.samples[t.count - 1], 0.0);
    }
    double largestMagnitude = 0;
    for (uint64_t i = 0; i < t.count; ++i) {
        const double v = t.samples[i];
        largestMagnitude = std::max(largestMagnitude, std::fabs(v));
        // The default wavelet's maxima repeat at 707 by its symmetry.
        const bool peakAt = i == c.peak.index || (c.id == WaveId::DefaultPulse && i == 707);
        if (peakAt) {
            EXPECT_EQ(v, c.peak.value) << i;
        } else {
            ASSERT_LT(v, c.peak.value) << i;
        }
        if (i == c.minimum.index) {
            EXPECT_EQ(v, c.minimum.value);
        } else {
            ASSERT_GT(v, c.minimum.value) << i;
        }
    }
    EXPECT_EQ(largestMagnitude, 1.0);
}

INSTANTIATE_TEST_SUITE_P(AllPulses, PulseTable, testing::ValuesIn(kPulses));

TEST(WaveTables, DefaultWaveletIsSymmetricWithItsSignChanges) {
    const WaveTable& t = waveTable(WaveId::DefaultPulse);
    for (uint64_t i = 1; i < 1000; ++i) ASSERT_EQ(t.samples[i], t.samples[1000 - i]) << i;
    EXPECT_EQ(t.samples[999], 0.00007997);
    for (uint64_t i = 1; i < 999; ++i) {
        const bool changes = (t.samples[i] > 0) != (t.samples[i + 1] > 0);
        EXPECT_EQ(changes, i == 380 || i == 619) << i;
    }
    EXPECT_GT(t.samples[380], 0.0);
    EXPECT_LT(t.samples[381], 0.0);
}

TEST(WaveTables, SineAndTail) {
    const WaveTable& sine = waveTable(WaveId::Sine);
    ASSERT_EQ(sine.count, 1000u);
    for (uint64_t i = 0; i < 1000; ++i)
        ASSERT_EQ(sine.samples[i], std::sin(2 * M_PI * static_cast<double>(i) / 1000)) << i;
    const WaveTable& tail = waveTable(WaveId::Tail);
    ASSERT_EQ(tail.count, 1u);
    EXPECT_EQ(tail.samples[0], 0.0);
}

} // namespace
} // namespace vyx
