// StreamAudio: the stream that plays a core's channels on an audio output
// device (the vest's own sound card, a USB audio converter, or any output
// the caller names), through the audio system layer.
//
// openStream() applies the preset, chooses the device and opens the
// stream; run() then renders the core one buffer per output callback: the
// callback asks (posting the stream thread's semaphore), the stream thread
// renders under the owner's state mutex and hands the buffer back (posting
// the callback's semaphore), and the callback copies it into the device's
// channels. A callback waits at most the stream's output latency; a buffer
// that comes later is taken by the next callback, and a callback left
// without one plays silence. Neither side spins. A stop wakes a waiting
// callback at once, and every callback after it plays silence without
// waiting: nobody renders any more, and the audio system may still run a
// whole output latency's worth of callbacks before its thread ends.
//
// The audio system is held only from openStream() to the end of run() (or
// to openStream's failure): each connection attempt starts it afresh and so
// sees the devices as they are now, and nothing of it outlives the stream.
//
// Threads: openStream() and run() on the owner's worker thread (the stream
// thread); the output callback on the audio system's real-time thread (it
// allocates nothing, locks nothing, logs nothing); stop(), the identity
// getters and counters() on any thread. `lock` is the owner's state mutex,
// held around every render and every change of the core's rate and buffer
// size.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_stream.h"
#include "platform/rt_semaphore.h"
#include "sdk/audio_log.h"
#include "streaming/i_stream.h"

// A mean over the last N values, N being the window; reads low until N
// values have arrived. One writer; the mean may be read from any thread.
class RunningMean {
public:
    // Sizes the window (at least 1) and clears it. Not on a real-time thread.
    void reset(uint32_t window);
    void add(double value) noexcept;
    double mean() const noexcept { return sum_.load(std::memory_order_relaxed); }

private:
    std::vector<double> ring_{0.0}; // value / N each
    std::size_t position_ = 0;
    std::atomic<double> sum_{0.0};
};

// What the output callbacks counted since the stream was made.
struct AudioStreamCounters {
    uint64_t callbacks = 0;
    uint64_t timeouts = 0;
    uint64_t underflows = 0;
    uint64_t overflows = 0;
};

// The report logged when a stream stops: the counts and their share of the
// callbacks (0 when there was none).
std::string stopReportText(const AudioStreamCounters& counters);

class StreamAudio final : public IStream {
public:
    StreamAudio(AbstractCore* core, std::mutex* stateMutex, IHandler* owner);
    ~StreamAudio() override;

    StreamKind kind() const override { return kStreamAudio; }
    int32_t scanDevices(trv_output_t) override { return TRV_ERROR_OUTPUT_NOT_SUPPORTED; }
    trv_device_info_t* getScannedDevices() override { return nullptr; }
    int32_t connect(trv_output_t, uint32_t) override { return TRV_ERROR_OUTPUT_NOT_SUPPORTED; }
    // Ends run() whenever it comes: before, during or after openStream().
    int32_t stop() override;
    // Returns 0 when the stream stopped on a stop request, -3 when none is
    // open, -15 when it cannot start or ends by itself (the device failed;
    // one error line says so). Reports the connection through the owner
    // once playing. Ends the audio system's session on every path.
    int32_t run() override;
    uint32_t getSerialNumber() override { return kNoSerialNumber; }
    std::string getVersion() override { return "Experimental-AudioConnection"; }
    trv_device_type_t getDeviceType() override { return TRV_DEVICE_TYPE_NONE; }
    // Clears the stop request and the per-connection counters.
    int32_t resetCounters() override;

    // Applies the preset to `settings`, starts the audio system, chooses the
    // output device and opens the stream; 0, or -4 (unknown preset), -2 (no
    // device passes), -15. On failure the audio system is ended again.
    // Precondition: settings.bufferSize >= 1, both texts non-null. Frames
    // beyond what the core renders at once would play silence: the handlers
    // refuse such a size before.
    int32_t openStream(trv_audio_preset_t preset, trv_audio_settings_t& settings);

    AudioStreamCounters counters() const noexcept;
    // The channel count of the open stream (0 when none).
    int32_t streamChannels() const noexcept { return streamChannels_.load(std::memory_order_relaxed); }

private:
    enum Handoff : uint8_t { kIdle, kRequested, kReady };

    int32_t openSelected(trv_audio_settings_t& settings, bool byExpression);
    int32_t selectDevice(const trv_audio_settings_t& settings, bool byExpression,
                         audio::StreamParameters& parameters);
    bool fillParameters(int32_t device, const audio::AudioDeviceInfo& info, const trv_audio_settings_t& settings,
                        audio::StreamParameters& parameters) const;
    int32_t errorReport(audio::AudioError error);
    // The run loop and its end, with the session held.
    int32_t play();
    // Closes the stream (nothing when none is open); a failure is logged.
    void closeStream();
    // Closes the stream, then ends the session (nothing when none is held).
    void endSession();
    void logCallbackReport() const;

    static void outputCallback(void* self, const void* input, void* output, unsigned long frames,
                               uint32_t statusFlags) noexcept;
    static void finishedCallback(void* self) noexcept;
    void onOutput(float* const* channels, unsigned long frames, uint32_t statusFlags) noexcept;
    void copyBuffer(float* const* channels, unsigned long frames) noexcept;
    void playSilence(float* const* channels, unsigned long frames) noexcept;

    // Held from openStream() to the end of run(); only the stream thread
    // (and the destructor) touch it, and the stream is closed before it ends.
    std::optional<LoggedAudioSession> session_;

    // Written by openStream() before the stream starts; read by the callback.
    double callbackTimeoutSeconds_ = 0;
    std::string deviceName_; // the chosen device, for the failure line
    uint32_t copyChannels_ = 0;  // core channels played: min(core, stream)
    uint32_t bufferFrames_ = 0;  // frames the core renders per buffer

    std::atomic<int32_t> streamChannels_{0};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> streamEnded_{false}; // the audio system stopped the stream (finished callback)
    std::atomic<uint8_t> handoff_{kIdle};
    RtSemaphore renderWanted_; // posted by the callback (a request), stop() and the end of the stream
    RtSemaphore bufferDone_;   // posted by the stream thread when a buffer is ready, and by stop()

    // Written by the callback only (the means: by the callback, except
    // computeTime_, by the stream thread only).
    std::atomic<uint64_t> callbacks_{0};
    std::atomic<uint64_t> timeouts_{0};
    std::atomic<uint64_t> underflows_{0};
    std::atomic<uint64_t> overflows_{0};
    std::atomic<uint32_t> callbackCount_{0}; // since resetCounters
    std::atomic<double> cpuLoad_{0.0};
    RunningMean requestComputeTime_;
    RunningMean callbackTime_;
    RunningMean ratio_;
    RunningMean computeTime_;

    audio::AudioStream stream_; // closed before the session ends (endSession)
};
