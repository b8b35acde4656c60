// Reading numbers out of an spn document the way the engine needs them.
//
// JSON numbers are doubles or 64-bit integers; the engine keeps times,
// weights and amplitudes in single precision and repetition counts in 32
// bits. These helpers say exactly what happens at the edges of those ranges,
// so no reader of a pattern narrows a value by a bare cast.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

namespace lmc {

// IEEE round-to-nearest narrowing: magnitudes beyond the float range become
// +-infinity, as the validator's comparisons expect. NaN stays NaN.
inline float narrowToFloat(double value) noexcept {
    // Half an ulp of FLT_MAX: from there on, the nearest float is infinity
    // (the tie goes to infinity, FLT_MAX's last mantissa bit being odd).
    constexpr double kOverflowFrom = static_cast<double>(FLT_MAX) + 0x1p103;
    if (std::isnan(value) || std::fabs(value) <= static_cast<double>(FLT_MAX))
        return static_cast<float>(value);
    if (std::fabs(value) < kOverflowFrom) return value > 0 ? FLT_MAX : -FLT_MAX;
    return value > 0 ? std::numeric_limits<float>::infinity()
                     : -std::numeric_limits<float>::infinity();
}

// Narrowing for values the renderer computes with: magnitudes beyond the
// float range (infinity included) saturate at +-FLT_MAX and NaN becomes 0,
// so no infinity reaches a product where it could turn into NaN.
inline float saturateToFloat(double value) noexcept {
    if (std::isnan(value)) return 0.0f;
    if (value > static_cast<double>(FLT_MAX)) return FLT_MAX;
    if (value < -static_cast<double>(FLT_MAX)) return -FLT_MAX;
    return static_cast<float>(value);
}

// A JSON number as a double (integers converted); anything else is 0.
inline double jsonNumber(const nlohmann::json& value) noexcept {
    switch (value.type()) {
    case nlohmann::json::value_t::number_integer:
        return static_cast<double>(value.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned:
        return static_cast<double>(value.get<uint64_t>());
    case nlohmann::json::value_t::number_float:
        return value.get<double>();
    default:
        return 0.0;
    }
}

// A JSON number read as a float: integers are rounded once to the nearest
// float, doubles narrowed as narrowToFloat does. Anything else is 0.
inline float jsonFloat(const nlohmann::json& value) noexcept {
    switch (value.type()) {
    case nlohmann::json::value_t::number_integer:
        return static_cast<float>(value.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned:
        return static_cast<float>(value.get<uint64_t>());
    case nlohmann::json::value_t::number_float:
        return narrowToFloat(value.get<double>());
    default:
        return 0.0f;
    }
}

// jsonFloat with infinities saturated at +-FLT_MAX: for values the renderer
// multiplies, where an infinity could become NaN.
inline float jsonFloatSaturated(const nlohmann::json& value) noexcept {
    return saturateToFloat(static_cast<double>(jsonFloat(value)));
}

// The member `key` of an object, or a null value when `object` is not an
// object or has no such member. Never throws.
inline const nlohmann::json& jsonMember(const nlohmann::json& object, const char* key) noexcept {
    static const nlohmann::json kNull;
    if (!object.is_object()) return kNull;
    auto it = object.find(key);
    return it != object.end() ? *it : kNull;
}

// A sample's "repeatCount" as the 32-bit count of plays (0 = endless).
// Counts beyond 2^32 - 1 saturate instead of wrapping (a wrap to 0 would
// turn a huge finite count into an endless repetition). Floats are
// truncated; negative values, NaN and non-numbers give 0.
inline uint32_t spnRepeatCount(const nlohmann::json& sample) noexcept {
    constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
    const nlohmann::json& value = jsonMember(sample, "repeatCount");
    switch (value.type()) {
    case nlohmann::json::value_t::number_unsigned: {
        const uint64_t count = value.get<uint64_t>();
        return count > kMax ? kMax : static_cast<uint32_t>(count);
    }
    case nlohmann::json::value_t::number_integer: {
        const int64_t count = value.get<int64_t>();
        return count <= 0 ? 0u : count > int64_t{kMax} ? kMax : static_cast<uint32_t>(count);
    }
    case nlohmann::json::value_t::number_float: {
        const double count = std::trunc(value.get<double>());
        if (!(count > 0.0)) return 0;
        return count >= static_cast<double>(kMax) ? kMax : static_cast<uint32_t>(count);
    }
    default:
        return 0;
    }
}

} // namespace lmc
