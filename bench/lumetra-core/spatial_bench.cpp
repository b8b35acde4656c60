// Spatial weights per rendered buffer, and spn validation.
// Targets, for one effect on the vest's 20 actuators and a buffer of 512
// frames at 48 kHz (10.7 ms): weights from cached keyframes under 1 us (every
// buffer); a full recompute, here 2 keys x 2 vicinities with all three mirror
// additions (32 placements), under 1% of the buffer, 107 us (only when the
// layout or the transform changed); 0 allocations in both. The cubic
// distribution at most half the time of the exponential it stands for.
// Validation has no target: it runs when a pattern is loaded.
#include <cmath>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "alloc_counter.h"
#include "lumetra-core/src/layout.h"
#include "lumetra-core/src/pattern.h"
#include "lumetra-core/src/spatialization.h"
#include "lumetra-core/src/weight_distribution.h"

namespace {

using json = nlohmann::json;

json vicinitySample() {
    json keys = json::array();
    for (int k = 0; k < 4; ++k) {
        json vicinities = json::array();
        for (int v = 0; v < 2; ++v)
            vicinities.push_back({{"position", {0.1039, 0.06 - 0.04 * k, 0.06 * (v ? 1 : -1)}},
                                  {"orientation", {0.92, 0, 0.38, 0}},
                                  {"scale", {0.15, 0.1, 0.12}},
                                  {"amplitude", 90}});
        keys.push_back({{"timestamp", 0.25 * k}, {"vicinities", vicinities}});
    }
    return {{"repeatSpat", true}, {"spatKeyframes", keys}};
}

lmc::Transform fullTransform() {
    lmc::Transform transform;
    transform.setTranslation(0, 0.05, 0);
    transform.setRotation(0, 0.6, 0.2);
    transform.setAddMirroredX(1);
    transform.setAddMirroredY(1);
    transform.setAddMirroredZ(1);
    return transform;
}

void reportAllocations(benchmark::State& state, long long before) {
    state.counters["allocs/call"] = benchmark::Counter(
        static_cast<double>(allocationCount() - before) / static_cast<double>(state.iterations()));
}

void BM_WeightsCached(benchmark::State& state) {
    const auto layout = lmc::makeLayout(1);
    lmc::Spatialization spatialization(vicinitySample());
    lmc::Transform transform = fullTransform();
    double t = 0.0;
    spatialization.computeWeights(*layout, transform, t, 0.0);
    transform.setChanged(0);
    const long long before = allocationCount();
    for (auto _ : state) {
        t += 512 / 48000.0;
        spatialization.computeWeights(*layout, transform, t, 0.1);
        benchmark::DoNotOptimize(spatialization.weights().data());
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_WeightsCached);

void BM_WeightsRecomputeAllMirrors(benchmark::State& state) {
    const auto layout = lmc::makeLayout(1);
    lmc::Spatialization spatialization(vicinitySample());
    lmc::Transform transform = fullTransform();
    double t = 0.0;
    const long long before = allocationCount();
    for (auto _ : state) {
        t += 512 / 48000.0;
        transform.setChanged(1);
        spatialization.computeWeights(*layout, transform, t, 0.1);
        benchmark::DoNotOptimize(spatialization.weights().data());
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_WeightsRecomputeAllMirrors);

void BM_WeightsExplicit(benchmark::State& state) {
    const auto layout = lmc::makeLayout(1);
    json sample = {{"repeatSpat", true},
                   {"spatKeyframes",
                    {{{"timestamp", 0}, {"weights", std::vector<double>(20, 40)}},
                     {{"timestamp", 0.5}, {"weights", std::vector<double>(20, 90)}}}}};
    lmc::Spatialization spatialization(sample);
    lmc::Transform transform;
    double t = 0.0;
    const long long before = allocationCount();
    for (auto _ : state) {
        t += 512 / 48000.0;
        spatialization.computeWeights(*layout, transform, t, 0.1);
        benchmark::DoNotOptimize(spatialization.weights().data());
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_WeightsExplicit);

std::vector<double> distances() {
    std::vector<double> d(20);
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = 0.55 + 0.025 * static_cast<double>(i);
    return d;
}

void BM_DistributionCubic(benchmark::State& state) {
    const auto distribution = lmc::makeNormalizedDistribution();
    const std::vector<double> source = distances();
    std::vector<double> work(source.size());
    for (auto _ : state) {
        work = source;
        distribution->apply(work);
        benchmark::DoNotOptimize(work.data());
    }
}
BENCHMARK(BM_DistributionCubic);

// The reference: the same trapezoid with a true exponential on its flank.
void BM_DistributionExpReference(benchmark::State& state) {
    const std::vector<double> source = distances();
    std::vector<double> work(source.size());
    const double kFall = 0.5 * (1.7858 / 0.4) * (1.7858 / 0.4);
    for (auto _ : state) {
        work = source;
        for (double& x : work)
            x = x < 0.6 ? 1.0 : x < 1.0 ? std::exp(-(x - 0.6) * (x - 0.6) * kFall) : 0.0;
        benchmark::DoNotOptimize(work.data());
    }
}
BENCHMARK(BM_DistributionExpReference);

void BM_ValidatePattern(benchmark::State& state) {
    json tracks = json::array();
    for (int t = 0; t < 4; ++t) {
        json samples = json::array();
        for (int s = 0; s < 16; ++s) {
            json sample = vicinitySample();
            sample.update({{"maxDuration", 0.25}, {"postDelay", 0}, {"preDelay", 0},
                           {"repeatCount", 1}, {"signalIndex", 120}, {"speed", 1},
                           {"startCrop", 0}, {"stopCrop", 1}, {"timestamp", 0.25 * s},
                           {"volumeKeyframes", {{{"timestamp", 0}, {"volume", 100}}}}});
            samples.push_back(sample);
        }
        tracks.push_back({{"volume", 100}, {"samples", samples}});
    }
    const std::string text = json{{"duration", 4}, {"tracks", tracks}}.dump();
    for (auto _ : state) {
        const lmc::Pattern pattern(text.c_str());
        if (!pattern.valid()) state.SkipWithError("pattern invalid");
        benchmark::DoNotOptimize(pattern.maxSimultaneous());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ValidatePattern);

} // namespace
BENCHMARK_MAIN();
