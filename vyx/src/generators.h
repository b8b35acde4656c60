// The synthesis generators: a continuous sine rumble and one-shot pulses, each
// playing a wave table through its own TableReader. They render into a span
// the caller owns; nothing is allocated.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

#include "vyx/src/table_reader.h"
#include "vyx/src/wave_tables.h"

namespace vyx {

template <typename T>
class BaseGenerator {
public:
    virtual ~BaseGenerator() = default;

    // Fills `out` for one frame at `level` (in [0, 1]) with the given amplitude.
    virtual void render(std::span<T> out, T level, T amplitude) = 0;
    virtual void reset() = 0;

    // amplitude = level ^ levelExponent * gain * factor; renders; remembers the
    // amplitude for the next frame; returns it.
    T generate(std::span<T> out, T level, T factor) {
        const T amplitude = std::pow(level, levelExponent_) * gain_ * factor;
        render(out, level, amplitude);
        lastAmplitude_ = amplitude;
        return amplitude;
    }

    // Back to the table's start with no memory of the last frame.
    void restart() {
        reader_.reset();
        readPosition_ = 0;
        lastAmplitude_ = T(0);
    }

    T gain() const { return gain_; }
    T lastAmplitude() const { return lastAmplitude_; }
    const TableReader<T>& reader() const { return reader_; }

protected:
    BaseGenerator() = default;
    BaseGenerator(const WaveTable& table, T rate, T levelExponent, T gain)
        : table_(&table), rate_(rate), levelExponent_(levelExponent), gain_(gain) {
        reader_.setOutputRate(rate);
    }
    BaseGenerator(const BaseGenerator&) = default;
    BaseGenerator& operator=(const BaseGenerator&) = default;

    const WaveTable* table_ = nullptr;
    T rate_ = T(1);
    T levelExponent_ = T(1);
    TableReader<T> reader_;
    uint64_t readPosition_ = 0;
    T gain_ = T(0);
    T lastAmplitude_ = T(0);
};

template <typename T>
class RumbleGenerator final : public BaseGenerator<T> {
public:
    RumbleGenerator() = default;
    RumbleGenerator(const WaveTable& table, T rate, T levelExponent, T gain, T lowFrequencyHz,
                    T highFrequencyHz, T frequencyExponent)
        : BaseGenerator<T>(table, rate, levelExponent, gain),
          lowFrequency_(lowFrequencyHz),
          highFrequency_(highFrequencyHz),
          frequencyExponent_(frequencyExponent) {}

    void render(std::span<T> out, T level, T amplitude) override {
        if (out.empty()) return;
        const T frequency =
            std::pow(T(1) - level, frequencyExponent_) * (highFrequency_ - lowFrequency_) +
            lowFrequency_;
        const T from = this->lastAmplitude_;
        this->reader_.setSourceRate(frequency * static_cast<T>(this->table_->count));
        fill(out);
        // A 1 ms ramp from the last frame's amplitude (none below 1000 Hz).
        const uint64_t ramp = std::min<uint64_t>(
            out.size(), static_cast<uint64_t>(static_cast<double>(this->rate_) * 0.001));
        for (uint64_t i = 0; i < out.size(); ++i)
            out[i] *= i < ramp
                          ? from + (amplitude - from) / static_cast<T>(ramp) * static_cast<T>(i + 1)
                          : amplitude;
    }

    void reset() override {}

private:
    // Reads the table round and round until `out` is full; the phase carries
    // over each wrap, so the sine runs on without a break. A table or rate that
    // makes no progress (an empty table, a step larger than the table) cannot
    // hold the real-time thread: after more wraps than samples the rest of the
    // frame is silence and the oscillator restarts.
    void fill(std::span<T> out) {
        uint64_t cursor = 0;
        uint64_t wraps = 0;
        const uint64_t maxWraps = out.size() + 2;
        while (!this->reader_.read(*this->table_, this->readPosition_, out, cursor)) {
            if (++wraps > maxWraps) {
                std::fill(out.begin() + static_cast<std::ptrdiff_t>(cursor), out.end(), T(0));
                this->restart();
                return;
            }
        }
    }

    T lowFrequency_ = T(0);
    T highFrequency_ = T(0);
    T frequencyExponent_ = T(1);
};

template <typename T>
class PulseGenerator final : public BaseGenerator<T> {
public:
    PulseGenerator() = default;
    PulseGenerator(const WaveTable& table, T rate, T minDurationSeconds, T maxDurationSeconds,
                   T durationExponent, T levelExponent, T startDelaySeconds, T gain)
        : BaseGenerator<T>(table, rate, levelExponent, gain),
          minDuration_(minDurationSeconds),
          maxDuration_(maxDurationSeconds),
          durationExponent_(durationExponent),
          startDelay_(startDelaySeconds) {}

    void render(std::span<T> out, T level, T amplitude) override {
        if (out.empty()) return;
        if (idle_ && !(amplitude > T(0))) {
            std::fill(out.begin(), out.end(), T(0));
            return;
        }
        if (idle_ || amplitude > pulseAmplitude_) trigger(level, amplitude);
        const uint64_t z = std::min<uint64_t>(delayRemaining_, out.size());
        std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(z), T(0));
        delayRemaining_ -= z;
        uint64_t cursor = z;
        if (!this->reader_.read(*this->table_, this->readPosition_, out, cursor)) {
            // The table ended in this frame: fade out, then silence; the pulse is
            // idle from the next frame (an unfinished fade is dropped).
            if (this->reader_.readTail(out, cursor))
                std::fill(out.begin() + static_cast<std::ptrdiff_t>(cursor), out.end(), T(0));
            idle_ = true;
        }
        for (uint64_t i = z; i < cursor; ++i) out[i] *= pulseAmplitude_;
    }

    void reset() override {
        idle_ = true;
        pulseAmplitude_ = T(0);
        delayRemaining_ = 0;
    }

    bool idle() const { return idle_; }
    T pulseAmplitude() const { return pulseAmplitude_; }

private:
    void trigger(T level, T amplitude) {
        this->reader_.reset();
        const T delay = startDelay_ * this->rate_;
        delayRemaining_ = delay > T(0) ? static_cast<uint64_t>(delay) : 0;
        this->readPosition_ = 0;
        pulseAmplitude_ = amplitude;
        const T duration =
            std::pow(level, durationExponent_) * (maxDuration_ - minDuration_) + minDuration_;
        this->reader_.setSourceRate(static_cast<T>(this->table_->count) / duration);
        idle_ = false;
    }

    T minDuration_ = T(0);
    T maxDuration_ = T(0);
    T durationExponent_ = T(1);
    T startDelay_ = T(0);
    T pulseAmplitude_ = T(0);
    uint64_t delayRemaining_ = 0;
    bool idle_ = true;
};

} // namespace vyx
