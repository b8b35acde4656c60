// Playback of one crop of an embedded waveform at the rate an effect asks
// for: a playback clock in seconds of the waveform's own timeline, turned
// into a read position, and output samples produced through the anti-alias
// resampler, scaled by a volume.
//
// Each lmc::Effect holds one PlaybackGenerator by value; it is used by the
// thread that renders its engine instance, never by two threads at once.
// Real-time: once constructed, generate() and generateSynced() neither
// allocate, lock (see shared_clock.h for the shared clocks' spin flag, held
// once per call) nor log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "lumetra-core/src/filter.h"
#include "lumetra-core/src/shared_clock.h"

namespace lmc {

// A source of samples with a playback clock. Not deleted through this base.
class ISignalGenerator {
public:
    // Seconds of the crop.
    virtual double duration() const noexcept = 0;
    // Moves the read position to the current time (time()) and restarts the
    // resampler state.
    virtual void applyTime() noexcept = 0;
    // Fills out from its start, at most out.size() samples at rateHz, each
    // multiplied by volume; returns the number written. 0 means the crop has
    // ended (or the rate is refused: outside 8 Hz to 8 MHz, NaN included).
    virtual std::size_t generate(double rateHz, float volume, std::span<float> out) noexcept = 0;
    // A 64-bit digest of the crop: ((stop << 8) ^ start) << 8 ^ assetIndex.
    // Different crops may share a digest; shared clocks key on crop() instead.
    virtual uint64_t key() const noexcept = 0;

    // time = max(seconds, 0) (NaN gives 0), then applyTime().
    void setTime(double seconds) noexcept;
    // From now on the generator keeps its clock in step with every other
    // shared generator that plays the same crop at the same rate.
    void markShared() noexcept { shared_ = true; }

    // What an effect calls on every render: offsetSeconds is the time from
    // the start of the output buffer to the first sample asked for. On the
    // first call of a render cycle a shared generator takes the shared
    // clock's position (offset by where in the buffer it starts), then it
    // generates and advances its clock by the samples produced. A generator
    // already at the shared position keeps its resampler and filter state;
    // one that has to jump keeps the fraction of a sample, so sharers read
    // the same positions. An empty crop or an unusable rate is never shared.
    std::size_t generateSynced(double rateHz, float volume, std::span<float> out,
                               double offsetSeconds) noexcept;

    double time() const noexcept { return time_; }
    bool shared() const noexcept { return shared_; }

protected:
    ISignalGenerator() noexcept;
    ISignalGenerator(const ISignalGenerator&) = default;
    ISignalGenerator& operator=(const ISignalGenerator&) = default;
    ~ISignalGenerator() = default;

    // The exact identity of the crop for the shared-clock table.
    virtual SharedClockKey crop() const noexcept = 0;
    // As applyTime(), but the read position keeps the fraction of a sample
    // that time() falls on.
    virtual void applyTimeInPhase() noexcept = 0;

    double time_ = 0.0; // playback clock, seconds of the waveform's timeline

private:
    bool shared_ = false;
    uint32_t lastCycle_;        // render cycle of the last call
    double cycleAdvance_ = 0.0; // how far the clock advanced in that cycle, seconds
};

class PlaybackGenerator final : public ISignalGenerator {
public:
    static constexpr uint64_t kSharedFlag = 0x10000;
    static constexpr uint64_t kAssetMask = 0xFFFF;

    // From a pattern sample's "signalIndex" (bit 16 marks a shared clock, the
    // low 16 bits name the waveform), "startCrop" and "stopCrop" (seconds;
    // stopCrop 0 plays to the waveform's end). An index past the table gives
    // an empty generator. Crops are clamped to the waveform; a stop before
    // the start gives an empty crop at the start. Seconds convert to samples
    // by round(8000 x seconds): not positive (or NaN) gives 0, too large
    // saturates.
    PlaybackGenerator(uint64_t signalIndex, double startCrop, double stopCrop) noexcept;

    double duration() const noexcept override { return cropDuration_; }
    void applyTime() noexcept override;
    std::size_t generate(double rateHz, float volume, std::span<float> out) noexcept override;
    uint64_t key() const noexcept override;

    uint64_t assetIndex() const noexcept { return assetIndex_; }
    uint64_t cropStart() const noexcept { return start_; }
    uint64_t cropStop() const noexcept { return stop_; }
    uint64_t position() const noexcept { return position_; } // next sample to read
    float tail() const noexcept { return tail_; }
    const AntiAliasResampler& resampler() const noexcept { return antiAlias_; }

protected:
    SharedClockKey crop() const noexcept override;
    void applyTimeInPhase() noexcept override;

private:
    const float* data_ = nullptr; // the waveform, read in place
    uint64_t assetIndex_ = 0;
    uint64_t start_ = 0;
    uint64_t stop_ = 0;
    uint64_t position_ = 0;
    double cropDuration_ = 0.0;
    float tail_ = 0.0f; // the waveform's sample at stop, or 0 at its end
    double bandLowHz_ = 0.0;
    double bandHighHz_ = 0.0;
    AntiAliasResampler antiAlias_;
    ResampleRequest request_;
};

} // namespace lmc
