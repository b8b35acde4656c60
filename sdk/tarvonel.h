/*
 * Tarvonel SDK: the C interface.
 *
 * Compiles as C99 and as C++. SDK instances are addressed by integer
 * handles, issued 0, 1, 2, ... by trv_createSDKInstance and never reused in
 * a process. A call with a handle that has no instance (never issued, or
 * freed) returns at once the value its comment gives as "unknown", calls
 * nothing and logs nothing. Every other result is the one of the
 * TarvonelSDK method of the same meaning (TarvonelSDK.h). No function
 * crashes on a null pointer argument, and none lets an exception out.
 *
 * Threads: every function may be called from any thread, also from inside
 * the connection and log callbacks. A handle may be freed while other calls
 * on it still run, and from inside its own callbacks: the handle is unknown
 * at once, and the instance is destroyed when the last of those calls
 * returns. A text result belongs to the library and stays valid until the
 * next call of the same function (on any thread, with any handle): copy it
 * before calling that function again.
 */
#ifndef TARVONEL_TARVONEL_H
#define TARVONEL_TARVONEL_H

#include <stdint.h>

#include "trv_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Instances ---- */

/* A new instance (logPath as for TarvonelSDK; null or "" for the default
 * path). Its handle, or -1 when it could not be made or the process has
 * used up every handle (2^31 of them). */
TRV_API int trv_createSDKInstance(const char* logPath);
/* Destroys the instance: its connection ends, its threads are joined
 * (later, by the last call on it still running, when there is one; inside
 * a connection or log callback, on whichever thread, the connection ends
 * and the instance's own thread finishes the destruction once the callback
 * has returned). Unknown: nothing happens. */
TRV_API void trv_freeSDKInstance(int sdkID);

/* ---- Process-wide ---- */

TRV_API const char* trv_getSDKVersion(void); /* "1.6.5" */
/* "12-34-5678" for 12345678. */
TRV_API const char* trv_serialNumberToString(uint32_t serialNumber);
/* The process-wide log callback; null silences all logging. Returns 0. */
TRV_API int trv_setLogCallback(trv_log_callback_t callback);
/* Writes the defaults into *properties; null: nothing. */
TRV_API void trv_defaultEffectProperties(trv_effect_properties_t* properties);

/* ---- Device and connection ---- */

TRV_API int trv_scanDevices(int sdkID, trv_output_t output);          /* unknown: -9 */
TRV_API int trv_scanStatus(int sdkID);                                /* unknown: -9 */
/* Owned by the instance; valid until the next scan or the instance's end.
 * Unknown: null. */
TRV_API trv_device_info_t* trv_getFirstScannedDevice(int sdkID);
TRV_API int trv_connectDevice(int sdkID, trv_output_t output,
                              uint32_t serialNumber);                 /* unknown: -9 */
TRV_API int trv_disconnectDevice(int sdkID);                          /* unknown: -9 */
TRV_API trv_connection_state_t trv_connectionStatus(int sdkID);       /* unknown: -1 */
TRV_API uint32_t trv_getTarvonelSerialNumber(int sdkID);              /* unknown: 0xFFFFFFFF */
/* Unknown: the text of the last call that had a known handle, or
 * "noDeviceConnected". */
TRV_API const char* trv_getTarvonelSerialNumberAsString(int sdkID);
TRV_API const char* trv_getTarvonelVersion(int sdkID);                /* as above */
TRV_API trv_device_type_t trv_getTarvonelType(int sdkID);             /* unknown: 0xFFFFFFFF */
TRV_API int trv_setConnectionCallback(int sdkID, trv_connection_callback_t callback,
                                      void* userData);                /* unknown: -9 */

/* ---- Patterns and effects ---- */

/* The pattern's ID (>= 0) or a negative code; -2 for a null text.
 * Unknown: -9. */
TRV_API int trv_loadPatternFromJSON(int sdkID, const char* json);
TRV_API int trv_unloadPattern(int sdkID, int patternID);              /* unknown: -9 */
TRV_API int trv_setAccumulationWindowToPattern(int sdkID, int mainPatternID,
                                               int fallbackPatternID, float timeWindow,
                                               int maxAccumulation); /* unknown: -9 */
