#include "board/board_pattern.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "lumetra-core/src/pattern.h"
#include "sdk/log.h"

namespace board {

namespace {

using json = nlohmann::json;

constexpr std::size_t kSignalIndexAt = 3;
constexpr std::size_t kVolumeAt = 4;
constexpr std::size_t kRepeatCountAt = 5;
constexpr std::size_t kFlagsAt = 6;
constexpr std::size_t kRowCountAt = 7;
constexpr std::size_t kMaxDurationAt = 8;
constexpr std::size_t kPreDelayAt = 12;
constexpr std::size_t kPostDelayAt = 16;
constexpr std::size_t kSpeedAt = 20;
constexpr std::size_t kOffsetAt = 24;
constexpr std::size_t kStartCropAt = 28;
constexpr std::size_t kStopCropAt = 32;
constexpr uint8_t kFlagMuted = 0x01;
constexpr uint8_t kFlagRepeatSpat = 0x02;

constexpr float kLargestVolume = 249.99998f;     // the largest float below 250
constexpr float kLargestSpeed = 99.99999f;       // the largest float below 100
constexpr float kSmallestSpeed = 0.0100000007f;  // the smallest float above 0.01
constexpr float kSmallestPositive = 1.4e-45f;    // the smallest positive subnormal

void putFloat(uint8_t* at, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(bits >> (8 * i));
}

float getFloat(const uint8_t* at) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(at[i]) << (8 * i);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A whole number as the pattern texts write them: a float truncated toward
// zero, true and false as 1 and 0. Values beyond 64 bits are held at the ends.
int64_t wholeOf(const json& value) {
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (std::isnan(d)) return 0;
        if (d >= 9.2e18) return std::numeric_limits<int64_t>::max();
        if (d <= -9.2e18) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(d);
    }
    if (value.is_number_unsigned()) {
        const uint64_t u = value.get<uint64_t>();
        return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                              : static_cast<int64_t>(u);
    }
    return value.get<int64_t>();
}

uint8_t lowByteOf(const json& value) { return static_cast<uint8_t>(wholeOf(value)); }

// A weight as a byte: held within 0..255, NaN as 0, fractions truncated.
uint8_t weightByte(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 255.0) return 255;
    return static_cast<uint8_t>(value);
}

float volumeFactor(const json& key) {
    return static_cast<float>(static_cast<int32_t>(wholeOf(key.at("volume")))) * 0.01f;
}

// Element k of a weights array held within 0..255; a missing element is 0.
float weightElement(const json& weights, std::size_t k) {
    if (k >= weights.size()) return 0.0f;
    const int64_t w = wholeOf(weights[k]);
    return static_cast<float>(std::clamp<int64_t>(w, 0, 255));
}

std::shared_ptr<IVicinity> readVicinity(const json& item) {
    const json& p = item.at("position");
    const json& o = item.at("orientation");
    const json& s = item.at("scale");
    auto f = [](const json& v) { return static_cast<double>(v.get<float>()); };
    const lmc::Vec3 position{f(p.at(0)), f(p.at(1)), f(p.at(2))};
    const lmc::Quat orientation{f(o.at(1)), f(o.at(2)), f(o.at(3)), f(o.at(0))};
    const lmc::Vec3 scale{f(s.at(0)), f(s.at(1)), f(s.at(2))};
    auto vicinity = makeVicinitySphere(position, orientation, scale);
    vicinity->applyToDistribution(0, item.at("amplitude").get<float>());
    return vicinity;
}

void scaleAmplitude(IVicinity& vicinity, float factor) {
    float amplitude = 0.0f;
    vicinity.getAmplitude(0, amplitude);
    vicinity.applyToDistribution(0, amplitude * factor);
}

// How one row of the merge takes its spatial content.
struct RowSource {
    enum Kind { Taken, TakenUnscaled, Interpolated } kind;
    std::size_t key;     // Taken: S[key]; Interpolated: between S[key-1] and S[key]
    float fraction = 0;  // Interpolated only
};

