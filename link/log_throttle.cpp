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
    return admitEntry(entryOf(code), heldBack, now);
}

bool LogThrottle::admitEntry(Entry& entry, uint64_t& heldBack, Clock::time_point now) noexcept {
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
    Entry& entry = entryOf(code);
    uint64_t heldBack = 0;
    if (!admitEntry(entry, heldBack, now)) return false;
    if (heldBack > 0) writeCount(heldBack, &entry);
    return true;
}

void LogThrottle::writeCount(uint64_t count, const Entry* entry) const noexcept {
    LogStream line(countLine_.level, countLine_.tag);
    line << countLine_.before << count << countLine_.after;
    if (countLine_.nameCode == nullptr || entry == nullptr) return;
    if (entry == &entries_[kMaxCodes]) line << "of other codes";
    else countLine_.nameCode(line, entry->code);
    line << countLine_.end;
}

void LogThrottle::tell(Entry& entry) noexcept {
    writeCount(entry.heldBack, &entry);
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
