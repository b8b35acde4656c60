/*
 * Tarvonel SDK: the experimental companion of an SDK instance.
 *
 * Every TarvonelSDK holds one (TarvonelSDK::ExperimentalAPI returns a copy).
 * A copy refers to its owner and may be used as long as the owner lives.
 * The companion holds no state of its own: its calls act on the owner's
 * backend. Like the owner's, its methods let no exception out.
 *
 * Threads: connectAudio and connectVyx may replace the owner's backend while
 * other threads call in, as TarvonelSDK::connect may.
 *
 * Audio devices are named as the audio system shows them: the device's
 * ALSA name (a card's name, or a PCM defined in the ALSA configuration) and
 * its host API, "ALSA". The static queries list them; each hands back
 * storage of its own that stays valid until the next call of the same
 * query. Their problems are written as lines on stderr, not to the log.
 */
#ifndef TARVONEL_EXPERIMENTAL_TARVONEL_SDK_H
#define TARVONEL_EXPERIMENTAL_TARVONEL_SDK_H

#include <stdint.h>

#include "trv_types.h"

class TarvonelSDK;

class TRV_API ExperimentalTarvonelSDK {
public:
    explicit ExperimentalTarvonelSDK(TarvonelSDK* owner) noexcept;

    /* Plays the rendered actuator channels on an audio output instead of
     * streaming them to the vest, with the default (streaming) backend,
     * which replaces any other backend here. preset: eCustomDevice uses
     * settings as given; the others choose the vest's sound card (20
     * channels) or a USB audio converter (2 channels) by name at 48000 Hz.
     * settings is read, never written. 0 when started (the outcome arrives
     * through the connection callback: connected, then disconnected when
     * the stream ends); -12 when not disconnected; -11 while a scan or a
     * connection runs; -2 for a buffer size of 0 or above 65536 frames, a
     * channel count of 0 or a null text. disconnect() ends it. */
    int connectAudio(trv_audio_preset_t preset, trv_audio_settings_t& settings);
    /* The backend of later TarvonelSDK::connect and scanDevices: board
     * commands when true, streaming when false (the default). */
    void enableLegacyBackend(bool enable);
    /* Sends the playing effects' actuator weights to the visualizer. */
    void enableVisualizer(bool enable);
    /* A playing effect's speed factor (negative reads as 0) and volume in
     * percent (100: the pattern's level; negative reads as 0). Only with
     * the streaming backend; an unknown effect, a NaN or an infinite value
     * changes nothing. */
    void setEffectSpeed(int effectID, float speed);
    void setEffectVolume(int effectID, float volume);

    /* The distinct names of all output devices. 0; -4 when there is none
     * (names then holds "noDevice", or is left as it was when the audio
     * system lists no device at all); -15 on an audio-system failure. */
    static int getOutputDevicesNames(const char**& names, int& count);
    /* The host APIs that offer an output device of exactly that name. 0;
     * -4 with the single entry "noAPI" when none; -15. */
    static int getOutputDeviceAPIs(const char* deviceName, const char**& apis, int& count);
    /* The device's maximum output channels and default output latencies
     * (seconds). 0; -2 when no output device has that name and API; -15. */
    static int getOutputDeviceInfo(const char* deviceName, const char* audioAPI, int& maxChannels,
                                   float& defaultLowLatency, float& defaultHighLatency);
    /* Which of the 13 standard rates (8000 to 192000 Hz) the device
     * accepts. 0; -4 with the single entry 0xFFFFFFFF when none; -2 (no
     * such device) or -15 with all 13 rates. */
    static int getSupportedStandardSampleRates(const char* deviceName, const char* audioAPI, uint32_t*& rates,
                                               int& count);

    /* Audio-to-haptics: the vest plays what the computer plays. The sound
     * is captured from a loopback device, the monitor of one output of the
     * desktop's sound server (PulseAudio or PipeWire), named after that
     * output: "<output description> [Loopback]" (getLoopbackDevicesNames
     * lists them). A name selects the first loopback device whose name
     * begins with it; null selects the monitor of the default output, unless
     * that output is the vest itself. The instance switches to the
     * audio-to-haptics backend and connects over output (trv_output_t) as
     * connect does; the outcome arrives through the connection callback: a
     * capture that cannot start fails the connection with its code.
     * 0 when started; -12 when not disconnected; -2 when no loopback device
     * fits (a message on stderr says why); -11 while a scan runs. */
    int connectVyx(trv_output_t output, uint32_t serialNumber, const char* loopbackDeviceName);
    /* As connectVyx, but the haptic signal is played on an audio output
     * chosen as connectAudio chooses it (same checks and results; settings
     * is read, never written). */
    int connectVyxAudio(trv_audio_preset_t preset, trv_audio_settings_t& settings, const char* loopbackDeviceName);

    /* The audio-to-haptics preset (0 "Default", 1 "Sharp", 2 "Crunchy",
     * 3 "Smooth") and volume (a gain, 1.0 as synthesised; each sample is
     * limited to [-1, 1]). They act after connectVyx made the backend
     * audio-to-haptics, connected or not; on another backend getVyxPreset
     * gives 0, getVyxVolume 0.0, setVyxVolume does nothing and setVyxPreset
     * gives -17. setVyxPreset: -2 outside 0..3. setVyxVolume: negative
     * values, NaN and infinities store 0. */
    int getVyxPreset();
    int setVyxPreset(int preset);
    float getVyxVolume();
    void setVyxVolume(float volume);

    /* The four preset names, constant texts of the library. Returns 0. */
    static int listVyxPresets(const char**& names, int& count);

    /* The names of the loopback devices, the vest's own left out. The array
     * and texts stay valid until the next call. 0; -4 with the single entry
     * "noDevice" when there is none, and -4 with nothing written when no
     * sound server is reachable (a message on stderr says which). */
    static int getLoopbackDevicesNames(const char**& names, int& count);

private:
    friend class TarvonelSDK;
    TarvonelSDK* owner; /* not owned */
};

#endif /* TARVONEL_EXPERIMENTAL_TARVONEL_SDK_H */
