// Filtering and resampling of the embedded 8000 Hz waveforms to the output
// rate: an optional anti-alias low-pass taken from the filter bank, chosen by
// the output's Nyquist frequency and the waveform's band, then linear
// interpolation at a fractional read position that carries over from call to
// call.
//
// Real-time: once constructed, nothing here allocates, locks or logs on the
// normal path (the one log line reports an out-of-order filter read, which
// the resampler never makes). Not thread-safe: one resampler per generator,
// used by the thread that renders it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumetra-core/src/biquad.h"

namespace lmc {

// Describes one resampling call. The generator fills it in this order:
// setInput, setOutput, setRatio, then AntiAliasResampler::configure and
// AntiAliasResampler::process, and reads inputUsed and outputProduced.
struct ResampleRequest {
    double ratio = 1.0;               // input samples per output sample
    const float* input = nullptr;     // first input sample
    uint64_t inputCount = 0;          // input samples available
    bool hasTail = false;             // interpolate towards tailSample after the last input
    float tailSample = 0.0f;          // the sample that follows the input, or 0
    uint64_t inputUsed = 0;           // out: input samples consumed
    float* output = nullptr;          // destination
    uint64_t outputCapacity = 0;      // output samples wanted
    uint64_t outputProduced = 0;      // out: output samples written

    void setInput(const float* samples, uint64_t count, bool tail, float tailValue) noexcept {
        input = samples;
        inputCount = count;
        hasTail = tail;
        tailSample = tailValue;
        inputUsed = 0;
    }
    void setOutput(float* samples, uint64_t capacity) noexcept {
        output = samples;
        outputCapacity = capacity;
        outputProduced = 0;
    }
    void setRatio(double inputRateHz, double outputRateHz) noexcept {
        ratio = inputRateHz / outputRateHz;
    }
};

// The input of the interpolation: raw samples, or the samples run through a
// low-pass cascade (or zeros run through it, to let it decay).
//
// Indices are relative to the current input; index `count` is the tail
// sample. The cascade state follows the input across calls: consume() moves
// the input forward and keeps the filtered history, so one playback split
// into many calls is filtered as one continuous signal.
class FilteredInput {
public:
    enum class Mode { Raw, Zeros, LowPass };

    // Raw, with the 30 Hz cascade and zero state.
    FilteredInput();

    Mode mode() const noexcept { return mode_; }
    bool enabled() const noexcept { return mode_ != Mode::Raw; }
    bool feedZeros() const noexcept { return mode_ == Mode::Zeros; }
    const BiquadList& sections() const noexcept { return sections_; }

    // Takes a copy of the cascade and restarts it: zero state, next = 0.
    // Allocates only when the cascade length differs from the current one.
    void setFilter(const BiquadList& list);
    // Reads raw samples (no filtering); the state is no longer continuous.
    void setRaw() noexcept;
    // Feeds the cascade zeros from now on; its state carries on.
    void setZeros() noexcept;
    // Filters the input through the cascade it holds.
    void setLowPass() noexcept;

    // Points at new input. When `samples` is not where consume() left the
    // previous input, the cascade restarts (the read position jumped).
    void setInput(const float* samples, uint64_t count, bool hasTail, float tail) noexcept;
    // The input moves forward by `used` samples (used <= count): every
    // consumed sample goes through the cascade, and indices are rebased.
    void consume(uint64_t used) noexcept;
    // Restarts the cascade: zero state, next, last and previous 0.
    void clear() noexcept;

    // The (filtered) sample at index i <= count. Reads go forward; reading an
    // index before the two last ones logs "Invalid filtered index" and gives 0.
    float sampleAt(uint64_t i) noexcept {
        if (mode_ == Mode::Raw) return static_cast<float>(inputAt(i));
        return filteredAt(i);
    }

    // True while the cascade state continues the samples before index next.
    bool continuous() const noexcept { return continuous_; }
    // True while the cascade holds nothing (every state and output 0): after
    // a clear, and once a zero-fed cascade has decayed far below a float.
    bool atRest() const noexcept { return atRest_; }

    // The raw input, for reading it directly while the mode is Raw.
    const float* input() const noexcept { return input_; }

private:
    double inputAt(uint64_t k) const noexcept {
        if (k < count_) return static_cast<double>(input_[k]);
        return k == count_ && hasTail_ ? static_cast<double>(tail_) : 0.0;
    }
    float filteredAt(uint64_t i) noexcept;
    // Runs the input from index next to index `last` through the cascade.
    void runTo(uint64_t last) noexcept;
    // As runTo for a cascade of four sections, reading input index k as input(k).
    template <class Input>
    void runFourTo(uint64_t last, Input input) noexcept;
    // Zero-fed: once every state and output is far below what a float can
    // hold, the cascade is set to rest (exact zeros) instead of decaying on
    // into subnormal numbers, which are slow on some processors and where a
    // direct form II can circle for ever without reaching zero.
    void restIfSilent() noexcept;

    Mode mode_ = Mode::Raw;
    BiquadList sections_;
    std::vector<BiquadState> states_;
    const float* input_ = nullptr;
    uint64_t count_ = 0;
    bool hasTail_ = false;
    float tail_ = 0.0f;
    uint64_t next_ = 0;       // index of the next input sample to filter
    double last_ = 0.0;       // filter output for index next - 1
    double previous_ = 0.0;   // filter output for index next - 2
    bool continuous_ = false; // state and input agree (see setInput)
    bool atRest_ = true;      // every state, last and previous are 0
};

// Anti-alias stage plus linear interpolation. Keeps its state between calls:
// the fractional read position, the last sample (which bridges a negative
// read position to the next input) and the filter.
class AntiAliasResampler {
public:
    static constexpr int32_t kRefused = -100;
    static constexpr double kMinRatio = 0.001;
    static constexpr double kMaxRatio = 1000.0;

    // Chooses the anti-alias stage for an output rate and a waveform band and
    // points the filter at the request's input:
    // - Nyquist (rate / 2) above bandHigh: raw samples, no filtering;
    // - Nyquist below bandLow: the cascade is fed zeros and decays;
    // - otherwise the low-pass of the filter bank for the Nyquist frequency.
    // The low-pass keeps its state from the previous call when it is the same
    // filter and the input continues where the previous call stopped; it
    // restarts when the filter, the mode or the read position changes.
    void configure(double rateHz, double bandLowHz, double bandHighHz,
                   const ResampleRequest& request);

    // Interpolates request.outputCapacity samples at request.ratio from the
    // request's input (continuing into its tail). Returns 0, or kRefused with
    // nothing written or consumed when: input is null with inputCount > 0,
    // output is null with outputCapacity > 0, ratio is outside [0.001, 1000]
    // (NaN included), or inputUsed / outputProduced are not 0. Fills
    // inputUsed and outputProduced. Precondition: configure() with the same
    // request just before.
    int32_t process(ResampleRequest& request) noexcept;

    // Read position and last sample to 0, filter state cleared.
    void reset() noexcept;
    // As reset(), with the read position at a fraction of a sample in [0, 1).
    void resetAt(double readPosition) noexcept;

    double readPosition() const noexcept { return readPosition_; }
    const FilteredInput& source() const noexcept { return source_; }

private:
    double readPosition_ = 0.0; // in input samples, relative to the input's first sample
    float lastSample_ = 0.0f;
    FilteredInput source_;
    const BiquadList* lowPassEntry_ = nullptr; // the bank entry the low-pass copied
};

} // namespace lmc
