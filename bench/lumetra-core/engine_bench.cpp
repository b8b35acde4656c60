// The engine's render: N sequences of three kinds of pattern at the rates and
// buffer sizes the streams use.
//
//   (a) one endless sample with explicit weights;
//   (b) 4 tracks x 3 samples with moving vicinities and volume envelopes;
//   (c) (b) with shared playback clocks;
//   (d) one endless sample under a volume envelope of 60,000 keys;
//   (e) one endless sample placed by one vicinity (what the streaming
//       benchmark plays), 20 placements around the vest.
//
// Counters: ns per effect-frame (one sequence for one output frame),
// real-time factor (seconds of output rendered per second of CPU; its inverse
// is the share of one core), allocations per rendered buffer.
// Targets: (b) at 48 kHz at most 10 ns per effect-frame (128 effects under
// 2 % of one core); (d) costs about what (a) costs (the envelope's lookup
// does not grow with its keys); 0 allocations per buffer everywhere.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "alloc_counter.h"
#include "lumetra-core/src/lmc.h"

namespace {

struct Format {
    double rateHz;
    std::size_t frames;
};
constexpr Format kFormats[] = {{48000.0, 512}, {2000.0, 20}, {500.0, 100}};

nlohmann::json sample(uint64_t signalIndex, double timestamp, double maxDuration) {
    return {{"maxDuration", maxDuration}, {"postDelay", 0}, {"preDelay", 0}, {"repeatCount", 1},
            {"repeatSpat", false}, {"signalIndex", signalIndex}, {"speed", 1},
            {"startCrop", 0}, {"stopCrop", maxDuration}, {"timestamp", timestamp},
            {"spatKeyframes", nlohmann::json::array()}, {"volumeKeyframes", nlohmann::json::array()}};
}

std::string endlessWeights() {
    nlohmann::json s = sample(96, 0, 0);
    s["repeatCount"] = 0;
    s["stopCrop"] = 0;
    s["spatKeyframes"] = {{{"timestamp", 0}, {"weights", {100, 50, 0, 0, 25, 0, 0, 0, 0, 0,
                                                           0, 0, 0, 0, 80, 0, 0, 0, 0, 0}}}};
    return nlohmann::json{{"duration", 1}, {"tracks", {{{"volume", 100}, {"samples", {s}}}}}}.dump();
}

std::string tracksWithVicinities(bool shared) {
    nlohmann::json tracks = nlohmann::json::array();
    for (int t = 0; t < 4; ++t) {
        nlohmann::json samples = nlohmann::json::array();
        for (int k = 0; k < 3; ++k) {
            const uint64_t index = static_cast<uint64_t>(3 + t * 3 + k) | (shared ? 0x10000u : 0u);
            nlohmann::json s = sample(index, 0.2 * k, 0.2);
            const auto vicinity = [&](double x, double y) {
                return nlohmann::json{{"position", {x, y, 0.06}}, {"orientation", {1, 0, 0, 0}},
                                      {"scale", {0.12, 0.12, 0.12}}, {"amplitude", 100}};
            };
            s["spatKeyframes"] = {{{"timestamp", 0}, {"vicinities", {vicinity(0.1, -0.1 + 0.05 * t)}}},
                                  {{"timestamp", 0.2}, {"vicinities", {vicinity(-0.1, 0.1)}}}};
            s["volumeKeyframes"] = {{{"timestamp", 0}, {"volume", 0}},
                                    {{"timestamp", 0.05}, {"volume", 100}},
                                    {{"timestamp", 0.2}, {"volume", 30}}};
            samples.push_back(s);
        }
        tracks.push_back({{"volume", 100}, {"samples", samples}});
    }
    return nlohmann::json{{"duration", 0.6}, {"tracks", tracks}}.dump();
}

std::string longEnvelope() {
    nlohmann::json s = sample(96, 0, 0);
    s["repeatCount"] = 0;
    s["stopCrop"] = 0;
    s["spatKeyframes"] = {{{"timestamp", 0}, {"weights", {100, 50, 0, 0, 25}}}};
    constexpr int kKeys = 60000;
    nlohmann::json keys = nlohmann::json::array();
    for (int k = 0; k < kKeys; ++k)
        keys.push_back({{"timestamp", 0.001 * k}, {"volume", k % 2 == 0 ? 40 : 90}});
    s["volumeKeyframes"] = keys;
    return nlohmann::json{{"duration", 60}, {"tracks", {{{"volume", 100}, {"samples", {s}}}}}}.dump();
}

std::string endlessVicinity(int placement) {
    nlohmann::json s = sample(123, 0, 0);
    s["repeatCount"] = 0;
    s["stopCrop"] = 0;
    const double angle = 0.314 * placement;
    s["spatKeyframes"] = {{{"timestamp", 0},
                           {"vicinities", {{{"position", {0.12 * std::cos(angle), -0.18 + 0.018 * placement,
                                                          0.12 * std::sin(angle)}},
                                            {"orientation", {1, 0, 0, 0}},
                                            {"scale", {0.1, 0.1, 0.1}},
                                            {"amplitude", 100}}}}}};
    return nlohmann::json{{"duration", 1}, {"tracks", {{{"volume", 100}, {"samples", {s}}}}}}.dump();
}

// Sequence i of N plays pattern i modulo their count and starts at
// spreadSeconds x i / N into it.
void renderBench(benchmark::State& state, const std::vector<std::string>& spns, double spreadSeconds = 0.6) {
    const int sequences = static_cast<int>(state.range(0));
    const Format format = kFormats[state.range(1)];
    lmc::LumetraCore core(lmc::layout_new_tarvonel_capsule(), format.rateHz, format.frames);
    std::vector<int32_t> patterns;
    for (const std::string& spn : spns) {
        patterns.push_back(lmc::pattern_load_from_spn(core, spn.c_str(), -1));
        if (patterns.back() < 0) return state.SkipWithError("invalid pattern");
    }
    for (int i = 0; i < sequences; ++i) {
        const int32_t pattern = patterns[static_cast<std::size_t>(i) % patterns.size()];
        const int32_t id = lmc::sequence_new(core, pattern, false, -1);
        lmc::property_repeat_count_set(core, id, 0);
        lmc::sequence_play(core, id, spreadSeconds * i / sequences, 0.0);
    }
    for (int i = 0; i < 20; ++i) core.process(); // warm

    for (auto _ : state) {
        core.process();
        benchmark::DoNotOptimize(core.actuatorBuffers()[0].data());
    }
    // Allocations counted apart from the timed loop, which allocates itself.
    constexpr int kCounted = 50;
    const long long before = allocationCount();
    for (int i = 0; i < kCounted; ++i) core.process();
    const double allocations = static_cast<double>(allocationCount() - before) / kCounted;

    // Shown as a time: "40n" is 40 ns per effect-frame.
    state.counters["t/effect-frame"] =
        benchmark::Counter(static_cast<double>(sequences) * static_cast<double>(format.frames),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    // Seconds of output per second of CPU (shown with a "/s").
    state.counters["realtime-x"] = benchmark::Counter(
        static_cast<double>(format.frames) / format.rateHz, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["allocs/buffer"] = allocations;
}

void BM_A_EndlessWeights(benchmark::State& state) { renderBench(state, {endlessWeights()}); }
void BM_B_TracksVicinities(benchmark::State& state) { renderBench(state, {tracksWithVicinities(false)}); }
void BM_C_SharedClocks(benchmark::State& state) { renderBench(state, {tracksWithVicinities(true)}); }
void BM_D_LongEnvelope(benchmark::State& state) {
    static const std::string spn = longEnvelope();
    renderBench(state, {spn}, 30.0);
}
void BM_E_EndlessVicinity(benchmark::State& state) {
    std::vector<std::string> spns;
    for (int i = 0; i < 20; ++i) spns.push_back(endlessVicinity(i));
    renderBench(state, spns);
}

void arguments(benchmark::internal::Benchmark* b) {
    b->ArgNames({"N", "format"});
    for (int format = 0; format < 3; ++format)
        for (int n : {1, 8, 32, 128, 512}) b->Args({n, format});
}

} // namespace

BENCHMARK(BM_A_EndlessWeights)->Apply(arguments);
BENCHMARK(BM_B_TracksVicinities)->Apply(arguments);
BENCHMARK(BM_C_SharedClocks)->Apply(arguments);
// 128 effects spread over the first half of the envelope, at 48 kHz x 512.
BENCHMARK(BM_D_LongEnvelope)->ArgNames({"N", "format"})->Args({128, 0});
BENCHMARK(BM_E_EndlessVicinity)->Apply(arguments);

BENCHMARK_MAIN();
