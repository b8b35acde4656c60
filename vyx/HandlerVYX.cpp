#include "vyx/HandlerVYX.h"

#include <utility>

#include "sdk/errors.h"
#include "sdk/log.h"
#include "streaming/i_stream.h"
#include "streaming/stream_audio.h"
#include "streaming/stream_hid.h"

namespace {

constexpr const char* kTag = "HandlerVYX";
// The capture's synthesis rate until the stream asks for its own.
constexpr double kInitialRateHz = 500.0;

} // namespace

// Holds stateMutex around calls into the core; the capture's log lines of
// that time reach the log callback after the release.
class HandlerVYX::CoreLock {
public:
    explicit CoreLock(HandlerVYX& handler) : handler_(handler), lock_(handler.stateMutex) {}
    ~CoreLock() {
        lock_.unlock();
        handler_.core.flushLog();
    }
    CoreLock(const CoreLock&) = delete;
    CoreLock& operator=(const CoreLock&) = delete;

private:
    HandlerVYX& handler_;
    std::unique_lock<std::mutex> lock_;
};

HandlerVYX::HandlerVYX(PatternRegistry* registry) : StreamBackend(registry, kTag, &core) {
    stream = std::make_shared<StreamHid>(&core, &stateMutex, this);
}

HandlerVYX::~HandlerVYX() {
    closeConnection();
    endCapture();
    releaseStream();
}

void HandlerVYX::enableVisualizer(bool enable) {
    // The switch restarts the core's count of rendered time: under the
    // lock, like a render.
    std::lock_guard lock(stateMutex);
    core.enableVisualizer(enable);
}

int32_t HandlerVYX::startCaptureLocked(double rateHz) {
    core.setSampleRate(rateHz);
    return captureFailureLocked();
}

int32_t HandlerVYX::captureFailureLocked() {
    if (core.loopbackDevice().empty() || core.captureRunning()) return TRV_NO_ERROR;
    const int32_t r = core.captureResult();
    return r != TRV_NO_ERROR ? r : TRV_ERROR_OTHER;
}

void HandlerVYX::endCapture() {
    CoreLock lock(*this);
    core.loopback().stop();
    core.setSampleRate(-1.0);
}

void HandlerVYX::connectionRoutine(uint32_t serialNumber) {
    const std::shared_ptr<IStream> s = hidStream();
    // A stop left behind by a disconnection admitted while the previous run
    // ended must not end this connection.
    s->resetCounters();
    trv_output_t output = TRV_OUTPUT_ANY;
    bool closingNow = false;
    int32_t r = TRV_NO_ERROR;
    {
        CoreLock lock(*this);
        closingNow = closing;
        output = outputType;
        if (!closingNow) r = startCaptureLocked(kInitialRateHz);
    }
    if (closingNow || r != TRV_NO_ERROR) {
        if (!closingNow)
            LogStream(TRV_LOG_ERROR, kTag) << "Could not start the loopback capture: " << errorCodeToString(r);
        endCapture();
        endConnectionRoutine(TRV_STATE_DISCONNECTED, closingNow ? TRV_ERROR_OTHER : r, serialNumber);
        return;
    }
    {
        std::lock_guard deviceLock(connectionMutex);
        r = s->connect(output, serialNumber);
    }
    if (r < 0) {
        endCapture();
        endConnectionRoutine(TRV_STATE_DISCONNECTED, r, serialNumber);
        return;
    }
    endConnectionRoutine(TRV_STATE_CONNECTED, TRV_NO_ERROR, s->getSerialNumber());
    r = s->run();
    s->resetCounters();
    endCapture();
    endConnectionRoutine(TRV_STATE_DISCONNECTED, r, s->getSerialNumber());
}

int32_t HandlerVYX::connectAudio(trv_audio_preset_t preset, const trv_audio_settings_t& settings) {
    // The capture's queue is sized for buffers of up to kMaxPullSamples frames.
    return startAudioConnection(kTag, preset, settings, static_cast<uint32_t>(VyxLoopback::kMaxPullSamples),
                                [this](trv_audio_preset_t p, trv_audio_settings_t copy, const std::string& name,
                                       const std::string& api) { audioConnectionRoutine(p, copy, name, api); });
}

void HandlerVYX::audioConnectionRoutine(trv_audio_preset_t preset, trv_audio_settings_t settings,
                                        const std::string& deviceName, const std::string& audioAPI) {
    const std::shared_ptr<StreamAudio> s = audioStream();
    s->resetCounters();
    int32_t r = TRV_ERROR_OTHER;
    if (!closingNow()) {
        settings.deviceName = deviceName.c_str();
        settings.audioAPI = audioAPI.c_str();
        r = s->openStream(preset, settings); // sets the core's rate: the capture starts
    }
    if (r >= 0) {
        int32_t capture = TRV_NO_ERROR;
        {
            CoreLock lock(*this);
            capture = captureFailureLocked();
        }
        if (capture != TRV_NO_ERROR) {
            LogStream(TRV_LOG_ERROR, kTag) << "Could not start the loopback capture: " << errorCodeToString(capture);
            s->stop(); // run() then closes the stream without starting it
        }
        r = s->run();
        s->resetCounters();
        if (capture != TRV_NO_ERROR) r = capture;
    }
    endCapture();
    endConnectionRoutine(TRV_STATE_DISCONNECTED, r, kNoSerialNumber);
}

void HandlerVYX::scanningRoutine(trv_output_t output) {
    const std::shared_ptr<IStream> s = hidStream();
    endScan(*s, output, true);
}

void HandlerVYX::setLoopbackDevice(const std::string& device) {
    CoreLock lock(*this);
    core.setLoopbackDevice(device);
}

int32_t HandlerVYX::getVyxPreset() {
    std::lock_guard lock(stateMutex);
    return core.getPreset();
}

void HandlerVYX::setVyxPreset(int32_t preset) {
    CoreLock lock(*this);
    core.setPreset(preset);
}

float HandlerVYX::getVyxVolume() {
    std::lock_guard lock(stateMutex);
    return core.getVolume();
}

void HandlerVYX::setVyxVolume(float volume) {
    bool accepted = false;
    {
        std::lock_guard lock(stateMutex);
        accepted = core.setVolume(volume);
    }
    if (!accepted) LogStream(TRV_LOG_WARNING, kTag) << "Invalid VYX volume " << volume << ": the volume is now 0.";
}
