// VYX-fx per 20 ms block, one channel of float samples processed in double
// (the loopback's configuration). Targets (Release, one core): analysis plus
// synthesis of a block under 0.5 % of its real time (100 us); no allocation
// (allocs/block = 0); silence after sound at most twice the cost of noise.
// Every benchmark reports the mean (the Time column) and, as counters, the
// 99.9th percentile of a block and the allocations per block.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "alloc_counter.h"
#include "vyx/vyxfx.h"

namespace {

constexpr uint64_t kSignalBlocks = 100; // 2 s of input, played round and round

struct Instance {
    vyxfx_instance* p;
    Instance(int32_t rate, int64_t preset)
        : p(vyxfx_create(rate, 1, VYXFX_SAMPLE_FLOAT, VYXFX_PROCESS_DOUBLE)) {
        vyxfx_set_preset(p, static_cast<uint32_t>(preset));
    }
    ~Instance() { vyxfx_destroy(p); }
    uint32_t frame() const { return vyxfx_frame_size(p); }
};

// Music-like input: a bass line, a kick every 0.5 s and noise bursts.
std::vector<float> music(int32_t rate, uint64_t frames) {
    std::vector<float> out(frames);
    uint32_t seed = 99;
    for (uint64_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double beat = std::fmod(t, 0.5);
        seed = seed * 1664525u + 1013904223u;
        const double noise = static_cast<double>(seed >> 8) / (1u << 24) - 0.5;
        out[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * 55 * t) +
                                    0.5 * std::exp(-beat * 30) * std::sin(2 * M_PI * 70 * beat) +
                                    (std::fmod(t, 0.3) < 0.1 ? 0.4 * noise : 0.0));
    }
    return out;
}

// Times each block; reports p99.9 and allocations per block.
class BlockTimer {
public:
    explicit BlockTimer(benchmark::State& state) : state_(state) { nanoseconds_.reserve(1 << 20); }
    template <typename Work>
    void run(Work work) {
        const long long before = allocationCount();
        const auto start = std::chrono::steady_clock::now();
        work();
        const auto end = std::chrono::steady_clock::now();
        allocations_ += allocationCount() - before;
        totalNanoseconds_ += std::chrono::duration<double, std::nano>(end - start).count();
        if (nanoseconds_.size() < nanoseconds_.capacity())
            nanoseconds_.push_back(std::chrono::duration<double, std::nano>(end - start).count());
    }
    ~BlockTimer() {
        if (nanoseconds_.empty()) return;
        const auto at = static_cast<std::ptrdiff_t>(nanoseconds_.size() * 999 / 1000);
        std::nth_element(nanoseconds_.begin(), nanoseconds_.begin() + at, nanoseconds_.end());
        state_.counters["p99.9_us"] = nanoseconds_[static_cast<std::size_t>(at)] / 1000.0;
        const double blocks = static_cast<double>(state_.iterations());
        // A block is 20 ms of signal.
        state_.counters["%realtime"] = totalNanoseconds_ / blocks / 20e6 * 100.0;
        state_.counters["allocs/block"] =
            static_cast<double>(allocations_) / static_cast<double>(state_.iterations());
    }

private:
    benchmark::State& state_;
    std::vector<double> nanoseconds_;
    double totalNanoseconds_ = 0;
    long long allocations_ = 0;
};

// args: capture rate, preset
void BM_Analyse(benchmark::State& state) {
    const auto rate = static_cast<int32_t>(state.range(0));
    Instance capture(rate, state.range(1));
    const uint32_t frame = capture.frame();
    const std::vector<float> in = music(rate, kSignalBlocks * frame);
    std::vector<uint8_t> token(vyxfx_token_bytes(capture.p, frame));
    uint64_t block = 0;
    {
        BlockTimer timer(state);
        for (auto _ : state) {
            timer.run(
                [&] { vyxfx_analyse(capture.p, in.data() + block * frame, token.data(), frame); });
            block = (block + 1) % kSignalBlocks;
            benchmark::DoNotOptimize(token.data());
        }
    }
}
BENCHMARK(BM_Analyse)->ArgsProduct({{44100, 48000, 96000}, {0, 1, 2, 3}});

// The tokens of 2 s of music analysed at 48 kHz.
std::vector<uint8_t> musicTokens() {
    Instance capture(48000, 0);
    const std::vector<float> in = music(48000, kSignalBlocks * capture.frame());
    std::vector<uint8_t> tokens(vyxfx_token_bytes(capture.p, in.size()));
    vyxfx_analyse(capture.p, in.data(), tokens.data(), in.size());
    return tokens;
}

// args: output rate, preset
void BM_Synthesise(benchmark::State& state) {
    const std::vector<uint8_t> tokens = musicTokens();
    const std::size_t tokenBytes = tokens.size() / kSignalBlocks;
    Instance output(static_cast<int32_t>(state.range(0)), state.range(1));
    std::vector<float> out(output.frame());
    uint64_t block = 0;
    {
        BlockTimer timer(state);
        for (auto _ : state) {
            timer.run([&] {
                vyxfx_synthesise(output.p, tokens.data() + block * tokenBytes, tokenBytes,
                                 out.data(), out.size());
            });
            block = (block + 1) % kSignalBlocks;
            benchmark::DoNotOptimize(out.data());
        }
    }
}
BENCHMARK(BM_Synthesise)->ArgsProduct({{500, 1000, 2000, 48000}, {0, 1, 2, 3}});

// The loopback's whole path for one block: analyse at 48 kHz, synthesise at
// the output rate. args: output rate, preset, input (0 music, 1 silence after
// sound: 5 s of silence after each 0.1 s of music, the sound not timed, 2
// white noise at -10 dB).
void BM_Whole(benchmark::State& state) {
    Instance capture(48000, 0);
    Instance output(static_cast<int32_t>(state.range(0)), state.range(1));
    const bool silence = state.range(2) == 1;
    const uint32_t frame = capture.frame();
    std::vector<float> in = music(48000, kSignalBlocks * frame);
    if (state.range(2) == 2) {
        uint32_t seed = 5;
        for (float& v : in) {
            seed = seed * 1664525u + 1013904223u;
            v = 0.3f * (static_cast<float>(seed >> 8) / (1u << 24) * 2.0f - 1.0f);
        }
    }
    const std::vector<float> quiet(frame, 0.0f);
    std::vector<uint8_t> token(vyxfx_token_bytes(capture.p, frame));
    std::vector<float> out(output.frame());
    auto step = [&](const float* block) {
        vyxfx_analyse(capture.p, block, token.data(), frame);
        vyxfx_synthesise(output.p, token.data(), token.size(), out.data(), out.size());
    };
    uint64_t block = 0;
    {
        BlockTimer timer(state);
        for (auto _ : state) {
            if (silence && block % 250 == 0) {
                state.PauseTiming();
                for (uint64_t k = 0; k < 5; ++k) step(in.data() + k * frame);
                state.ResumeTiming();
            }
            timer.run([&] {
                step(silence ? quiet.data() : in.data() + (block % kSignalBlocks) * frame);
            });
            ++block;
            benchmark::DoNotOptimize(out.data());
        }
    }
}
BENCHMARK(BM_Whole)->ArgsProduct({{500, 48000}, {0, 1, 2, 3}, {0, 1, 2}});

} // namespace

BENCHMARK_MAIN();
