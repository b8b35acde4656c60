// The anti-alias filter bank: 970 eighth-order Butterworth low-pass filters
// for signals sampled at 8000 Hz, one per whole-hertz cut-off from 30 Hz to
// 999 Hz, each a cascade of four sections.
//
// The table is complete once the library has loaded and is read-only from
// then on: any thread may read any entry at any time without a lock, and an
// entry stays at the same address until the library is unloaded. Users copy
// an entry's sections into their own filter and keep their own state.
#pragma once

#include <cstddef>

#include "lumetra-core/src/biquad.h"

namespace lmc {

class FilterTable {
public:
    static constexpr std::size_t kEntryCount = 970;
    static constexpr std::size_t kSectionCount = 4;
    static constexpr double kSampleRateHz = 8000.0;
    static constexpr double kLowestCutoffHz = 30.0;

    // Entry i is the low-pass for the cut-off 30 + i Hz. Precondition:
    // index < kEntryCount.
    static const BiquadList& entry(std::size_t index) noexcept;

    // Designs the low-pass for a whole-hertz cut-off (bilinear transform with
    // pre-warping at the cut-off; each coefficient is the single-precision
    // number nearest to its exact value, stored as a double). Section 0 holds
    // the overall gain k as (k, 2k, k); sections 1 to 3 have (1, 2, 1). The
    // sections come in the order of increasing pole radius.
    static BiquadList design(double cutoffHz);
};

// The entry for a frequency f in Hz: entry 0 for f < 30 and for NaN, entry
// floor(f - 30) otherwise, clamped to the last entry (999 Hz). Never fails.
const BiquadList& filterForCutoff(double f) noexcept;

// The index filterForCutoff(f) reads.
std::size_t filterIndexForCutoff(double f) noexcept;

} // namespace lmc
