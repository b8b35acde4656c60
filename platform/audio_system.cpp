#include "platform/audio_system.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <portaudio.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace audio {
namespace {

std::atomic<NoiseSink> gNoiseSink{nullptr};

// Guards gSessions and every Pa_Initialize / Pa_Terminate of the process.
std::mutex gSessionMutex;
int32_t gSessions = 0; // guarded by gSessionMutex

void passNoise(const char* line) noexcept {
    if (NoiseSink sink = gNoiseSink.load(std::memory_order_acquire)) sink(line);
}

void alsaNoise(const char* file, int line, const char* function, int err, const char* format, ...) {
    if (gNoiseSink.load(std::memory_order_acquire) == nullptr) return;
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    char text[768];
    if (err != 0)
        std::snprintf(text, sizeof text, "ALSA %s:%d (%s): %s: %s", file, line, function, message,
                      snd_strerror(err));
    else
        std::snprintf(text, sizeof text, "ALSA %s:%d (%s): %s", file, line, function, message);
    passNoise(text);
}

void jackNoise(const char* message) {
    char text[768];
    std::snprintf(text, sizeof text, "JACK: %s", message);
    passNoise(text);
}

// Once, before the first initialisation: ALSA's and JACK's messages go to
// the sink instead of stderr. Called with gSessionMutex held.
void routeNoise() noexcept {
    static bool routed = false;
    if (routed) return;
    snd_lib_error_set_handler(&alsaNoise);
    jack_set_error_function(&jackNoise);
    jack_set_info_function(&jackNoise);
    routed = true;
}

std::string text(const char* value) { return value != nullptr ? value : ""; }

} // namespace

AudioSession::AudioSession(NoiseSink sink) noexcept {
    if (sink != nullptr) gNoiseSink.store(sink, std::memory_order_release);
    std::lock_guard lock(gSessionMutex);
    routeNoise();
    error_ = Pa_Initialize();
    if (error_ == paNoError) ++gSessions;
}

AudioSession::~AudioSession() { terminate(); }

AudioError AudioSession::terminate() noexcept {
    if (error_ != paNoError || ended_) return paNoError;
    ended_ = true;
    std::lock_guard lock(gSessionMutex);
    --gSessions;
    return Pa_Terminate();
}

int32_t liveAudioSessions() noexcept {
    std::lock_guard lock(gSessionMutex);
    return gSessions;
}

const char* audioErrorText(AudioError error) noexcept {
    const char* t = Pa_GetErrorText(error);
    return t != nullptr ? t : "";
}

HostErrorInfo lastHostError() {
    HostErrorInfo info;
    if (const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo()) {
        info.code = host->errorCode;
        info.hostApiType = host->hostApiType;
        info.text = text(host->errorText);
    }
    return info;
}

int32_t audioDeviceCount() noexcept { return Pa_GetDeviceCount(); }

std::optional<AudioDeviceInfo> audioDeviceInfo(int32_t device) {
    const PaDeviceInfo* d = Pa_GetDeviceInfo(device);
    if (d == nullptr) return std::nullopt;
    AudioDeviceInfo info;
    info.name = text(d->name);
    if (const PaHostApiInfo* api = Pa_GetHostApiInfo(d->hostApi)) {
        info.hostApiName = text(api->name);
        info.hostApiType = api->type;
    }
    info.maxOutputChannels = d->maxOutputChannels;
    info.defaultLowOutputLatency = d->defaultLowOutputLatency;
    info.defaultHighOutputLatency = d->defaultHighOutputLatency;
    return info;
}

int32_t audioDefaultOutputDevice() noexcept {
    const PaDeviceIndex d = Pa_GetDefaultOutputDevice();
    return d == paNoDevice ? kNoDevice : d;
}

namespace detail {

PaStreamParameters toPortAudio(const StreamParameters& p) noexcept {
    PaStreamParameters out{};
    out.device = p.device;
    out.channelCount = p.channels;
    out.sampleFormat = p.format == SampleFormat::Int16 ? paInt16 : paFloat32;
    if (!p.interleaved) out.sampleFormat |= paNonInterleaved;
    out.suggestedLatency = p.suggestedLatencySeconds;
    out.hostApiSpecificStreamInfo = nullptr;
    return out;
}

} // namespace detail

AudioError audioFormatSupported(const StreamParameters* input, const StreamParameters* output,
                                double sampleRate) noexcept {
    PaStreamParameters in{};
    PaStreamParameters out{};
    if (input != nullptr) in = detail::toPortAudio(*input);
    if (output != nullptr) out = detail::toPortAudio(*output);
    return Pa_IsFormatSupported(input != nullptr ? &in : nullptr, output != nullptr ? &out : nullptr,
                                sampleRate);
}

} // namespace audio
