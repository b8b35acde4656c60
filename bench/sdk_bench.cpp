// Logging front end. Targets: a line below the minimum level under 10 ns,
// nothing formatted and nothing allocated.
#include <benchmark/benchmark.h>

#include "alloc_counter.h"
#include "sdk/log.h"

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

BENCHMARK_MAIN();
