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
};

class StreamHid final : public IStream {
public:
    // The timings are the process's unless given.
    StreamHid(AbstractCore* core, std::mutex* stateMutex, IHandler* owner,
              const StreamTimings& timings = processDeviceTimings().stream);
    ~StreamHid() override;

    int32_t kind() const override { return 1; }
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
    // Whether the request rate leaves room for one more answer; counts
    // (and, at most once a second, logs) the requests it refuses.
    bool admitRequest(Clock::time_point received);
    // Answers one DataRequest standing in the transport's answer buffer.
    int32_t answerDataRequest(Clock::time_point received);
    void fastForward(uint32_t timestamp);
    bool stopRequestedNow();
    int32_t finish();

    const StreamTimings timings_;
    streaming::DurationLimits durationLimits_{};

    // Guarded by *lock.
    uint32_t serialNumber_ = 0xFFFFFFFF;
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
    double requestCredit_ = 0;       // answers the request rate allows now
    Clock::time_point creditTime_{}; // when requestCredit_ was last topped up
    LogThrottle refusedLog_;
    // Written by the stream thread, read from any thread.
    struct {
        std::atomic<uint64_t> requests{0};
        std::atomic<uint64_t> skippedBackward{0};
        std::atomic<uint64_t> resyncs{0};
        std::atomic<uint64_t> fastForwardSamples{0};
        std::atomic<uint64_t> refusedRequests{0};
    } counters_;
};
