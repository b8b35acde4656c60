// Board-command playback. Run inside scripts/netns (the connected cases talk
// to the vest emulator on loopback and refuse to run elsewhere).
//
// Targets:
// - One 518-byte sample message: weight rows under 2 us; twenty vicinity rows
//   evaluated with all three mirror additions (160 evaluations) under 200 us.
//   Reference in the same run: the CRC of the message.
// - playEffect to the PlaySample's arrival at the vest on loopback WiFi:
//   p99 under 5 ms (the sequencing loop is woken by the play).
// - A connected, idle connection (keep-alives only): under 1 % of one core.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <sstream>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "board/board_pattern.h"
#include "board/handler_commands.h"
#include "sdk/PatternRegistry.h"
#include "tools/vest-emulator/board_vest.h"
#include "tools/vest-emulator/udp_vest_adapter.h"

namespace {

std::string patternText(bool vicinities, int rows, double length) {
    std::ostringstream s;
    s << R"({"duration": 1, "tracks": [{"volume": 100, "samples": [{"timestamp": 0, "signalIndex": 1,
        "speed": 1, "repeatCount": 1, "preDelay": 0, "postDelay": 0, "maxDuration": )"
      << length << R"(, "repeatSpat": false, "startCrop": 0, "stopCrop": 0, "volumeKeyframes": [],
        "spatKeyframes": [)";
    for (int r = 0; r < rows; ++r) {
        s << (r ? "," : "") << R"({"timestamp": )" << r * 0.01;
        if (vicinities)
            s << R"(, "vicinities": [{"position": [0.1, 0.05, 0.1], "orientation": [1, 0, 0, 0],
                "scale": [0.1, 0.1, 0.1], "amplitude": 80}]})";
        else
            s << R"(, "weights": [10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100]})";
    }
    s << "]}]}]}";
    return s.str();
}

void buildMessages(benchmark::State& state, bool vicinities) {
    int32_t error = 0;
    auto pattern = board::Pattern::create(patternText(vicinities, static_cast<int>(state.range(0)), 0.5), error);
    board::SpatialTransform t;
    t.heading = 0.5f;
    t.height = 0.1f;
    t.addMirroredX = t.addMirroredY = t.addMirroredZ = vicinities;
    board::SampleMessage m{};
    for (auto _ : state) {
        pattern->buildSampleMessage(0, 0, 100, 1, false, 0, t, 10, 0, true, m);
        benchmark::DoNotOptimize(m.data());
    }
}

void BM_SampleMessage_Weights(benchmark::State& state) { buildMessages(state, false); }
BENCHMARK(BM_SampleMessage_Weights)->Arg(1)->Arg(20);

void BM_SampleMessage_Vicinities(benchmark::State& state) { buildMessages(state, true); }
BENCHMARK(BM_SampleMessage_Vicinities)->Arg(1)->Arg(20);

void BM_SampleMessageReference_Crc(benchmark::State& state) {
    board::SampleMessage m{};
    for (auto _ : state) {
        stampFrameCrc(m.data(), m.size());
        benchmark::DoNotOptimize(m.data());
    }
}
BENCHMARK(BM_SampleMessageReference_Crc);

// A handler connected over WiFi to an emulated board vest.
struct Connected {
    std::shared_ptr<vestemu::EmulatedVest> vest = std::make_shared<vestemu::EmulatedVest>();
    vestemu::BoardVest slots{vest};
    vestemu::UdpVestAdapter adapter{vest, {}};
    PatternRegistry registry;
    IHandler* handler = IHandler::create(kHandlerCommands, &registry);

    bool connect() {
        if (handler->connect(TRV_OUTPUT_WIFI, 12345678) != 0) return false;
        for (int i = 0; i < 500 && handler->connectionStatus() != TRV_STATE_CONNECTED; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return handler->connectionStatus() == TRV_STATE_CONNECTED;
    }
    ~Connected() { IHandler::destroy(handler); }
};

void BM_PlayToFirstUpload_Wifi(benchmark::State& state) {
    if (!privateNetwork(state)) return;
    Connected c;
    if (!c.connect()) {
        state.SkipWithError("could not connect to the emulator");
        return;
    }
    // Samples of 1 ms: the board frees each slot at once.
    const int32_t pattern = c.handler->loadPatternFromJSON(patternText(false, 1, 0.001));
    std::vector<double> micros;
    std::size_t uploads = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        c.handler->playEffect(pattern, trv_effect_properties_t());
        if (!c.slots.waitForCommands(0x01, ++uploads, 2.0)) {
            state.SkipWithError("no upload");
            return;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        c.slots.waitForCommands(0xFF, 1, 0.002); // lets the slot free before the next play
    }
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}
BENCHMARK(BM_PlayToFirstUpload_Wifi)->Iterations(500)->UseRealTime();

void BM_IdleConnectionCpu(benchmark::State& state) {
    if (!privateNetwork(state)) return;
    Connected c;
    if (!c.connect()) {
        state.SkipWithError("could not connect to the emulator");
        return;
    }
    for (auto _ : state) {
        const auto wallStart = std::chrono::steady_clock::now();
        const std::clock_t cpuStart = std::clock();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        state.counters["cpu_percent"] = 100.0 * cpuSeconds / wallSeconds;
    }
}
BENCHMARK(BM_IdleConnectionCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
BENCHMARK_MAIN();
