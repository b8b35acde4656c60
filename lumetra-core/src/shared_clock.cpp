#include "lumetra-core/src/shared_clock.h"

namespace lmc {
namespace {

constexpr uint32_t kEmpty = 0;
constexpr uint32_t kClaimed = 1;
constexpr uint32_t kReady = 2;

// Constant-initialised (zeroed storage): usable from any static initialiser.
constinit SharedClockTable gTable;

uint64_t mix(uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

} // namespace

SharedClockTable& SharedClockTable::instance() noexcept { return gTable; }

SharedClockTable::Entry* SharedClockTable::findOrInsert(const SharedClockKey& key, uint64_t hash,
                                                        const SharedClock& initial,
                                                        bool& inserted) noexcept {
    inserted = false;
    const std::size_t mask = kCapacity - 1;
    const std::size_t home = static_cast<std::size_t>(mix(hash)) & mask;
    for (std::size_t probe = 0; probe < kCapacity; ++probe) {
        Entry& slot = slots_[(home + probe) & mask];
        uint32_t state = slot.state_.load(std::memory_order_acquire);
        if (state == kEmpty) {
            if (slot.state_.compare_exchange_strong(state, kClaimed, std::memory_order_acquire,
                                                    std::memory_order_acquire)) {
                slot.key_ = key;
                slot.clock_ = initial;
                slot.state_.store(kReady, std::memory_order_release);
                size_.fetch_add(1, std::memory_order_relaxed);
                inserted = true;
                return &slot;
            }
            // Another thread claimed the slot first; `state` holds its state.
        }
        // A claimed slot becomes ready a few stores later.
        while (state == kClaimed) {
            __builtin_ia32_pause();
            state = slot.state_.load(std::memory_order_acquire);
        }
        if (slot.key_ == key) return &slot;
    }
    overflows_.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
}

} // namespace lmc
