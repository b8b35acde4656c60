// The audio-to-haptics backend (handler kind 2): the vest plays what the
// computer plays. Its signal core is a VyxCore, whose loopback capture turns
// the sound of the chosen loopback device into one haptic channel; its
// output is a HID stream to the vest. It plays no patterns: every pattern
// and effect operation answers a fixed value and changes nothing.
//
// A connection starts the capture before it opens the vest: a capture that
// cannot start (no sound server, no such device, a rate VYX-fx refuses)
// fails the connection, reported through the connection callback as
// (-1, the capture's code, the requested serial number), rather than leaving
// a connection up that can only play silence. A capture that breaks later
// (the sound server stops, the output is removed) leaves the connection up
// playing silence: the capture logs one warning and reopens the same
// output (by the sound server's name of it) when it is back. The capture
// ends with the connection, releasing the sound server.
//
// Locks: stateMutex (the frame's) guards the core, the stream pointer and
// the output type; the stream takes it around every render and rate change.
// connectionMutex is taken before it, around opening and scanning the
// stream, never while it is held. The capture's log lines are handed to the
// log callback after stateMutex is released.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "streaming/stream_backend.h"
#include "vyx/VyxCore.h"

class IStream;
class StreamAudio;

class HandlerVYX : public StreamBackend {
public:
    explicit HandlerVYX(PatternRegistry* registry);
    ~HandlerVYX() override;

    HandlerKind kind() const override { return kHandlerVyx; }
    void reloadPatterns() override {}
    void enableVisualizer(bool enable) override;
    int32_t getGlobalIntensityBoost() override { return 0; }
    int32_t setGlobalIntensityBoost(int32_t) override { return 0; }
    int32_t loadPatternFromJSON(const std::string&) override { return 0; }
    int32_t unloadPattern(int32_t) override { return 0; }
    int32_t getPatternIntensityBoost(int32_t) override { return 0; }
    int32_t setAccumulationWindowToPattern(int32_t, int32_t, float, int32_t) override { return 0; }
    int32_t eraseAccumulationWindowToPattern(int32_t) override { return 0; }
    int32_t playEffect(int32_t, trv_effect_properties_t) override { return -1; }
    int32_t stopEffect(int32_t, float) override { return -1; }
    trv_effect_state_t effectState(int32_t) override { return TRV_EFFECT_ENDED; }
    int32_t pauseAll() override { return 0; }
    int32_t resumeAll() override { return 0; }
    int32_t stopAll() override { return 0; }

    // Plays the haptic signal on an audio output instead of the vest's
    // link: the checks, log line and results of HandlerStreaming's
    // connectAudio (-2, -11, -12, 0); the caller's record is read only. The
    // outcome arrives through the callback with the serial number
    // 0xFFFFFFFF; a capture that cannot start ends it as for connect.
    int32_t connectAudio(trv_audio_preset_t preset, const trv_audio_settings_t& settings);

    // The loopback device by its name ("<sink description> [Loopback]");
    // a running capture moves to it at once.
    void setLoopbackDevice(const std::string& device);
    int32_t getVyxPreset();
    // Preset 0 to 3 (checked by the caller); a running synthesis takes it
    // at once.
    void setVyxPreset(int32_t preset);
    float getVyxVolume();
    // Stores max(volume, 0); NaN or an infinity is logged and stores 0.
    void setVyxVolume(float volume);

    // For tests: the core, to be used under no lock only while no
    // connection runs.
    VyxCore& coreForTesting() { return core; }

private:
    class CoreLock;

    void connectionRoutine(uint32_t serialNumber) override;
    void scanningRoutine(trv_output_t output) override;
    void audioConnectionRoutine(trv_audio_preset_t preset, trv_audio_settings_t settings,
                                const std::string& deviceName, const std::string& audioAPI);
    // Under stateMutex: the capture's failure once the stream set the rate
    // (0 when it runs or no device is chosen).
    int32_t captureFailureLocked();
    // Under stateMutex: starts the capture at rate (unless running);
    // returns the capture's failure, or 0 (also when no device is chosen).
    int32_t startCaptureLocked(double rateHz);
    // Ends the capture and forgets the rate, so the next connection starts
    // it again.
    void endCapture();

    // The stream renders it: the destructor releases the stream first.
    VyxCore core;                             // guarded by stateMutex
};
