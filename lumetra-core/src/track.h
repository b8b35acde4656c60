// The tracks of a pattern: each a chain of repeated samples, all played together.
#pragma once

#include <cstddef>
#include <vector>

#include <nlohmann/json.hpp>

#include "buffer_filler.h"
#include "effect.h"

namespace lmc {

// One track: its samples one after the other, each starting when the
// previous one finishes (its own delays place it in time).
class Track final : public IBufferFiller {
public:
    // From one spn track of a valid pattern.
    Track(const nlohmann::json& track, std::size_t actuatorCount);

    // The sample that t falls into is placed there; the samples before it
    // are done. Past the last sample the track is finished.
    void seek(double t) override;
    void restartRepetition() override { seek(0.0); }
    // Sum of the samples' durations; -1 at the first endless one, else 0 if
    // any is 0.
    double duration() const override;
    // Plays from the current sample on, each at volume x the track's volume.
    std::size_t render(const RenderTarget& target, double rateHz, double volume, double speed,
                       std::size_t offset, std::size_t count) override;

    double volume() const noexcept { return volume_; }
    std::size_t currentSample() const noexcept { return current_; }
    std::vector<RepeatedEffect>& samples() noexcept { return samples_; }
    const std::vector<RepeatedEffect>& samples() const noexcept { return samples_; }

private:
    double volume_;
    std::size_t current_ = 0;
    std::vector<RepeatedEffect> samples_;
};

class TrackList final : public IBufferFiller {
public:
    // From a pattern document's "tracks".
    TrackList(const nlohmann::json& root, std::size_t actuatorCount);

    void seek(double t) override;
    void restartRepetition() override { seek(0.0); }
    // The longest track; -1 when a track is endless, else 0 when one is 0.
    double duration() const override;
    // Every track over the same span; returns the furthest position reached
    // (offset without tracks).
    std::size_t render(const RenderTarget& target, double rateHz, double volume, double speed,
                       std::size_t offset, std::size_t count) override;

    std::vector<Track>& tracks() noexcept { return tracks_; }
    const std::vector<Track>& tracks() const noexcept { return tracks_; }

private:
    std::vector<Track> tracks_;
};

} // namespace lmc
