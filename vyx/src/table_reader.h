// Reads a wave table at any speed by linear interpolation: the playing state
// of one generator. Pure arithmetic; allocates nothing.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>

#include "vyx/src/wave_tables.h"

namespace vyx {

template <typename T>
class TableReader {
public:
    // Table samples per second; ignored unless positive and finite.
    void setSourceRate(T samplesPerSecond) {
        if (!(samplesPerSecond > T(0)) || !std::isfinite(samplesPerSecond)) return;
        sourceRate_ = samplesPerSecond;
        step_ = samplesPerSecond / outputRate_;
        tolerance_ = std::fmin(step_ / T(200), T(0.5));
    }

    // Output samples per second; ignored unless positive and finite.
    void setOutputRate(T samplesPerSecond) {
        if (!(samplesPerSecond > T(0)) || !std::isfinite(samplesPerSecond)) return;
        step_ = sourceRate_ / samplesPerSecond;
        outputRate_ = samplesPerSecond;
        tolerance_ = std::fmin(step_ / T(200), T(0.5));
    }

    void reset() {
        phase_ = T(0);
        heldSample_ = T(0);
        hasHeldSample_ = false;
    }

    // Writes out[cursor..] from `table`, `position` being the table index that
    // the phase counts from. True when `out` is full (position and phase then
    // point at the next sample to read); false when the table ended first:
    // position is back at 0, the phase carries the overshoot, and the last
    // table sample is held to interpolate into the next pass.
    bool read(const WaveTable& table, uint64_t& position, std::span<T> out, uint64_t& cursor) {
        const uint64_t count = table.count;
        if (position >= count) {
            position = 0;
            return false;
        }
        T x = phase_;
        // The first index whose next neighbour lies past the table's end.
        const T lastStart = static_cast<T>(count - position - 1);
        while (cursor < out.size()) {
            T s0;
            T s1;
            T fraction;
            if (x >= -tolerance_) {
                // Within the tolerance below 0 the read is at 0: neither a step early
                // (a fraction of x - floor(x) would be almost 1) nor behind.
                const T at = x < T(0) ? T(0) : x;
                if (at >= lastStart) return ended(table, position, x, at);
                const uint64_t i = static_cast<uint64_t>(at);
                s0 = static_cast<T>(table.samples[position + i]);
                s1 = static_cast<T>(table.samples[position + i + 1]);
                fraction = at - std::floor(at);
            } else {
                if (x < T(-1)) return false;
                s0 = hasHeldSample_ ? heldSample_ : T(0);
                s1 = static_cast<T>(table.samples[position]);
                fraction = x - std::floor(x);
            }
            out[cursor] = fraction * (s1 - s0) + s0;
            ++cursor;
            x += step_;
        }
        if (x > T(0)) {
            // A step past the table's end needs no exact count: the next
            // read ends the table at once.
            const T whole = std::floor(x);
            position += whole < static_cast<T>(count) ? static_cast<uint64_t>(whole) : count;
            phase_ = x - whole;
        } else {
            phase_ = x;
        }
        return true;
    }

    // Fades from the held last sample to 0 over the rest of the last table step,
    // writing from out[cursor]. True when the fade is done (or there was nothing
    // to fade): the reader is reset. False when `out` filled first.
    bool readTail(std::span<T> out, uint64_t& cursor) {
        if (!hasHeldSample_) {
            reset();
            return true;
        }
        uint64_t tailPosition = 0;
        if (read(waveTable(WaveId::Tail), tailPosition, out, cursor)) return false;
        reset();
        return true;
    }

    T step() const { return step_; }
    T phase() const { return phase_; }
    T tolerance() const { return tolerance_; }

private:
    bool ended(const WaveTable& table, uint64_t& position, T x, T at) {
        const T remaining = static_cast<T>(table.count - position);
        if (at < remaining) {
            heldSample_ = static_cast<T>(table.samples[position + static_cast<uint64_t>(at)]);
            hasHeldSample_ = true;
        } else {
            hasHeldSample_ = false;
        }
        phase_ = x - remaining;
        position = 0;
        return false;
    }

    T sourceRate_ = T(1);
    T outputRate_ = T(1);
    T step_ = T(1);
    T phase_ = T(0);
    T heldSample_ = T(0);
    bool hasHeldSample_ = false;
    T tolerance_ = T(0.005);
};

} // namespace vyx
