#include "vyx/VyxLoopback.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>

#include "sdk/join_unless_self.h"
#include "sdk/log.h"

namespace {

constexpr const char* kTag = "VyxLoopback";
// How long one look-up or opening of the watcher may wait for the server.
constexpr float kReopenTimeoutSeconds = 0.5f;

std::string loopbackName(const std::string& description) { return description + " [Loopback]"; }

// The result code of a capture's opening.
int32_t resultOf(SoundServerOpen opened) noexcept {
    switch (opened) {
    case SoundServerOpen::Opened: return TRV_NO_ERROR;
    case SoundServerOpen::NoSuchSource:
    case SoundServerOpen::InvalidArgument: return TRV_ERROR_INVALID_PARAMETER;
    case SoundServerOpen::Refused: break;
    }
    return TRV_ERROR_PORTAUDIO;
}

// A rate as VYX-fx takes it: rounded, halves away from zero; anything not a
// plausible rate becomes 0, which VYX-fx refuses.
int32_t roundedRate(double rate) noexcept {
    if (!(rate > 0.0) || !(rate < 1e7)) return 0;
    return static_cast<int32_t>(std::lround(rate));
}

} // namespace

VyxLoopback::~VyxLoopback() {
    endWatch(true);
    stop();
    flushLog();
}

std::vector<std::string> VyxLoopback::deviceNames(const std::vector<SoundServerMonitor>& monitors) {
    std::set<std::string> taken; // every plain name, and every numbered one given
    for (const SoundServerMonitor& m : monitors) taken.insert(loopbackName(m.sinkDescription));
    std::set<std::string> met; // descriptions already named
    std::vector<std::string> names;
    names.reserve(monitors.size());
    for (const SoundServerMonitor& m : monitors) {
        if (met.insert(m.sinkDescription).second) {
            names.push_back(loopbackName(m.sinkDescription));
            continue;
        }
        for (std::size_t n = 2;; ++n) {
            std::string numbered = loopbackName(m.sinkDescription + " " + std::to_string(n));
            if (taken.insert(numbered).second) {
                names.push_back(std::move(numbered));
                break;
            }
        }
    }
    return names;
}

const SoundServerMonitor* VyxLoopback::findDevice(const SoundServerListing& listing, const std::string& device) {
    const std::vector<std::string> names = deviceNames(listing.monitors);
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == device) return &listing.monitors[i];
    return nullptr;
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
        // The largest limit of processBlock, and the block that may go past it.
        ring_.reserve(std::max(kQueueBlocks * kMaxBlockSamples, 2 * kMaxPullSamples) + kMaxBlockSamples);
        pullSamples_.store(0, std::memory_order_relaxed);
    } catch (...) {
        keep(TRV_LOG_ERROR, "VYX loopback: out of memory");
        return TRV_ERROR_OTHER;
    }
    return makeOutputInstance(outputSampleRate, outputInstance_, outBlockSize_);
}

int32_t VyxLoopback::start(double outputSampleRate, const std::string& device) noexcept {
    endWatch(false);
    int32_t r = TRV_NO_ERROR;
    {
        std::lock_guard lock(controlMutex_);
        r = startLocked(outputSampleRate, device);
    }
    if (r == TRV_NO_ERROR) beginWatch();
    return r;
}

int32_t VyxLoopback::startLocked(double outputSampleRate, const std::string& device) noexcept {
    if (running_) stopLocked();
    keep(TRV_LOG_DEBUG, "Start VYX loopback...");
    const SoundServerListing listing = listSoundServerMonitors();
    if (!listing.reachable) {
        keep(TRV_LOG_ERROR, "Sound server error : " + listing.error);
        return TRV_ERROR_PORTAUDIO;
    }
    const SoundServerMonitor* found = nullptr;
    try {
        found = findDevice(listing, device);
    } catch (...) {
        keep(TRV_LOG_ERROR, "VYX loopback: out of memory");
        return TRV_ERROR_OTHER;
    }
    if (found == nullptr) {
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
        try {
            device_ = device;
            sink_ = found->sinkName;
        } catch (...) {
            r = TRV_ERROR_OTHER;
        }
    }
    if (r == TRV_NO_ERROR) {
        std::string error;
        r = resultOf(capture_.open(found->monitorSource, captureRate, &VyxLoopback::captureCallback, this, error));
        if (r != TRV_NO_ERROR) keep(TRV_LOG_ERROR, "Sound server error : " + error);
    }
    if (r != TRV_NO_ERROR) {
        stopLocked();
        return r;
    }
    captureRate_ = captureRate;
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
    endWatch(false);
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
    // The queue may hold what a pull trims it to, two pulls' worth: the
    // second is the cushion that a late block eats into. With room for one
    // pull only, every block late for its pull would silence a whole buffer.
    const std::size_t pulled = std::min(pullSamples_.load(std::memory_order_relaxed), kMaxPullSamples);
    const std::size_t limit = std::max(kQueueBlocks * outBlockSize_, 2 * std::max(outBlockSize_, pulled));
    if (ring_.pushBlock(out, outBlockSize_, limit))
        blocksQueued_.fetch_add(1, std::memory_order_relaxed);
    else
        blocksDiscarded_.fetch_add(1, std::memory_order_relaxed);
}

