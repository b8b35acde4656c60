#include "tools/vest-emulator/streaming_vest.h"

#include <algorithm>
#include <cmath>

#include "link/hid_frame.h"

namespace vestemu {
namespace {

constexpr std::size_t kMaxPendingRequests = 1024;

std::vector<uint8_t> frameOf(uint8_t id, std::size_t length) {
    std::vector<uint8_t> frame(length, 0);
    frame[0] = id;
    frame[1] = kSyncLow;
    frame[2] = kSyncHigh;
    return frame;
}

} // namespace

float ReceivedStreamData::channelPeak(std::size_t channel) const {
    float peak = 0.0f;
    for (uint32_t step = 0; step < steps; ++step)
        peak = std::max(peak, std::fabs(samples[step * kVestChannels + channel]));
    return peak;
}

StreamingVest::StreamingVest(std::shared_ptr<EmulatedVest> vest, StreamingOptions options)
    : vest_(std::move(vest)), options_(options) {
    vest_->setHandler(idOf(HidCommandId::GetStreamConfig),
                      [this](EmulatedVest&, const Request& r) { handleConfig(r); });
    vest_->setHandler(idOf(HidCommandId::StartStream),
                      [this](EmulatedVest&, const Request& r) { handleStart(r); });
    vest_->setHandler(idOf(HidCommandId::StopStream),
                      [this](EmulatedVest&, const Request& r) { handleStop(r); });
    vest_->setHandler(idOf(HidCommandId::StreamData),
                      [this](EmulatedVest&, const Request& r) { handleStreamData(r); });
    vest_->setHandler(answerIdOf(HidCommandId::StopStream),
                      [this](EmulatedVest&, const Request& r) { handleStopAnswer(r); });
    thread_ = std::thread([this] { run(); });
}

StreamingVest::~StreamingVest() {
    for (auto id : {idOf(HidCommandId::GetStreamConfig), idOf(HidCommandId::StartStream),
                    idOf(HidCommandId::StopStream), idOf(HidCommandId::StreamData),
                    answerIdOf(HidCommandId::StopStream)})
        vest_->setHandler(id, nullptr);
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void StreamingVest::setOptions(const StreamingOptions& options) {
    {
        std::lock_guard lock(mutex_);
        options_ = options;
        ++generation_; // a new period starts now
    }
    changed_.notify_all();
}

StreamingOptions StreamingVest::options() const {
    std::lock_guard lock(mutex_);
    return options_;
}

void StreamingVest::handleConfig(const Request& request) {
    auto frame = frameOf(answerIdOf(HidCommandId::GetStreamConfig), 7);
    {
        std::lock_guard lock(mutex_);
        ++stats_.configRequests;
        frame[3] = options_.configStatus;
        frame[4] = options_.entriesPerStep;
    }
    vest_->answer(request, std::move(frame));
}

void StreamingVest::handleStart(const Request& request) {
    // The answer goes out before the first DataRequest can.
    vest_->answer(request, frameOf(answerIdOf(HidCommandId::StartStream), 6));
    {
        std::lock_guard lock(mutex_);
        ++stats_.starts;
        streaming_ = true;
        ++generation_;
        requestIndex_ = 0;
        pending_.clear();
        lastStreamData_ = Clock::now();
    }
    changed_.notify_all();
}

void StreamingVest::handleStop(const Request& request) {
    std::lock_guard sending(sendMutex_);
    {
        std::lock_guard lock(mutex_);
        ++stats_.hostStops;
        streaming_ = false;
        ++generation_;
    }
    changed_.notify_all();
    vest_->answer(request, frameOf(answerIdOf(HidCommandId::StopStream), 6));
}

void StreamingVest::handleStopAnswer(const Request&) {
    std::lock_guard lock(mutex_);
    ++stats_.vestStopAnswers;
}

void StreamingVest::handleStreamData(const Request& request) {
    uint32_t entries = 0;
    {
        std::lock_guard lock(mutex_);
        entries = options_.entriesPerStep;
    }
    const Clock::time_point arrived = Clock::now();
    streaming::DecodedStreamData decoded;
    const auto result = streaming::decodeStreamData(request.frame, entries, kVestChannels, decoded);
    std::lock_guard lock(mutex_);
    lastStreamData_ = Clock::now();
    if (result != streaming::DecodeResult::ok) {
        ++stats_.framesRefused;
        changed_.notify_all();
        return;
    }
    ReceivedStreamData frame;
    frame.timestamp = decoded.timestamp;
    frame.modeByte = decoded.mode.modeByte();
    frame.rateHz = decoded.mode.rateHz;
    frame.steps = decoded.steps;
    frame.samples = std::move(decoded.samples);
    if (const auto it = pending_.find(frame.timestamp); it != pending_.end()) {
        frame.requestedMicros = it->second.durationMicros;
        frame.latencySeconds = std::chrono::duration<double>(arrived - it->second.sentAt).count();
    }
    const double stepSeconds = 1.0 / frame.rateHz;
    for (uint32_t step = 0; step < frame.steps; ++step)
        for (std::size_t ch = 0; ch < kVestChannels; ++ch) {
            const double s = frame.samples[step * kVestChannels + ch];
            energy_[ch] += s * s * stepSeconds;
        }
    ++modeCounts_[frame.modeByte];
    ++stats_.framesDecoded;
    ++framesSinceClear_;
    frames_.push_back(std::move(frame));
    if (frames_.size() > kKeptFrames) frames_.pop_front();
    changed_.notify_all();
}

bool StreamingVest::stopFromVest() {
    std::lock_guard sending(sendMutex_);
    {
        std::lock_guard lock(mutex_);
        if (!streaming_) return false;
        streaming_ = false;
        ++generation_;
        ++stats_.vestStops;
    }
    changed_.notify_all();
    return vest_->sendUnsolicited(frameOf(idOf(HidCommandId::StopStream), 5));
}

bool StreamingVest::streaming() const {
    std::lock_guard lock(mutex_);
    return streaming_;
}

std::vector<uint8_t> StreamingVest::nextRequestLocked() {
    const uint64_t index = requestIndex_++;
    auto timestamp = static_cast<uint32_t>(vest_->clock().nowMicros() + options_.timestampOffsetMicros);
    if (options_.repeatTimestampEvery > 0 && index > 0 &&
        index % static_cast<uint64_t>(options_.repeatTimestampEvery) == 0)
        timestamp = lastTimestamp_;
    else if (options_.backwardTimestampEvery > 0 && index > 0 &&
             index % static_cast<uint64_t>(options_.backwardTimestampEvery) == 0)
        timestamp -= options_.backwardMicros;
    lastTimestamp_ = timestamp;
    pending_[timestamp] = PendingRequest{options_.requestDurationMicros, Clock::now()};
    if (pending_.size() > kMaxPendingRequests) pending_.erase(pending_.begin());

    std::vector<uint8_t> frame(streaming::kDataRequestFrameBytes, 0);
    streaming::writeDataRequest(std::span<uint8_t, streaming::kDataRequestFrameBytes>(frame.data(), frame.size()),
                                streaming::DataRequest{timestamp, options_.requestDurationMicros});
    ++stats_.requestsSent;
    return frame;
}

void StreamingVest::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!streaming_) {
            changed_.wait(lock, [this] { return stopping_ || streaming_; });
            continue;
        }
        // Requests follow absolute deadlines from the start of this period,
        // so their timing does not drift.
        const uint64_t generation = generation_;
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(options_.requestPeriodSeconds));
        Clock::time_point due = Clock::now() + period;
        while (!stopping_ && streaming_ && generation == generation_) {
            if (changed_.wait_until(lock, due, [&] { return stopping_ || !streaming_ || generation != generation_; }))
                break;
            const auto silence = std::chrono::duration<double>(Clock::now() - lastStreamData_).count();
            if (silence >= options_.hostSilenceSeconds) {
                streaming_ = false;
                ++generation_;
                ++stats_.silenceStops;
                changed_.notify_all();
                break;
            }
            due += period;
            if (options_.silent) continue;
            lock.unlock();
            {
                std::lock_guard sending(sendMutex_);
                std::vector<uint8_t> frame;
                {
                    std::lock_guard relock(mutex_);
                    if (streaming_ && generation == generation_) frame = nextRequestLocked();
                }
                if (!frame.empty()) vest_->sendUnsolicited(std::move(frame));
            }
            lock.lock();
        }
    }
}

bool StreamingVest::waitForFrames(uint64_t count, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return framesSinceClear_ >= count; });
}

bool StreamingVest::waitForStreaming(bool running, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return streaming_ == running; });
}

StreamingStats StreamingVest::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

std::vector<ReceivedStreamData> StreamingVest::frames() const {
    std::lock_guard lock(mutex_);
    return {frames_.begin(), frames_.end()};
}

std::array<double, kVestChannels> StreamingVest::energy() const {
    std::lock_guard lock(mutex_);
    return energy_;
}

std::map<uint8_t, uint64_t> StreamingVest::modeCounts() const {
    std::lock_guard lock(mutex_);
    return modeCounts_;
}

void StreamingVest::clearFrames() {
    std::lock_guard lock(mutex_);
    frames_.clear();
    framesSinceClear_ = 0;
    energy_.fill(0.0);
    modeCounts_.clear();
}

} // namespace vestemu
