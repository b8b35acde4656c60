// Counts the global allocations of a benchmark program (every benchmark
// program links alloc_counter.cpp, which replaces operator new).
#pragma once

#include <atomic>

long long allocationCount() noexcept;
