/*
 * Tarvonel SDK: the class interface.
 *
 * One TarvonelSDK is one SDK instance driving one vest: it finds and
 * connects the vest, loads haptic patterns (spn JSON) and plays effects of
 * them. Results are trv_error_t codes (negative on failure; see
 * trv_types.h) or values; no exception leaves a method.
 *
 * Threads. Methods may be called from any thread, also while a connect or
 * a scan changes the backend (see enableLegacyBackend): each call works on
 * the backend that was current when it began. The outcome of a connect
 * or a scan arrives later, on a thread of the library, through the
 * connection callback; the callback may call back into the instance
 * (connectionStatus, connect, scanDevices, disconnect, ...), and may
 * destroy it, as may the log callback on any of the library's threads: the
 * connection then ends and the instance's own thread finishes the
 * destruction once the callback has returned; no callback follows. One
 * limit: don't destroy an instance while a thread (this one, from the log
 * callback, included) is still inside one of its methods. The C interface
 * (tarvonel.h) lifts it.
 */
#ifndef TARVONEL_TARVONEL_SDK_H
#define TARVONEL_TARVONEL_SDK_H

#include <stdint.h>

#include <string>

#include "ExperimentalTarvonelSDK.h"
#include "trv_types.h"

class HandlerHolder;

class TRV_API TarvonelSDK {
public:
    /* logPath: the rotating log file ("TarvonelLogs/TarvonelSDK.log",
     * relative to the current directory, when empty or null). One log file
     * per process: the first instance creates it, unless the application
     * installed its own log callback before; later instances print "Log
     * initialization failed: ..." on stdout and log to the first file. The
     * instance starts no thread and touches no device before the first
     * connect or scan. */
    explicit TarvonelSDK(const char* logPath = "");
    /* Stops the connection, joins the instance's threads. See the limits
     * above. */
    ~TarvonelSDK();

    TarvonelSDK(const TarvonelSDK&) = delete;
    TarvonelSDK& operator=(const TarvonelSDK&) = delete;

    /* A copy of the experimental companion; it refers to this instance. */
    ExperimentalTarvonelSDK ExperimentalAPI();

    static std::string getSDKVersion(); /* "1.6.5" */
    /* "12-34-5678" for 12345678. */
    static std::string serialNumberToString(uint32_t serialNumber);
    /* The process-wide log callback; null silences all logging. Once set,
     * no instance creates a log file. Returns 0. */
    static int32_t setLogCallback(trv_log_callback_t callback);

    /* Starts connecting (output: trv_output_t; serialNumber 0: any vest).
     * 0 when started; -12 when not disconnected; -11 while a scan or a
     * connection runs. The outcome arrives through the callback. */
    int32_t connect(trv_output_t output, uint32_t serialNumber);
    /* Starts a scan; then scanStatus and getFirstScannedDevice. */
    int32_t scanDevices(trv_output_t output);
    int32_t disconnect();
    trv_connection_state_t connectionStatus();
    int32_t scanStatus(); /* 1 while scanning, else 0 */
    /* The head of the last scan's list, owned by the instance: valid until
     * the next scan, a change of backend or the instance's end. Null when
     * nothing was found. */
    trv_device_info_t* getFirstScannedDevice();

    uint32_t getTarvonelSerialNumber(); /* 0xFFFFFFFF without a device */
    std::string getTarvonelSerialNumberAsString();
    trv_device_type_t getTarvonelType();
    std::string getTarvonelVersion();
    /* Called on a library thread with (state, error, serial number,
     * userData); null: none. Kept for every later backend. Returns 0. */
    int32_t setConnectionCallback(trv_connection_callback_t callback, void* userData);

    /* The new pattern's ID (>= 0) or a negative code; -2 for null. */
    int32_t loadPatternFromJSON(const char* json);
    int32_t unloadPattern(int32_t patternID);
    int32_t getPatternIntensityBoost(int32_t patternID);
    int32_t setAccumulationWindowToPattern(int32_t mainPatternID, int32_t fallbackPatternID,
                                           float timeWindow, int32_t maxAccumulation);
    int32_t eraseAccumulationWindowToPattern(int32_t patternID);
    /* The new effect's ID (>= 0) or a negative code. -2 when priority is
     * outside 1..10, speed outside 0.01..100, volume outside 0..250, with
     * overridePatternBoost effectBoost outside -100..100, or any float
     * property is NaN or infinite. */
    int32_t playEffect(int32_t patternID, trv_effect_properties_t properties);
    int32_t stopEffect(int32_t effectID, float fadeTime);
    trv_effect_state_t effectState(int32_t effectID);
    int32_t pauseAll();
    int32_t resumeAll();
    int32_t stopAll();
    /* The global intensity boost: 0 = the patterns' own level, 50 = x10,
     * 100 = x100, negative values invert. Read back it may come out lower
     * (it is kept as a whole linear gain). Boosts beyond +-466 are taken as
     * +-466. */
    int32_t getGlobalIntensityBoost();
    int32_t setGlobalIntensityBoost(int32_t boost);

private:
    friend class ExperimentalTarvonelSDK;

    /* Owned: the current backend (a call works on the one current when it
     * began; a replaced one ends after its last call) and the backend chosen
     * for the next connect or scan. Null only when it could not be made. */
    HandlerHolder* handlers;
    ExperimentalTarvonelSDK experimental;
};

#endif /* TARVONEL_TARVONEL_SDK_H */
