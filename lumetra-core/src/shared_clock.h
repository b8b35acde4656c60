// The process-wide table of shared playback clocks: generators that play the
// same crop of the same waveform at the same rate, and are marked as shared,
// keep their clocks in step through it (see ISignalGenerator::generateSynced).
//
// Concurrency: engine instances may render on different threads at once, so
// the table is safe to use from any thread. Lookups take no lock: slots are
// claimed with one compare-and-swap and never freed or moved, so a pointer to
// an entry stays valid for the life of the process. Each entry's clock is
// guarded by its own spin flag, held for a few arithmetic operations once per
// generator call (never per sample). Nothing allocates: the table has a fixed
// capacity, and a crop that finds it full simply plays unshared.
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

    class Entry;

    // The table of the process.
    static SharedClockTable& instance() noexcept;

    // The entry for key, inserted with `initial` when absent (inserted tells
    // which); null when the table is full. `hash` spreads the keys over the
    // slots: equal keys must come with equal hashes.
    Entry* findOrInsert(const SharedClockKey& key, uint64_t hash, const SharedClock& initial,
                        bool& inserted) noexcept;

    // Entries in use, and lookups turned away because the table was full.
    std::size_t size() const noexcept { return size_.load(std::memory_order_relaxed); }
    std::size_t overflowCount() const noexcept { return overflows_.load(std::memory_order_relaxed); }

    class Entry {
    public:
        // Runs f(SharedClock&) with the entry's clock held exclusively.
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
        std::atomic<uint32_t> state_{0}; // kEmpty, kClaimed or kReady
        std::atomic<bool> busy_{false};  // guards clock_
        SharedClockKey key_;             // written once, before state_ becomes kReady
        SharedClock clock_;
    };

    SharedClockTable() = default;
    SharedClockTable(const SharedClockTable&) = delete;
    SharedClockTable& operator=(const SharedClockTable&) = delete;

private:
    Entry slots_[kCapacity];
    std::atomic<std::size_t> size_{0};
    std::atomic<std::size_t> overflows_{0};
};

} // namespace lmc
