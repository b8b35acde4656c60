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

TEST(SampleAssets, TableHoldsTheNamedWaveformsInOrder) {
    ASSERT_EQ(lmc::sampleAssetCount(), 204u);
    EXPECT_EQ(lmc::sampleAssetRate(), 8000.0);
    const std::pair<std::size_t, const char*> named[] = {{0, "Air/pressure-medium-1.csv"},
                                                         {123, "Essentials/sine.csv"},
                                                         {203, "Weapons/sniper-2.csv"}};
    for (const auto& [index, name] : named) EXPECT_STREQ(lmc::sampleAssetName(index), name);
    std::set<std::string> names;
    uint64_t total = 0;
    for (std::size_t i = 0; i < 204; ++i) {
        EXPECT_STREQ(lmc::sampleAsset(i).name, lmc::sampleAssetName(i));
        names.insert(lmc::sampleAssetName(i));
        total += lmc::sampleAssetLength(i);
    }
    EXPECT_EQ(names.size(), 204u);
    EXPECT_EQ(total, 4'465'169u);
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
