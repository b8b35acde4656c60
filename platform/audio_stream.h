// One PortAudio stream, owned: opened, started, aborted and closed through
// this object, and closed by its end on every path, so a device is never
// left busy by a stream that nobody closes.
//
// The object must outlive PortAudio's use of it: it stays where it was
// made (no copy, no move) and must be closed, or destroyed, before the
// AudioSession that it was opened under ends.
#pragma once

#include <cstdint>

#include "platform/audio_system.h"

namespace audio {

// Status flags handed to the callback.
inline constexpr uint32_t kOutputUnderflow = 0x4;
inline constexpr uint32_t kOutputOverflow = 0x8;

class AudioStream {
public:
    // Runs on PortAudio's real-time thread, once per buffer of `frames`
    // frames. input and output are in the formats the stream was opened
    // with: for a non-interleaved side, an array of one buffer pointer per
    // channel. It must not allocate, lock a mutex, log, or wait past its
    // own deadline; the stream always continues.
    using Callback = void (*)(void* user, const void* input, void* output, unsigned long frames,
                              uint32_t statusFlags) noexcept;
    // Runs on PortAudio's thread once the stream has stopped for any
    // reason, after the last Callback.
    using FinishedCallback = void (*)(void* user) noexcept;

    AudioStream() = default;
    ~AudioStream();
    AudioStream(const AudioStream&) = delete;
    AudioStream& operator=(const AudioStream&) = delete;

    // Opens a stream (either side may be null). Closes an earlier one first.
    AudioError open(const StreamParameters* input, const StreamParameters* output, double sampleRate,
                    uint32_t framesPerBuffer, Callback callback, void* user) noexcept;
    AudioError setFinishedCallback(FinishedCallback finished) noexcept;
    AudioError start() noexcept;
    // Stops at once, dropping what is queued; the finished callback has run
    // when it returns.
    AudioError abort() noexcept;
    // Closes the stream (aborting it if it runs); nothing when none is open.
    AudioError close() noexcept;

    bool isOpen() const noexcept { return stream_ != nullptr; }
    // The stream's clock, in seconds; callable from the callback.
    double time() const noexcept;
    // PortAudio's estimate of the callback's share of the buffer period.
    double cpuLoad() const noexcept;
    double outputLatencySeconds() const noexcept;
    double sampleRate() const noexcept;

private:
    friend struct AudioStreamDispatch;

    void* stream_ = nullptr; // the PortAudio stream
    Callback callback_ = nullptr;
    FinishedCallback finished_ = nullptr;
    void* user_ = nullptr;
};

// Streams open in the process (opened and not yet closed). For tests.
int32_t openAudioStreams() noexcept;

// Called after every stream callback of the process with its duration in
// seconds, on the real-time thread (so it must neither allocate, lock nor
// block). Null (the default) measures nothing. For benchmarks.
using CallbackProbe = void (*)(double seconds) noexcept;
void setCallbackProbe(CallbackProbe probe) noexcept;

} // namespace audio
