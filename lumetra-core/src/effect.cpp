#include "effect.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "layout.h"
#include "spn_values.h"
#include "target_clones.h"
#include "transform.h"

namespace lmc {
namespace {

// "signalIndex" as an unsigned integer: floats truncated, negative and
// non-numbers 0, beyond the range saturated (an index past the waveform
// table plays nothing).
uint64_t signalIndexOf(const nlohmann::json& sample) noexcept {
    const nlohmann::json& value = jsonMember(sample, "signalIndex");
    switch (value.type()) {
    case nlohmann::json::value_t::number_unsigned:
        return value.get<uint64_t>();
    case nlohmann::json::value_t::number_integer:
        return value.get<int64_t>() > 0 ? static_cast<uint64_t>(value.get<int64_t>()) : 0;
    case nlohmann::json::value_t::number_float: {
        const double index = std::trunc(value.get<double>());
        if (!(index > 0.0)) return 0;
        return index >= 0x1p64 ? UINT64_MAX : static_cast<uint64_t>(index);
    }
    default:
        return 0;
    }
}

// destination[k] += source[k] x weight, widened to double, for k < count.
// With AVX2: the same products and sums, four at a time instead of two.
TRV_AVX2_CLONES void addWeighted(double* __restrict destination, const float* __restrict source,
                                 double weight, std::size_t count) noexcept {
    for (std::size_t k = 0; k < count; ++k)
        destination[k] += static_cast<double>(source[k]) * weight;
}

// The largest magnitude of count samples, compared as bit patterns: for
// floats without their sign bit the order of the patterns is the order of
// the values. A NaN (a pattern above infinity's) counts as 0. With AVX2:
// eight at a time.
TRV_AVX2_CLONES float peakMagnitude(const float* samples, std::size_t count) noexcept {
    constexpr int32_t kInfinityBits = 0x7F800000;
    int32_t peakBits = 0;
    for (std::size_t k = 0; k < count; ++k) {
        int32_t bits;
        std::memcpy(&bits, samples + k, sizeof bits);
        bits &= 0x7FFFFFFF;
        peakBits = std::max(peakBits, bits > kInfinityBits ? 0 : bits);
    }
    float peak;
    std::memcpy(&peak, &peakBits, sizeof peak);
    return peak;
}

} // namespace

Effect::Effect(const nlohmann::json& sample, std::size_t actuatorCount)
    : speed_(jsonNumber(jsonMember(sample, "speed"))),
      envelope_(jsonMember(sample, "volumeKeyframes")),
      generator_(signalIndexOf(sample), jsonNumber(jsonMember(sample, "startCrop")),
                 jsonNumber(jsonMember(sample, "stopCrop"))),
      spatial_(sample, actuatorCount) {
    active_.reserve(actuatorCount);
}

void Effect::seek(double t) {
    generator_.setTime(t);
    spatial_.reset();
    timeOffset_ = 0.0;
    framesSinceSeek_ = 0;
    cellValid_ = false;
}

void Effect::restartRepetition() {
    timeOffset_ += generator_.time();
    generator_.setTime(0.0);
}

double Effect::duration() const { return generator_.duration(); }

std::size_t Effect::render(const RenderTarget& target, double rateHz, double volume,
                           double speed, std::size_t offset, std::size_t count) {
    std::size_t n = count;
    if (target.fade.active()) {
        const std::size_t left = target.fade.samplesLeft();
        n = left < offset ? 0 : std::min(left - offset, count);
    }
    const double rate = rateHz / (speed * speed_);
    if (n == 0 || !(rate > 0.0) || !std::isfinite(rate)) return offset;
    const double dt = 1.0 / rate;

    std::size_t produced = 0;
    while (produced < n) {
        const std::size_t wanted = std::min(n - produced, target.scratch.size());
        const std::span<float> scratch = target.scratch.first(wanted);
        const std::size_t position = offset + produced;
        const double t = localTime();
        const std::size_t got = generator_.generateSynced(
            rate, static_cast<float>(volume), scratch, static_cast<double>(position) / rate);
        if (got == 0) break;
        envelope_.apply(t, dt, scratch.data(), got);
        target.fade.apply(position, scratch.data(), got);
        spread(target, t, dt, position, got);
        produced += got;
        if (got < wanted) break;
    }
    return offset + produced;
}

void Effect::updateWeights(const RenderTarget& target, double t) {
    spatial_.computeWeights(target.layout, target.transform, t, envelope_.valueAt(t) * target.boost);
}

void Effect::collectActive(std::size_t limit) {
    const std::span<const double> weights = spatial_.weights();
    active_.clear();
    for (std::size_t a = 0; a < limit; ++a)
        if (weights[a] != 0.0) active_.push_back({a, weights[a]});
    activeLimit_ = limit;
    activeVersion_ = spatial_.weightsVersion();
}

void Effect::spread(const RenderTarget& target, double t, double dt, std::size_t offset,
                    std::size_t count) {
    const std::size_t cell = std::max<std::size_t>(target.spatialCellFrames, 1);
    const float* samples = target.scratch.data();
    std::size_t i = 0;
    while (i < count) {
        const std::size_t intoCell = framesSinceSeek_ % cell;
        if (!cellValid_ || intoCell == 0) {
            cellTime_ = t + static_cast<double>(i) * dt;
            updateWeights(target, cellTime_);
            cellValid_ = true;
        } else if (i == 0 && (target.transform.changed() || target.layout.changed())) {
            updateWeights(target, cellTime_); // same cell, new placement
        }
        // Listed again when the weights or the actuator count moved.
        const std::size_t limit = std::min(spatial_.weights().size(), target.actuatorCount);
        if (spatial_.weightsVersion() != activeVersion_ || limit != activeLimit_) collectActive(limit);
        const std::size_t length = std::min(cell - intoCell, count - i);
        const float* source = samples + i;
        const float peak = peakMagnitude(source, length);

        // Actuators of weight 0 receive nothing, and their visualiser value
        // (never below 0) would stay as it is.
        for (const ActiveWeight& active : active_) {
            const std::size_t a = active.actuator;
            const double w = active.weight;
            if (a < target.visualiser.size())
                target.visualiser[a] =
                    std::max(target.visualiser[a], static_cast<float>(w * peak));
            addWeighted(target.buffers[a] + offset + i, source, w, length);
        }
        i += length;
        framesSinceSeek_ += length;
    }
}

RepeatedEffect::RepeatedEffect(const nlohmann::json& sample, double previousEnd,
                               std::size_t actuatorCount)
    : RepeatMgr<Effect>(Effect(sample, actuatorCount), false) {
    const double timestamp = jsonNumber(jsonMember(sample, "timestamp"));
    const double preDelay = jsonNumber(jsonMember(sample, "preDelay"));
    const double postDelay = jsonNumber(jsonMember(sample, "postDelay"));
    const double sampleMax = jsonNumber(jsonMember(sample, "maxDuration"));
    const double gap = std::max(timestamp - previousEnd, 0.0);
    initialDelay = preDelay + gap;
    repeatDelay = postDelay + preDelay;
    repeatCount = spnRepeatCount(sample);
    maxDuration = sampleMax == 0.0 ? 0.0 : sampleMax + gap;
}

} // namespace lmc