// Merges the spatial and volume keys into rows by time (both lists are in
// time order) and hands each row to `emit`(time as JSON, volume factor, source).
template <typename Emit>
void mergeKeyframes(const json& spat, const json& volume, Emit&& emit) {
    const std::size_t ns = spat.size();
    const std::size_t nv = volume.size();
    std::size_t i = 0;
    std::size_t j = 0;
    auto time = [](const json& key) -> const json& { return key.at("timestamp"); };
    auto seconds = [&](const json& key) { return time(key).template get<float>(); };
    while (i < ns && j < nv) {
        if (time(spat[i]) == time(volume[j])) {
            emit(seconds(spat[i]), volumeFactor(volume[j]), RowSource{RowSource::Taken, i});
            ++i;
            ++j;
        } else if (time(spat[i]) < time(volume[j])) {
            float v = volumeFactor(volume[0]);
            if (j > 0) {
                const float v0 = volumeFactor(volume[j - 1]);
                const float t0 = seconds(volume[j - 1]);
                v = v0 + (volumeFactor(volume[j]) - v0) * (seconds(spat[i]) - t0) / (seconds(volume[j]) - t0);
            }
            emit(seconds(spat[i]), v, RowSource{RowSource::Taken, i});
            ++i;
        } else {
            const float v = volumeFactor(volume[j]);
            if (i == 0) {
                emit(seconds(volume[j]), v, RowSource{RowSource::Taken, 0});
            } else {
                const float t0 = seconds(spat[i - 1]);
                const float f = (seconds(volume[j]) - t0) / (seconds(spat[i]) - t0);
                emit(seconds(volume[j]), v, RowSource{RowSource::Interpolated, i, f});
            }
            ++j;
        }
    }
    for (; i < ns; ++i) {
        if (j > 0)
            emit(seconds(spat[i]), volumeFactor(volume[j - 1]), RowSource{RowSource::Taken, i});
        else
            emit(seconds(spat[i]), 1.0f, RowSource{RowSource::TakenUnscaled, i});
    }
    for (; j < nv; ++j) emit(seconds(volume[j]), volumeFactor(volume[j]), RowSource{RowSource::Taken, ns - 1});
}


} // namespace

float TrackSample::maxDuration() const { return getFloat(&header_[kMaxDurationAt]); }

void TrackSample::fromJson(const json& sample, uint8_t trackVolume) {
    header_ = {};
    header_[0] = 0x01;
    header_[1] = 0xAD;
    header_[2] = 0xDE;
    timestamp_ = sample.at("timestamp").get<float>();
    header_[kVolumeAt] = trackVolume;
    header_[kSignalIndexAt] = lowByteOf(sample.at("signalIndex"));
    putFloat(&header_[kSpeedAt], sample.at("speed").get<float>());
    header_[kRepeatCountAt] = lowByteOf(sample.at("repeatCount"));
    putFloat(&header_[kPreDelayAt], sample.at("preDelay").get<float>());
    putFloat(&header_[kPostDelayAt], sample.at("postDelay").get<float>());
    putFloat(&header_[kMaxDurationAt], sample.at("maxDuration").get<float>());
    header_[kFlagsAt] = sample.at("repeatSpat").get<bool>() ? kFlagRepeatSpat : 0;
    putFloat(&header_[kStartCropAt], sample.at("startCrop").get<float>());
    putFloat(&header_[kStopCropAt], sample.at("stopCrop").get<float>());
    putFloat(&header_[kOffsetAt], 0.0f);

    const json& spat = sample.at("spatKeyframes");
    const json& volume = sample.at("volumeKeyframes");
    if (spat.empty()) throw std::length_error("a sample without spatial keyframes");
    if (spat[0].is_object() && spat[0].contains("vicinities"))
        readVicinityKeyframes(spat, volume);
    else
        readWeightKeyframes(spat, volume);
    if (rows_.size() > kMaxRows)
        throw std::length_error("a sample has " + std::to_string(rows_.size()) + " keyframe rows; at most " +
                                std::to_string(kMaxRows) + " fit in one message");
    header_[kRowCountAt] = static_cast<uint8_t>(rows_.size());
}

void TrackSample::readWeightKeyframes(const json& spat, const json& volume) {
    mergeKeyframes(spat, volume, [&](float time, float v, const RowSource& source) {
        SampleRow row;
        row.timestamp = time;
        if (source.kind == RowSource::Interpolated) {
            const json& a = spat[source.key - 1].at("weights");
            const json& b = spat[source.key].at("weights");
            for (std::size_t k = 0; k < kActuatorCount; ++k) {
                const float ak = weightElement(a, k);
                const float bk = weightElement(b, k);
                row.weight[k] = weightByte(std::trunc(((bk - ak) * source.fraction + ak) * v));
            }
        } else {
            const json& w = spat[source.key].at("weights");
            for (std::size_t k = 0; k < kActuatorCount; ++k) {
                const float wk = weightElement(w, k);
                row.weight[k] = weightByte(source.kind == RowSource::TakenUnscaled ? wk : std::trunc(wk * v));
            }
        }
        rows_.push_back(row);
        rowVolumes_.push_back(v);
        if (rows_.size() > kMaxRows) throw std::length_error("too many keyframe rows");
    });
}

