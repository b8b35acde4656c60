// Seconds-to-frames conversions of the renderer.
//
// Every duration the engine turns into a count of samples passes here, so a
// huge, infinite or NaN product never reaches a float-to-integer conversion
// (which would be undefined behaviour): non-positive and NaN products give 0,
// products beyond the range saturate.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace lmc {

// The largest count a conversion returns: far beyond any buffer, and small
// enough that adding a buffer position to it cannot overflow.
constexpr std::size_t kSaturatedFrames = std::size_t{1} << 62;

// round(x) as a frame count: x <= 0 or NaN gives 0, x beyond the range
// kSaturatedFrames. Rounds half away from zero.
inline std::size_t roundFrames(double x) noexcept {
    if (!(x > 0.0)) return 0;
    if (x >= static_cast<double>(kSaturatedFrames)) return kSaturatedFrames;
    return static_cast<std::size_t>(std::round(x));
}

// Frames that `seconds` last at `rateHz`.
inline std::size_t secondsToFrames(double rateHz, double seconds) noexcept {
    return roundFrames(rateHz * seconds);
}

// ceil(x) as a count; the same rules as roundFrames.
inline std::size_t ceilFrames(double x) noexcept {
    if (!(x > 0.0)) return 0;
    if (x >= static_cast<double>(kSaturatedFrames)) return kSaturatedFrames;
    return static_cast<std::size_t>(std::ceil(x));
}

// trunc(x) as a 32-bit count: NaN and non-positive give 0, beyond the range
// the largest count.
inline uint32_t truncCount32(double x) noexcept {
    constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
    if (!(x > 0.0)) return 0;
    if (x >= static_cast<double>(kMax)) return kMax;
    return static_cast<uint32_t>(x);
}

} // namespace lmc
