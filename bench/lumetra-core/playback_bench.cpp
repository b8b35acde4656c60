// The playback generator per output sample, beside a plain copy of the same
// count for scale. Targets (Release, one core of the CI machines): upsampling
// at 48 kHz under 5 ns a sample; the 250 Hz low-pass at 500 Hz (16 inputs
// filtered through 4 sections per output) under 250 ns a sample; a shared
// clock within 5% of an unshared one; no allocation (allocs = 0). The
// resampler at 250 Hz: a waveform whose band lies above the Nyquist
// frequency, its filter fed zeros long after the low-pass it came from,
// costs no more than one through the 125 Hz low-pass.
#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "alloc_counter.h"
#include "lumetra-core/src/filter.h"
#include "lumetra-core/src/lmc_log.h"
#include "lumetra-core/src/playback_generator.h"
#include "lumetra-core/src/sample_assets.h"

namespace {

constexpr uint64_t kWind = 8; // Air/wind-2.csv, 167878 samples, 70..254 Hz

void playback(benchmark::State& state, double rate, uint64_t signalIndex) {
    lmc::PlaybackGenerator generator(signalIndex, 0.0, 0.0);
    std::vector<float> out(static_cast<std::size_t>(state.range(0)));
    long long allocations = 0;
    uint64_t produced = 0;
    for (auto _ : state) {
        const long long before = allocationCount();
        std::size_t n = generator.generateSynced(rate, 0.8f, out, 0.0);
        if (n == 0) {
            generator.setTime(0.0);
            n = generator.generateSynced(rate, 0.8f, out, 0.0);
        }
        lmc::lmc_render_cycle_advance();
        allocations += allocationCount() - before;
        produced += n;
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(produced));
    state.counters["ns/sample"] = benchmark::Counter(
        static_cast<double>(produced), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocs"] = static_cast<double>(allocations);
}

void BM_CopyReference(benchmark::State& state) {
    std::vector<float> out(static_cast<std::size_t>(state.range(0)));
    const float* source = lmc::sampleAssetData(kWind, 0);
    uint64_t offset = 0;
    for (auto _ : state) {
        std::memcpy(out.data(), source + offset, out.size() * sizeof(float));
        offset = (offset + out.size()) % 100000;
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns/sample"] = benchmark::Counter(
        static_cast<double>(state.iterations() * state.range(0)),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CopyReference)->Arg(512);

void BM_Upsample48k(benchmark::State& state) { playback(state, 48000.0, kWind); }
BENCHMARK(BM_Upsample48k)->Arg(512);

void BM_Upsample48kShared(benchmark::State& state) {
    playback(state, 48000.0, lmc::PlaybackGenerator::kSharedFlag | kWind);
}
BENCHMARK(BM_Upsample48kShared)->Arg(512);

void BM_LowPass500(benchmark::State& state) { playback(state, 500.0, kWind); }
BENCHMARK(BM_LowPass500)->Arg(8)->Arg(64);

// The resampler alone at 250 Hz, 64 outputs (32 inputs each) per call, over
// a long noise input. With `decayFirst` the waveform's band (150..400 Hz)
// first plays through the 200 Hz low-pass at 400 Hz, then its filter is fed
// zeros (the band lies above 125 Hz) for 4 M inputs before the timing.
void resampler250(benchmark::State& state, double bandLowHz, double bandHighHz, bool decayFirst) {
    static const std::vector<float> input = [] {
        std::mt19937 random(7);
        std::uniform_real_distribution<float> uniform(-0.9f, 0.9f);
        std::vector<float> v(std::size_t{1} << 20);
        for (float& x : v) x = uniform(random);
        return v;
    }();
    lmc::AntiAliasResampler resampler;
    lmc::ResampleRequest request;
    std::vector<float> out(64);
    std::size_t position = 0;
    const auto call = [&](double rateHz) {
        if (input.size() - position < 64 * 64) position = 0;
        request.setInput(input.data() + position, input.size() - position, true, 0.0f);
        request.setOutput(out.data(), out.size());
        request.setRatio(lmc::kSampleAssetRateHz, rateHz);
        resampler.configure(rateHz, bandLowHz, bandHighHz, request);
        resampler.process(request);
        position += request.inputUsed;
    };
    if (decayFirst) {
        for (int i = 0; i < 100; ++i) call(400.0);
        for (int i = 0; i < 2000; ++i) call(250.0);
    }
    for (auto _ : state) {
        call(250.0);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns/sample"] = benchmark::Counter(
        static_cast<double>(state.iterations() * out.size()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_LowPass250(benchmark::State& state) { resampler250(state, 70.0, 254.0, false); }
BENCHMARK(BM_LowPass250);

void BM_ZeroFed250AfterDecay(benchmark::State& state) { resampler250(state, 150.0, 400.0, true); }
BENCHMARK(BM_ZeroFed250AfterDecay);

} // namespace

BENCHMARK_MAIN();
