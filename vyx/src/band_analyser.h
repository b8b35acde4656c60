// One analysis band: a filter, a smoothed mean power and a normalising level
// that together turn a frame into a descriptor in [0, 1].
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

#include "vyx/src/band_filters.h"

namespace vyx {

// Below this magnitude a filter state or a mean power is flushed to 0 at the
// end of a frame. It is the square root of the smallest normal number, so
// neither a state nor its square becomes subnormal: silence after sound then
// decays to exact zeros instead of into subnormals, which x86 processes many
// times slower (and which can cycle forever in a recursive filter).
template <typename U>
inline constexpr U kFlushBelow = sizeof(U) == sizeof(float) ? U(0x1p-63f) : U(0x1p-511);
static_assert(kFlushBelow<float> * kFlushBelow<float> == std::numeric_limits<float>::min());
static_assert(kFlushBelow<double> * kFlushBelow<double> == std::numeric_limits<double>::min());

template <typename U>
class VyxBandAnalyser {
public:
    VyxBandAnalyser() = default;

    // sections: the band's filter at the channel's rate (empty: the band is off).
    // alpha is clamped into [0, 1].
    VyxBandAnalyser(const BandSections& sections, U alpha, U levelInit, U levelFloor, U levelDecay)
        : sectionCount_(sections.count),
          alpha_(std::fmin(std::fmax(alpha, U(0)), U(1))),
          level_(levelInit),
          levelInit_(levelInit),
          levelFloor_(levelFloor),
          levelDecay_(levelDecay) {
        for (uint32_t s = 0; s < sectionCount_; ++s)
            for (std::size_t k = 0; k < 6; ++k)
                sections_[s].c[k] = static_cast<U>(sections.sections[s].c[k]);
    }

    // Filters `block` in place and returns the band's descriptor for it.
    U analyse(std::span<U> block) {
        if (sectionCount_ == 0) return U(0);
        for (U& sample : block) {
            U x = sample;
            for (uint32_t s = 0; s < sectionCount_; ++s) {
                const VyxBiquad<U>& q = sections_[s];
                U& w1 = states_[s][0];
                U& w2 = states_[s][1];
                const U w = x - q.a1() * w1 - q.a2() * w2;
                x = q.b0() * w + q.b1() * w1 + q.b2() * w2;
                w2 = w1;
                w1 = w;
            }
            sample = x;
        }
        U sum = 0;
        for (U y : block) sum += y * y;
        const U power = sum / static_cast<U>(block.size());
        meanPower_ = (U(1) - alpha_) * meanPower_ + alpha_ * power;
        const U excess = power - meanPower_;
        level_ = level_ - levelDecay_;
        if (levelFloor_ > level_) level_ = levelFloor_;
        if (excess > level_) level_ = excess;
        const U ratio = excess / level_;
        const U descriptor = ratio > U(0) ? std::fmin(ratio, U(1)) : U(0);
        settle();
        return descriptor;
    }

    void reset() {
        for (auto& state : states_) state = {U(0), U(0)};
        level_ = levelInit_;
        meanPower_ = U(0);
    }

    U meanPower() const { return meanPower_; }
    U level() const { return level_; }
    uint32_t sectionCount() const { return sectionCount_; }
    const VyxBiquad<U>& section(uint32_t s) const { return sections_[s]; }
    const std::array<U, 2>& state(uint32_t s) const { return states_[s]; }

private:
    // End of frame: flush what silence has decayed to almost nothing, and
    // restart a band that an overflowing input drove out of the finite range
    // (its states would otherwise stay infinite or NaN for good).
    void settle() {
        bool finite = std::isfinite(meanPower_) && std::isfinite(level_);
        for (uint32_t s = 0; s < sectionCount_; ++s)
            for (U& w : states_[s]) {
                finite = finite && std::isfinite(w);
                if (std::fabs(w) < kFlushBelow<U>) w = U(0);
            }
        if (!finite) {
            reset();
            return;
        }
        if (meanPower_ < kFlushBelow<U>) meanPower_ = U(0);
    }

    std::array<VyxBiquad<U>, kMaxSections> sections_{};
    uint32_t sectionCount_ = 0;
    std::array<std::array<U, 2>, kMaxSections> states_{};
    U meanPower_ = 0;
    U alpha_ = 0;
    U level_ = 0;
    U levelInit_ = 0;
    U levelFloor_ = 0;
    U levelDecay_ = 0;
};

} // namespace vyx
