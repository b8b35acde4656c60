#include "streaming/stream_audio.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <sstream>

#include "sdk/IHandler.h"
#include "sdk/device_name.h"
#include "sdk/log.h"
#include "streaming/abstract_core.h"

namespace {

constexpr const char* kTag = "StreamAudio";
constexpr const char* kDefaultOutput = "default_output";
constexpr const char* kAnyApi = "any_API";
constexpr const char* kUsbConverterPattern = "usb.+audio.+dac";
constexpr uint32_t kStatisticsWindow = 19;
constexpr uint32_t kReportEvery = 1000;
constexpr uint32_t kConverterChannels = 2;
constexpr uint32_t kPresetSampleRate = 48000;
// How long the stream thread sleeps when no callback asks for anything: it
// is woken at once by a request, a stop or the end of the stream, so this
// only paces the visualizer and the callback report of an idle stream.
constexpr double kIdleWakeSeconds = 0.1;

// Reduced to its ASCII letters, upper-cased.
std::string lettersOf(const std::string& text) {
    std::string out;
    for (char c : text)
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

double ratioOf(uint64_t part, uint64_t whole) {
    // A stream that never called back has no ratio to show: 0.
    return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole) * 100.0;
}

} // namespace

void RunningMean::reset(uint32_t window) {
    ring_.assign(std::max<uint32_t>(1, window), 0.0);
    position_ = 0;
    sum_.store(0.0, std::memory_order_relaxed);
}

void RunningMean::add(double value) noexcept {
    double sum = sum_.load(std::memory_order_relaxed) - ring_[position_];
    ring_[position_] = value / static_cast<double>(ring_.size());
    sum += ring_[position_];
    sum_.store(sum, std::memory_order_relaxed);
    position_ = (position_ + 1) % ring_.size();
}

StreamAudio::StreamAudio(AbstractCore* core, std::mutex* stateMutex, IHandler* owner)
    : IStream(core, stateMutex, owner) {
    for (RunningMean* mean : {&requestComputeTime_, &callbackTime_, &ratio_, &computeTime_})
        mean->reset(kStatisticsWindow);
}

StreamAudio::~StreamAudio() { endSession(); }

void StreamAudio::closeStream() {
    const audio::AudioError e = stream_.close();
    if (e != audio::kAudioNoError) LogStream(TRV_LOG_ERROR, kTag) << "PortAudio error : " << audio::audioErrorText(e);
}

void StreamAudio::endSession() {
    closeStream();
    session_.reset();
}

int32_t StreamAudio::stop() {
    stopRequested_.store(true, std::memory_order_release);
    renderWanted_.post();
    bufferDone_.post(); // a callback waiting for a buffer: none will come
    return TRV_NO_ERROR;
}

int32_t StreamAudio::resetCounters() {
    stopRequested_.store(false, std::memory_order_release);
    streamEnded_.store(false, std::memory_order_release);
    handoff_.store(kIdle, std::memory_order_release);
    streamChannels_.store(0, std::memory_order_relaxed);
    callbackCount_.store(0, std::memory_order_relaxed);
    callbackTimeoutSeconds_ = 0;
    while (renderWanted_.tryWait()) {
    }
    while (bufferDone_.tryWait()) {
    }
    return TRV_NO_ERROR;
}

AudioStreamCounters StreamAudio::counters() const noexcept {
    return {callbacks_.load(), timeouts_.load(), underflows_.load(), overflows_.load()};
}

int32_t StreamAudio::errorReport(audio::AudioError error) {
    LogStream(TRV_LOG_ERROR, kTag) << "PortAudio error : " << audio::audioErrorText(error);
    if (error == audio::kUnanticipatedHostError) {
        const audio::HostErrorInfo host = audio::lastHostError();
        LogStream(TRV_LOG_ERROR, kTag) << "PortAudio error ---> Host API error = " << host.code
                                       << ", hostApiType = " << host.hostApiType << ", error : " << host.text;
    }
    closeStream();
    return TRV_ERROR_PORTAUDIO;
}

