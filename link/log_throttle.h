// A log line that a flood of events may not repeat more than once a second.
//
// The first event of each one-second window may be told in full; the others
// of the window are only counted, and the next admitted event first reports
// how many were held back. Single-threaded: one reader owns it.
//
// Every line that the network can cause (a datagram anyone on the vest's
// network can send) goes through one of these, one per kind of line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "sdk/log.h"

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

    // admit() for the lines of one event: when they may be written and
    // events were held back, first writes "<count> <heldBackText>" at
    // `level` with `tag`. Write the event's own lines when true.
    bool admitLines(int32_t level, std::string_view tag, std::string_view heldBackText,
                    Clock::time_point now = Clock::now()) noexcept {
        uint64_t heldBack = 0;
        if (!admit(heldBack, now)) return false;
        if (heldBack > 0) LogStream(level, tag) << heldBack << " " << heldBackText;
        return true;
    }

private:
    bool started_ = false;
    Clock::time_point windowStart_{};
    uint64_t heldBack_ = 0;
};
