// The emulated vest's sense of time. The streaming side schedules its data
// requests on it; tests drive a ManualVestClock instead of sleeping.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace vestemu {

class VestClock {
public:
    virtual ~VestClock() = default;
    // Microseconds since the vest started; never goes back.
    virtual uint64_t nowMicros() const = 0;
};

class SteadyVestClock final : public VestClock {
public:
    SteadyVestClock() : start_(std::chrono::steady_clock::now()) {}
    uint64_t nowMicros() const override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now() - start_)
                                         .count());
    }

private:
    std::chrono::steady_clock::time_point start_;
};

// Moves only when a test advances it. Thread-safe.
class ManualVestClock final : public VestClock {
public:
    uint64_t nowMicros() const override { return micros_.load(); }
    void advanceMicros(uint64_t micros) { micros_ += micros; }

private:
    std::atomic<uint64_t> micros_{0};
};

} // namespace vestemu
