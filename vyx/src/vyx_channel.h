// One audio channel of a VYX-fx instance: four band analysers that reduce a
// 20 ms frame to four descriptors, and the four generators that turn four
// descriptors back into a 20 ms frame. A plain value: built (or rebuilt, on a
// preset change) without allocating, used by one thread at a time.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

#include "vyx/src/band_analyser.h"
#include "vyx/src/generators.h"
#include "vyx/src/presets.h"

namespace vyx {

// Samples in one 20 ms frame at `sampleRate` (computed in double, truncated).
inline uint32_t frameSizeFor(uint32_t sampleRate) {
    return static_cast<uint32_t>(static_cast<double>(sampleRate) * 0.02);
}

template <typename U>
class VyxChannel {
public:
    VyxChannel() = default;

    // `preset` must be below kPresetCount.
    VyxChannel(uint32_t sampleRate, uint32_t preset) : frameSize_(frameSizeFor(sampleRate)) {
        const PresetParams& p = presetParams(preset);
        const U rate = static_cast<U>(sampleRate);
        const RumbleParams& r = p.rumble;
        rumble_ =
            RumbleGenerator<U>(waveTable(WaveId::Sine), rate, U(r.levelExponent), U(r.gain),
                               U(r.lowFrequencyHz), U(r.highFrequencyHz), U(r.frequencyExponent));
        for (uint32_t k = 0; k < kPulseCount; ++k) {
            const PulseParams& q = p.pulses[k];
            pulses_[k] = PulseGenerator<U>(waveTable(q.wave), rate, U(q.minDurationSeconds),
                                           U(q.maxDurationSeconds), U(q.durationExponent),
                                           U(q.levelExponent), U(q.startDelaySeconds), U(q.gain));
        }
        for (uint32_t k = 0; k < kBandCount; ++k) {
            const BandParams& b = p.bands[k];
            analysers_[k] = VyxBandAnalyser<U>(bandSections(b.filter, sampleRate), U(b.alpha),
                                               U(b.levelInit), U(b.levelFloor), U(b.levelDecay));
        }
        duckRumble_ = p.duckRumble;
    }

    static constexpr uint32_t tokenBytes() { return 4 * sizeof(U); }
    uint32_t frameSize() const { return frameSize_; }

    // Four descriptors of `frame` written at `token` (tokenBytes bytes, native
    // order). False, with nothing changed, when a list is not one frame long.
    bool analyse(std::span<const U> frame, uint8_t* token, std::span<U> scratch) {
        if (frame.size() != frameSize_ || scratch.size() != frameSize_) return false;
        analyseFrame(frame, scratch);
        std::memcpy(token, descriptors_.data(), tokenBytes());
        return true;
    }

    // Overwrites `frame` with the haptic signal of the token's descriptors.
    bool synthesise(const uint8_t* token, std::span<U> frame, std::span<U> scratch) {
        if (frame.size() != frameSize_ || scratch.size() != frameSize_) return false;
        std::memcpy(descriptors_.data(), token, tokenBytes());
        // A token comes from outside: a descriptor outside [0, 1] (or NaN) would
        // reach pow() and give NaN amplitudes, so it is clamped (NaN to 0).
        for (U& d : descriptors_) d = d > U(0) ? std::fmin(d, U(1)) : U(0);
        synthesiseFrame(frame, scratch);
        return true;
    }

    // Analyses `frame` and overwrites it with its haptic signal.
    bool process(std::span<U> frame, std::span<U> scratch) {
        if (frame.size() != frameSize_ || scratch.size() != frameSize_) return false;
        analyseFrame(frame, scratch);
        synthesiseFrame(frame, scratch);
        return true;
    }

    // Restarts filters, levels and generators; keeps the preset and descriptors.
    void reset() {
        rumble_.restart();
        rumble_.reset();
        for (auto& pulse : pulses_) {
            pulse.restart();
            pulse.reset();
        }
        for (auto& analyser : analysers_) analyser.reset();
    }

    const std::array<U, kBandCount>& descriptors() const { return descriptors_; }
    const RumbleGenerator<U>& rumble() const { return rumble_; }
    const PulseGenerator<U>& pulse(uint32_t k) const { return pulses_[k]; }
    const VyxBandAnalyser<U>& analyser(uint32_t k) const { return analysers_[k]; }

private:
    void analyseFrame(std::span<const U> frame, std::span<U> scratch) {
        for (uint32_t k = 0; k < kBandCount; ++k) {
            std::copy(frame.begin(), frame.end(), scratch.begin());
            descriptors_[k] = analysers_[k].analyse(scratch);
        }
    }

    void synthesiseFrame(std::span<U> frame, std::span<U> scratch) {
        std::fill(frame.begin(), frame.end(), U(0));
        std::array<U, kPulseCount> amplitudes{};
        for (uint32_t k = 0; k < kPulseCount; ++k) {
            amplitudes[k] = pulses_[k].generate(scratch, descriptors_[k + 1], U(1));
            add(frame, scratch);
        }
        // Ducking: the rumble's largest amplitude (its gain) is scaled down to the
        // room that this frame's pulse amplitudes leave below 1.
        U factor = U(1);
        if (duckRumble_) {
            U room = U(1) - (U(0) + amplitudes[0] + amplitudes[1] + amplitudes[2]);
            if (room < U(0)) room = U(0);
            if (!(room >= rumble_.gain())) factor = room / rumble_.gain();
        }
        rumble_.generate(scratch, descriptors_[0], factor);
        add(frame, scratch);
    }

    static void add(std::span<U> frame, std::span<const U> part) {
        for (std::size_t i = 0; i < frame.size(); ++i) frame[i] += part[i];
    }

    uint32_t frameSize_ = 0;
    RumbleGenerator<U> rumble_;
    std::array<PulseGenerator<U>, kPulseCount> pulses_;
    std::array<VyxBandAnalyser<U>, kBandCount> analysers_;
    std::array<U, kBandCount> descriptors_{};
    bool duckRumble_ = false;
};

} // namespace vyx
