#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lumetra-core/src/sample_assets.h"
#include "lumetra-core/src/waveform_format.h"

namespace {

const char* const kNames[204] = {
    "Air/pressure-medium-1.csv", "Air/pressure-medium-2.csv", "Air/pressure-medium-3.csv",
    "Air/vapor.csv", "Air/whoosh-1.csv", "Air/whoosh-2.csv", "Air/whoosh-3.csv", "Air/wind-1.csv",
    "Air/wind-2.csv", "Avatar/Body/breath-1.csv", "Avatar/Body/breath-2.csv",
    "Avatar/Body/chills.csv", "Avatar/Body/heartbeat-1.csv", "Avatar/Body/heartbeat-2.csv",
    "Avatar/Body/jump-1.csv", "Avatar/Body/jump-2.csv", "Avatar/Body/wound-1.csv",
    "Avatar/Body/wound-2.csv", "Avatar/Contacts/bite-1.csv", "Avatar/Contacts/bite-2.csv",
    "Avatar/Contacts/bullet-1.csv", "Avatar/Contacts/bullet-2.csv", "Avatar/Contacts/cut-1.csv",
    "Avatar/Contacts/cut-2.csv", "Avatar/Contacts/energical-injury-in.csv",
    "Avatar/Contacts/energical-injury-loop.csv", "Avatar/Contacts/energical-injury-out.csv",
    "Avatar/Contacts/punch-1.csv", "Avatar/Contacts/punch-2.csv", "Avatar/Contacts/punch-3.csv",
    "Avatar/Contacts/stabbing-1.csv", "Avatar/Contacts/stabbing-2.csv",
    "Avatar/Contacts/touch-1.csv", "Avatar/Contacts/touch-2.csv", "Avatar/Items/ammo-1.csv",
    "Avatar/Items/ammo-2.csv", "Avatar/Items/coin-1.csv", "Avatar/Items/coin-2.csv",
    "Avatar/Items/gear-1.csv", "Avatar/Items/gear-2.csv", "Avatar/Items/life-health-1.csv",
    "Avatar/Items/life-health-2.csv", "Avatar/Items/mana-1.csv", "Avatar/Items/mana-2.csv",
    "Avatar/Items/point-1.csv", "Avatar/Items/point-2.csv", "Avatar/Items/weapon-1.csv",
    "Avatar/Items/weapon-2.csv", "Avatar/Notices/achievement-1.csv",
    "Avatar/Notices/achievement-2.csv", "Avatar/Notices/achievement-3.csv",
    "Avatar/Notices/levelup-1.csv", "Avatar/Notices/levelup-2.csv", "Avatar/Notices/levelup-3.csv",
    "Avatar/Notices/newgear-1.csv", "Avatar/Notices/newgear-2.csv", "Avatar/Notices/newgear-3.csv",
    "Avatar/States/biohazard.csv", "Avatar/States/blockage-(loop).csv",
    "Avatar/States/burning-(intro).csv", "Avatar/States/burning-(loop).csv",
    "Avatar/States/burning-(outro).csv", "Avatar/States/cursed-(loop).csv",
    "Avatar/States/deaf-(intro).csv", "Avatar/States/deaf-(loop).csv",
    "Avatar/States/deaf-(outro).csv", "Avatar/States/disoriented-(loop).csv",
    "Avatar/States/healing.csv", "Avatar/States/injured.csv", "Avatar/States/madness.csv",
    "Avatar/States/poison.csv", "Avatar/States/rage-(loop).csv", "Cinematic/air-normal.csv",
    "Cinematic/air-thin.csv", "Cinematic/bass-drum.csv", "Cinematic/boom-beat.csv",
    "Cinematic/crash-percussive.csv", "Cinematic/crash-swell.csv", "Cinematic/drum-rolls.csv",
    "Cinematic/floor-tom.csv", "Cinematic/gong.csv", "Cinematic/low-drop-rattle.csv",
    "Cinematic/low-drop-slick.csv", "Cinematic/low-vibration.csv",
    "Cinematic/medium-vibration.csv", "Cinematic/ride-swell.csv", "Cinematic/riser-lfo.csv",
    "Cinematic/riser-rattle.csv", "Cinematic/rumble.csv", "Cinematic/snare.csv",
    "Cinematic/sting.csv", "Cinematic/tension.csv", "Cinematic/whoosh.csv", "Earth/cracking.csv",
    "Earth/earthquake.csv", "Earth/rockslide.csv", "Earth/volcano-eruption.csv",
    "Electrical/buzz.csv", "Electrical/electrocution-1.csv", "Electrical/electrocution-2.csv",
    "Electrical/shock-arcs.csv", "Electrical/spark.csv", "Electrical/thunderbolt-big.csv",
    "Electrical/thunderbolt-medium.csv", "Electrical/zap-1.csv", "Electrical/zap-2.csv",
    "Electrical/zap-3.csv", "Electrical/zap-4.csv", "Essentials/click-medium.csv",
    "Essentials/click-resonant-1.csv", "Essentials/click-resonant-2.csv",
    "Essentials/click-resonant-3.csv", "Essentials/click-rough-1.csv",
    "Essentials/click-rough-2.csv", "Essentials/decelerating-lfo.csv",
    "Essentials/down-lfo-noise.csv", "Essentials/down-lfo-sine.csv",
    "Essentials/down-particles.csv", "Essentials/noise.csv", "Essentials/particles-dense.csv",
    "Essentials/particles-rare.csv", "Essentials/PWM-down.csv", "Essentials/PWM-up.csv",
    "Essentials/sine.csv", "Essentials/up-lfo-noise.csv", "Essentials/up-particles.csv",
    "Fire/airblow.csv", "Fire/blast-1.csv", "Fire/blast-2.csv", "Fire/cracks.csv",
    "Fire/deepcombustion.csv", "Fire/explosion-1.csv", "Fire/explosion-2.csv",
    "Fire/explosion-3.csv", "Fire/ignition.csv", "Fire/spark.csv",
    "Materials/collision-metal-1.csv", "Materials/collision-metal-2.csv",
    "Materials/collision-plastic-1.csv", "Materials/collision-plastic-2.csv",
    "Materials/collision-plastic-3.csv", "Materials/collision-plastic-4.csv",
    "Materials/collision-rubber-1.csv", "Materials/collision-rubber-2.csv",
    "Materials/collision-wood-1.csv", "Materials/collision-wood-2.csv",
    "Materials/cracking-wood.csv", "Materials/friction-metal.csv",
    "Materials/friction-plastic.csv", "Materials/friction-rubber.csv",
    "Materials/friction-wood.csv", "Mechanics/engine-1.csv", "Mechanics/engine-2.csv",
    "Mechanics/engine-3.csv", "Mechanics/pump.csv", "Mechanics/scratch-1.csv",
    "Mechanics/scratch-2.csv", "Mechanics/translate-1.csv", "Mechanics/translate-2.csv",
    "Mechanics/zip-1.csv", "Mechanics/zip-2.csv", "Spells/comet.csv", "Spells/overdrive.csv",
    "Spells/pulse.csv", "Spells/shackles.csv", "Supernatural/desintegration.csv",
    "Supernatural/energy-burst-1.csv", "Supernatural/energy-burst-2.csv",
    "Supernatural/magic-spell-1.csv", "Supernatural/magic-spell-2.csv",
    "Supernatural/materialisation.csv", "Supernatural/teleportation.csv",
    "Supernatural/time-freeze.csv", "Supernatural/time-travel.csv", "Supernatural/time-warp.csv",
    "UI-Notifications/advice.csv", "UI-Notifications/alarm.csv", "UI-Notifications/error.csv",
    "UI-Notifications/message.csv", "UI-Notifications/query.csv", "UI-Notifications/reminder.csv",
    "UI-Notifications/success.csv", "UI-Notifications/timer.csv", "UI-Notifications/warning.csv",
    "Water/boiling.csv", "Water/dive-1.csv", "Water/dive-2.csv", "Water/freeze.csv",
    "Water/rain-flow-heavy.csv", "Water/rain-flow-light.csv", "Water/splash-1.csv",
    "Water/splash-2.csv", "Weapons/machinegun-1.csv", "Weapons/machinegun-2.csv",
    "Weapons/pistol-1.csv", "Weapons/pistol-2.csv", "Weapons/rifle-1.csv", "Weapons/rifle-2.csv",
    "Weapons/shotgun-1.csv", "Weapons/shotgun-2.csv", "Weapons/smg-1.csv", "Weapons/smg-2.csv",
    "Weapons/sniper-1.csv", "Weapons/sniper-2.csv",
};

TEST(SampleAssets, TableHoldsTheNamedWaveformsInOrder) {
    ASSERT_EQ(lmc::sampleAssetCount(), 204u);
    EXPECT_EQ(lmc::sampleAssetRate(), 8000.0);
    uint64_t total = 0;
    for (std::size_t i = 0; i < 204; ++i) {
        EXPECT_STREQ(lmc::sampleAssetName(i), kNames[i]) << i;
        EXPECT_STREQ(lmc::sampleAsset(i).name, kNames[i]) << i;
        total += lmc::sampleAssetLength(i);
    }
    EXPECT_EQ(total, 4'465'169u);
}

TEST(SampleAssets, TellingRowsHaveTheirCountsAndBands) {
    const struct {
        std::size_t index;
        uint64_t count;
        float low;
        float high;
    } rows[] = {{0, 19385, 68, 368},    {3, 64421, 47, 70},    {8, 167878, 70, 254},
                {21, 1535, 0, 145},     {83, 30574, 21, 46},   {96, 262070, 52, 208},
                {108, 106, 0, 301},     {138, 499, 112, 272}};
    for (const auto& r : rows) {
        EXPECT_EQ(lmc::sampleAssetLength(r.index), r.count) << r.index;
        EXPECT_EQ(lmc::sampleAssetBandLow(r.index), r.low) << r.index;
        EXPECT_EQ(lmc::sampleAssetBandHigh(r.index), r.high) << r.index;
    }
    EXPECT_EQ(lmc::sampleAssetLength(123), 3057u); // Essentials/sine.csv
    for (std::size_t i = 0; i < 204; ++i) {
        if (i != 96) {
            EXPECT_LT(lmc::sampleAssetLength(i), 262070u) << i;
        }
        if (i != 108) {
            EXPECT_GT(lmc::sampleAssetLength(i), 106u) << i;
        }
    }
}

TEST(SampleAssets, BandsAreWholeHertzWithinTheirRanges) {
    float lowest = 1e9f, highestLow = 0.0f, lowestHigh = 1e9f, highest = 0.0f;
    for (std::size_t i = 0; i < 204; ++i) {
        const float low = lmc::sampleAssetBandLow(i);
        const float high = lmc::sampleAssetBandHigh(i);
        EXPECT_EQ(low, std::floor(low)) << i;
        EXPECT_EQ(high, std::floor(high)) << i;
        EXPECT_LE(low, high) << i;
        lowest = std::min(lowest, low);
        highestLow = std::max(highestLow, low);
        lowestHigh = std::min(lowestHigh, high);
        highest = std::max(highest, high);
    }
    EXPECT_EQ(lowest, 0.0f);
    EXPECT_EQ(highestLow, 212.0f);
    EXPECT_EQ(lowestHigh, 46.0f);
    EXPECT_EQ(highest, 419.0f);
}

TEST(SampleAssets, SamplesAreReadInPlaceFromTheLibrarysData) {
    const unsigned char* blob = lmc::sampleAssetBlob();
    const std::size_t size = lmc::sampleAssetBlobSize();
    ASSERT_GE(size, sizeof(lmc::WaveformFileHeader));
    EXPECT_EQ(std::memcmp(blob, lmc::kWaveformMagic, sizeof lmc::kWaveformMagic), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(blob) % lmc::kWaveformSampleAlignment, 0u);
    const float* first = lmc::sampleAssetData(0, 0);
    const auto* begin = reinterpret_cast<const unsigned char*>(first);
    EXPECT_GE(begin, blob);
    const float* end = lmc::sampleAssetData(203, lmc::sampleAssetLength(203));
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(end), blob + size);
    // The waveforms lie one after the other.
    for (std::size_t i = 1; i < 204; ++i)
        EXPECT_EQ(lmc::sampleAssetData(i, 0),
                  lmc::sampleAssetData(i - 1, lmc::sampleAssetLength(i - 1)));
    EXPECT_EQ(lmc::sampleAsset(17).data, lmc::sampleAssetData(17, 0));
}

