#include "lumetra-core/src/filter_table.h"

#include <array>
#include <cmath>
#include <numbers>

namespace lmc {
namespace {

using Table = std::array<BiquadList, FilterTable::kEntryCount>;

Table buildTable() {
    Table table;
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = FilterTable::design(FilterTable::kLowestCutoffHz + static_cast<double>(i));
    return table;
}

// Built on first use; the namespace-scope reference below makes that first
// use happen while the library loads, before any public call can run.
const Table& table() {
    static const Table instance = buildTable();
    return instance;
}

[[maybe_unused]] const Table& gBuiltAtLoad = table();

} // namespace

BiquadList FilterTable::design(double cutoffHz) {
    // Each pole pair is turned into its section on its own: the eighth-order
    // polynomials are never expanded, which keeps the lowest cut-offs (whose
    // poles all lie close to z = 1) exact to double precision.
    const double omega = std::tan(std::numbers::pi * cutoffHz / kSampleRateHz);
    const double omega2 = omega * omega;
    BiquadList sections(kSectionCount);
    double gain = 1.0;
    for (std::size_t j = 0; j < kSectionCount; ++j) {
        const double c = std::cos(static_cast<double>(2 * j + 1) * std::numbers::pi / 16.0);
        const double d = 1.0 + 2.0 * c * omega + omega2;
        sections[j].a1 = 2.0 * (omega2 - 1.0) / d;
        sections[j].a2 = (1.0 - 2.0 * c * omega + omega2) / d;
        gain *= omega2 / d;
    }
    for (std::size_t j = 0; j < kSectionCount; ++j) {
        Biquad& s = sections[j];
        const double k = j == 0 ? gain : 1.0;
        s.b0 = static_cast<float>(k);
        s.b1 = static_cast<float>(2.0 * k);
        s.b2 = static_cast<float>(k);
        s.a1 = static_cast<float>(s.a1);
        s.a2 = static_cast<float>(s.a2);
    }
    return sections;
}

const BiquadList& FilterTable::entry(std::size_t index) noexcept { return table()[index]; }

std::size_t filterIndexForCutoff(double f) noexcept {
    // Written so that NaN takes the first branch.
    if (!(f >= FilterTable::kLowestCutoffHz)) return 0;
    const double index = std::floor(f - FilterTable::kLowestCutoffHz);
    constexpr double kLast = static_cast<double>(FilterTable::kEntryCount - 1);
    return index >= kLast ? FilterTable::kEntryCount - 1 : static_cast<std::size_t>(index);
}

const BiquadList& filterForCutoff(double f) noexcept {
    return FilterTable::entry(filterIndexForCutoff(f));
}

} // namespace lmc
