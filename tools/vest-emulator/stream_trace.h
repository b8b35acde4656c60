// What the emulator tool's vests receive while streaming, written as text
// lines for another process to read (a file, or a FIFO that a demo reads
// while it plays effects).
//
// Lines, each ending in '\n':
//   vest <serial> listening at <a.b.c.d:port>
//   ready                                   every vest is listening
//   stream-start <serial>                   the host sent StartStream
//   data <serial> <timestamp> <rate> <steps> <peak 0> ... <peak 19>
//   stream-stop <serial>                    the host sent StopStream
//   lost <count>                            lines dropped before this one
// A data line is one StreamData frame as the vest decoded it: the vest-clock
// timestamp (microseconds, wrapping at 2^32) of the request it answers, the
// sample rate in Hz, the number of time steps, and per actuator the largest
// |sample| of the frame, 0 to 1, with three decimals.
//
// A reader that falls behind never stalls a vest: lines that find a FIFO
// full are dropped and counted, and the next line that gets through is
// preceded by "lost <count>".
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/text_sink.h"
#include "tools/vest-emulator/emulated_vest.h"
#include "tools/vest-emulator/streaming_vest.h"

namespace vestemu {

// Thread-safe: every vest's adapter thread writes through one trace.
class StreamTrace {
public:
    explicit StreamTrace(std::unique_ptr<TextSink> sink);

    // One line, without its '\n'.
    void write(const std::string& line);
    // Lines dropped so far.
    uint64_t lost() const;

private:
    mutable std::mutex mutex_; // guards sink_ and the counts
    std::unique_ptr<TextSink> sink_;
    uint64_t lost_ = 0;
    uint64_t lostUnreported_ = 0;
};

// The streaming side of one of the tool's vests. A StreamingVest of its own
// (on a second EmulatedVest with the same identity and clock) plays the
// vest's part; the front vest, which the UDP adapter serves, hands it every
// streaming frame after writing the frame to the trace.
class TracedStreamingVest {
public:
    // trace may be null: nothing is written. clock is the front vest's.
    TracedStreamingVest(std::shared_ptr<EmulatedVest> front, std::shared_ptr<VestClock> clock,
                        StreamTrace* trace);
    // Unhooks the front vest. Destroy the adapters that feed the front vest
    // first.
    ~TracedStreamingVest();
    TracedStreamingVest(const TracedStreamingVest&) = delete;
    TracedStreamingVest& operator=(const TracedStreamingVest&) = delete;

    StreamingVest& streaming() { return streaming_; }

    static std::string dataLine(uint32_t serialNumber, const streaming::DecodedStreamData& frame);

private:
    void forward(const Request& request);

    const std::shared_ptr<EmulatedVest> front_;
    const std::shared_ptr<EmulatedVest> back_;
    StreamTrace* const trace_;
    StreamingVest streaming_;
};

} // namespace vestemu
