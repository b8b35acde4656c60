#include "lumetra-core/src/shared_clock.h"

namespace lmc {
namespace {

// The slot states, in the low bits of Entry::word_; holders count above.
constexpr uint32_t kFree = 0;
constexpr uint32_t kClaimed = 1;
constexpr uint32_t kReady = 2;
constexpr uint32_t kStateMask = 3;
constexpr uint32_t kHolder = 4;

// Lookups that lost every race for a slot this often give up (overflow).
constexpr int kAttempts = 4;

// Constant-initialised (zeroed storage): usable from any static initialiser.
constinit SharedClockTable gTable;

uint64_t mix(uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Nobody used the entry in the current cycle or the previous one. A cycle
// ahead of `now` (another thread rendered meanwhile) is not idle.
bool idle(uint32_t lastUsed, uint32_t now) noexcept {
    const uint32_t behind = now - lastUsed;
    return behind > 1 && behind < 0x80000000u;
}

} // namespace

SharedClockTable& SharedClockTable::instance() noexcept { return gTable; }

void SharedClockTable::place(Entry& slot, const SharedClockKey& key,
                             const SharedClock& initial) noexcept {
    slot.key_ = key;
    slot.clock_ = initial;
    slot.lastUsed_.store(initial.cycle, std::memory_order_relaxed);
    slot.word_.store(kReady + kHolder, std::memory_order_release);
    insertions_.fetch_add(1, std::memory_order_relaxed);
}

bool SharedClockTable::reclaim(Entry& slot, const SharedClockKey& key,
                               const SharedClock& initial) noexcept {
    uint32_t expected = kReady; // ready and held by nobody
    if (!slot.word_.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire,
                                            std::memory_order_relaxed))
        return false;
    // Claimed: nobody holds the entry and nobody can start to.
    if (!idle(slot.lastUsed_.load(std::memory_order_relaxed), initial.cycle)) {
        slot.word_.store(kReady, std::memory_order_release);
        return false;
    }
    place(slot, key, initial);
    reclaims_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

SharedClockTable::Entry* SharedClockTable::acquire(const SharedClockKey& key, uint64_t hash,
                                                   const SharedClock& initial,
                                                   bool& inserted) noexcept {
    inserted = false;
    const std::size_t mask = kCapacity - 1;
    const std::size_t home = static_cast<std::size_t>(mix(hash)) & mask;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // A key lies before the first free slot of its probe run (slots are
        // never freed), so the run ends there; an idle entry seen on the way
        // is reused rather than the free slot.
        Entry* spare = nullptr;
        Entry* free = nullptr;
        for (std::size_t probe = 0; probe < kProbeLimit; ++probe) {
            Entry& slot = slots_[(home + probe) & mask];
            uint32_t word = slot.word_.load(std::memory_order_acquire);
            for (;;) {
                const uint32_t state = word & kStateMask;
                if (state == kFree) break;
                if (state == kClaimed) { // being written: ready a few stores later
                    __builtin_ia32_pause();
                    word = slot.word_.load(std::memory_order_acquire);
                    continue;
                }
                // Ready: hold it so that its key cannot change while compared.
                if (slot.word_.compare_exchange_weak(word, word + kHolder, std::memory_order_acquire,
                                                     std::memory_order_acquire))
                    break;
            }
            if ((word & kStateMask) == kFree) {
                free = &slot;
                break;
            }
            if (slot.key_ == key) {
                slot.lastUsed_.store(initial.cycle, std::memory_order_relaxed);
                return &slot;
            }
            if (spare == nullptr && word == kReady &&
                idle(slot.lastUsed_.load(std::memory_order_relaxed), initial.cycle))
                spare = &slot;
            release(&slot);
        }
        if (spare != nullptr && reclaim(*spare, key, initial)) {
            inserted = true;
            return spare;
        }
        if (spare == nullptr && free != nullptr) {
            uint32_t expected = kFree;
            if (free->word_.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
                place(*free, key, initial);
                inserted = true;
                return free;
            }
        }
        if (spare == nullptr && free == nullptr) break; // no room within reach
        // Another thread took the slot first (perhaps for this key): again.
    }
    overflows_.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
}

void SharedClockTable::release(Entry* entry) noexcept {
    entry->word_.fetch_sub(kHolder, std::memory_order_release);
}

} // namespace lmc
