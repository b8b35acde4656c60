#include "vyx/VyxLoopback.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "sdk/log.h"

namespace {

constexpr const char* kTag = "VyxLoopback";

// A rate as VYX-fx takes it: rounded, halves away from zero; anything not a
// plausible rate becomes 0, which VYX-fx refuses.
int32_t roundedRate(double rate) noexcept {
    if (!(rate > 0.0) || !(rate < 1e7)) return 0;
    return static_cast<int32_t>(std::lround(rate));
}

} // namespace

VyxLoopback::~VyxLoopback() {
    stop();
    flushLog();
}

std::string VyxLoopback::deviceName(const SoundServerMonitor& monitor) {
    return monitor.sinkDescription + " [Loopback]";
}

uint32_t VyxLoopback::nearestSupportedRate(uint32_t rateHz) noexcept {
    uint32_t best = kSupportedRates[0];
    for (uint32_t rate : kSupportedRates) {
        const uint32_t distance = rate > rateHz ? rate - rateHz : rateHz - rate;
        const uint32_t bestDistance = best > rateHz ? best - rateHz : rateHz - best;
        if (distance <= bestDistance) best = rate;
    }
    return best;
}

void VyxLoopback::keep(int32_t level, std::string text) noexcept {
    if (!LogStream::enabled(level)) return;
    try {
        std::lock_guard lock(logMutex_);
        lines_.push_back({level, std::move(text)});
    } catch (...) {
        // Out of memory: the line is dropped.
    }
}

void VyxLoopback::flushLog() noexcept {
    std::vector<Line> lines;
    {
        std::lock_guard lock(logMutex_);
        lines.swap(lines_);
    }
    for (const Line& line : lines) LogStream(line.level, kTag) << line.text;
}

int32_t VyxLoopback::reportVyxError(int32_t code) noexcept {
    const char* what = "VYX-fx error: undocumented error";
    if (code == VYXFX_EOTHER) what = "VYX-fx error: other error";
    else if (code == VYXFX_EINVAL) what = "VYX-fx error: invalid input parameter";
    else if (code == VYXFX_ENOMEM) what = "VYX-fx error: not enough memory";
    keep(TRV_LOG_ERROR, what);
    return TRV_ERROR_VYX;
}

int32_t VyxLoopback::makeOutputInstance(double rate, vyxfx_instance*& made, std::size_t& blockSize) noexcept {
    made = nullptr;
    if (captureInstance_ == nullptr) return TRV_ERROR_OTHER;
    vyxfx_instance* instance = vyxfx_create(roundedRate(rate), 1, VYXFX_SAMPLE_FLOAT, VYXFX_PROCESS_DOUBLE);
    if (instance == nullptr) return reportVyxError(vyxfx_last_error());
    vyxfx_set_preset(instance, static_cast<uint32_t>(preset_));
    blockSize = vyxfx_frame_size(instance);
    // One captured block must give exactly the token that one output block
    // takes.
    if (blockSize == 0 || blockSize > kMaxBlockSamples ||
        tokens_.size() != vyxfx_token_bytes(instance, blockSize)) {
        keep(TRV_LOG_ERROR, "VYX-fx: inconsistent token sizes between in and out");
        vyxfx_destroy(instance);
        return TRV_ERROR_OTHER;
    }
    made = instance;
    return TRV_NO_ERROR;
}

int32_t VyxLoopback::prepare(uint32_t captureRateHz, double outputSampleRate) noexcept {
    try {
        captureInstance_ = vyxfx_create(static_cast<int32_t>(captureRateHz), 1, VYXFX_SAMPLE_FLOAT,
                                        VYXFX_PROCESS_DOUBLE);
        if (captureInstance_ == nullptr) return reportVyxError(vyxfx_last_error());
        tokenSize_ = vyxfx_frame_size(captureInstance_);
        inputBlock_.assign(tokenSize_, 0.0f);
        inputCount_ = 0;
        tokens_.assign(vyxfx_token_bytes(captureInstance_, tokenSize_), 0);
        outBlock_.assign(kMaxBlockSamples, 0.0f);
        ring_.reserve((kQueueBlocks + 1) * kMaxBlockSamples);
    } catch (...) {
        keep(TRV_LOG_ERROR, "VYX loopback: out of memory");
        return TRV_ERROR_OTHER;
    }
    return makeOutputInstance(outputSampleRate, outputInstance_, outBlockSize_);
}

int32_t VyxLoopback::start(double outputSampleRate, const std::string& device) noexcept {
    std::lock_guard lock(controlMutex_);
    if (running_) stopLocked();
    keep(TRV_LOG_DEBUG, "Start VYX loopback...");
    const SoundServerListing listing = listSoundServerMonitors();
    if (!listing.reachable) {
        keep(TRV_LOG_ERROR, "Sound server error : " + listing.error);
        return TRV_ERROR_PORTAUDIO;
    }
    const auto found = std::find_if(listing.monitors.begin(), listing.monitors.end(),
                                    [&](const SoundServerMonitor& m) { return deviceName(m) == device; });
    if (found == listing.monitors.end()) {
        keep(TRV_LOG_ERROR, "Loopback device not found: " + device);
        return TRV_ERROR_INVALID_PARAMETER;
    }
    if (found->rateHz == 0 || found->channels == 0) {
        keep(TRV_LOG_ERROR, "Loopback device " + device + " reports no sample format.");
        return TRV_ERROR_INVALID_PARAMETER;
    }
    const uint32_t captureRate = nearestSupportedRate(found->rateHz);
    if (captureRate != found->rateHz) {
        std::ostringstream line;
        line << "Loopback device " << device << " runs at " << found->rateHz << " Hz: captured at " << captureRate
             << " Hz, resampled by the sound server.";
        keep(TRV_LOG_INFO, line.str());
    }
    int32_t r = prepare(captureRate, outputSampleRate);
    if (r == TRV_NO_ERROR) {
        std::string error;
        r = capture_.open(found->monitorSource, captureRate, &VyxLoopback::captureCallback, this, error);
        if (r != TRV_NO_ERROR) keep(TRV_LOG_ERROR, "Sound server error : " + error);
    }
    if (r != TRV_NO_ERROR) {
        stopLocked();
        return r;
    }
    running_ = true;
    keep(TRV_LOG_DEBUG, "VYX loopback started.");
    return TRV_NO_ERROR;
}