int32_t StreamAudio::openStream(trv_audio_preset_t preset, trv_audio_settings_t& settings) {
    const char* message = nullptr;
    uint32_t presetChannels = kVestActuatorCount;
    const char* deviceName = nullptr;
    bool byExpression = true;
    switch (preset) {
    case eCustomDevice:
        LogStream(TRV_LOG_TRACE, kTag) << "Open stream to eCustomDevice";
        byExpression = false;
        break;
    case eTarvonelDevice:
        message = "Number of streaming channels set to 20. If there are less virtual actuators, the missing ones "
                  "will be filled with zeros.";
        deviceName = "TARVONEL";
        byExpression = false;
        break;
    case eTarvonelRegex:
    case eTarvonelRegexAlt:
    case eTarvonelRegexAlt2:
        message = "Number of streaming channels set to 20. If there are less virtual actuators in the layout, the "
                  "missing ones will be filled with zeros.";
        deviceName = kDeviceNamePattern;
        break;
    case eUsbAudioConverter:
        message = "Number of streaming channels set to 2. If there are less virtual actuators, the missing ones "
                  "will be filled with zeros.";
        deviceName = kUsbConverterPattern;
        presetChannels = kConverterChannels;
        break;
    default:
        LogStream(TRV_LOG_INFO, kTag) << "Unknown audio preset: " << preset;
        return TRV_ERROR_OUTPUT_NOT_SUPPORTED;
    }
    if (deviceName != nullptr) {
        const int32_t given = settings.nbStreamChannels;
        if (given != static_cast<int32_t>(presetChannels) && (given != -1 || core->channelCount() == presetChannels))
            LogStream(TRV_LOG_INFO, kTag) << message;
        settings.deviceName = deviceName;
        settings.audioAPI = audio::kDefaultHostApiName;
        settings.sampleRate = kPresetSampleRate;
        settings.nbStreamChannels = static_cast<int32_t>(presetChannels);
        settings.suggestedLatency = 0.0f;
    }

    // Started for this stream only, so that it lists the devices present
    // now; a failed open and the end of run() end it.
    session_.emplace();
    if (session_->error() != audio::kAudioNoError) {
        errorReport(session_->error());
        session_.reset();
        return TRV_ERROR_PORTAUDIO;
    }
    const int32_t opened = openSelected(settings, byExpression);
    if (opened != TRV_NO_ERROR) endSession();
    return opened;
}

int32_t StreamAudio::openSelected(trv_audio_settings_t& settings, bool byExpression) {
    audio::StreamParameters parameters;
    const int32_t selected = selectDevice(settings, byExpression, parameters);
    if (selected < 0) return selected;

    // A stop that came before this point is kept: run() honours it.
    const double rate = static_cast<double>(settings.sampleRate);
    const audio::AudioError opened =
        stream_.open(nullptr, &parameters, rate, settings.bufferSize, &StreamAudio::outputCallback, this);
    if (opened != audio::kAudioNoError) return errorReport(opened);
    LogStream(TRV_LOG_INFO, kTag) << "Output stream latency : " << stream_.outputLatencySeconds()
                                  << " - Output stream sample rate: " << stream_.sampleRate();
    callbackTimeoutSeconds_ = stream_.outputLatencySeconds();
    const audio::AudioError finished = stream_.setFinishedCallback(&StreamAudio::finishedCallback);
    if (finished != audio::kAudioNoError) return errorReport(finished);

    streamChannels_.store(parameters.channels, std::memory_order_relaxed);
    for (RunningMean* mean : {&requestComputeTime_, &callbackTime_, &ratio_, &computeTime_})
        mean->reset(settings.sampleRate / (settings.bufferSize * 10u));
    {
        std::lock_guard guard(*lock);
        core->setBufferSize(settings.bufferSize);
        core->setSampleRate(rate);
        // What the core renders, should it hold fewer frames than asked:
        // the callback copies no more than that.
        bufferFrames_ = core->bufferSize();
    }
    copyChannels_ = std::min<uint32_t>(core->channelCount(), static_cast<uint32_t>(parameters.channels));
    return TRV_NO_ERROR;
}

bool StreamAudio::fillParameters(int32_t device, const audio::AudioDeviceInfo& info,
                                 const trv_audio_settings_t& settings, audio::StreamParameters& p) const {
    p.device = device;
    p.channels = settings.nbStreamChannels >= 0 ? settings.nbStreamChannels : info.maxOutputChannels;
    p.format = audio::SampleFormat::Float32;
    p.interleaved = false;
    p.suggestedLatencySeconds =
        settings.suggestedLatency > 0.0f ? settings.suggestedLatency : info.defaultLowOutputLatency;
    return p.channels > 0;
}

