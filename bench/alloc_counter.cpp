#include "alloc_counter.h"

#include <cstdlib>
#include <new>

namespace {
std::atomic<long long> gAllocations{0};
}

long long allocationCount() noexcept { return gAllocations.load(std::memory_order_relaxed); }

__attribute__((noinline)) void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The non-throwing form is counted too, and must pair with the delete above.
__attribute__((noinline)) void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
__attribute__((noinline)) void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
