// The volume envelope of one sample: a piecewise-linear gain over the
// sample's own time.
#pragma once

#include <cstddef>
#include <vector>

#include <nlohmann/json.hpp>

namespace lmc {

class VolumeEnvelope {
public:
    struct Point {
        double time;  // seconds from the sample's start
        double value; // gain (the spn percentage / 100)
    };

    // From a sample's "volumeKeyframes" ({"timestamp", "volume"} items): a
    // key whose time is not after the last accepted one is skipped. No keys
    // (an empty array or object, null, absent) give the constant gain 1.
    // Never throws for malformed items (they read as 0) beyond allocation.
    explicit VolumeEnvelope(const nlohmann::json& keyframes);

    // The gain at t: the first point's value at or before it, the last
    // point's after it, linear in between (a segment closes at the first
    // point whose time is not below t); 0 without points.
    double valueAt(double t) const noexcept;

    // True when the gain is 1 at every time (multiplying by it changes nothing).
    bool unity() const noexcept { return unity_; }

    // samples[k] *= valueAt(t + k * dt) for k < count, in float.
    void apply(double t, double dt, float* samples, std::size_t count) const noexcept;

    const std::vector<Point>& points() const noexcept { return points_; }

private:
    struct Segment {
        double slope;
        double intercept;
    };

    // The index of the segment containing t, for t strictly inside
    // (first point, last point]: forward from the last hit, by bisection when
    // t went back (O(log n) for any order of calls).
    std::size_t segmentFor(double t) const noexcept;

    std::vector<Point> points_;
    std::vector<Segment> segments_; // segment i joins point i to point i + 1
    bool unity_ = false;
    mutable std::size_t cursor_ = 0; // last segment found; only speeds the search up
};

} // namespace lmc
