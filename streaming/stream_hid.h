// StreamHid: the stream that carries a core's samples to the vest over the
// device link (USB, WiFi or Bluetooth).
//
// connect() opens a transport and performs the streaming handshake (serial
// number, version, device type, stream configuration). run() then answers
// every DataRequest of the vest with one StreamData frame that it renders on
// demand from the core, in the rate and sample width that the requested
// duration allows, until the vest stops the stream, stop() is called, the
// vest stays silent for the silence time-out, the link fails or a send
// fails.
//
// Threads: connect(), scanDevices() and run() run on the owner handler's
// worker thread (connect and scan under the process-wide connection mutex);
// stop() and the identity getters may be called from any thread. `lock` is
// the owner's state mutex: it guards the identity fields, the scan records'
// publication and the stop request, and is held around every render and
// every change of the core's rate and buffer size. No lock is held while the
// transport sends or waits. stop() also cancels a running scan or connect.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/link_timings.h"
#include "link/log_throttle.h"
#include "link/transport_search.h"
#include "streaming/i_stream.h"
#include "streaming/stream_data.h"

class IHidCom;

// Counters of one stream, for tests and benchmarks: a snapshot, taken from
// any thread.
struct StreamHidCounters {
    uint64_t requests = 0;        // DataRequests answered
    uint64_t skippedBackward = 0; // requests whose timestamp was not ahead of the clock
    uint64_t resyncs = 0;         // clock resynchronisations
    uint64_t fastForwardSamples = 0;
    uint64_t refusedRequests = 0; // requests beyond the rate a vest asks at, unanswered
    uint64_t droppedAhead = 0;    // requests whose time ran ahead of the host's, unanswered
};

class StreamHid final : public IStream {
public:
    // The timings are the process's unless given.
    StreamHid(AbstractCore* core, std::mutex* stateMutex, IHandler* owner,
              const StreamTimings& timings = processDeviceTimings().stream);
    ~StreamHid() override;

    StreamKind kind() const override { return kStreamHid; }
    int32_t scanDevices(trv_output_t output) override;
    trv_device_info_t* getScannedDevices() override;
    int32_t connect(trv_output_t output, uint32_t serialNumber) override;
    int32_t stop() override;
    int32_t run() override;
    uint32_t getSerialNumber() override;
    std::string getVersion() override;
    trv_device_type_t getDeviceType() override;
    int32_t resetCounters() override;

    StreamHidCounters counters() const;

private:
    using Clock = std::chrono::steady_clock;

    int32_t handshake(uint32_t serialNumber);
    int32_t sendAndWait(const uint8_t* frame, int32_t length, uint8_t expectedId);
    int32_t sendShort(uint8_t id, uint8_t expectedAnswer);
    // Whether a request that spans `spanMicros` of the vest's time fits the
    // pace the vest asks at; counts (and, at most once a second, logs) the
    // requests it refuses.
    bool admitRequest(Clock::time_point received, uint32_t spanMicros);
    // Whether the request's timestamp agrees with the time that passed on
    // the host; counts (and, at most once a second, logs) the requests it
    // drops.
    bool timestampAgrees(uint32_t timestamp, Clock::time_point received);
    // Answers one DataRequest.
    int32_t answerDataRequest(const streaming::DataRequest& request, const streaming::RequestPlan& plan,
                              Clock::time_point received);
    // Brings the core level with the vest's timestamp; the device time (µs)
    // it rendered and discarded to do so.
    uint32_t fastForward(uint32_t timestamp, Clock::time_point received);
    bool stopRequestedNow();
    int32_t finish();
    // Writes the counts the throttles hold back: those whose second ended,
    // or all of them (the stream ends).
    void flushLogs(bool all) noexcept;

    const StreamTimings timings_;
    streaming::DurationLimits durationLimits_{};

    // Guarded by *lock.
    uint32_t serialNumber_ = kNoSerialNumber;
    std::string version_ = "noDeviceConnected";
    trv_device_type_t deviceType_ = TRV_DEVICE_TYPE_NONE;
    ScannedDevices scanned_;
    bool stopRequested_ = false;
    std::condition_variable stopChanged_; // waits on *lock

    // stop() cancels a scan or connect that runs: it ends in well under a
    // second instead of waiting out its candidates. Re-armed by
    // resetCounters().
    TransportSearch search_;

    // Worker thread only.
    std::unique_ptr<IHidCom> transport_;
    std::array<uint8_t, streaming::kStreamDataFrameBytes> dataFrame_{};
    uint32_t channelsPerFrame_ = 20; // N: entries per time step
    uint32_t renderedTime_ = 0;      // device time (µs) covered by the rendered samples
    bool clockSynced_ = false;       // renderedTime_ taken from this stream's first request
    // Device time (µs) the core may still be caught up by: host time passed,
    // less what was rendered; never kept above the slack from one request to
    // the next.
    double catchUpCreditMicros_ = 0;
    Clock::time_point lastTimestampCheck_{};
    uint32_t requestPeriodMicros_ = 0; // the span the vest asks for each time; 0 until its first request
    double requestCreditMicros_ = 0;   // device time the request pace allows to answer now
    Clock::time_point creditTime_{};   // when requestCreditMicros_ was last topped up
    // Lines that anyone on the vest's network can cause: each kind at most
    // once a second, the rest counted; run() writes the counts as their
    // seconds end, and any left when the stream ends.
    LogThrottle refusedLog_, aheadLog_, unknownLog_, capacityLog_, resyncLog_;
    // Written by the stream thread, read from any thread.
    struct {
        std::atomic<uint64_t> requests{0};
        std::atomic<uint64_t> skippedBackward{0};
        std::atomic<uint64_t> resyncs{0};
        std::atomic<uint64_t> fastForwardSamples{0};
        std::atomic<uint64_t> refusedRequests{0};
        std::atomic<uint64_t> droppedAhead{0};
    } counters_;
};