TRV_API int trv_eraseAccumulationWindowToPattern(int sdkID, int patternID); /* unknown: -9 */
TRV_API int trv_getPatternIntensityBoost(int sdkID, int patternID);   /* unknown: 0 */
TRV_API int trv_getGlobalIntensityBoost(int sdkID);                   /* unknown: -9 */
TRV_API int trv_setGlobalIntensityBoost(int sdkID, int boost);        /* unknown: -9 */
/* The effect's ID (>= 0) or a negative code. The properties are copied;
 * start from trv_defaultEffectProperties. Unknown: -9. */
TRV_API int trv_playEffect(int sdkID, int patternID, trv_effect_properties_t properties);
TRV_API int trv_stopEffect(int sdkID, int effectID, float fadeTime);  /* unknown: -9 */
TRV_API trv_effect_state_t trv_effectState(int sdkID, int effectID);  /* unknown: -1 */
TRV_API int trv_pauseAll(int sdkID);                                  /* unknown: -9 */
TRV_API int trv_resumeAll(int sdkID);                                 /* unknown: -9 */
TRV_API int trv_stopAll(int sdkID);                                   /* unknown: -9 */

/* ---- Experimental (ExperimentalTarvonelSDK.h gives each call's results) ---- */

/* Writes the default audio settings into *settings ("default_output",
 * "any_API", 48000 Hz, 256 frames, -1 channels, latency 0); null: nothing.
 * The two texts belong to the library. */
TRV_API void trv_exp_defaultAudioSettings(trv_audio_settings_t* settings);
/* Unknown: -9. A null settings pointer: -2. */
TRV_API int trv_exp_connectAudio(int sdkID, trv_audio_preset_t preset, trv_audio_settings_t* settings);
TRV_API void trv_exp_enableLegacyBackend(int sdkID, bool enable);        /* unknown: nothing */
TRV_API void trv_exp_enableVisualizer(int sdkID, bool enable);           /* unknown: nothing */
TRV_API void trv_exp_setEffectSpeed(int sdkID, int effectID, float speed);   /* unknown: nothing */
TRV_API void trv_exp_setEffectVolume(int sdkID, int effectID, float volume); /* unknown: nothing */

/* The audio-device queries need no instance. The lists they hand out stay
 * valid until the next call of the same query. A null out-pointer: -2. */
TRV_API int trv_exp_getOutputDevicesNames(const char*** names, int* count);
TRV_API int trv_exp_getOutputDeviceAPIs(const char* deviceName, const char*** apis, int* count);
TRV_API int trv_exp_getOutputDeviceInfo(const char* deviceName, const char* audioAPI, int* maxChannels,
                                        float* defaultLowLatency, float* defaultHighLatency);
TRV_API int trv_exp_getSupportedStandardSampleRates(const char* deviceName, const char* audioAPI,
                                                    uint32_t** rates, int* count);

/* ---- Audio-to-haptics (experimental) ---- */

/* ExperimentalTarvonelSDK::connectVyx: the vest plays what the computer
 * plays, captured from a loopback device (null: the default output's).
 * Unknown: -9. */
TRV_API int trv_exp_connectVyx(int sdkID, trv_output_t output, uint32_t serialNumber,
                               const char* loopbackDeviceName);
/* ExperimentalTarvonelSDK::connectVyxAudio. Unknown: -9; null settings: -2. */
TRV_API int trv_exp_connectVyxAudio(int sdkID, trv_audio_preset_t preset, trv_audio_settings_t* settings,
                                    const char* loopbackDeviceName);
TRV_API int trv_exp_getVyxPreset(int sdkID);                          /* unknown: -9 */
TRV_API int trv_exp_setVyxPreset(int sdkID, int preset);              /* unknown: -9 */
TRV_API float trv_exp_getVyxVolume(int sdkID);                        /* unknown: -9.0 */
TRV_API int trv_exp_setVyxVolume(int sdkID, float volume);            /* 0; unknown: -9 */
/* The four preset names (constant texts) and 4. -2 for a null pointer. */
TRV_API int trv_exp_listVyxPresets(const char*** names, int* count);
/* ExperimentalTarvonelSDK::getLoopbackDevicesNames; -2 for a null pointer. */
TRV_API int trv_exp_getLoopbackDevicesNames(const char*** names, int* count);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARVONEL_TARVONEL_H */
