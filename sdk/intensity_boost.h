// The public global intensity boost and the backends' linear gain.
//
// A boost b > 0 is the gain trunc(10^(0.02 b)), b < 0 its negative, 0 the
// gain 0; the way back is trunc(50 log10 |g|) with g's sign, 0 for g = 0.
// The arithmetic (single-precision product, double-precision power and
// logarithms, in that order) is part of the contract: 50 gives 10, 100
// gives 100, a gain of 1000 reads back as 149.
#pragma once

#include <cstdint>

// Boosts beyond +-kMaxBoost are taken as +-kMaxBoost, the largest whose
// gain fits in int32.
inline constexpr int32_t kMaxBoost = 466;

int32_t boostToGain(int32_t boost) noexcept;
int32_t gainToBoost(int32_t gain) noexcept;
