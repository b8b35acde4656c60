#include "vyx/src/band_filters.h"

#include <cmath>
#include <cstddef>
#include <numbers>

namespace vyx {
namespace {

// Bilinear transform with frequency pre-warping, in double. The arithmetic
// follows the design rule term by term (K * K, sqrt(2) * K) so that every
// coefficient is the rule's double value.
VyxBiquad<double> lowPass(double cutoffHz, double rateHz) {
    const double k = std::tan(std::numbers::pi * cutoffHz / rateHz);
    const double d = 1.0 + std::sqrt(2.0) * k + k * k;
    return {{k * k / d, 2.0 * k * k / d, k * k / d, 1.0, 2.0 * (k * k - 1.0) / d,
             (1.0 - std::sqrt(2.0) * k + k * k) / d}};
}

VyxBiquad<double> highPass(double cutoffHz, double rateHz) {
    const double k = std::tan(std::numbers::pi * cutoffHz / rateHz);
    const double d = 1.0 + std::sqrt(2.0) * k + k * k;
    return {{1.0 / d, -2.0 / d, 1.0 / d, 1.0, 2.0 * (k * k - 1.0) / d,
             (1.0 - std::sqrt(2.0) * k + k * k) / d}};
}

VyxBiquad<double> bandPass(double lowEdgeHz, double highEdgeHz, double rateHz) {
    const double w1 = 2.0 * rateHz * std::tan(std::numbers::pi * lowEdgeHz / rateHz);
    const double w2 = 2.0 * rateHz * std::tan(std::numbers::pi * highEdgeHz / rateHz);
    const double bw = w2 - w1;
    const double w = w1 * w2;
    const double c = 2.0 * rateHz;
    const double a = c * c + bw * c + w;
    return {
        {bw * c / a, 0.0, -bw * c / a, 1.0, (2.0 * w - 2.0 * c * c) / a, (c * c - bw * c + w) / a}};
}

constexpr std::size_t kFilterCount = 6;

struct FilterTable {
    std::array<BandSections, kSupportedRates.size()> byRate{};

    explicit FilterTable(BandFilter filter) {
        for (std::size_t r = 0; r < kSupportedRates.size(); ++r) {
            const double fs = kSupportedRates[r];
            BandSections& out = byRate[r];
            auto put = [&](double highestHz, VyxBiquad<double> section) {
                if (fs / 2.0 > highestHz) {
                    out.sections[0] = section;
                    out.count = 1;
                }
            };
            switch (filter) {
                case BandFilter::LowPass1000Hz:
                    put(1000.0, lowPass(1000.0, fs));
                    break;
                case BandFilter::LowPass150Hz:
                    put(150.0, lowPass(150.0, fs));
                    break;
                case BandFilter::BandPass5500To7500Hz:
                    put(7500.0, bandPass(5500.0, 7500.0, fs));
                    break;
                case BandFilter::BandPass4800To5800Hz:
                    put(5800.0, bandPass(4800.0, 5800.0, fs));
                    break;
                case BandFilter::HighPass10000Hz:
                    put(10000.0, highPass(10000.0, fs));
                    break;
                case BandFilter::HighPass6500Hz:
                    put(6500.0, highPass(6500.0, fs));
                    break;
            }
        }
    }
};

template <BandFilter F>
const FilterTable& table() {
    static const FilterTable instance(F);
    return instance;
}

const FilterTable& tableOf(BandFilter filter) {
    switch (filter) {
        case BandFilter::LowPass1000Hz:
            return table<BandFilter::LowPass1000Hz>();
        case BandFilter::LowPass150Hz:
            return table<BandFilter::LowPass150Hz>();
        case BandFilter::BandPass5500To7500Hz:
            return table<BandFilter::BandPass5500To7500Hz>();
        case BandFilter::BandPass4800To5800Hz:
            return table<BandFilter::BandPass4800To5800Hz>();
        case BandFilter::HighPass10000Hz:
            return table<BandFilter::HighPass10000Hz>();
        case BandFilter::HighPass6500Hz:
            break;
    }
    return table<BandFilter::HighPass6500Hz>();
}

} // namespace

bool isSupportedRate(int64_t sampleRate) {
    for (uint32_t rate : kSupportedRates)
        if (sampleRate == rate) return true;
    return false;
}

const BandSections& bandSections(BandFilter filter, uint32_t sampleRate) {
    static const BandSections kNone{};
    for (std::size_t r = 0; r < kSupportedRates.size(); ++r)
        if (kSupportedRates[r] == sampleRate) return tableOf(filter).byRate[r];
    return kNone;
}

void warmBandFilters() {
    for (std::size_t f = 0; f < kFilterCount; ++f) (void)tableOf(static_cast<BandFilter>(f));
}

} // namespace vyx
