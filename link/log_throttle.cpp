#include "link/log_throttle.h"

#include "sdk/log.h"

namespace {
constexpr auto kWindow = std::chrono::seconds(1);
} // namespace

LogThrottle::Entry& LogThrottle::entryOf(int32_t code) noexcept {
    for (std::size_t i = 0; i < kMaxCodes; ++i) {
        Entry& entry = entries_[i];
        if (!entry.used) {
            entry.used = true;
            entry.code = code;
            return entry;
        }
        if (entry.code == code) return entry;
    }
    return entries_[kMaxCodes];
}

bool LogThrottle::admit(int32_t code, uint64_t& heldBack, Clock::time_point now) noexcept {
    Entry& entry = entryOf(code);
    if (entry.started && now - entry.windowStart < kWindow) {
        ++entry.heldBack;
        ++heldTotal_;
        return false;
    }
    entry.started = true;
    entry.windowStart = now;
    heldBack = entry.heldBack;
    heldTotal_ -= entry.heldBack;
    entry.heldBack = 0;
    return true;
}

bool LogThrottle::admitLines(int32_t code, Clock::time_point now) noexcept {
    uint64_t heldBack = 0;
    if (!admit(code, heldBack, now)) return false;
    if (heldBack > 0) writeCount(heldBack);
    return true;
}

void LogThrottle::writeCount(uint64_t count) const noexcept {
    LogStream(countLine_.level, countLine_.tag) << countLine_.before << count << countLine_.after;
}

void LogThrottle::tell(Entry& entry) noexcept {
    writeCount(entry.heldBack);
    heldTotal_ -= entry.heldBack;
    entry.heldBack = 0;
}

void LogThrottle::flush(Clock::time_point now) noexcept {
    for (Entry& entry : entries_) {
        if (entry.heldBack > 0 && now - entry.windowStart >= kWindow) tell(entry);
    }
}

void LogThrottle::flushAll() noexcept {
    for (Entry& entry : entries_) {
        if (entry.heldBack > 0) tell(entry);
    }
}