void VyxLoopback::pull(std::span<double> out) noexcept {
    const std::size_t n = out.size();
    pullSamples_.store(n, std::memory_order_relaxed);
    if (ring_.size() < n) {
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    ring_.trimTo(2 * std::max(outBlockSize_, n));
    if (!ring_.popInto(out.data(), n)) std::fill(out.begin(), out.end(), 0.0);
}

// ---------------------------------------------------------------------------
// The watcher.

void VyxLoopback::beginWatch() noexcept {
    std::lock_guard lock(watchThreadMutex_);
    joinLetGo(false);
    if (watcher_.joinable()) {
        // A watcher left behind while it was logging: it has been told to
        // stop, and ends once its line is out, touching only its Watch.
        // Not waited for here: the caller may hold a lock that the log
        // callback is waiting for (the handler's state mutex, when the
        // callback calls back into the handler). The destructor joins it.
        try {
            letGo_.push_back({std::move(watcher_), watch_});
        } catch (...) {
            watcher_.detach(); // out of memory: nobody can join it
        }
        watch_.reset();
    }
    try {
        auto watch = std::make_shared<Watch>();
        watcher_ = std::thread(&VyxLoopback::watchCapture, this, watch);
        watch_ = std::move(watch);
    } catch (...) {
        keep(TRV_LOG_ERROR, "Cannot watch the loopback capture: it is not reopened if it breaks.");
    }
}

void VyxLoopback::joinLetGo(bool all) noexcept {
    for (auto it = letGo_.begin(); it != letGo_.end();) {
        bool ended = false;
        {
            std::lock_guard watchLock(it->watch->mutex);
            ended = it->watch->ended;
        }
        if (!ended && !all) {
            ++it;
            continue;
        }
        joinUnlessSelf(it->thread); // self: the log callback destroys the capture from this watcher
        it = letGo_.erase(it);
    }
}

void VyxLoopback::endWatch(bool final) noexcept {
    std::lock_guard lock(watchThreadMutex_);
    if (final) joinLetGo(true);
    if (!watcher_.joinable()) return;
    bool callingOut = false;
    {
        std::lock_guard watchLock(watch_->mutex);
        watch_->stop = true;
        callingOut = watch_->callingOut;
    }
    watch_->wake.notify_all();
    // On the watcher itself (the log callback ends the capture) the thread
    // is detached: it returns from the callback to its Watch alone, sees
    // stop and ends.
    const bool self = watcher_.get_id() == std::this_thread::get_id();
    if (callingOut && !final && !self) return; // stop is set: it logs nothing more and ends on its own
    joinUnlessSelf(watcher_);
    watch_.reset();
}

void VyxLoopback::watchCapture(std::shared_ptr<Watch> watch) noexcept {
    struct Ending {
        Watch& watch;
        ~Ending() {
            std::lock_guard lock(watch.mutex);
            watch.ended = true;
        }
    } ending{*watch};
    bool lost = false;   // the capture broke and is not open again
    bool warned = false; // the break has been logged
    for (;;) {
        {
            std::unique_lock lock(watch->mutex);
            watch->wake.wait_for(lock, kWatchInterval, [&] { return watch->stop; });
            if (watch->stop) return;
        }
        WatchLine lines[2];
        std::size_t count = 0;
        const bool goOn = watchOnce(lost, warned, lines, count);
        for (std::size_t i = 0; i < count; ++i) {
            {
                std::lock_guard lock(watch->mutex);
                if (watch->stop) return;
                watch->callingOut = true;
            }
            LogStream(lines[i].level, kTag) << lines[i].text; // may end the capture, or destroy this loopback
            std::lock_guard lock(watch->mutex);
            watch->callingOut = false;
            if (watch->stop) return;
        }
        if (!goOn) return;
    }
}

bool VyxLoopback::watchOnce(bool& lost, bool& warned, WatchLine (&lines)[2], std::size_t& count) noexcept {
    count = 0;
    try {
        std::string device;
        std::string sink;
        {
            std::lock_guard lock(controlMutex_);
            if (!running_) return false;
            if (!lost) {
                if (!capture_.failed()) return true;
                capture_.close(); // releases the broken connection; failed() stays true
                lost = true;
                warned = false;
            }
            device = device_;
            sink = sink_;
        }
        reopenAttempts_.fetch_add(1, std::memory_order_relaxed);
        std::string why;
        const SoundServerListing listing = listSoundServerMonitors(kReopenTimeoutSeconds);
        // The same output, whatever name the listing gives it now.
        const auto same = std::find_if(listing.monitors.begin(), listing.monitors.end(),
                                       [&](const SoundServerMonitor& m) { return m.sinkName == sink; });
        const SoundServerMonitor* found = same != listing.monitors.end() ? &*same : nullptr;
        if (!listing.reachable) why = "the sound server is gone (" + listing.error + ")";
        else if (found == nullptr) why = "the output is gone";
        if (found != nullptr) {
            std::lock_guard lock(controlMutex_);
            if (!running_ || device_ != device || sink_ != sink) return false;
            inputCount_ = 0; // no fragment runs while the capture is closed
            std::string error;
            const SoundServerOpen opened = capture_.open(found->monitorSource, captureRate_,
                                                         &VyxLoopback::captureCallback, this, error,
                                                         kReopenTimeoutSeconds);
            if (opened == SoundServerOpen::Opened) {
                lost = false;
                reopens_.fetch_add(1, std::memory_order_relaxed);
            } else {
                why = "the sound server refuses the capture (" + error + ")";
            }
        }
        if (!warned) {
            lines[count++] = {TRV_LOG_WARNING, "Lost the capture of loopback device " + device + ": " +
                                                   (lost ? why : std::string("the capture broke")) +
                                                   ". The vest plays silence until it is back."};
            warned = true;
        }
        if (!lost) lines[count++] = {TRV_LOG_INFO, "Loopback device " + device + " captured again."};
    } catch (...) {
        // Out of memory: the next look tries again.
    }
    return true;
}
