// The default backend against the emulated vest over the real WiFi transport
// on loopback. Run inside the private loopback namespace (scripts/bench).
//
// Targets:
// - DataRequest to StreamData latency (10 ms requests, 2000 Hz, 16 bits):
//   p99 within 1.3x of the bare round trip (a 13-byte request answered with
//   1012 bytes by a thread waiting in poll, nothing else done) with 32
//   effects playing, and well under the 10 ms request period with 0, 32 and
//   128 effects. The bare round trip is measured in the same run, half a
//   request period after each StreamData, so both see the same machine.
// - playEffect while streaming: a few microseconds per call.
// - A connected stream with nothing playing: under 1 % of a core (the
//   stream thread waits in poll between requests; a thread that polled
//   without sleeping would burn 100 %).
#include <benchmark/benchmark.h>

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "link/hid_frame.h"
#include "platform/poll.h"
#include "platform/udp_socket.h"
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

// The reference, built as the emulated vest and the stream are: a host
// thread that waits in poll (10 ms at a time, as the transport's receive
// does) and answers every 13-byte datagram with 1012 bytes; on the vest side
// one thread sends the request and another, waiting in poll as the
// emulator's adapter does, takes the answer's arrival time. No CRC, no
// rendering, no encoding.
class BareRoundTrip {
public:
    BareRoundTrip() {
        const Ipv4Endpoint loopback{0x7F000001, 0};
        if (host_.open() != 0 || host_.bind(loopback) != 0 || vest_.open() != 0 || vest_.bind(loopback) != 0) {
            std::fprintf(stderr, "could not open the loopback sockets of the bare round trip\n");
            std::exit(4);
        }
        hostEndpoint_ = host_.localEndpoint().value_or(Ipv4Endpoint{});
        hostThread_ = std::thread([this] { answer(); });
        vestThread_ = std::thread([this] { receive(); });
    }
    ~BareRoundTrip() {
        stopping_ = true;
        hostWaker_.notify();
        vestWaker_.notify();
        hostThread_.join();
        vestThread_.join();
    }

    // One request and its answer, in microseconds; negative when no answer
    // came within 100 ms.
    double measure() {
        std::array<uint8_t, streaming::kDataRequestFrameBytes> request{};
        std::unique_lock lock(mutex_);
        arrived_.reset();
        const auto start = std::chrono::steady_clock::now();
        vest_.sendTo(request.data(), request.size(), hostEndpoint_);
        if (!arrivedChanged_.wait_for(lock, std::chrono::milliseconds(100), [this] { return arrived_.has_value(); }))
            return -1;
        return std::chrono::duration<double, std::micro>(*arrived_ - start).count();
    }

private:
    void answer() {
        std::array<uint8_t, kStreamDataFrameBytes> frame{};
        std::array<uint8_t, 64> request{};
        std::array<PollEntry, 2> entries{PollEntry{host_.fd()}, PollEntry{hostWaker_.fd()}};
        while (!stopping_) {
            if (pollDescriptors(entries, 0.010f) <= 0 || !entries[0].ready) continue;
            for (int n = 0; n < 64; ++n) {
                const DatagramResult result = host_.receiveFrom(request.data(), request.size());
                if (result.status != SocketStatus::Ok) break;
                host_.sendTo(frame.data(), frame.size(), result.from);
            }
        }
    }

    void receive() {
        std::array<uint8_t, 2048> answer{};
        std::array<PollEntry, 2> entries{PollEntry{vest_.fd()}, PollEntry{vestWaker_.fd()}};
        while (!stopping_) {
            if (pollDescriptors(entries, -1.0f) <= 0 || !entries[0].ready) continue;
            for (int n = 0; n < 64; ++n) {
                const DatagramResult result = vest_.receiveFrom(answer.data(), answer.size());
                if (result.status != SocketStatus::Ok) break;
                const auto now = std::chrono::steady_clock::now();
                if (result.bytes != kStreamDataFrameBytes) continue;
                std::lock_guard lock(mutex_);
                arrived_ = now;
                arrivedChanged_.notify_all();
            }
        }
    }

    UdpSocket host_;
    UdpSocket vest_;
    Ipv4Endpoint hostEndpoint_;
    Waker hostWaker_;
    Waker vestWaker_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_; // guards arrived_
    std::condition_variable arrivedChanged_;
    std::optional<std::chrono::steady_clock::time_point> arrived_;
    // Last: joined before the sockets close.
    std::thread hostThread_;
    std::thread vestThread_;
};

void BM_RequestToStreamDataLatency(benchmark::State& state) {
    Rig& r = rig();
    BareRoundTrip bare;
    const auto effects = static_cast<int>(state.range(0));
    r.sdk->stopAll();
    for (int i = 0; i < effects; ++i)
        r.sdk->playEffect(r.spheres[static_cast<std::size_t>(i) % r.spheres.size()], trv_effect_properties_t());
    constexpr uint64_t kRequests = 300;
    const auto halfPeriod = std::chrono::microseconds(5000);
    std::vector<double> latencies;
    std::vector<double> bareMicros;
    for (auto _ : state) {
        r.streaming.clearFrames();
        // After each StreamData, half a request period later (when the
        // stream thread is waiting again), one bare round trip.
        for (uint64_t n = 1; n <= kRequests; ++n) {
            if (!r.streaming.waitForFrames(n, 1.0)) break;
            std::this_thread::sleep_until(std::chrono::steady_clock::now() + halfPeriod);
            const double micros = bare.measure();
            if (micros >= 0) bareMicros.push_back(micros);
        }
        for (const auto& frame : r.streaming.frames())
            if (frame.latencySeconds >= 0) latencies.push_back(frame.latencySeconds * 1e6);
    }
    r.sdk->stopAll();
    const double p50 = percentile(latencies, 0.50);
    const double p99 = percentile(latencies, 0.99);
    const double bareP50 = percentile(bareMicros, 0.50);
    const double bareP99 = percentile(bareMicros, 0.99);
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    state.counters["bare_p50_us"] = bareP50;
    state.counters["bare_p99_us"] = bareP99;
    state.counters["p50_ratio"] = bareP50 > 0 ? p50 / bareP50 : 0;
    state.counters["p99_ratio"] = bareP99 > 0 ? p99 / bareP99 : 0;
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
