// One second-order IIR section and a cascade of them.
//
// A section stores b0, b1, b2, a1, a2 with a0 = 1:
//   H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2)
// and runs in direct form II with two state values per section:
//   w = x - a1 w1 - a2 w2;  y = b0 w + b1 w1 + b2 w2;  w2 = w1;  w1 = w.
// a1 and a2 carry the sign they have in the denominator polynomial.
#pragma once

#include <vector>

namespace lmc {

struct Biquad {
    double b0 = 0.0;
    double b1 = 0.0;
    double b2 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;
};

// One cascade, run from the first section to the last, the output of each
// section feeding the next. Built from a brace list, it allocates exactly as
// many sections as are listed (std::bad_alloc when memory runs out).
// Assigning a list of the same length into an existing one never allocates.
using BiquadList = std::vector<Biquad>;

// The state of one section in direct form II.
struct BiquadState {
    double w1 = 0.0;
    double w2 = 0.0;
};

// Runs x through one section, in the exact order of operations above (the
// engine's results are compared bit for bit, so the order matters).
inline double runSection(const Biquad& s, BiquadState& state, double x) noexcept {
    const double w = x - s.a1 * state.w1 - s.a2 * state.w2;
    const double y = s.b0 * w + s.b1 * state.w1 + s.b2 * state.w2;
    state.w2 = state.w1;
    state.w1 = w;
    return y;
}

} // namespace lmc
