#include "intensity_boost.h"

#include <algorithm>
#include <cmath>

int32_t boostToGain(int32_t boost) noexcept {
    boost = std::clamp(boost, -kMaxBoost, kMaxBoost);
    if (boost > 0) {
        const float p = static_cast<float>(boost) * 0.02f;
        return static_cast<int32_t>(std::pow(10.0, static_cast<double>(p)));
    }
    if (boost < 0) {
        const float p = static_cast<float>(boost) * -0.02f;
        return -static_cast<int32_t>(std::pow(10.0, static_cast<double>(p)));
    }
    return 0;
}

int32_t gainToBoost(int32_t gain) noexcept {
    // In double: -gain of INT32_MIN does not fit in int32.
    const double g = static_cast<double>(gain);
    if (g >= 1.0) return static_cast<int32_t>((50.0 * std::log(g)) / std::log(10.0));
    if (g <= -1.0) return static_cast<int32_t>((-50.0 * std::log(-g)) / std::log(10.0));
    return 0;
}
