#include "track.h"

#include <algorithm>

#include "spn_values.h"

namespace lmc {

Track::Track(const nlohmann::json& track, std::size_t actuatorCount)
    : volume_(jsonNumber(jsonMember(track, "volume")) / 100.0) {
    const nlohmann::json& samples = jsonMember(track, "samples");
    if (!samples.is_array()) return;
    samples_.reserve(samples.size());
    double previousEnd = 0.0;
    for (const nlohmann::json& sample : samples) {
        samples_.emplace_back(sample, previousEnd, actuatorCount);
        previousEnd = jsonNumber(jsonMember(sample, "timestamp")) +
                      jsonNumber(jsonMember(sample, "maxDuration"));
    }
}

void Track::seek(double t) {
    current_ = 0;
    t = std::max(t, 0.0);
    double walked = 0.0;
    for (; current_ < samples_.size(); ++current_) {
        RepeatedEffect& sample = samples_[current_];
        const double d = sample.duration();
        if (d == -1.0) {
            sample.seek(0.0);
            return;
        }
        if (d == 0.0 || walked + d > t) {
            sample.seek(t - walked);
            return;
        }
        walked += d;
    }
}

double Track::duration() const {
    double total = 0.0;
    bool unknown = false;
    for (const RepeatedEffect& sample : samples_) {
        const double d = sample.duration();
        if (d == -1.0) return -1.0;
        if (d == 0.0) unknown = true;
        total += d;
    }
    return unknown ? 0.0 : total;
}

std::size_t Track::render(const RenderTarget& target, double rateHz, double volume, double speed,
                          std::size_t offset, std::size_t count) {
    const std::size_t end = offset + count;
    std::size_t position = offset;
    while (current_ < samples_.size()) {
        const std::size_t reached = samples_[current_].render(
            target, rateHz, volume * volume_, speed, position, end - position);
        if (reached >= end) return reached;
        ++current_;
        if (current_ < samples_.size()) samples_[current_].seek(0.0);
        position = reached;
    }
    return position;
}

TrackList::TrackList(const nlohmann::json& root, std::size_t actuatorCount) {
    const nlohmann::json& tracks = jsonMember(root, "tracks");
    if (!tracks.is_array()) return;
    tracks_.reserve(tracks.size());
    for (const nlohmann::json& track : tracks) tracks_.emplace_back(track, actuatorCount);
}

void TrackList::seek(double t) {
    for (Track& track : tracks_) track.seek(t);
}

double TrackList::duration() const {
    double longest = 0.0;
    bool unknown = false;
    for (const Track& track : tracks_) {
        const double d = track.duration();
        if (d == -1.0) return -1.0;
        if (d == 0.0) unknown = true;
        longest = std::max(longest, d);
    }
    return unknown ? 0.0 : longest;
}

std::size_t TrackList::render(const RenderTarget& target, double rateHz, double volume,
                              double speed, std::size_t offset, std::size_t count) {
    std::size_t furthest = offset; // no track: finished where it was asked to start
    for (Track& track : tracks_)
        furthest = std::max(furthest, track.render(target, rateHz, volume, speed, offset, count));
    return furthest;
}

} // namespace lmc
