// The process-wide table of shared playback clocks: generators that play the
// same crop of the same waveform at the same rate, and are marked as shared,
// keep their clocks in step through it (see ISignalGenerator::generateSynced).
//
// Concurrency: engine instances may render on different threads at once, so
// the table is safe to use from any thread. Lookups take no lock: a caller
// holds the entry it was handed (a count in the entry's state word) until it
// releases it, and an entry is only ever given to another key while nobody
// holds it. Each entry's clock is guarded by its own spin flag, held for a
// few arithmetic operations once per generator call (never per sample).
// Nothing allocates: the table has a fixed capacity.
//
// Entries are reclaimed: one that no generator used in the current render
// cycle or the one before (a clock so idle restarts from its next user
// anyway) and that nobody holds is given to a new key that finds no room.
// A key lies within kProbeLimit slots of its home slot; a key that finds
// neither its entry, a free slot nor a reclaimable one there plays unshared,
// and the overflow is counted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace lmc {

// The exact identity of a shared clock. Two generators share a clock only
// when all four fields are equal.
struct SharedClockKey {
    uint64_t assetIndex = 0;
    uint64_t start = 0;    // first sample of the crop
    uint64_t stop = 0;     // sample after the crop
    uint64_t rateBits = 0; // the output rate's bit pattern, -0.0 taken as +0.0

    friend bool operator==(const SharedClockKey&, const SharedClockKey&) = default;
};

struct SharedClock {
    uint32_t cycle = 0;          // render cycle in which the entry was last advanced
    double time = 0.0;           // shared position within one period, seconds
    double pendingAdvance = 0.0; // largest advance any sharer made in that cycle, seconds
    double period = 0.0;         // the crop's duration, seconds
};

class SharedClockTable {
public:
    static constexpr std::size_t kCapacity = 4096; // a power of two
    static constexpr std::size_t kProbeLimit = 64;  // slots searched from a key's home

    class Entry;

    // The table of the process.
    static SharedClockTable& instance() noexcept;

    // The entry for key, held for the caller until release(): found, or
    // placed with `initial` (inserted tells which) in a free slot or one
    // reclaimed. initial.cycle is the current render cycle. Null when there
    // is no room. `hash` spreads the keys over the slots: equal keys must
    // come with equal hashes. Two callers placing one key at the same moment
    // may, rarely, each get an entry of their own (their clocks then run
    // apart, as for unshared generators).
    Entry* acquire(const SharedClockKey& key, uint64_t hash, const SharedClock& initial,
                   bool& inserted) noexcept;
    // Ends a hold that acquire() handed out.
    static void release(Entry* entry) noexcept;

    // Keys placed (free or reclaimed slots), reclaimed slots among them, and
    // lookups turned away for want of room.
    std::size_t insertions() const noexcept { return insertions_.load(std::memory_order_relaxed); }
    std::size_t reclaims() const noexcept { return reclaims_.load(std::memory_order_relaxed); }
    std::size_t overflowCount() const noexcept { return overflows_.load(std::memory_order_relaxed); }

    class Entry {
    public:
        // Runs f(SharedClock&) with the entry's clock held exclusively. Only
        // for a caller that holds the entry.
        template <class F>
        void update(F&& f) noexcept {
            while (busy_.exchange(true, std::memory_order_acquire)) {
                while (busy_.load(std::memory_order_relaxed)) __builtin_ia32_pause();
            }
            f(clock_);
            busy_.store(false, std::memory_order_release);
        }

    private:
        friend class SharedClockTable;
        // The slot's state (free, claimed by one thread that is writing it,
        // or ready) in the low two bits, the number of holders above them.
        std::atomic<uint32_t> word_{0};
        std::atomic<uint32_t> lastUsed_{0}; // render cycle of the last acquire
        std::atomic<bool> busy_{false};     // guards clock_
        SharedClockKey key_; // written while claimed; read by holders only
        SharedClock clock_;
    };

    SharedClockTable() = default;
    SharedClockTable(const SharedClockTable&) = delete;
    SharedClockTable& operator=(const SharedClockTable&) = delete;

private:
    // Gives a ready, unheld and idle entry to `key`; false when it is none of
    // these any more.
    bool reclaim(Entry& slot, const SharedClockKey& key, const SharedClock& initial) noexcept;
    // Writes a claimed slot and makes it ready, held once.
    void place(Entry& slot, const SharedClockKey& key, const SharedClock& initial) noexcept;

    Entry slots_[kCapacity];
    std::atomic<std::size_t> insertions_{0};
    std::atomic<std::size_t> reclaims_{0};
    std::atomic<std::size_t> overflows_{0};
};

} // namespace lmc
