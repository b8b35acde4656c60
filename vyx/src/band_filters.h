// The band filters of the analysis: six process-wide tables, each giving the
// second-order sections of one filter at each supported sample rate.
#pragma once

#include <array>
#include <cstdint>

namespace vyx {

// One second-order section: b0, b1, b2, a0, a1, a2 (a0 is 1 and unused).
template <typename U>
struct VyxBiquad {
    std::array<U, 6> c{};
    U b0() const { return c[0]; }
    U b1() const { return c[1]; }
    U b2() const { return c[2]; }
    U a1() const { return c[4]; }
    U a2() const { return c[5]; }
};

enum class BandFilter : uint32_t {
    LowPass1000Hz,
    LowPass150Hz,
    BandPass5500To7500Hz,
    BandPass4800To5800Hz,
    HighPass10000Hz,
    HighPass6500Hz,
};

// At most this many sections per band (every table holds one).
inline constexpr uint32_t kMaxSections = 1;

// The sections of one band at one rate: empty when the rate is not supported
// or its half does not exceed the filter's highest design frequency.
struct BandSections {
    std::array<VyxBiquad<double>, kMaxSections> sections{};
    uint32_t count = 0;
};

// Valid for the whole process; built on first use (thread-safe).
const BandSections& bandSections(BandFilter filter, uint32_t sampleRate);

// The supported sample rates, ascending.
inline constexpr std::array<uint32_t, 11> kSupportedRates{500,   1000,  2000,  4000,  8000, 16000,
                                                          32000, 44100, 48000, 88200, 96000};

bool isSupportedRate(int64_t sampleRate);

// Builds every table now, ahead of any real-time call.
void warmBandFilters();

} // namespace vyx
