// The board-command playback's clock: steady-clock nanoseconds, injectable
// so that effect timing can be driven by a test without sleeping.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace board {

class BoardClock {
public:
    virtual ~BoardClock() = default;
    virtual uint64_t nowNanos() const = 0;
};

class SteadyBoardClock final : public BoardClock {
public:
    uint64_t nowNanos() const override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
};

// Moves only when advanced. Thread-safe.
class ManualBoardClock final : public BoardClock {
public:
    explicit ManualBoardClock(uint64_t startNanos = 1'000'000'000) : nanos_(startNanos) {}
    uint64_t nowNanos() const override { return nanos_.load(); }
    void advanceSeconds(double seconds) { nanos_ += static_cast<uint64_t>(seconds * 1e9); }

private:
    std::atomic<uint64_t> nanos_;
};

// (now - then) in seconds, single precision, as every board timing reads it.
inline float secondsBetween(uint64_t then, uint64_t now) {
    return static_cast<float>(static_cast<double>(static_cast<int64_t>(now - then))) / 1e9f;
}

} // namespace board
