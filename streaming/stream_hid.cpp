#include "streaming/stream_hid.h"

#include <algorithm>
#include <atomic>

#include "link/hid_com.h"
#include "link/hid_frame.h"
#include "sdk/errors.h"
#include "sdk/log.h"
#include "streaming/abstract_core.h"
#include "streaming/engine_lock.h"

namespace {

constexpr const char* kTag = "StreamHid";
// The fast-forward renders at most this many samples per hold of the state
// mutex, so application calls interleave with a long catch-up.
constexpr uint32_t kFastForwardChunkSamples = 1000;
constexpr float kFastForwardRateHz = 2000.0f;
constexpr float kMicrosPerFastForwardSample = 500.0f;
// A vest asks for the next span of samples as it plays the last one, so
// the device time it asks for follows real time; a UDP sender address is
// easily forged. Requests are answered while the device time they ask for
// stays within 1.5 times the time passed, with a burst of 25 requests, for a
// real vest's jitter; each costs at least the span of the stream's first
// request (a vest asks for the same span each time), so that a flood of
// forged requests, short ones included, is not turned into a flood of
// 1012-byte frames toward the vest. The rest are counted and left
// unanswered.
constexpr double kRequestPaceSlack = 1.5;
constexpr double kRequestBurst = 25.0;
constexpr uint32_t kMinRequestPeriodMicros = 2000;
// Nor can a vest's clock run ahead of real time: a gap in its timestamps
// is caught up only as far as the host's time passed, with this slack (twice
// over at most) for requests that come early after one that came late, and
// this allowance for a vest clock that runs a little fast. A request further
// ahead is dropped, and the stream's clock moves to it without rendering the
// gap.
constexpr double kTimestampSlackMicros = 200000.0;
constexpr double kVestClockAllowance = 0.01;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

StreamHid::StreamHid(AbstractCore* core, std::mutex* stateMutex, IHandler* owner, const StreamTimings& timings)
    : IStream(core, stateMutex, owner), timings_(timings),
      refusedLog_({TRV_LOG_WARNING, kTag, "Data requests come faster than a vest asks: ", " left unanswered."}),
      aheadLog_({TRV_LOG_WARNING, kTag, "Data requests ahead of the time that passed: ", " dropped."}),
      unknownLog_({TRV_LOG_ERROR, kTag, "", " more unknown commands were received."}),
      capacityLog_({TRV_LOG_WARNING, kTag, "", " more requests exceeded the encoding capacity."}),
      resyncLog_({TRV_LOG_DEBUG, kTag, "", " more clock resynchronisations."}) {
    dataFrame_[0] = idOf(HidCommandId::StreamData);
    dataFrame_[1] = kSyncLow;
    dataFrame_[2] = kSyncHigh;
}

StreamHid::~StreamHid() {
    {
        std::lock_guard guard(*lock);
        stopRequested_ = true;
    }
    transport_.reset();
}

int32_t StreamHid::scanDevices(trv_output_t output) {
    {
        std::lock_guard guard(*lock);
        scanned_.clear();
    }
    transport_.reset();
    ScannedDevices found = search_.scan(output);
    std::lock_guard guard(*lock);
    scanned_ = std::move(found);
    return 0;
}

trv_device_info_t* StreamHid::getScannedDevices() {
    {
        std::lock_guard guard(*lock);
        if (trv_device_info_t* first = scanned_.first()) return first;
    }
    LogStream(TRV_LOG_WARNING, kTag) << "Cannot get scanned devices: no Tarvonel device found.";
    return nullptr;
}

int32_t StreamHid::connect(trv_output_t output, uint32_t serialNumber) {
    ScannedDevices::Addresses addresses;
    {
        std::lock_guard guard(*lock);
        addresses = scanned_.addresses();
    }
    const auto shaken = [this, serialNumber] {
        if (handshake(serialNumber) == 0) return true;
        LogStream(TRV_LOG_WARNING, kTag) << "Device found but could not communicate properly with it.";
        return false;
    };
    if (search_.connect(output, serialNumber, addresses, transport_, shaken) == TransportSearch::kNone)
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    return 0;
}

int32_t StreamHid::handshake(uint32_t serialNumber) {
    if (serialNumber == 0) {
        if (sendShort(idOf(HidCommandId::GetSerialNumber), answerIdOf(HidCommandId::GetSerialNumber)) != 0)
            return TRV_ERROR_DEVICE_NOT_REACHABLE;
        const uint32_t read = IHidCom::parseSerialNumber(transport_->answerBuffer);
        std::lock_guard guard(*lock);
        serialNumber_ = read;
    } else {
        std::lock_guard guard(*lock);
        serialNumber_ = serialNumber;
    }

    if (sendShort(idOf(HidCommandId::GetVersion), answerIdOf(HidCommandId::GetVersion)) != 0)
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    std::string version = versionTextOfAnswer(transport_->answerBuffer);
    {
        std::lock_guard guard(*lock);
        version_ = std::move(version);
    }

    if (sendShort(idOf(HidCommandId::GetDeviceType), answerIdOf(HidCommandId::GetDeviceType)) != 0)
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    const trv_device_type_t type = deviceTypeFromCode(deviceTypeCodeOfAnswer(transport_->answerBuffer));
    {
        std::lock_guard guard(*lock);
        deviceType_ = type;
    }

    if (sendShort(idOf(HidCommandId::GetStreamConfig), answerIdOf(HidCommandId::GetStreamConfig)) != 0)
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    channelsPerFrame_ = transport_->answerBuffer[4];
    const auto status = static_cast<int8_t>(transport_->answerBuffer[3]);
    if (status != 0) return IHidCom::decodeDeviceError(status);
    if (channelsPerFrame_ == 0) {
        // Nothing could be encoded (and every limit would divide by zero).
        LogStream(TRV_LOG_ERROR, kTag) << "The device asked for 0 sample entries per time step.";
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    }
    return 0;
}

int32_t StreamHid::sendShort(uint8_t id, uint8_t expectedAnswer) {
    const auto frame = makeShortFrame(id);
    return sendAndWait(frame.data(), static_cast<int32_t>(frame.size()), expectedAnswer);
}

int32_t StreamHid::sendAndWait(const uint8_t* frame, int32_t length, uint8_t expectedId) {
    const int32_t sent = transport_->send(frame, length);
    if (sent < 0) return sent;
    const Clock::time_point start = Clock::now();
    // receive() itself waits a little for each message, so this loop does
    // not spin.
    for (;;) {
        if (static_cast<float>(secondsSince(start)) >= timings_.answerTimeoutSeconds || transport_->cancelled())
            return TRV_ERROR_DEVICE_NOT_REACHABLE;
        const int32_t r = transport_->receive();
        if (r > 0) break;
        // The link is gone: nothing can arrive any more.
        if (r == TRV_ERROR_NO_DEVICE_CONNECTED || r == TRV_ERROR_DEVICE_NOT_REACHABLE)
            return TRV_ERROR_DEVICE_NOT_REACHABLE;
    }
    return transport_->answerBuffer[0] == expectedId ? 0 : TRV_ERROR_INVALID_MESSAGE;
}

int32_t StreamHid::stop() {
    {
        std::lock_guard guard(*lock);
        stopRequested_ = true;
    }
    stopChanged_.notify_all();
    search_.cancel();
    return 0;
}

bool StreamHid::stopRequestedNow() {
    std::lock_guard guard(*lock);
    return stopRequested_;
}

int32_t StreamHid::run() {
    if (!transport_ || channelsPerFrame_ == 0) {
        LogStream(TRV_LOG_ERROR, kTag) << "Could not start stream: " << errorCodeToString(TRV_ERROR_NO_DEVICE_CONNECTED);
        return TRV_ERROR_NO_DEVICE_CONNECTED;
    }
    durationLimits_ = streaming::durationLimits(channelsPerFrame_);
    clockSynced_ = false;
    requestPeriodMicros_ = 0;

    // The vest needs a moment after the handshake; a stop ends the wait.
    bool stopped = false;
    {
        std::unique_lock guard(*lock);
        stopped = stopChanged_.wait_for(guard, std::chrono::duration<float>(timings_.startDelaySeconds),
                                        [this] { return stopRequested_; });
    }
    if (stopped) return finish();

    const int32_t started =
        sendShort(idOf(HidCommandId::StartStream), answerIdOf(HidCommandId::StartStream));
    LogStream(TRV_LOG_TRACE, kTag) << "Stream will now start: ";
    if (started < 0) {
        LogStream(TRV_LOG_ERROR, kTag) << "Could not start stream: " << errorCodeToString(started);
        return started;
    }

    Clock::time_point lastRequest = Clock::now();
    for (bool vestStopped = false; !vestStopped;) {
        const int32_t r = transport_->receive();
        if (r > 0) {
            switch (transport_->answerBuffer[0]) {
            case idOf(HidCommandId::DataRequest): {
                const Clock::time_point received = Clock::now();
                const streaming::DataRequest request = streaming::parseDataRequest(
                    std::span<const uint8_t, streaming::kDataRequestFrameBytes>(transport_->answerBuffer,
                                                                                streaming::kDataRequestFrameBytes));
                const streaming::RequestPlan plan =
                    streaming::planRequest(request.durationMicros, durationLimits_, channelsPerFrame_);
                if (!timestampAgrees(request.timestampMicros, received)) break;
                if (!admitRequest(received, plan.durationMicros)) break;
                LogStream(TRV_LOG_TRACE, kTag) << " ##### Data requested";
                LogStream(TRV_LOG_TRACE, kTag)
                    << "time since last request:    "
                    << std::chrono::duration<double>(received - lastRequest).count();
                lastRequest = received;
                const int32_t answered = answerDataRequest(request, plan, received);
                if (answered < 0) {
                    flushLogs(true);
                    return answered;
                }
                break;
            }
            case idOf(HidCommandId::StopStream): {
                std::array<uint8_t, 6> answer{answerIdOf(HidCommandId::StopStream), kSyncLow, kSyncHigh, 0, 0, 0};
                IHidCom::setCrc(answer.data(), static_cast<uint16_t>(answer.size()));
                const int32_t sent = transport_->send(answer.data(), static_cast<int32_t>(answer.size()));
                if (sent < 0)
                    LogStream(TRV_LOG_ERROR, kTag) << "Could not send data to stream: " << errorCodeToString(sent);
                vestStopped = true;
                break;
            }
            default:
                if (unknownLog_.admitLines())
                    LogStream(TRV_LOG_ERROR, kTag) << "Unknown command received from Tarvonel.";
                break;
            }
        } else if (r == TRV_ERROR_NO_DEVICE_CONNECTED || r == TRV_ERROR_DEVICE_NOT_REACHABLE) {
            // A failed link delivers nothing more; waiting out the silence
            // time-out would only delay the report.
            LogStream(TRV_LOG_ERROR, kTag) << "Connection with the device lost: now exiting ";
            break;
        }
        flushLogs(false); // receive() waits briefly: about when each second ends
        if (static_cast<float>(secondsSince(lastRequest)) >= timings_.silenceTimeoutSeconds) {
            LogStream(TRV_LOG_ERROR, kTag) << "Stream timeout: now exiting ";
            break;
        }
        if (stopRequestedNow()) break;
    }
    return finish();
}

void StreamHid::flushLogs(bool all) noexcept {
    LogThrottle::flushEach({&refusedLog_, &aheadLog_, &unknownLog_, &capacityLog_, &resyncLog_}, all);
}

int32_t StreamHid::finish() {
    flushLogs(true);
    // Data requests the vest sent before it saw StopStream are still on
    // their way: they are dropped while waiting for the answer, so that
    // neither this wait nor the transport's own release mistakes them for
    // an answer.
    const auto stopFrame = makeShortFrame(HidCommandId::StopStream);
    if (transport_->send(stopFrame.data(), static_cast<int32_t>(stopFrame.size())) == 0) {
        const Clock::time_point start = Clock::now();
        while (static_cast<float>(secondsSince(start)) < timings_.answerTimeoutSeconds) {
            const int32_t r = transport_->receive();
            if (r == TRV_ERROR_NO_DEVICE_CONNECTED || r == TRV_ERROR_DEVICE_NOT_REACHABLE) break;
            if (r <= 0 || transport_->answerBuffer[0] == idOf(HidCommandId::DataRequest)) continue;
            break;
        }
    }
    const int32_t r = transport_->disconnect();
    if (r != 0) {
        LogStream(TRV_LOG_ERROR, kTag) << "Disconnection issue detected: " << errorCodeToString(r);
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    }
    return 0;
}

bool StreamHid::admitRequest(Clock::time_point received, uint32_t spanMicros) {
    if (requestPeriodMicros_ == 0) {
        requestPeriodMicros_ = std::max(spanMicros, kMinRequestPeriodMicros);
        requestCreditMicros_ = kRequestBurst * requestPeriodMicros_;
        creditTime_ = received;
    }
    const double seconds = std::chrono::duration<double>(received - creditTime_).count();
    creditTime_ = received;
    requestCreditMicros_ = std::min(kRequestBurst * requestPeriodMicros_,
                                    requestCreditMicros_ + seconds * 1e6 * kRequestPaceSlack);
    const double cost = std::max(spanMicros, requestPeriodMicros_);
    if (requestCreditMicros_ >= cost) {
        requestCreditMicros_ -= cost;
        return true;
    }
    ++counters_.refusedRequests;
    uint64_t heldBack = 0;
    if (refusedLog_.admit(heldBack, received)) refusedLog_.writeCount(heldBack + 1);
    return false;
}

bool StreamHid::timestampAgrees(uint32_t timestamp, Clock::time_point received) {
    // Live cores are never caught up; the first request sets the clock.
    if (!core->rendersPatterns() || !clockSynced_) return true;
    catchUpCreditMicros_ += std::chrono::duration<double, std::micro>(received - lastTimestampCheck_).count() *
                            (1.0 + kVestClockAllowance);
    lastTimestampCheck_ = received;
    const int32_t ahead = static_cast<int32_t>(timestamp - renderedTime_);
    if (ahead <= kMicrosPerFastForwardSample || ahead <= catchUpCreditMicros_ + kTimestampSlackMicros) return true;
    // Rendering the gap would play the effects ahead of real time. The
    // clock follows the request, so that a real vest's next one (after a
    // gap lost to the network, say) is answered again.
    renderedTime_ = timestamp;
    ++counters_.droppedAhead;
    uint64_t heldBack = 0;
    if (aheadLog_.admit(heldBack, received)) aheadLog_.writeCount(heldBack + 1);
    return false;
}

int32_t StreamHid::answerDataRequest(const streaming::DataRequest& request, const streaming::RequestPlan& plan,
                                     Clock::time_point received) {
    LogStream(TRV_LOG_TRACE, kTag) << "timestamp:                  " << request.timestampMicros;
    const uint32_t caughtUpMicros = fastForward(request.timestampMicros, received);

    LogStream(TRV_LOG_TRACE, kTag) << "requested duration:         " << request.durationMicros;
    if (plan.clamped && capacityLog_.admitLines())
        LogStream(TRV_LOG_WARNING, kTag) << "A request exceeded the encoding capacity: should not be happening";
    const uint32_t spanMicros = streaming::stepsToMicros(plan.mode, plan.steps);
    renderedTime_ += spanMicros;
    // The span rendered now is played while the host's time passes until
    // the next request. Host time beyond the slack is not saved up: a request
    // read late is followed by one read early, not by a catch-up.
    catchUpCreditMicros_ = std::min(kTimestampSlackMicros, catchUpCreditMicros_ - caughtUpMicros - spanMicros);

    if (plan.steps > 0) {
        EngineLock guard(*lock);
        core->setSampleRate(plan.mode.rateHz);
        core->setBufferSize(plan.steps);
        core->render();
    }
    streaming::writeStreamDataHeader(dataFrame_, plan.mode, request.timestampMicros,
                                     static_cast<uint16_t>(plan.steps));
    LogStream(TRV_LOG_TRACE, kTag) << "Number samples per actuator payload: " << plan.steps;

    // The buffer was rendered by this thread and only this thread renders:
    // it is read without the lock.
    const uint32_t channels = std::min(core->channelCount(), channelsPerFrame_);
    const AbstractCore* const source = core;
    const std::span<uint8_t, streaming::kStreamDataSampleBytes> area(
        dataFrame_.data() + streaming::kStreamDataSampleOffset, streaming::kStreamDataSampleBytes);
    // The channels' buffers read directly where the core hands them out (no
    // call per sample), else sample by sample.
    std::array<const double*, 256> buffers{}; // N is one byte
    bool direct = true;
    for (uint32_t channel = 0; channel < channels && direct; ++channel)
        direct = (buffers[channel] = source->channelSamples(channel)) != nullptr;
    if (direct)
        streaming::encodeStreamSamples(area, plan.mode.widthCode, plan.steps, channelsPerFrame_, channels,
                                       [&buffers](uint32_t channel, uint32_t step) { return buffers[channel][step]; });
    else
        streaming::encodeStreamSamples(area, plan.mode.widthCode, plan.steps, channelsPerFrame_, channels,
                                       [source](uint32_t channel, uint32_t step) { return source->sample(channel, step); });
    IHidCom::setCrc(dataFrame_.data(), static_cast<uint16_t>(dataFrame_.size()));

    const int32_t sent = transport_->send(dataFrame_.data(), static_cast<int32_t>(dataFrame_.size()));
    if (sent < 0) {
        LogStream(TRV_LOG_ERROR, kTag) << "Could not send data to stream: " << errorCodeToString(sent);
        return sent;
    }
    LogStream(TRV_LOG_TRACE, kTag) << "time to answer request:     " << secondsSince(received);
    ++counters_.requests;
    core->updateVisualizer(*lock);
    return 0;
}

uint32_t StreamHid::fastForward(uint32_t timestamp, Clock::time_point received) {
    if (!core->rendersPatterns()) return 0;
    // The vest's clock has no relation to ours before its first request: take
    // that timestamp as the origin instead of skipping whatever already plays
    // (an effect started right after the connection would lose its start).
    if (!clockSynced_) {
        renderedTime_ = timestamp;
        clockSynced_ = true;
        catchUpCreditMicros_ = 0;
        lastTimestampCheck_ = received;
        return 0;
    }
    // The signed distance: a repeated or backward timestamp (a request sent
    // again after a lost frame) is behind the clock, not 2^32 ahead.
    const int32_t ahead = static_cast<int32_t>(timestamp - renderedTime_);
    const double resyncMicros = static_cast<double>(timings_.resyncGapSeconds) * 1e6;
    if (ahead > resyncMicros || ahead < -resyncMicros) {
        if (resyncLog_.admitLines())
            LogStream(TRV_LOG_DEBUG, kTag) << "Stream clock resynchronised with the device, off by " << ahead << " us";
        renderedTime_ = timestamp;
        ++counters_.resyncs;
        return 0;
    }
    if (ahead <= 0) {
        if (ahead < 0) ++counters_.skippedBackward;
        return 0;
    }
    const float gap = static_cast<float>(ahead) / kMicrosPerFastForwardSample;
    if (!(gap > 1.0f)) return 0;
    uint32_t samples = static_cast<uint32_t>(gap);
    LogStream(TRV_LOG_TRACE, kTag) << "FASTFORWARD:         " << samples;
    counters_.fastForwardSamples += samples;
    while (samples > 0) {
        const uint32_t chunk = std::min(samples, kFastForwardChunkSamples);
        EngineLock guard(*lock);
        core->setSampleRate(kFastForwardRateHz);
        core->setBufferSize(chunk);
        core->render();
        samples -= chunk;
    }
    const auto caughtUp = static_cast<uint32_t>(gap * kMicrosPerFastForwardSample);
    renderedTime_ += caughtUp;
    return caughtUp;
}

StreamHidCounters StreamHid::counters() const {
    StreamHidCounters snapshot;
    snapshot.requests = counters_.requests.load(std::memory_order_relaxed);
    snapshot.skippedBackward = counters_.skippedBackward.load(std::memory_order_relaxed);
    snapshot.resyncs = counters_.resyncs.load(std::memory_order_relaxed);
    snapshot.fastForwardSamples = counters_.fastForwardSamples.load(std::memory_order_relaxed);
    snapshot.refusedRequests = counters_.refusedRequests.load(std::memory_order_relaxed);
    snapshot.droppedAhead = counters_.droppedAhead.load(std::memory_order_relaxed);
    return snapshot;
}

uint32_t StreamHid::getSerialNumber() {
    std::lock_guard guard(*lock);
    return serialNumber_;
}

std::string StreamHid::getVersion() {
    std::lock_guard guard(*lock);
    return version_;
}

trv_device_type_t StreamHid::getDeviceType() {
    std::lock_guard guard(*lock);
    return deviceType_;
}

int32_t StreamHid::resetCounters() {
    channelsPerFrame_ = 0;
    renderedTime_ = 0;
    clockSynced_ = false;
    search_.rearm();
    requestPeriodMicros_ = 0;
    std::lock_guard guard(*lock);
    stopRequested_ = false;
    return 0;
}