void TrackSample::readVicinityKeyframes(const json& spat, const json& volume) {
    mergeKeyframes(spat, volume, [&](float time, float v, const RowSource& source) {
        std::vector<std::shared_ptr<IVicinity>> list;
        if (source.kind == RowSource::Interpolated) {
            for (const json& item : spat[source.key - 1].at("vicinities")) {
                list.push_back(readVicinity(item));
                scaleAmplitude(*list.back(), 1.0f - source.fraction);
            }
            for (const json& item : spat[source.key].at("vicinities")) {
                list.push_back(readVicinity(item));
                scaleAmplitude(*list.back(), source.fraction);
            }
            for (auto& vicinity : list) scaleAmplitude(*vicinity, v);
        } else {
            for (const json& item : spat[source.key].at("vicinities")) {
                list.push_back(readVicinity(item));
                if (source.kind == RowSource::Taken) scaleAmplitude(*list.back(), v);
            }
        }
        SampleRow row;
        row.timestamp = time;
        rows_.push_back(row);
        rowVolumes_.push_back(v);
        rowVicinities_.push_back(std::move(list));
        if (rows_.size() > kMaxRows) throw std::length_error("too many keyframe rows");
    });
}

void TrackSample::computeRowWeights(const SpatialTransform& t) {
    const bool add[3] = {t.addMirroredX, t.addMirroredY, t.addMirroredZ};
    const bool mirror[3] = {t.mirrorX, t.mirrorY, t.mirrorZ};
    unsigned addedAxes[3];
    unsigned added = 0;
    for (unsigned axis = 0; axis < 3; ++axis)
        if (add[axis]) addedAxes[added++] = axis;
    const unsigned combinations = 1u << added;
    std::array<double, kActuatorCount> column{};
    for (std::size_t r = 0; r < rowVicinities_.size(); ++r) {
        if (rowVicinities_[r].empty()) continue;
        std::array<double, kActuatorCount> best{};
        bool first = true;
        for (const auto& vicinity : rowVicinities_[r]) {
            // Combination 0 is the effect's own mirrors; each set bit inverts
            // the mirror of one added axis.
            for (unsigned c = 0; c < combinations; ++c) {
                bool flags[3] = {mirror[0], mirror[1], mirror[2]};
                for (unsigned b = 0; b < added; ++b)
                    if ((c >> b) & 1u) flags[addedAxes[b]] = !flags[addedAxes[b]];
                vicinity->computeWeights(t.height, t.heading, t.tilt, flags[0], flags[1], flags[2], column);
                for (std::size_t a = 0; a < kActuatorCount; ++a)
                    if (first || column[a] > best[a]) best[a] = column[a];
                first = false;
            }
        }
        for (std::size_t a = 0; a < kActuatorCount; ++a) rows_[r].weight[a] = weightByte(std::trunc(best[a]));
    }
}

int32_t TrackSample::buildMessage(float gain, float speed, bool muted, float offset, const SpatialTransform& transform,
                                  int32_t boost, SampleMessage& buffer) {
    std::copy(header_.begin(), header_.end(), buffer.begin());

    float volume = static_cast<float>(header_[kVolumeAt]) * 0.01f * gain;
    volume = std::isnan(volume) ? 0.0f : std::max(std::min(volume, kLargestVolume), kSmallestPositive);
    buffer[kVolumeAt] = static_cast<uint8_t>(volume);

    float s = getFloat(&header_[kSpeedAt]) * speed;
    s = std::isnan(s) ? kSmallestSpeed : std::max(std::min(s, kLargestSpeed), kSmallestSpeed);
    putFloat(&buffer[kSpeedAt], s);

    if (muted) buffer[kFlagsAt] |= kFlagMuted;
    // An offset of 0 goes out as the smallest positive float, never as 0.0.
    putFloat(&buffer[kOffsetAt], std::isnan(offset) ? kSmallestPositive : std::max(offset, kSmallestPositive));

    computeRowWeights(transform);
    const float b = static_cast<float>(std::clamp(boost, 0, 100));
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        uint8_t* at = &buffer[kMessageHeaderBytes + r * kRowBytes];
        putFloat(at, rows_[r].timestamp);
        const float add = std::trunc(b * rowVolumes_[r]);
        for (std::size_t a = 0; a < kActuatorCount; ++a) {
            const float sum = static_cast<float>(rows_[r].weight[a]) + (std::isnan(add) ? 0.0f : add);
            at[4 + a] = sum >= 255.0f ? 255 : static_cast<uint8_t>(std::max(sum, 0.0f));
        }
    }
    return static_cast<int32_t>(38 + kRowBytes * rows_.size());
}