int32_t StreamAudio::selectDevice(const trv_audio_settings_t& settings, bool byExpression,
                                  audio::StreamParameters& parameters) {
    const std::string deviceName = settings.deviceName;
    const std::string apiName = settings.audioAPI;
    const double rate = static_cast<double>(settings.sampleRate);

    if (deviceName == kDefaultOutput) {
        LogStream(TRV_LOG_INFO, kTag) << "Using default output audio device";
        const int32_t device = audio::audioDefaultOutputDevice();
        const std::optional<audio::AudioDeviceInfo> info =
            device == audio::kNoDevice ? std::nullopt : audio::audioDeviceInfo(device);
        if (!info) {
            LogStream(TRV_LOG_ERROR, kTag) << "PortAudio error : No default output device found.";
            return TRV_ERROR_PORTAUDIO;
        }
        if (!fillParameters(device, *info, settings, parameters)) {
            LogStream(TRV_LOG_ERROR, kTag) << "PortAudio error : The default output device has no output channel.";
            return TRV_ERROR_PORTAUDIO;
        }
        const audio::AudioError e = audio::audioFormatSupported(nullptr, &parameters, rate);
        if (e != audio::kAudioNoError) return errorReport(e);
        deviceName_ = info->name;
        return TRV_NO_ERROR;
    }

    std::optional<std::regex> expression;
    std::string target;
    if (byExpression) {
        try {
            expression.emplace(deviceName, std::regex::ECMAScript | std::regex::icase);
        } catch (const std::regex_error&) {
            LogStream(TRV_LOG_ERROR, kTag) << "Invalid device name expression: " << deviceName;
            return TRV_ERROR_INVALID_PARAMETER;
        }
    } else {
        target = lettersOf(deviceName);
    }
    const int32_t count = audio::audioDeviceCount();
    for (int32_t i = 0; i < count; ++i) {
        const std::optional<audio::AudioDeviceInfo> info = audio::audioDeviceInfo(i);
        if (!info) {
            LogStream(TRV_LOG_ERROR, kTag) << "PortAudio error : no information on device " << i << ".";
            continue;
        }
        bool named = false;
        if (expression) {
            named = std::regex_search(info->name, *expression);
        } else {
            const std::string reduced = lettersOf(info->name);
            LogStream(TRV_LOG_TRACE, kTag) << "  device " << reduced;
            LogStream(TRV_LOG_TRACE, kTag) << "  target " << target;
            named = reduced.find(target) != std::string::npos;
        }
        if (!named) {
            LogStream(TRV_LOG_TRACE, kTag) << "  Reject device: " << info->name;
            continue;
        }
        LogStream(TRV_LOG_TRACE, kTag) << "  Checking " << info->name;
        if (info->hostApiType < 0) {
            LogStream(TRV_LOG_ERROR, kTag) << "PortAudio error : no host API information on device " << i << ".";
            continue;
        }
        if (apiName != kAnyApi && apiName != info->hostApiName) {
            LogStream(TRV_LOG_TRACE, kTag) << "    Reject API: " << info->hostApiName;
            continue;
        }
        if (!fillParameters(i, *info, settings, parameters)) {
            LogStream(TRV_LOG_TRACE, kTag) << "    Reject device without output: " << info->name;
            continue;
        }
        const audio::AudioError e = audio::audioFormatSupported(nullptr, &parameters, rate);
        if (e != audio::kAudioNoError) {
            if (apiName == kAnyApi) {
                LogStream(TRV_LOG_ERROR, kTag) << "PortAudio error : " << audio::audioErrorText(e);
            } else {
                LogStream(TRV_LOG_ERROR, kTag) << "PortAudio error : " << audio::audioErrorText(e) << " (" << e << ")";
                if (e == audio::kUnanticipatedHostError) {
                    const audio::HostErrorInfo host = audio::lastHostError();
                    LogStream(TRV_LOG_ERROR, kTag) << "---> Host API error = #" << host.code
                                                   << ", hostApiType = " << host.hostApiType;
                    LogStream(TRV_LOG_ERROR, kTag) << "---> Host API error = " << host.text;
                }
            }
            continue;
        }
        LogStream(TRV_LOG_INFO, kTag) << "Found valid output device '" << info->name << "' using '"
                                      << info->hostApiName << "'";
        deviceName_ = info->name;
        return TRV_NO_ERROR;
    }
    LogStream(TRV_LOG_ERROR, kTag) << "No suitable device found with provided parameters.";
    return TRV_ERROR_INVALID_PARAMETER;
}

