#include "volume_envelope.h"

#include <algorithm>
#include <cstdint>

#include "spn_values.h"
#include "target_clones.h"

namespace lmc {
namespace {

// samples[i] x value, rounded back to float, for i in [begin, end).
TRV_AVX2_CLONES void scale(float* samples, std::size_t begin, std::size_t end, double value) noexcept {
    for (std::size_t i = begin; i < end; ++i)
        samples[i] = static_cast<float>(static_cast<double>(samples[i]) * value);
}

// samples[i] x (slope x (t + i x dt) + intercept) for i in [begin, end); a
// 32-bit index converts to double in vector registers.
TRV_AVX2_CLONES void scaleByLine(float* samples, int32_t begin, int32_t end, double t, double dt,
                                 double slope, double intercept) noexcept {
    for (int32_t i = begin; i < end; ++i)
        samples[i] = static_cast<float>(static_cast<double>(samples[i]) *
                                        (slope * (t + static_cast<double>(i) * dt) + intercept));
}

} // namespace

VolumeEnvelope::VolumeEnvelope(const nlohmann::json& keyframes) {
    if (keyframes.is_array()) {
        points_.reserve(keyframes.size());
        segments_.reserve(keyframes.size());
        for (const nlohmann::json& key : keyframes) {
            const double time = jsonNumber(jsonMember(key, "timestamp"));
            const double value = jsonNumber(jsonMember(key, "volume")) / 100.0;
            if (!points_.empty()) {
                const Point& last = points_.back();
                if (!(time > last.time)) continue;
                const double slope = (value - last.value) / (time - last.time);
                segments_.push_back({slope, last.value - slope * last.time});
            }
            points_.push_back({time, value});
        }
    }
    if (points_.empty()) points_.push_back({0.0, 1.0});
    unity_ = true;
    for (const Point& p : points_) unity_ = unity_ && p.value == 1.0;
}

std::size_t VolumeEnvelope::segmentFor(double t) const noexcept {
    std::size_t i = cursor_ < segments_.size() ? cursor_ : 0;
    if (t <= points_[i].time) {
        // t went back (each spatial cell asks for an earlier time than the
        // samples just scaled): the segment closing at the first point not
        // below t, found by bisection among the points up to the cursor.
        const auto closing = std::lower_bound(
            points_.begin() + 1, points_.begin() + static_cast<std::ptrdiff_t>(i) + 1, t,
            [](const Point& p, double time) { return p.time < time; });
        i = static_cast<std::size_t>(closing - points_.begin()) - 1;
    }
    while (points_[i + 1].time < t) ++i;
    cursor_ = i;
    return i;
}

double VolumeEnvelope::valueAt(double t) const noexcept {
    if (points_.empty()) return 0.0;
    if (t <= points_.front().time) return points_.front().value;
    if (t > points_.back().time) return points_.back().value;
    const Segment& s = segments_[segmentFor(t)];
    return s.slope * t + s.intercept;
}

void VolumeEnvelope::apply(double t, double dt, float* samples,
                           std::size_t count) const noexcept {
    if (unity_ || count == 0) return;
    // Sample k is scaled by the value at t + k * dt, exactly as valueAt gives
    // it. That time grows with k, so each piece of the envelope covers one
    // run of samples: find where the run ends, then scale it in one loop.
    const auto timeAt = [&](std::size_t k) { return t + static_cast<double>(k) * dt; };
    // The first k in [k, count) whose time is beyond `limit` (count if none).
    const auto runEnd = [&](std::size_t k, double limit) {
        double guess = (limit - t) / dt;
        std::size_t end = count;
        if (guess < static_cast<double>(count)) end = guess > static_cast<double>(k) ? static_cast<std::size_t>(guess) : k;
        while (end > k && timeAt(end - 1) > limit) --end;
        while (end < count && !(timeAt(end) > limit)) ++end;
        return end;
    };
    const Point& first = points_.front();
    const Point& last = points_.back();
    std::size_t k = 0;
    while (k < count) {
        const double tk = timeAt(k);
        std::size_t end;
        if (tk <= first.time) {
            end = std::max(runEnd(k, first.time), k + 1);
            scale(samples, k, end, first.value);
        } else if (tk > last.time) {
            end = count;
            scale(samples, k, end, last.value);
        } else if (tk == tk) {
            const std::size_t segment = segmentFor(tk);
            const Segment s = segments_[segment];
            end = std::max(runEnd(k, points_[segment + 1].time), k + 1);
            if (end <= static_cast<std::size_t>(INT32_MAX)) {
                scaleByLine(samples, static_cast<int32_t>(k), static_cast<int32_t>(end), t, dt, s.slope,
                            s.intercept);
            } else {
                for (std::size_t i = k; i < end; ++i)
                    samples[i] = static_cast<float>(static_cast<double>(samples[i]) *
                                                    (s.slope * timeAt(i) + s.intercept));
            }
        } else {
            return; // a NaN time: nothing to scale by
        }
        k = end;
    }
}

} // namespace lmc
