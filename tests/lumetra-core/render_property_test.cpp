// Rendering does not depend on how time is cut into buffers: every valid
// pattern of the corpus gives the same samples with buffers of 512, 100, 7
// and 1 frames, played plainly and with latency, an offset start, endless
// repetition, a speed and a fade.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "engine_test_util.h"
#include "lumetra-core/src/lmc.h"
#include "support/temp_dir.h"

using namespace lmc;

namespace {

using trv::test::readFile;

struct Variant {
    const char* name;
    double playAt;
    double latency;
    uint32_t repeatCount;
    double repeatDelay;
    double maxDuration;
    double speed;
    double stopAfter; // seconds of output before a 0.3 s fade; 0: no stop
};

constexpr Variant kVariants[] = {
    {"plain", 0.0, 0.0, 1, 0.0, 0.0, 1.0, 0.0},
    {"shifted", 0.05, 0.0131, 0, 0.07, 2.0, 1.3, 0.0},
    {"faded", 0.0, 0.002, 2, 0.1, 0.0, 0.7, 0.25},
};

std::vector<std::filesystem::path> validPatterns() {
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(TRV_SPN_CORPUS_DIR))
        if (entry.path().extension() == ".spn" &&
            entry.path().filename().string().rfind("valid_", 0) == 0)
            paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Every channel of `seconds` of output, rendered `frames` at a time.
std::vector<std::vector<double>> render(const std::string& spn, const Variant& v, double rateHz,
                                        std::size_t frames, double seconds) {
    LumetraCore core(layout_new_tarvonel_capsule(), rateHz, frames);
    const int32_t pattern = pattern_load_from_spn(core, spn.c_str(), -1);
    EXPECT_GE(pattern, 0);
    const int32_t id = sequence_new(core, pattern, false, -1);
    property_repeat_count_set(core, id, v.repeatCount);
    property_repeat_delay_set(core, id, v.repeatDelay);
    property_max_duration_set(core, id, v.maxDuration);
    property_speed_set(core, id, v.speed);
    EXPECT_EQ(sequence_play(core, id, v.playAt, v.latency), 0);

    const std::size_t total = static_cast<std::size_t>(std::llround(seconds * rateHz));
    const std::size_t stopAt = static_cast<std::size_t>(std::llround(v.stopAfter * rateHz));
    std::vector<std::vector<double>> out(core.actuatorBuffers().size());
    std::size_t done = 0;
    while (done < total) {
        // The fade starts at a frame every cut shares: the stop is split off
        // into a buffer boundary of its own.
        std::size_t chunk = std::min(frames, total - done);
        if (stopAt > done && stopAt < done + chunk) chunk = stopAt - done;
        if (chunk != core.bufferFrames()) config_buffer_size_set(core, chunk);
        if (stopAt != 0 && done == stopAt) sequence_stop(core, id, 0.3);
        core.process();
        for (std::size_t a = 0; a < out.size(); ++a)
            out[a].insert(out[a].end(), core.actuatorBuffers()[a].begin(),
                          core.actuatorBuffers()[a].end());
        done += chunk;
    }
    return out;
}

class BufferIndependence : public ::testing::TestWithParam<std::tuple<double, int>> {};

} // namespace

TEST_P(BufferIndependence, CorpusRendersTheSameWhateverTheBufferSize) {
    const double rateHz = std::get<0>(GetParam());
    const Variant& v = kVariants[std::get<1>(GetParam())];
    // Long enough for most samples of the corpus to start (fewer at 48 kHz,
    // where one-frame buffers are many calls).
    const double seconds = rateHz > 10000.0 ? 0.4 : 2.5;
    const std::vector<std::filesystem::path> patterns = validPatterns();
    ASSERT_GE(patterns.size(), 10u);
    for (const auto& path : patterns) {
        SCOPED_TRACE(path.filename().string());
        const std::string spn = readFile(path);
        const auto reference = render(spn, v, rateHz, 512, seconds);
        for (std::size_t frames : {100u, 7u, 1u}) {
            const auto other = render(spn, v, rateHz, frames, seconds);
            ASSERT_EQ(other.size(), reference.size());
            for (std::size_t a = 0; a < reference.size(); ++a)
                for (std::size_t k = 0; k < reference[a].size(); ++k)
                    ASSERT_NEAR(other[a][k], reference[a][k], 1e-6)
                        << frames << "-frame buffers, channel " << a << " frame " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RatesAndPlays, BufferIndependence,
                         ::testing::Combine(::testing::Values(48000.0, 2000.0, 500.0),
                                            ::testing::Values(0, 1, 2)),
                         [](const auto& info) {
                             return std::to_string(static_cast<int>(std::get<0>(info.param))) + "Hz_" +
                                    kVariants[std::get<1>(info.param)].name;
                         });