TEST(SampleAssets, SamplesStayWithinTheUnitRangeAndAreNotSilent) {
    for (std::size_t i = 0; i < 204; ++i) {
        const lmc::SampleAsset a = lmc::sampleAsset(i);
        float peak = 0.0f;
        for (uint64_t n = 0; n < a.count; ++n) {
            ASSERT_TRUE(std::isfinite(a.data[n])) << a.name << " at " << n;
            ASSERT_LE(std::fabs(a.data[n]), 1.0f) << a.name << " at " << n;
            peak = std::max(peak, std::fabs(a.data[n]));
        }
        EXPECT_GT(peak, 0.5f) << a.name;
    }
}

// Radix-2 FFT, in place.
void fft(std::vector<std::complex<double>>& x) {
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> step = std::polar(1.0, -2.0 * std::numbers::pi / len);
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1.0;
            for (std::size_t k = 0; k < len / 2; ++k, w *= step) {
                const std::complex<double> u = x[i + k];
                const std::complex<double> v = x[i + k + len / 2] * w;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
            }
        }
    }
}

// Share of the waveform's power (averaged Hann-windowed spectra) that lies
// within [low - margin, high + margin] Hz.
double powerShareInBand(const lmc::SampleAsset& a, double margin) {
    constexpr std::size_t kSize = 2048;
    constexpr std::size_t kMaxFrames = 48;
    const double binHz = 8000.0 / kSize;
    std::vector<double> power(kSize / 2 + 1, 0.0);
    const std::size_t frames = std::max<std::size_t>(1, (a.count + kSize - 1) / kSize);
    const std::size_t stride = std::max<std::size_t>(1, frames / kMaxFrames);
    for (std::size_t f = 0; f < frames; f += stride) {
        std::vector<std::complex<double>> x(kSize, 0.0);
        for (std::size_t n = 0; n < kSize && f * kSize + n < a.count; ++n) {
            const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / kSize);
            x[n] = window * a.data[f * kSize + n];
        }
        fft(x);
        for (std::size_t k = 0; k < power.size(); ++k) power[k] += std::norm(x[k]);
    }
    double inside = 0.0, all = 0.0;
    for (std::size_t k = 0; k < power.size(); ++k) {
        const double f = k * binHz;
        all += power[k];
        if (f >= a.bandLow - margin && f <= a.bandHigh + margin) inside += power[k];
    }
    return all > 0.0 ? inside / all : 0.0;
}

TEST(SampleAssets, EachWaveformKeepsToItsBand) {
    for (std::size_t i = 0; i < 204; ++i) {
        const lmc::SampleAsset a = lmc::sampleAsset(i);
        // The margin covers the window's main lobe (two bins of 3.9 Hz).
        EXPECT_GT(powerShareInBand(a, 8.0), 0.98) << a.name;
    }
}

} // namespace
