// Logging front end. Targets: a line below the minimum level under 10 ns,
// nothing formatted and nothing allocated.
//
// C interface. Target: a trv_* call costs under 100 ns more than the same
// method called on the TarvonelSDK object (handle lookup included), measured
// side by side in one run; under 4 threads the lookups share their lock.
#include <benchmark/benchmark.h>

#include "TarvonelSDK.h"
#include "alloc_counter.h"
#include "sdk/log.h"
#include "tarvonel.h"

static void noopCallback(trv_log_level_t, const char*, const char* message) {
    benchmark::DoNotOptimize(message);
}

static void BM_LineBelowMinimumLevel(benchmark::State& state) {
    setApplicationLogCallback(&noopCallback);
    setLogLevel(TRV_LOG_INFO);
    const long long before = allocationCount();
    for (auto _ : state) {
        LogStream(TRV_LOG_DEBUG, "ExperimentalTarvonelSDK") << "Command: playEffect(ID: " << 3
                                                             << ", vol: " << 100.0f << ")";
    }
    state.counters["allocs/line"] = benchmark::Counter(
        static_cast<double>(allocationCount() - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_LineBelowMinimumLevel);

static void BM_LineToNoopCallback(benchmark::State& state) {
    setApplicationLogCallback(&noopCallback);
    setLogLevel(TRV_LOG_INFO);
    const long long before = allocationCount();
    for (auto _ : state) {
        LogStream(TRV_LOG_INFO, "Tarvonel") << "Command: playEffect(ID: " << 3
                                            << ", vol: " << 100.0f << ")";
    }
    state.counters["allocs/line"] = benchmark::Counter(
        static_cast<double>(allocationCount() - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_LineToNoopCallback);

namespace {

// One instance for the C benchmarks, made before the first one runs.
struct Instances {
    Instances() {
        trv_setLogCallback(nullptr); // no log file, no formatting
        for (int i = 0; i < 64; ++i) handles[i] = trv_createSDKInstance("");
    }
    int handles[64];
};

Instances& instances() {
    static Instances made;
    return made;
}

TarvonelSDK& directInstance() {
    static TarvonelSDK* sdk = [] {
        TarvonelSDK::setLogCallback(nullptr);
        return new TarvonelSDK("");
    }();
    return *sdk;
}

} // namespace

static void BM_DirectConnectionStatus(benchmark::State& state) {
    TarvonelSDK& sdk = directInstance();
    for (auto _ : state) benchmark::DoNotOptimize(sdk.connectionStatus());
}
BENCHMARK(BM_DirectConnectionStatus);
BENCHMARK(BM_DirectConnectionStatus)->Threads(4);

static void BM_CConnectionStatus(benchmark::State& state) {
    // A table of 64 live handles, the one asked for in the middle.
    const int handle = instances().handles[32];
    for (auto _ : state) benchmark::DoNotOptimize(trv_connectionStatus(handle));
}
BENCHMARK(BM_CConnectionStatus);
BENCHMARK(BM_CConnectionStatus)->Threads(4);

static void BM_DirectEffectState(benchmark::State& state) {
    TarvonelSDK& sdk = directInstance();
    for (auto _ : state) benchmark::DoNotOptimize(sdk.effectState(3));
}
BENCHMARK(BM_DirectEffectState);

static void BM_CEffectState(benchmark::State& state) {
    const int handle = instances().handles[32];
    for (auto _ : state) benchmark::DoNotOptimize(trv_effectState(handle, 3));
}
BENCHMARK(BM_CEffectState);
BENCHMARK(BM_CEffectState)->Threads(4);

static void BM_CUnknownHandle(benchmark::State& state) {
    instances();
    for (auto _ : state) benchmark::DoNotOptimize(trv_effectState(1'000'000, 3));
}
BENCHMARK(BM_CUnknownHandle);

BENCHMARK_MAIN();
