// Where the audio system's own diagnostics (ALSA, JACK) go: the log, at
// trace level, never stderr.
#pragma once

#include "platform/audio_system.h"
#include "sdk/log.h"

inline void audioNoiseToLog(const char* line) noexcept {
    if (LogStream::enabled(TRV_LOG_TRACE)) LogStream(TRV_LOG_TRACE, "AudioSystem") << line;
}

// A PortAudio session of the library.
class LoggedAudioSession : public audio::AudioSession {
public:
    LoggedAudioSession() noexcept : audio::AudioSession(&audioNoiseToLog) {}
};
