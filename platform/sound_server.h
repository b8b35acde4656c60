// The desktop's sound server (PulseAudio, or PipeWire serving the same
// protocol) as the loopback capture sees it: the monitors of its outputs
// ("sinks"), each of which carries exactly what its sink plays, and a
// record stream on one of them.
//
// The server is the one the environment names (PULSE_SERVER, the user's
// runtime directory); it is never spawned: no server, no capture.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

// One sink of the server with its monitor source.
struct SoundServerMonitor {
    std::string sinkName;        // the server's name of the sink ("speakers")
    std::string sinkDescription; // its human-readable name, or sinkName when it has none
    std::string monitorSource;   // the monitor source's name ("speakers.monitor")
    uint32_t rateHz = 0;         // the monitor's own sample rate
    uint32_t channels = 0;       // and channel count
};

struct SoundServerListing {
    bool reachable = false;   // false: no server answered; see error
    std::string error;        // why, when not reachable
    std::string defaultSink;  // the default sink's name; empty when the server has none
    std::vector<SoundServerMonitor> monitors; // in the server's order of sinks
};

// Asks the server for its sinks and the default sink. Waits at most
// timeoutSeconds. Never throws.
SoundServerListing listSoundServerMonitors(float timeoutSeconds = 2.0f) noexcept;

// How SoundServerCapture::open ended.
enum class SoundServerOpen {
    Opened,
    Refused,         // no server reachable, or it refused or did not open the stream in time
    NoSuchSource,    // the server has no source of that name
    InvalidArgument, // a rate of 0 or no consumer
};

// A record stream of 32-bit float samples on one monitor source, at a rate
// the caller chooses (the server resamples) and with the source's own
// channel layout (a monitor of a stereo sink gives two channels, of a
// 20-channel sink twenty). Delivered in fragments of about 20 ms.
//
// Threads: open, close, exclusive and failed are called from the owner's
// threads, serialised by the owner; the consumer runs on the capture's own
// thread between open and close.
class SoundServerCapture {
public:
    // Receives captured frames, interleaved. `interleaved` is null for a gap
    // the server reports (frames of lost signal, to be taken as silence).
    // Runs on the capture thread: it must not allocate, lock, log or wait.
    using Consumer = void (*)(void* user, const float* interleaved, uint32_t frames, uint32_t channels);

    SoundServerCapture() = default;
    ~SoundServerCapture(); // close()
    SoundServerCapture(const SoundServerCapture&) = delete;
    SoundServerCapture& operator=(const SoundServerCapture&) = delete;

    // Connects to the server and starts capturing source at rateHz (> 0).
    // Anything but Opened says why in error. Waits at most timeoutSeconds.
    // A capture that is open is closed first. On failure nothing stays
    // open.
    SoundServerOpen open(const std::string& source, uint32_t rateHz, Consumer consumer, void* user,
                 std::string& error, float timeoutSeconds = 2.0f) noexcept;

    // Stops the stream and disconnects; once it returns the consumer is not
    // running and will not run again. Harmless when closed.
    void close() noexcept;

    bool isOpen() const noexcept { return loop_ != nullptr; }
    uint32_t channels() const noexcept { return channels_; } // of the open stream

    // True once the stream or the server connection broke after open (the
    // source vanished, the server stopped): the consumer gets nothing more.
    bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }

    // Runs body while the consumer is not running (it waits at most until
    // the consumer's current call returns). With the capture closed, runs
    // body at once. Not from the consumer itself.
    template <typename Body>
    void exclusive(Body&& body) {
        lockLoop();
        try {
            body();
        } catch (...) {
            unlockLoop();
            throw;
        }
        unlockLoop();
    }

private:
    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, size_t bytes, void* self);
    void lockLoop() noexcept;
    void unlockLoop() noexcept;

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    Consumer consumer_ = nullptr;
    void* user_ = nullptr;
    uint32_t channels_ = 0;
    uint32_t frameBytes_ = 0;
    std::atomic<bool> failed_{false};
};
