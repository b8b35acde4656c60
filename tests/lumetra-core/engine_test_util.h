// Helpers of the engine tests: spn texts built from a few fields, the
// engine's log lines captured, and reference output of a playback generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "lumetra-core/src/lmc.h"
#include "lumetra-core/src/lmc_log.h"
#include "lumetra-core/src/playback_generator.h"

namespace enginetest {

// One spn sample; defaults play waveform 120 whole, once, on actuator 0.
struct SampleSpec {
    double timestamp = 0.0;
    double maxDuration = 0.0;
    double preDelay = 0.0;
    double postDelay = 0.0;
    uint64_t repeatCount = 1;
    uint64_t signalIndex = 120;
    double startCrop = 0.0;
    double stopCrop = 0.0;
    double speed = 1.0;
    bool repeatSpat = false;
    nlohmann::json spatKeyframes = nlohmann::json::array({{{"timestamp", 0}, {"weights", {100}}}});
    nlohmann::json volumeKeyframes = nlohmann::json::array();

    nlohmann::json toJson() const {
        return {{"maxDuration", maxDuration}, {"postDelay", postDelay},
                {"preDelay", preDelay},       {"repeatCount", repeatCount},
                {"repeatSpat", repeatSpat},   {"signalIndex", signalIndex},
                {"spatKeyframes", spatKeyframes}, {"speed", speed},
                {"startCrop", startCrop},     {"stopCrop", stopCrop},
                {"timestamp", timestamp},     {"volumeKeyframes", volumeKeyframes}};
    }
};

struct TrackSpec {
    double volume = 100.0;
    std::vector<SampleSpec> samples;
};

inline std::string spnText(const std::vector<TrackSpec>& tracks, double patternBoost = 0.0,
                           double duration = 1.0) {
    nlohmann::json root = {{"duration", duration}, {"patternBoost", patternBoost},
                           {"tracks", nlohmann::json::array()}};
    for (const TrackSpec& track : tracks) {
        nlohmann::json samples = nlohmann::json::array();
        for (const SampleSpec& sample : track.samples) samples.push_back(sample.toJson());
        root["tracks"].push_back({{"volume", track.volume}, {"samples", samples}});
    }
    return root.dump();
}

inline std::string spnText(const SampleSpec& sample) { return spnText({TrackSpec{100.0, {sample}}}); }

// Weights in percent for actuator 0..n-1 as one spatial keyframe at t.
inline nlohmann::json weightsKey(double t, std::vector<double> weights) {
    return {{"timestamp", t}, {"weights", weights}};
}

// The engine's lines since construction: level, location, message.
struct LogLine {
    int32_t level;
    std::string location;
    std::string message;
};

class LogCapture {
public:
    explicit LogCapture(int32_t level = 0) {
        lines().clear();
        lmc::lmc_log_level_set(level);
        lmc::lmc_log_callback_set(&hook);
    }
    ~LogCapture() { lmc::lmc_log_callback_set(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    static std::vector<LogLine>& lines() {
        static std::vector<LogLine> captured;
        return captured;
    }
    void clear() { lines().clear(); }
    // Lines at a location ("lmc:44").
    std::vector<LogLine> at(const std::string& location) const {
        std::vector<LogLine> found;
        for (const LogLine& line : lines())
            if (line.location == location) found.push_back(line);
        return found;
    }

private:
    static void hook(int32_t level, const char* location, const char* message) {
        lines().push_back({level, location, message});
    }
};

// What a fresh generator of the crop produces at rate, `frames` samples at
// most (fewer when the crop ends), in one call at volume 1.
inline std::vector<float> generatorOutput(uint64_t signalIndex, double startCrop, double stopCrop,
                                          double rateHz, std::size_t frames) {
    lmc::PlaybackGenerator generator(signalIndex, startCrop, stopCrop);
    std::vector<float> out(frames, 0.0f);
    std::size_t total = 0;
    while (total < frames) {
        const std::size_t got = generator.generate(
            rateHz, 1.0f, std::span<float>(out).subspan(total, std::min<std::size_t>(frames - total, 4096)));
        if (got == 0) break;
        total += got;
    }
    out.resize(total);
    return out;
}

// Renders `frames` frames of `core` in buffers of its current size and
// returns channel `channel` (whole buffers, so possibly a little more).
inline std::vector<double> renderChannel(lmc::LumetraCore& core, std::size_t frames,
                                         std::size_t channel = 0) {
    std::vector<double> out;
    out.reserve(frames + core.bufferFrames());
    while (out.size() < frames) {
        core.process();
        const std::vector<double>& buffer = core.actuatorBuffers()[channel];
        out.insert(out.end(), buffer.begin(), buffer.end());
    }
    return out;
}

// Every channel, interleaved by channel: result[channel][frame].
inline std::vector<std::vector<double>> renderAll(lmc::LumetraCore& core, std::size_t frames) {
    std::vector<std::vector<double>> out(core.actuatorBuffers().size());
    std::size_t done = 0;
    while (done < frames) {
        core.process();
        for (std::size_t a = 0; a < out.size(); ++a) {
            const std::vector<double>& buffer = core.actuatorBuffers()[a];
            out[a].insert(out[a].end(), buffer.begin(), buffer.end());
        }
        done += core.bufferFrames();
    }
    for (auto& channel : out) channel.resize(frames);
    return out;
}

} // namespace enginetest
