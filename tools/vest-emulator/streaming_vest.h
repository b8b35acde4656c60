// The streaming side of the emulated vest.
//
// Registers the streaming commands on an EmulatedVest: GetStreamConfig (a
// configurable status and entry count N), StartStream, StopStream (from the
// host, and sent by the vest with stopFromVest), and StreamData, which it
// decodes back into 20 channels of floats. While a stream runs, a thread of
// its own sends a DataRequest every period, stamped with the vest clock's
// time and asking for a configurable duration.
//
// The vest ends a stream by itself when the host sends no StreamData for
// `hostSilenceSeconds`. Fault knobs: repeated or backward timestamps, a wrong
// N, an error status, silence (no requests: the host's own time-out ends the
// stream).
//
// Thread-safety: every public member may be called from any thread.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "streaming/stream_data.h"
#include "tools/vest-emulator/emulated_vest.h"

namespace vestemu {

inline constexpr std::size_t kVestChannels = 20;

struct StreamingOptions {
    uint8_t configStatus = 0;             // byte 3 of the 0x93 answer (0 = accepted)
    uint8_t entriesPerStep = 20;          // N, byte 4 of the 0x93 answer
    double requestPeriodSeconds = 0.010;  // time between two DataRequests
    uint32_t requestDurationMicros = 10000;
    uint32_t timestampOffsetMicros = 0;   // added to the vest clock's time
    double hostSilenceSeconds = 4.0;      // no StreamData for this long ends the stream
    // Faults.
    bool silent = false;                  // send no DataRequest
    int repeatTimestampEvery = 0;         // every k-th request repeats the previous timestamp
    int backwardTimestampEvery = 0;       // every k-th request steps back by backwardMicros
    uint32_t backwardMicros = 100000;
};

// One StreamData frame as the vest read it.
struct ReceivedStreamData {
    uint32_t timestamp = 0;
    uint8_t modeByte = 0;
    float rateHz = 0;
    uint32_t steps = 0;
    uint32_t requestedMicros = 0; // duration of the request it answered (0 when unknown)
    double latencySeconds = -1;   // from sending that request to receiving this frame (-1: unknown)
    std::vector<float> samples;   // steps x kVestChannels, time-major
    float channelPeak(std::size_t channel) const;
};

struct StreamingStats {
    uint64_t configRequests = 0;
    uint64_t starts = 0;
    uint64_t hostStops = 0;        // StopStream received from the host
    uint64_t vestStops = 0;        // StopStream sent by the vest
    uint64_t vestStopAnswers = 0;  // 0x95 received from the host
    uint64_t silenceStops = 0;     // streams the vest ended because the host was silent
    uint64_t requestsSent = 0;
    uint64_t framesDecoded = 0;
    uint64_t framesRefused = 0;    // StreamData that could not be decoded
};

class StreamingVest {
public:
    StreamingVest(std::shared_ptr<EmulatedVest> vest, StreamingOptions options = {});
    ~StreamingVest();
    StreamingVest(const StreamingVest&) = delete;
    StreamingVest& operator=(const StreamingVest&) = delete;

    void setOptions(const StreamingOptions& options);
    StreamingOptions options() const;

    // Sends StopStream to the host and ends the stream; false when none runs.
    bool stopFromVest();
    bool streaming() const;

    // Waits (bounded) until `count` frames were decoded since the last
    // clearFrames(), or until the stream state becomes `running`.
    bool waitForFrames(uint64_t count, double timeoutSeconds) const;
    bool waitForStreaming(bool running, double timeoutSeconds) const;

    StreamingStats stats() const;
    // The decoded frames since the last clear (the most recent kKeptFrames).
    std::vector<ReceivedStreamData> frames() const;
    // Sum of squared samples per channel, weighted by each sample's duration
    // in seconds, since the last clear.
    std::array<double, kVestChannels> energy() const;
    // Frames decoded per mode byte since the last clear.
    std::map<uint8_t, uint64_t> modeCounts() const;
    void clearFrames();

    static constexpr std::size_t kKeptFrames = 4096;

private:
    using Clock = std::chrono::steady_clock;

    void handleConfig(const Request& request);
    void handleStart(const Request& request);
    void handleStop(const Request& request);
    void handleStreamData(const Request& request);
    void handleStopAnswer(const Request& request);
    void run();
    std::vector<uint8_t> nextRequestLocked();

    const std::shared_ptr<EmulatedVest> vest_;
    // Held while a DataRequest is built and sent, and while a stop is
    // decided and answered: no request leaves after the stop's answer, as on
    // the vest's single-threaded board. Taken before mutex_.
    std::mutex sendMutex_;
    mutable std::mutex mutex_; // guards every member below
    mutable std::condition_variable changed_;
    StreamingOptions options_;
    bool streaming_ = false;
    bool stopping_ = false;
    uint64_t generation_ = 0; // advances with every start and stop
    Clock::time_point lastStreamData_;
    uint32_t lastTimestamp_ = 0;
    uint64_t requestIndex_ = 0;
    struct PendingRequest {
        uint32_t durationMicros;
        Clock::time_point sentAt;
    };
    std::map<uint32_t, PendingRequest> pending_; // by timestamp
    std::deque<ReceivedStreamData> frames_;
    uint64_t framesSinceClear_ = 0;
    std::array<double, kVestChannels> energy_{};
    std::map<uint8_t, uint64_t> modeCounts_;
    StreamingStats stats_;
    std::thread thread_; // last: joined before the members it uses go
};

} // namespace vestemu
