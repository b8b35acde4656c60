// The linear fade-out of one sequence.
#pragma once

#include <algorithm>
#include <cstddef>

#include "frames.h"

namespace lmc {

// Gain falls by `step` per sample from where the fade stands; the fade is
// active while step > 0. The tree reads it with buffer-relative positions
// and the sequence advances it once per rendered buffer.
class Fade {
public:
    // Gain back to 1, falling by `step` per sample (negative and NaN: 0,
    // not fading).
    void start(double step) noexcept {
        gain_ = 1.0;
        step_ = sanitized(step);
    }
    // A new step from the gain reached.
    void setStep(double step) noexcept { step_ = sanitized(step); }

    bool active() const noexcept { return step_ > 0.0; }
    double gain() const noexcept { return gain_; }
    double step() const noexcept { return step_; }

    // Samples until the gain reaches 0, ceil(gain / step), counted from the
    // start of the current buffer. Saturates for tiny steps; 0 for an
    // infinite step. Meaningful only while active.
    std::size_t samplesLeft() const noexcept { return ceilFrames(gain_ / step_); }

    void advance(std::size_t samples) noexcept {
        if (active() && samples > 0) gain_ = fallen(gain_, samples);
    }

    // Multiplies samples[0..count) by the gain from buffer position `offset`
    // on, one step per sample. Nothing while not active.
    void apply(std::size_t offset, float* samples, std::size_t count) const noexcept {
        if (!active() || count == 0) return;
        double g = offset > 0 ? fallen(gain_, offset) : gain_;
        for (std::size_t i = 0; i < count; ++i) {
            samples[i] *= static_cast<float>(g);
            g = std::max(g - step_, 0.0);
        }
    }

private:
    // max(gain - samples * step, 0); samples > 0, so an infinite step gives 0.
    double fallen(double gain, std::size_t samples) const noexcept {
        return std::max(gain - static_cast<double>(samples) * step_, 0.0);
    }
    static double sanitized(double step) noexcept { return step > 0.0 ? step : 0.0; }

    double gain_ = 1.0;
    double step_ = 0.0;
};

} // namespace lmc