int32_t VyxLoopback::prepareForTesting(uint32_t captureRateHz, double outputSampleRate) noexcept {
    std::lock_guard lock(controlMutex_);
    stopLocked();
    const int32_t r = prepare(captureRateHz, outputSampleRate);
    if (r != TRV_NO_ERROR) stopLocked();
    running_ = r == TRV_NO_ERROR;
    return r;
}

void VyxLoopback::failAnalysisForTesting() noexcept {
    std::lock_guard lock(controlMutex_);
    vyxfx_instance* other = vyxfx_create(vyxfx_frame_size(captureInstance_) * 50, 1, VYXFX_SAMPLE_INT16,
                                         VYXFX_PROCESS_DOUBLE);
    capture_.exclusive([&] { std::swap(captureInstance_, other); });
    vyxfx_destroy(other);
}

void VyxLoopback::stop() noexcept {
    std::lock_guard lock(controlMutex_);
    stopLocked();
}

void VyxLoopback::stopLocked() noexcept {
    capture_.close(); // no fragment is processed from here on
    vyxfx_destroy(captureInstance_);
    vyxfx_destroy(outputInstance_);
    captureInstance_ = nullptr;
    outputInstance_ = nullptr;
    inputCount_ = 0;
    ring_.clear();
    running_ = false;
}

int32_t VyxLoopback::restart(double outputSampleRate) noexcept {
    std::lock_guard lock(controlMutex_);
    if (!running_) return TRV_NO_ERROR;
    vyxfx_instance* made = nullptr;
    std::size_t blockSize = 0;
    const int32_t r = makeOutputInstance(outputSampleRate, made, blockSize);
    if (r != TRV_NO_ERROR) {
        stopLocked();
        return r;
    }
    vyxfx_instance* old = outputInstance_;
    capture_.exclusive([&] {
        outputInstance_ = made;
        outBlockSize_ = blockSize;
    });
    vyxfx_destroy(old);
    return TRV_NO_ERROR;
}

bool VyxLoopback::isRunning() const noexcept {
    std::lock_guard lock(controlMutex_);
    return running_;
}

bool VyxLoopback::captureBroken() const noexcept { return capture_.failed(); }

int32_t VyxLoopback::getPreset() const noexcept {
    std::lock_guard lock(controlMutex_);
    return preset_;
}

void VyxLoopback::setPreset(int32_t preset) noexcept {
    std::lock_guard lock(controlMutex_);
    preset_ = preset;
    if (running_) capture_.exclusive([&] { vyxfx_set_preset(outputInstance_, static_cast<uint32_t>(preset)); });
}

void VyxLoopback::captureCallback(void* self, const float* interleaved, uint32_t frames, uint32_t channels) {
    static_cast<VyxLoopback*>(self)->push(interleaved, frames, channels);
}

void VyxLoopback::push(const float* interleaved, uint32_t frames, uint32_t channels) noexcept {
    if (channels == 0 || captureInstance_ == nullptr) return;
    const float count = static_cast<float>(channels);
    for (uint32_t f = 0; f < frames; ++f) {
        float sum = 0.0f;
        if (interleaved != nullptr) {
            const float* frame = interleaved + static_cast<std::size_t>(f) * channels;
            for (uint32_t c = 0; c < channels; ++c) sum += frame[c];
        }
        inputBlock_[inputCount_++] = sum / count;
        // A full block goes out at once: waiting for the next frame would
        // hold it back until the next fragment, 20 ms later.
        if (inputCount_ == tokenSize_) processBlock();
    }
}

void VyxLoopback::processBlock() noexcept {
    inputCount_ = 0;
    bool failed = false;
    // A failed analysis gives the silent token, never the previous one again.
    if (vyxfx_analyse(captureInstance_, inputBlock_.data(), tokens_.data(), tokenSize_) != VYXFX_OK) {
        std::fill(tokens_.begin(), tokens_.end(), uint8_t{0});
        failed = true;
    }
    float* out = outBlock_.data();
    if (vyxfx_synthesise(outputInstance_, tokens_.data(), tokens_.size(), out, outBlockSize_) != VYXFX_OK) {
        std::fill(out, out + outBlockSize_, 0.0f);
        failed = true;
    }
    if (failed) blocksFailed_.fetch_add(1, std::memory_order_relaxed);
    if (ring_.pushBlock(out, outBlockSize_, kQueueBlocks * outBlockSize_))
        blocksQueued_.fetch_add(1, std::memory_order_relaxed);
    else
        blocksDiscarded_.fetch_add(1, std::memory_order_relaxed);
}

void VyxLoopback::pull(std::span<double> out) noexcept {
    const std::size_t n = out.size();
    if (ring_.size() < n) {
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    ring_.trimTo(2 * std::max(outBlockSize_, n));
    if (!ring_.popInto(out.data(), n)) std::fill(out.begin(), out.end(), 0.0);
}
