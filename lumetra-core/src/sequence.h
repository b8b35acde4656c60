// A sequence: one playing instance of a loaded pattern, with its own copy of
// the pattern's effect tree, its properties, its fade and its spatial
// transform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fade.h"
#include "repeat_mgr.h"
#include "track.h"
#include "transform.h"

namespace lmc {

class ILayout;
class Pattern;

// Where and how the core renders its sequences in one buffer.
struct SequenceOutput {
    const ILayout& layout;
    double* const* buffers;        // one per actuator, `frames` samples each
    std::size_t actuatorCount;
    std::size_t frames;
    double rateHz;
    double globalBoost;
    std::span<float> scratch;      // shared work buffer
    std::size_t spatialCellFrames; // >= 1
};

class Sequence {
public:
    enum State : int32_t { kPlaying = 1, kFading = 2, kStopped = 3 };

    // Builds the effect tree from a valid pattern, for a layout of
    // `actuatorCount` actuators. Stopped, never started. Throws only what
    // allocation throws.
    Sequence(int32_t patternId, bool autoDelete, const Pattern& pattern, std::size_t actuatorCount);

    // Starts the pattern `playAt` seconds into it after `latency` seconds of
    // silence, at full gain. TRV_ERROR_CORE_INVALID_ARGUMENT (-100) when a
    // time is negative or not finite; TRV_ERROR_CORE_SEQUENCE_PLAYING (-93)
    // when playing; else 0.
    int32_t play(double playAt, double latency);
    // step > 0 while playing: fade out by `step` per sample (a running fade
    // keeps its gain and takes the new step). Otherwise (0, NaN, or not
    // playing): stops at once. -100 for a negative step, else 0.
    int32_t stop(double step);

    // Adds this sequence into the buffers; a sequence that ends inside the
    // buffer (its tree, its maximum duration or its fade) stops playing.
    // Allocates nothing once warm.
    void render(const SequenceOutput& out);

    int32_t patternId() const noexcept { return patternId_; }
    bool autoDelete() const noexcept { return autoDelete_; }
    bool started() const noexcept { return started_; }
    bool playing() const noexcept { return playing_; }
    bool isFading() const noexcept { return playing_ && fade_.active(); }
    bool shouldErase() const noexcept { return autoDelete_ && started_ && !playing_; }
    State state() const noexcept { return !playing_ ? kStopped : isFading() ? kFading : kPlaying; }

    // Properties, in the units of the engine's property setters.
    double volume = 1.0;
    double speed = 1.0;
    double boost;       // the pattern's boost at creation
    bool muted = false; // renders with volume 0 while set
    Transform transform;

    RepeatMgr<TrackList>& tracks() noexcept { return tracks_; }
    const RepeatMgr<TrackList>& tracks() const noexcept { return tracks_; }
    const Fade& fade() const noexcept { return fade_; }
    double playDelay() const noexcept { return playDelay_; }
    // Per actuator, the largest weight x peak seen since the last reset.
    std::vector<float>& visualiserWeights() noexcept { return visualiser_; }
    const std::vector<float>& visualiserWeights() const noexcept { return visualiser_; }

private:
    int32_t patternId_;
    bool autoDelete_;
    bool started_ = false;
    bool playing_ = false;
    Fade fade_;
    std::vector<float> visualiser_;
    double playDelay_ = 0.0; // seconds of silence still to render before the pattern
    RepeatMgr<TrackList> tracks_;
};

} // namespace lmc
