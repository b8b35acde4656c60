// Helpers of the engine tests: spn texts built from a few fields, the
// engine's log lines captured, and reference output of a playback generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
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

// What the engine cases share: an engine on the vest's layout, patterns
// played on it, and their output checked against the generator's own.
class EngineTest : public ::testing::Test {
protected:
    // A waveform long enough for every case (the longest of the table).
    static constexpr uint64_t kWave = 96;
    static SampleSpec wave() {
        SampleSpec sample;
        sample.signalIndex = kWave;
        return sample;
    }
    // A fresh engine (replacing the last one).
    lmc::LumetraCore& engine(double rateHz = 2000.0, std::size_t frames = 100) {
        core.emplace(lmc::layout_new_tarvonel_capsule(), rateHz, frames);
        return *core;
    }
    // Loads spn and makes a sequence of it; returns the sequence ID.
    int32_t sequence(const std::string& spn, bool autoDelete = false) {
        const int32_t pattern = lmc::pattern_load_from_spn(*core, spn.c_str(), -1);
        EXPECT_GE(pattern, 0);
        const int32_t id = lmc::sequence_new(*core, pattern, autoDelete, -1);
        EXPECT_GE(id, 0);
        return id;
    }
    // The same, played from playAt after latency.
    int32_t play(const std::string& spn, double playAt = 0.0, double latency = 0.0, bool autoDelete = false) {
        const int32_t id = sequence(spn, autoDelete);
        EXPECT_EQ(lmc::sequence_play(*core, id, playAt, latency), 0);
        return id;
    }
    std::vector<double> render(std::size_t frames, std::size_t channel = 0) {
        return renderChannel(*core, frames, channel);
    }
    static void expectSilence(const std::vector<double>& out, std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) ASSERT_EQ(out[k], 0.0) << "frame " << k;
    }
    // out[at + k] == reference[k] * gain exactly, for every reference sample.
    static void expectSignal(const std::vector<double>& out, std::size_t at, const std::vector<float>& reference,
                             double gain = 1.0) {
        ASSERT_LE(at + reference.size(), out.size());
        for (std::size_t k = 0; k < reference.size(); ++k)
            ASSERT_EQ(out[at + k], static_cast<double>(reference[k]) * gain) << "frame " << at + k;
    }
    // The generator's output of kWave at the engine's rate.
    std::vector<float> reference(std::size_t frames, double startCrop = 0.0, double stopCrop = 0.0) const {
        return generatorOutput(kWave, startCrop, stopCrop, lmc::config_sample_rate_get(*core), frames);
    }

    std::optional<lmc::LumetraCore> core;
};

} // namespace enginetest