int32_t StreamAudio::run() {
    LogStream(TRV_LOG_TRACE, kTag) << "Thread start";
    const int32_t r = stream_.isOpen() ? play() : TRV_ERROR_NO_DEVICE_CONNECTED;
    endSession();
    return r;
}

int32_t StreamAudio::play() {
    if (stopRequested_.load(std::memory_order_acquire)) {
        // Stopped while it opened: never started, never reported.
        LogStream(TRV_LOG_TRACE, kTag) << "LOOP: stream is stopped.";
        return TRV_NO_ERROR;
    }
    {
        std::lock_guard guard(*lock);
        core->render();
    }
    handoff_.store(kReady, std::memory_order_release); // the first buffer, ready before the start
    const audio::AudioError started = stream_.start();
    if (started != audio::kAudioNoError) return errorReport(started);
    owner->endConnectionRoutine(TRV_STATE_CONNECTED, TRV_NO_ERROR, kNoSerialNumber);

    uint32_t nextReport = kReportEvery - 1;
    for (;;) {
        renderWanted_.waitFor(kIdleWakeSeconds);
        if (stopRequested_.load(std::memory_order_acquire) || streamEnded_.load(std::memory_order_acquire)) break;
        if (handoff_.load(std::memory_order_acquire) == kRequested) {
            const double t = stream_.time();
            {
                std::lock_guard guard(*lock);
                core->render();
            }
            handoff_.store(kReady, std::memory_order_release);
            bufferDone_.post();
            computeTime_.add(stream_.time() - t);
        }
        core->updateVisualizer(*lock);
        const uint32_t count = callbackCount_.load(std::memory_order_relaxed);
        if (count >= nextReport) {
            logCallbackReport();
            while (nextReport <= count) nextReport += kReportEvery;
        }
    }
    // Read before the abort, whose own end of the stream is no failure.
    const bool failed = !stopRequested_.load(std::memory_order_acquire);
    stopRequested_.store(true, std::memory_order_release); // the callbacks still to come wait for nothing
    bufferDone_.post();
    stream_.abort();
    LogStream(TRV_LOG_INFO, kTag) << stopReportText(counters());
    closeStream();
    LogStream(TRV_LOG_TRACE, kTag) << "LOOP: stream is stopped.";
    if (!failed) return TRV_NO_ERROR;
    LogStream(TRV_LOG_ERROR, kTag) << "The audio output '" << deviceName_
                                   << "' stopped playing by itself (the device failed or was removed) after "
                                   << callbackCount_.load(std::memory_order_relaxed) << " buffers.";
    return TRV_ERROR_PORTAUDIO;
}

void StreamAudio::logCallbackReport() const {
    LogStream(TRV_LOG_TRACE, kTag) << "Callback report:\n>>Haptic stream average request compute time: "
                                   << requestComputeTime_.mean()
                                   << "\n>>Haptic stream average compute time: " << computeTime_.mean()
                                   << "\n>>Haptic stream average callback time: " << callbackTime_.mean()
                                   << "( ratio " << ratio_.mean() * 100 << "/100)\n>>Haptic stream CPU load: "
                                   << cpuLoad_.load(std::memory_order_relaxed);
}

std::string stopReportText(const AudioStreamCounters& c) {
    std::ostringstream text;
    text << "Stop streaming signal:\n>>Haptic stream underflow: " << c.underflows << "( ratio "
         << ratioOf(c.underflows, c.callbacks) << "/100)\n>>Haptic stream overflow occurrence: " << c.overflows
         << "( ratio " << ratioOf(c.overflows, c.callbacks) << "/100)\n>>Haptic stream timeout occurrence: "
         << c.timeouts << "( ratio " << ratioOf(c.timeouts, c.callbacks) << "/100)\n";
    return text.str();
}

