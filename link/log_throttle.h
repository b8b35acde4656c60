// A log line that a flood of events may not repeat more than once a second.
//
// The first event of each one-second window may be told in full; the others
// of the window are only counted, and the next admitted event first reports
// how many were held back. Single-threaded: one reader owns it.
#pragma once

#include <chrono>
#include <cstdint>

class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    // True when this event's line may be written; then heldBack is the
    // number of events held back since the last admitted one (report it
    // when not 0). False: the event is counted and its line is dropped.
    bool admit(uint64_t& heldBack, Clock::time_point now = Clock::now()) noexcept {
        if (started_ && now - windowStart_ < std::chrono::seconds(1)) {
            ++heldBack_;
            return false;
        }
        started_ = true;
        windowStart_ = now;
        heldBack = heldBack_;
        heldBack_ = 0;
        return true;
    }

private:
    bool started_ = false;
    Clock::time_point windowStart_{};
    uint64_t heldBack_ = 0;
};