float Track::sampleEnd(std::size_t sample) const {
    const float length = samples_[sample].maxDuration();
    return length != 0.0f ? samples_[sample].timestamp() + length : 0.0f;
}

void Track::fromJson(const json& track) {
    const uint8_t volume = lowByteOf(track.at("volume"));
    for (const json& item : track.at("samples")) {
        samples_.emplace_back();
        samples_.back().fromJson(item, volume);
    }
}

std::shared_ptr<Pattern> Pattern::create(const std::string& spn, int32_t& error) {
    error = TRV_ERROR_INVALID_JSON;
    const lmc::Pattern validated(spn.c_str());
    if (!validated.valid()) return nullptr;
    if (validated.maxSimultaneous() > kMaxSlotCount) {
        LogStream(TRV_LOG_ERROR, "Pattern") << "Incorrect pattern construction: "
                                            << "maximum number of simultaneous slots (" << kMaxSlotCount
                                            << ") exceeded.";
        return nullptr;
    }
    auto pattern = std::make_shared<Pattern>();
    try {
        pattern->fromJson(validated.root());
    } catch (const std::exception& e) {
        LogStream(TRV_LOG_ERROR, "Pattern") << "Incorrect pattern construction: " << e.what() << ".";
        return nullptr;
    }
    pattern->slotCount_ = validated.maxSimultaneous();
    error = TRV_NO_ERROR;
    return pattern;
}

void Pattern::fromJson(const json& root) {
    duration_ = root.at("duration").get<float>();
    patternBoost_ = static_cast<int32_t>(wholeOf(root.at("patternBoost")));
    for (const json& item : root.at("tracks")) {
        tracks_.emplace_back();
        tracks_.back().fromJson(item);
    }
}

int32_t Pattern::getSampleCount(int32_t track) const {
    return static_cast<int32_t>(tracks_[static_cast<std::size_t>(track)].sampleCount());
}
float Pattern::getSampleStart(int32_t track, int32_t sample) const {
    return tracks_[static_cast<std::size_t>(track)].sampleStart(static_cast<std::size_t>(sample));
}
float Pattern::getSampleEnd(int32_t track, int32_t sample) const {
    return tracks_[static_cast<std::size_t>(track)].sampleEnd(static_cast<std::size_t>(sample));
}
bool Pattern::isLastSample(int32_t track, int32_t sample) const {
    return tracks_[static_cast<std::size_t>(track)].isLastSample(static_cast<std::size_t>(sample));
}

void Pattern::setAccumulationWindow(std::shared_ptr<Pattern> fallback, float window, int32_t maxAccumulation) {
    if (!accumulation_) accumulation_ = std::make_unique<AccumulationWindow>();
    accumulation_->window = window;
    accumulation_->maxAccumulation = maxAccumulation;
    accumulation_->fallback = std::move(fallback);
    accumulation_->open = false;
    accumulation_->windowStartNanos = 0;
}

int32_t Pattern::buildSampleMessage(int32_t track, int32_t sample, float gain, float speed, bool muted, float offset,
                                    const SpatialTransform& transform, int32_t globalBoost, int32_t effectBoost,
                                    bool usePatternBoost, SampleMessage& buffer) {
    const int64_t boost = static_cast<int64_t>(globalBoost) + (usePatternBoost ? patternBoost_ : effectBoost);
    const int32_t held = static_cast<int32_t>(std::clamp<int64_t>(boost, -1000, 1000));
    return tracks_[static_cast<std::size_t>(track)]
        .sample(static_cast<std::size_t>(sample))
        .buildMessage(gain, speed, muted, offset, transform, held, buffer);
}

} // namespace board
