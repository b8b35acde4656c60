// The audio system: PortAudio on its ALSA host API, behind one small layer.
//
// PortAudio is used only between a successful AudioSession's construction
// and its end. Sessions are counted under one process-wide lock, held only
// while PortAudio initialises or terminates (never while a caller does
// anything else), so every Pa_Terminate matches one Pa_Initialize that
// succeeded: no user's end takes another user's initialisation away.
//
// ALSA and JACK write their diagnostics to stderr by default; while this
// layer is in use they go to the noise sink instead (see AudioSession).
//
// The device queries below need a live session on the calling thread's
// side; they read PortAudio's tables, which stay fixed while any session
// lives. They are safe to call from several threads at once. PortAudio lists
// the devices when the first session starts and a nested one lists nothing
// anew: hold a session only while it is used, so that the next one sees the
// devices as they are then.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace audio {

// PortAudio's error codes, as plain integers (0 = no error).
using AudioError = int32_t;
inline constexpr AudioError kAudioNoError = 0;
inline constexpr AudioError kUnanticipatedHostError = -9999;
inline constexpr int32_t kNoDevice = -1;

// The host API of every device this layer plays to. Its name as PortAudio
// gives it, which is what a caller names in an audio setting.
inline constexpr const char* kDefaultHostApiName = "ALSA";

// Receives one line of the audio system's own diagnostics (ALSA, JACK),
// on whichever thread produced it. Must not throw; should be cheap.
using NoiseSink = void (*)(const char* line) noexcept;

// One counted use of PortAudio.
class AudioSession {
public:
    // Initialises PortAudio (a nested initialisation when another session
    // lives). error() tells whether it succeeded. A sink given here
    // becomes the process-wide noise sink first (without one, the lines
    // go to the last sink given, or nowhere).
    explicit AudioSession(NoiseSink sink = nullptr) noexcept;
    // Terminates, unless terminate() already did or the start failed.
    ~AudioSession();
    AudioSession(const AudioSession&) = delete;
    AudioSession& operator=(const AudioSession&) = delete;

    AudioError error() const noexcept { return error_; }
    bool ok() const noexcept { return error_ == kAudioNoError && !ended_; }

    // Ends this session's use now; PortAudio's result. A session that never
    // started, or already ended, does nothing and returns 0. Streams that
    // PortAudio still holds open are closed by the last end.
    AudioError terminate() noexcept;

private:
    AudioError error_ = kAudioNoError;
    bool ended_ = false;
};

// Sessions alive in the process (those whose start succeeded and that have
// not ended). For tests.
int32_t liveAudioSessions() noexcept;

// PortAudio's text for an error code; a constant text.
const char* audioErrorText(AudioError error) noexcept;

struct HostErrorInfo {
    long code = 0;
    int32_t hostApiType = 0;
    std::string text;
};
// The last host error of the calling thread (after kUnanticipatedHostError).
HostErrorInfo lastHostError();

struct AudioDeviceInfo {
    std::string name;
    std::string hostApiName;  // "" when PortAudio gave no host API record
    int32_t hostApiType = -1; // -1 likewise
    int32_t maxOutputChannels = 0;
    double defaultLowOutputLatency = 0;   // seconds
    double defaultHighOutputLatency = 0;  // seconds
};

// Number of devices, or a negative AudioError.
int32_t audioDeviceCount() noexcept;
// The device at a global index; nullopt when PortAudio has no record of it.
std::optional<AudioDeviceInfo> audioDeviceInfo(int32_t device);
int32_t audioDefaultOutputDevice() noexcept; // kNoDevice when there is none

enum class SampleFormat {
    Float32,   // 32-bit float
    Int16,     // 16-bit integer
};

// One direction of a stream.
struct StreamParameters {
    int32_t device = kNoDevice;
    int32_t channels = 0;
    SampleFormat format = SampleFormat::Float32;
    bool interleaved = true; // false: one buffer per channel
    double suggestedLatencySeconds = 0;
};

// kAudioNoError when a stream of these parameters could be opened at the
// rate; either side may be null.
AudioError audioFormatSupported(const StreamParameters* input, const StreamParameters* output,
                                double sampleRate) noexcept;

} // namespace audio
