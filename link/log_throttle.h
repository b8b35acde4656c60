// A log line that a flood of events may not repeat more than once a second.
//
// One throttle serves one kind of line; within it, events may carry a code
// (an error code, say), and each code has its own one-second window: the
// first event of a code's window may be told in full, the others of that
// window are only counted. The count is told in the throttle's count line
// when the window ends (flush()), or, when an event of that code is
// admitted first, just before it.
//
// Codes come from the network: the first kMaxCodes codes seen have an
// entry each, every later code shares one more. Memory stays fixed, and
// a throttle writes at most (kMaxCodes + 1) events and as many count lines
// a second.
//
// Every line that the network can cause (a datagram anyone on the vest's
// network can send) goes through one of these, one per kind of line.
//
// Single-threaded: one reader owns it. The owner calls flush() from its
// loop about as often as it waits (a bounded wait, never a spin), and
// flushAll() when its loop ends or its link closes, so that no count is
// lost.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

class LogStream;

// The line that tells a count of held-back events: "<before><count><after>"
// at `level` with `tag`. The texts are static strings.
//
// A kind whose events carry codes names them, so that the count of one code
// is told apart from another's: with nameCode, a code's count line reads
// "<before><count><after><name><end>", nameCode writing the name, and the
// count shared by the codes beyond kMaxCodes "<before><count><after>of
// other codes<end>".
struct LogCountLine {
    int32_t level;
    const char* tag;
    const char* before;
    const char* after;
    void (*nameCode)(LogStream& line, int32_t code) noexcept = nullptr;
    const char* end = "";
};

class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxCodes = 8;

    explicit LogThrottle(const LogCountLine& countLine) noexcept : countLine_(countLine) {}

    // True when this event's line may be written; then heldBack is the
    // number of events of its code held back and not yet told (report it
    // when not 0). False: the event is counted and its line is dropped.
    bool admit(uint64_t& heldBack, Clock::time_point now = Clock::now()) noexcept {
        return admit(0, heldBack, now);
    }
    bool admit(int32_t code, uint64_t& heldBack, Clock::time_point now = Clock::now()) noexcept;

    // admit() for the lines of one event: when they may be written and
    // events were held back, first writes the count line. Write the event's
    // own lines when true.
    bool admitLines(Clock::time_point now = Clock::now()) noexcept { return admitLines(0, now); }
    bool admitLines(int32_t code, Clock::time_point now = Clock::now()) noexcept;

    // Writes the count line with this count (for a kind without codes whose
    // event line is its count line).
    void writeCount(uint64_t count) const noexcept { writeCount(count, nullptr); }

    // Writes the count of every code whose window has ended with events
    // held back; the next event of that code is then told in full. Reads
    // no clock when nothing is held back.
    void flush() noexcept {
        if (heldTotal_ > 0) flush(Clock::now());
    }
    void flush(Clock::time_point now) noexcept;
    // Writes every count held back, whatever its window (which goes on):
    // the owner stops reading.
    void flushAll() noexcept;
    // flush() (or, when all, flushAll()) of each of a reader's throttles.
    static void flushEach(std::initializer_list<LogThrottle*> throttles, bool all) noexcept {
        for (LogThrottle* throttle : throttles) {
            if (all) throttle->flushAll();
            else throttle->flush();
        }
    }

private:
    struct Entry {
        int32_t code = 0;
        bool used = false;    // this entry belongs to `code` (the shared one: to every later code)
        bool started = false; // a window runs since windowStart
        Clock::time_point windowStart{};
        uint64_t heldBack = 0;
    };
    Entry& entryOf(int32_t code) noexcept;
    bool admitEntry(Entry& entry, uint64_t& heldBack, Clock::time_point now) noexcept;
    // The count line, naming the entry's code when the kind names its codes.
    void writeCount(uint64_t count, const Entry* entry) const noexcept;
    void tell(Entry& entry) noexcept;

    LogCountLine countLine_;
    std::array<Entry, kMaxCodes + 1> entries_{}; // the last is shared by the codes beyond kMaxCodes
    uint64_t heldTotal_ = 0;                     // held back and not yet told, over all entries
};
