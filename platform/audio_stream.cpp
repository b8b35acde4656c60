#include "platform/audio_stream.h"

#include <portaudio.h>

#include <time.h>

#include <atomic>

namespace audio {
namespace detail {
PaStreamParameters toPortAudio(const StreamParameters& p) noexcept;
} // namespace detail

namespace {

std::atomic<int32_t> gOpenStreams{0};
std::atomic<CallbackProbe> gProbe{nullptr};

double monotonicSeconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

} // namespace

// PortAudio's entry points into a stream object.
struct AudioStreamDispatch {
    static int callback(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags flags, void* self) noexcept {
        auto* s = static_cast<AudioStream*>(self);
        const CallbackProbe probe = gProbe.load(std::memory_order_relaxed);
        const double start = probe != nullptr ? monotonicSeconds() : 0.0;
        s->callback_(s->user_, input, output, frames, static_cast<uint32_t>(flags));
        if (probe != nullptr) probe(monotonicSeconds() - start);
        return paContinue;
    }
    static void finished(void* self) noexcept {
        auto* s = static_cast<AudioStream*>(self);
        if (s->finished_ != nullptr) s->finished_(s->user_);
    }
};

AudioStream::~AudioStream() { close(); }

AudioError AudioStream::open(const StreamParameters* input, const StreamParameters* output, double sampleRate,
                             uint32_t framesPerBuffer, Callback callback, void* user) noexcept {
    close();
    callback_ = callback;
    user_ = user;
    finished_ = nullptr;
    PaStreamParameters in{};
    PaStreamParameters out{};
    if (input != nullptr) in = detail::toPortAudio(*input);
    if (output != nullptr) out = detail::toPortAudio(*output);
    PaStream* stream = nullptr;
    const PaError e = Pa_OpenStream(&stream, input != nullptr ? &in : nullptr, output != nullptr ? &out : nullptr,
                                    sampleRate, framesPerBuffer, paNoFlag, &AudioStreamDispatch::callback, this);
    if (e != paNoError) return e;
    stream_ = stream;
    gOpenStreams.fetch_add(1, std::memory_order_relaxed);
    return paNoError;
}

AudioError AudioStream::setFinishedCallback(FinishedCallback finished) noexcept {
    if (stream_ == nullptr) return paBadStreamPtr;
    finished_ = finished;
    return Pa_SetStreamFinishedCallback(stream_, finished != nullptr ? &AudioStreamDispatch::finished : nullptr);
}

AudioError AudioStream::start() noexcept {
    return stream_ != nullptr ? Pa_StartStream(stream_) : paBadStreamPtr;
}

AudioError AudioStream::abort() noexcept {
    return stream_ != nullptr ? Pa_AbortStream(stream_) : paBadStreamPtr;
}

AudioError AudioStream::close() noexcept {
    if (stream_ == nullptr) return paNoError;
    PaStream* stream = stream_;
    stream_ = nullptr;
    gOpenStreams.fetch_sub(1, std::memory_order_relaxed);
    // Pa_CloseStream aborts a running stream itself.
    return Pa_CloseStream(stream);
}

double AudioStream::time() const noexcept { return stream_ != nullptr ? Pa_GetStreamTime(stream_) : 0.0; }

double AudioStream::cpuLoad() const noexcept { return stream_ != nullptr ? Pa_GetStreamCpuLoad(stream_) : 0.0; }

double AudioStream::outputLatencySeconds() const noexcept {
    const PaStreamInfo* info = stream_ != nullptr ? Pa_GetStreamInfo(stream_) : nullptr;
    return info != nullptr ? info->outputLatency : 0.0;
}

double AudioStream::sampleRate() const noexcept {
    const PaStreamInfo* info = stream_ != nullptr ? Pa_GetStreamInfo(stream_) : nullptr;
    return info != nullptr ? info->sampleRate : 0.0;
}

int32_t openAudioStreams() noexcept { return gOpenStreams.load(std::memory_order_relaxed); }

void setCallbackProbe(CallbackProbe probe) noexcept { gProbe.store(probe, std::memory_order_relaxed); }

} // namespace audio
