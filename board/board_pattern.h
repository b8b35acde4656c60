// The board-command form of a loaded pattern: its tracks, their samples with
// the ready-made head of each sample's upload message and its keyframe rows,
// and the accumulation window a pattern may carry.
//
// A Pattern is built once from an spn text (validated by the engine's
// validator) and is then read-only apart from its ID, its accumulation
// window and the weight bytes of vicinity rows, which the sequencing thread
// rewrites before each upload. It is shared: the handler's pattern map, every
// effect playing it and any window naming it as fallback hold it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "board/board_spatial.h"

namespace board {

inline constexpr std::size_t kSampleMessageBytes = 518;
inline constexpr std::size_t kMessageHeaderBytes = 36;
inline constexpr std::size_t kRowBytes = 24;
inline constexpr std::size_t kMaxRows = 20;
inline constexpr int32_t kMaxSlotCount = 5;

using SampleMessage = std::array<uint8_t, kSampleMessageBytes>;

// One keyframe row of a sample: its time from the start of the sample and
// one weight byte per actuator.
struct SampleRow {
    float timestamp = 0.0f;
    std::array<uint8_t, kActuatorCount> weight{};
};

// The part of an effect that row weights depend on: height (metres), heading
// and tilt (radians), the three inversions and the three additions.
struct SpatialTransform {
    float height = 0.0f;
    float heading = 0.0f;
    float tilt = 0.0f;
    bool mirrorX = false;
    bool mirrorZ = false;
    bool mirrorY = false;
    bool addMirroredX = false;
    bool addMirroredZ = false;
    bool addMirroredY = false;
};

class TrackSample {
public:
    // Reads one sample object of a validated root; the track's volume byte
    // goes into the header. Throws (nlohmann's type errors, std::length_error
    // for more rows than a message holds); Pattern::create turns that into -5.
    void fromJson(const nlohmann::json& sample, uint8_t trackVolume);

    // Writes bytes 0..515 of the upload message: the header with the
    // effect's volume gain, speed, mute flag and start offset folded in, the
    // rows (vicinity rows weighted for `transform`) and the boost added to
    // every weight. Bytes of rows past rowCount are left as they are.
    // Returns 38 + 24 * rowCount.
    int32_t buildMessage(float gain, float speed, bool muted, float offset, const SpatialTransform& transform,
                         int32_t boost, SampleMessage& buffer);

    float timestamp() const { return timestamp_; }
    float maxDuration() const;
    std::size_t rowCount() const { return rows_.size(); }

private:
    void readWeightKeyframes(const nlohmann::json& spat, const nlohmann::json& volume);
    void readVicinityKeyframes(const nlohmann::json& spat, const nlohmann::json& volume);
    void computeRowWeights(const SpatialTransform& transform);

    float timestamp_ = 0.0f;
    std::array<uint8_t, kMessageHeaderBytes> header_{};
    std::vector<SampleRow> rows_;
    std::vector<float> rowVolumes_;
    std::vector<std::vector<std::shared_ptr<IVicinity>>> rowVicinities_; // empty for weight keyframes
};

class Track {
public:
    void fromJson(const nlohmann::json& track);
    std::size_t sampleCount() const { return samples_.size(); }
    float sampleStart(std::size_t sample) const { return samples_[sample].timestamp(); }
    // timestamp + maxDuration, or 0 (no end) when maxDuration is 0.
    float sampleEnd(std::size_t sample) const;
    bool isLastSample(std::size_t sample) const { return sample + 1 >= samples_.size(); }
    TrackSample& sample(std::size_t index) { return samples_[index]; }

private:
    std::vector<TrackSample> samples_;
};

class Pattern;

// While open, plays of its pattern become plays of `fallback`, at most
// maxAccumulation of them (no limit when <= 0). The handler reads and
// changes it under its state lock.
struct AccumulationWindow {
    bool open = false;
    uint64_t windowStartNanos = 0; // meaningful while open
    float window = 0.0f;           // seconds
    int32_t count = 0;
    int32_t maxAccumulation = 0;
    std::shared_ptr<Pattern> fallback;
    int32_t tag = 0;      // effect ID that opened the window
    int32_t priority = 0; // priority of that effect
};

class Pattern {
public:
    // Validates and reads an spn text: the pattern, or null with error -5
    // (logged by the validator, or here with the tag "Pattern").
    static std::shared_ptr<Pattern> create(const std::string& spn, int32_t& error);

    float getDuration() const { return duration_; }
    int32_t getSlotCount() const { return slotCount_; }
    int32_t getPatternBoost() const { return patternBoost_; }
    int32_t getTrackCount() const { return static_cast<int32_t>(tracks_.size()); }
    int32_t getSampleCount(int32_t track) const;
    float getSampleStart(int32_t track, int32_t sample) const;
    float getSampleEnd(int32_t track, int32_t sample) const;
    bool isLastSample(int32_t track, int32_t sample) const;

    int32_t id() const { return id_; }
    void setId(int32_t id) { id_ = id; }

    // Creates the window (closed) or updates it, closing an open window and
    // keeping its count, tag and priority.
    void setAccumulationWindow(std::shared_ptr<Pattern> fallback, float window, int32_t maxAccumulation);
    // Removes the window and releases its fallback; nothing when none.
    void eraseAccumulationWindow() { accumulation_.reset(); }
    AccumulationWindow* accumulationWindow() { return accumulation_.get(); }

    // The boost is globalBoost + (usePatternBoost ? patternBoost : effectBoost).
    int32_t buildSampleMessage(int32_t track, int32_t sample, float gain, float speed, bool muted, float offset,
                               const SpatialTransform& transform, int32_t globalBoost, int32_t effectBoost,
                               bool usePatternBoost, SampleMessage& buffer);

private:
    void fromJson(const nlohmann::json& root);

    int32_t patternBoost_ = 0;
    float duration_ = 0.0f;
    int32_t slotCount_ = 0;
    std::vector<Track> tracks_;
    int32_t id_ = 0;
    std::unique_ptr<AccumulationWindow> accumulation_;
};

} // namespace board