void StreamAudio::outputCallback(void* self, const void*, void* output, unsigned long frames,
                                 uint32_t statusFlags) noexcept {
    static_cast<StreamAudio*>(self)->onOutput(static_cast<float* const*>(output), frames, statusFlags);
}

void StreamAudio::finishedCallback(void* self) noexcept {
    // A stream that ends by itself (device gone, host error) ends the run.
    auto* s = static_cast<StreamAudio*>(self);
    s->streamEnded_.store(true, std::memory_order_release);
    s->renderWanted_.post();
}

// The stream was opened with the core's buffer size, which is what the
// audio system asks for; frames beyond the rendered buffer play silence.
void StreamAudio::copyBuffer(float* const* channels, unsigned long frames) noexcept {
    const uint32_t rendered = static_cast<uint32_t>(std::min<unsigned long>(frames, bufferFrames_));
    const auto streamChannels = static_cast<uint32_t>(streamChannels_.load(std::memory_order_relaxed));
    for (uint32_t c = 0; c < streamChannels; ++c) {
        uint32_t f = 0;
        if (c < copyChannels_)
            for (; f < rendered; ++f) channels[c][f] = static_cast<float>(core->sample(c, f));
        std::fill(channels[c] + f, channels[c] + frames, 0.0f);
    }
}

void StreamAudio::playSilence(float* const* channels, unsigned long frames) noexcept {
    const auto streamChannels = static_cast<uint32_t>(streamChannels_.load(std::memory_order_relaxed));
    for (uint32_t c = 0; c < streamChannels; ++c) std::fill_n(channels[c], frames, 0.0f);
}

void StreamAudio::onOutput(float* const* channels, unsigned long frames, uint32_t statusFlags) noexcept {
    const double t0 = stream_.time();
    if (statusFlags & audio::kOutputUnderflow) underflows_.fetch_add(1, std::memory_order_relaxed);
    if (statusFlags & audio::kOutputOverflow) overflows_.fetch_add(1, std::memory_order_relaxed);
    callbacks_.fetch_add(1, std::memory_order_relaxed);
    if (stopRequested_.load(std::memory_order_acquire)) {
        // Stopping: nobody renders any more, so nothing is worth a wait.
        playSilence(channels, frames);
        return;
    }
    bool timedOut = true;
    bool stopped = false;
    double requestStart = 0;
    double requestComputeTime = 0;

    uint8_t state = handoff_.load(std::memory_order_acquire);
    if (state != kReady) {
        if (state == kIdle) {
            handoff_.store(kRequested, std::memory_order_release);
            renderWanted_.post();
        }
        requestStart = stream_.time();
        // Wait for the buffer, at most the output latency after entry;
        // stop() wakes the wait.
        for (;;) {
            state = handoff_.load(std::memory_order_acquire);
            if (state == kReady) break;
            stopped = stopRequested_.load(std::memory_order_acquire);
            const double left = callbackTimeoutSeconds_ - (stream_.time() - t0);
            if (stopped || !(left > 0)) break;
            bufferDone_.waitFor(left);
        }
        if (state == kReady) requestComputeTime = stream_.time() - requestStart;
    }
    if (state == kReady) {
        // The stream thread renders only on a request: the buffer is still.
        copyBuffer(channels, frames);
        handoff_.store(kIdle, std::memory_order_release);
        timedOut = false;
    } else {
        // Nothing to play in time: silence rather than whatever the
        // device's buffers held. The request stays: the next callback
        // takes the buffer when it comes.
        playSilence(channels, frames);
        timedOut = !stopped;
    }

    callbackCount_.fetch_add(1, std::memory_order_relaxed);
    const double callbackTime = stream_.time() - t0;
    if (!(requestStart > 0)) requestComputeTime = callbackTime;
    requestComputeTime_.add(requestComputeTime);
    callbackTime_.add(callbackTime);
    ratio_.add(callbackTime > 0 ? requestComputeTime / callbackTime : 0.0);
    if (timedOut) timeouts_.fetch_add(1, std::memory_order_relaxed);
    cpuLoad_.store(stream_.cpuLoad(), std::memory_order_relaxed);
}
