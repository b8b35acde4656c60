// The host-rendered streaming backend (handler kind 1, the default).
//
// Effects are rendered on the host by one rendering-engine instance held in
// the handler's LumCore and handed to an output stream: a StreamHid that
// answers the vest's data requests. Every pattern and effect operation runs
// on the engine under stateMutex; the connection and scanning routines run
// on the frame's worker thread, and a connection routine stays inside the
// stream's run loop for the whole connection. An audio connection replaces
// the HID stream by a StreamAudio that plays the channels on a sound card
// until the next connection to the vest.
//
// Locks: stateMutex (the frame's) guards the engine, the stream pointer,
// the accumulation windows and the output type; the stream takes it around
// every render. connectionMutex is taken before it, around opening and
// scanning the stream, never while it is held. No lock is held while the
// stream runs, sends or waits, nor while a callback runs.
//
// Effects are the engine's sequences. Every sequence is created to be erased
// by the render after it ends, so ended effects cost neither memory, render
// time nor visualizer space; effectState answers -1 for them and stopEffect
// is a harmless no-op.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "streaming/stream_backend.h"
#include "streaming/LumCore.h"

class IStream;
class StreamAudio;

// The accumulation window set on one main pattern.
struct StreamingAccumulation {
    uint64_t windowStart = 0;  // steady-clock ns at which the open window opened; 0: never
    float window = 0.0f;       // seconds
    int32_t count = 0;         // fallback plays in the open window
    int32_t maxAccumulation = 0; // <= 0: no limit
    int32_t fallbackPatternID = -1;
};

class HandlerStreaming : public StreamBackend {
public:
    explicit HandlerStreaming(PatternRegistry* registry);
    ~HandlerStreaming() override;

    HandlerKind kind() const override;
    void reloadPatterns() override;
    void enableVisualizer(bool enable) override;
    int32_t getGlobalIntensityBoost() override;
    int32_t setGlobalIntensityBoost(int32_t gain) override;
    int32_t loadPatternFromJSON(const std::string& json) override;
    int32_t unloadPattern(int32_t patternID) override;
    int32_t getPatternIntensityBoost(int32_t patternID) override;
    int32_t setAccumulationWindowToPattern(int32_t mainPatternID, int32_t fallbackPatternID,
                                           float timeWindow, int32_t maxAccumulation) override;
    int32_t eraseAccumulationWindowToPattern(int32_t patternID) override;
    int32_t playEffect(int32_t patternID, trv_effect_properties_t properties) override;
    int32_t stopEffect(int32_t effectID, float fadeTime) override;
    trv_effect_state_t effectState(int32_t effectID) override;
    int32_t pauseAll() override;
    int32_t resumeAll() override;
    int32_t stopAll() override;

    // For the experimental interface: an effect's speed factor and volume
    // (percent); an unknown ID changes nothing.
    void setEffectSpeed(int32_t effectID, float speed);
    void setEffectVolume(int32_t effectID, float volume);

    // Starts an audio connection: the core's channels played on an audio
    // output chosen by the preset and the settings (the caller's record is
    // read, never written). 0 when the connection routine started (its
    // outcome reaches the connection callback); -2 for a buffer size or a
    // channel count of 0 or a null text; -11 while a scan, a connection or
    // a disconnection runs; -12 when connected.
    int32_t connectAudio(trv_audio_preset_t preset, const trv_audio_settings_t& settings);

private:
    void connectionRoutine(uint32_t serialNumber) override;
    void audioConnectionRoutine(trv_audio_preset_t preset, trv_audio_settings_t settings,
                                const std::string& deviceName, const std::string& audioAPI);
    void scanningRoutine(trv_output_t output) override;
    // Under stateMutex: a new sequence for the pattern, or for the fallback
    // of its accumulation window, or a negative code.
    int32_t applyAccumulation(int32_t patternID);

    // The stream renders it: the destructor releases the stream first.
    LumCore core;                                            // engine calls under stateMutex
    std::map<int32_t, StreamingAccumulation> accumulations;  // guarded by stateMutex
};
