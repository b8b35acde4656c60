// What several benchmark programs share: the private-network checks and the
// percentile of a set of samples.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/network_interfaces.h"

// True inside a private loopback namespace; otherwise the benchmark is
// skipped with an error.
inline bool privateNetwork(benchmark::State& state) {
    if (onlyLoopbackInterfacesUp()) return true;
    state.SkipWithError("run inside a private loopback namespace (scripts/netns)");
    return false;
}

// For a program's shared set-up: exits (status 2) outside a private
// loopback namespace.
inline void requirePrivateNetwork() {
    if (onlyLoopbackInterfacesUp()) return;
    std::fprintf(stderr, "refusing to run outside a private loopback namespace (scripts/netns)\n");
    std::exit(2);
}

// The sample at fraction p (0..1) of the sorted values; 0 for none. Sorts a
// copy. Not inlined: GCC 12 at -O3, inlining the copy and the sort into a
// caller, takes the copy's delete for a delete of a non-heap pointer.
[[gnu::noinline]] inline double percentile(const std::vector<double>& values, double p) {
    if (values.empty()) return 0;
    std::vector<double> sorted(values);
    std::sort(sorted.begin(), sorted.end());
    return sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1))];
}
