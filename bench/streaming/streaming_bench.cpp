// The default backend against the emulated vest over the real WiFi transport
// on loopback. Run inside the private loopback namespace (scripts/bench).
//
// Targets:
// - DataRequest to StreamData latency (10 ms requests, 2000 Hz, 16 bits):
//   p99 well under the 10 ms request period with 0, 32 and 128 effects.
// - playEffect while streaming: a few microseconds per call.
// - A connected stream with nothing playing: under 1 % of a core (the
//   stream thread waits in poll between requests; a thread that polled
//   without sleeping would burn 100 %).
#include <benchmark/benchmark.h>

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "platform/network_interfaces.h"
#include "sdk/TarvonelSDK.h"
#include "tools/vest-emulator/streaming_vest.h"
#include "tools/vest-emulator/udp_vest_adapter.h"

namespace {

constexpr uint32_t kSerial = 12345678;

std::atomic<clockid_t> gStreamThreadClock{0};
std::atomic<bool> gConnected{false};

void onConnection(trv_connection_state_t state, trv_error_t, uint32_t, void*) {
    if (state == TRV_STATE_CONNECTED) {
        // Runs on the handler's worker thread, which then runs the stream.
        clockid_t clock{};
        if (pthread_getcpuclockid(pthread_self(), &clock) == 0) gStreamThreadClock = clock;
    }
    gConnected = state == TRV_STATE_CONNECTED;
}

void quietLog(trv_log_level_t, const char*, const char*) {}

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string spherePattern(double x, double y, double z) {
    std::ostringstream out;
    out << R"({"duration": 1, "tracks": [{"volume": 100, "samples": [{"maxDuration": 0, "postDelay": 0, )"
        << R"("preDelay": 0, "repeatCount": 0, "repeatSpat": false, "signalIndex": 123, "spatKeyframes": )"
        << R"([{"timestamp": 0, "vicinities": [{"position": [)" << x << ", " << y << ", " << z
        << R"(], "orientation": [1, 0, 0, 0], "scale": [0.1, 0.1, 0.1], "amplitude": 100}]}], "speed": 1, )"
        << R"("startCrop": 0, "stopCrop": 0, "timestamp": 0, "volumeKeyframes": []}]}]})";
    return out.str();
}

const char* kShortPattern =
    R"({"duration": 1, "tracks": [{"volume": 100, "samples": [{"maxDuration": 0, "postDelay": 0, )"
    R"("preDelay": 0, "repeatCount": 1, "repeatSpat": false, "signalIndex": 123, "spatKeyframes": )"
    R"([{"timestamp": 0, "weights": [100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]}], )"
    R"("speed": 1, "startCrop": 0, "stopCrop": 0.01, "timestamp": 0, "volumeKeyframes": []}]}]})";

// One emulated vest and one connected SDK instance for the whole program.
struct Rig {
    std::shared_ptr<vestemu::EmulatedVest> vest = std::make_shared<vestemu::EmulatedVest>();
    vestemu::StreamingVest streaming{vest};
    std::unique_ptr<vestemu::UdpVestAdapter> adapter =
        std::make_unique<vestemu::UdpVestAdapter>(vest, vestemu::UdpVestOptions{});
    std::unique_ptr<TarvonelSDK> sdk;
    std::vector<int32_t> spheres;
    int32_t shortPattern = -1;

    Rig() {
        requirePrivateNetwork();
        TarvonelSDK::setLogCallback(&quietLog);
        sdk = std::make_unique<TarvonelSDK>();
        sdk->setConnectionCallback(&onConnection, nullptr);
        for (int i = 0; i < 20; ++i) {
            const double angle = i * 0.314;
            spheres.push_back(sdk->loadPatternFromJSON(
                spherePattern(0.12 * std::cos(angle), -0.18 + 0.018 * i, 0.12 * std::sin(angle)).c_str()));
        }
        shortPattern = sdk->loadPatternFromJSON(kShortPattern);
        sdk->connect(TRV_OUTPUT_WIFI, kSerial);
        streaming.waitForStreaming(true, 10.0);
        streaming.waitForFrames(10, 10.0);
        if (!gConnected) {
            std::fprintf(stderr, "could not connect to the emulated vest\n");
            std::exit(3);
        }
    }
    ~Rig() {
        sdk.reset();
        adapter.reset();
    }
};

Rig& rig() {
    static Rig instance;
    return instance;
}

void BM_RequestToStreamDataLatency(benchmark::State& state) {
    Rig& r = rig();
    const auto effects = static_cast<int>(state.range(0));
    r.sdk->stopAll();
    for (int i = 0; i < effects; ++i)
        r.sdk->playEffect(r.spheres[static_cast<std::size_t>(i) % r.spheres.size()], trv_effect_properties_t());
    std::vector<double> latencies;
    for (auto _ : state) {
        r.streaming.clearFrames();
        r.streaming.waitForFrames(300, 30.0);
        for (const auto& frame : r.streaming.frames())
            if (frame.latencySeconds >= 0) latencies.push_back(frame.latencySeconds * 1e6);
    }
    r.sdk->stopAll();
    state.counters["p50_us"] = percentile(latencies, 0.50);
    state.counters["p99_us"] = percentile(latencies, 0.99);
    state.counters["frames"] = static_cast<double>(latencies.size());
}
BENCHMARK(BM_RequestToStreamDataLatency)->Arg(0)->Arg(32)->Arg(128)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_PlayEffectWhileStreaming(benchmark::State& state) {
    Rig& r = rig();
    std::vector<double> calls;
    calls.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(r.sdk->playEffect(r.shortPattern, trv_effect_properties_t()));
        calls.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        // One play per rendered request at most, as a game would: the
        // effects end and are purged as they go.
        if (calls.size() % 50 == 0) r.streaming.waitForFrames(r.streaming.frames().size() + 1, 1.0);
    }
    r.sdk->stopAll();
    state.counters["p50_us"] = percentile(calls, 0.50);
    state.counters["p99_us"] = percentile(calls, 0.99);
}
BENCHMARK(BM_PlayEffectWhileStreaming)->Iterations(5000)->Unit(benchmark::kMicrosecond);

void BM_IdleStreamCpu(benchmark::State& state) {
    Rig& r = rig();
    r.sdk->stopAll();
    const clockid_t clock = gStreamThreadClock.load();
    double share = 0;
    double processShare = 0;
    for (auto _ : state) {
        const double threadStart = cpuSeconds(clock);
        const double processStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const auto wallStart = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        share = (cpuSeconds(clock) - threadStart) / wall;
        processShare = (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart) / wall;
    }
    state.counters["stream_thread_cpu_%"] = share * 100.0;
    state.counters["process_cpu_%(with emulator)"] = processShare * 100.0;
    state.counters["requests_per_s"] = 100;
}
BENCHMARK(BM_IdleStreamCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
