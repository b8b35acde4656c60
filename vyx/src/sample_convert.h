// Conversions between the caller's samples (T) and the working precision (U).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace vyx {

// Into U: integers scaled to [-1, 1]; non-finite floats become 0 (one NaN
// would otherwise stay in the filter states for good); doubles beyond the
// float range are held at its edge when U is float.
template <typename U, typename T>
inline U toProcess(T x) {
    if constexpr (std::is_same_v<T, int16_t>) {
        return static_cast<U>(x) / static_cast<U>(32767);
    } else if constexpr (std::is_same_v<T, int32_t>) {
        return static_cast<U>(x) / static_cast<U>(2147483647);
    } else {
        if (!std::isfinite(x)) return U(0);
        if constexpr (sizeof(U) < sizeof(T)) {
            constexpr T kMax = static_cast<T>(std::numeric_limits<U>::max());
            if (x > kMax) return std::numeric_limits<U>::max();
            if (x < -kMax) return -std::numeric_limits<U>::max();
        }
        return static_cast<U>(x);
    }
}

// Out of U: integers rounded half away from zero and clamped to their range
// (with U = float, 2147483647 is held as 2^31 and any result of 2^31 or more
// is written as 2147483647); floats clamped to the finite range. NaN gives 0.
template <typename T, typename U>
inline T fromProcess(U y) {
    if (std::isnan(y)) return T(0);
    if constexpr (std::is_same_v<T, int16_t>) {
        const double v = static_cast<double>(std::round(static_cast<U>(32767) * y));
        if (v >= 32767.0) return 32767;
        if (v <= -32768.0) return -32768;
        return static_cast<int16_t>(v);
    } else if constexpr (std::is_same_v<T, int32_t>) {
        const double v = static_cast<double>(std::round(static_cast<U>(2147483647) * y));
        if (v >= 2147483647.0) return 2147483647;
        if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
        return static_cast<int32_t>(v);
    } else {
        constexpr double kMax = static_cast<double>(std::numeric_limits<T>::max());
        const double v = static_cast<double>(y);
        if (v > kMax) return std::numeric_limits<T>::max();
        if (v < -kMax) return -std::numeric_limits<T>::max();
        return static_cast<T>(y);
    }
}

} // namespace vyx
