// The C interface: a handle table in front of TarvonelSDK.
//
// The table's lock is held only to look a handle up or to change the
// table: never while a method runs and never while an instance is
// destroyed, so a callback that calls back into this interface (from a
// handler thread, while the application's thread is inside another call or
// inside trv_freeSDKInstance) cannot deadlock on it.
//
// The table and every call in progress share the ownership of an instance:
// trv_freeSDKInstance removes the table's share and waits for nothing; the
// instance is destroyed when the last call on it returns, on that call's
// thread (inside a callback on one of the library's threads, the handler's
// worker deletes it when its routine ends: IHandler::destroy).
//
// At exit, the instances the application did not free are taken out of the
// table and destroyed the same way, each ending its connection. The table
// and the text results are never destroyed (NeverDestroyed): a callback
// delivered during that teardown, or a thread still ending after it, finds
// an empty table and gets the answer for an unknown instance.
#include "tarvonel.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "TarvonelSDK.h"
#include "c_interface_internal.h"
#include "log.h"
#include "never_destroyed.h"
#include "serial_number.h"

namespace {

constexpr const char* kNoDevice = "noDeviceConnected";

struct InstanceTable {
    std::shared_mutex mutex; // guards instances and nextHandle; held for lookups and edits only
    std::unordered_map<int32_t, std::shared_ptr<TarvonelSDK>> instances;
    int64_t nextHandle = 0; // wide, so it can pass the last handle without wrapping
};

InstanceTable& table() {
    static NeverDestroyed<InstanceTable> instance;
    return *instance;
}

// Destroys, at exit, the instances left in the table: out of it under the
// lock, destroyed outside it, as trv_freeSDKInstance does. Made when the
// first instance is, after what that instance set up (its log sink): exit
// destroys it before those.
struct ExitTeardown {
    ExitTeardown() = default;
    ExitTeardown(const ExitTeardown&) = delete;
    ExitTeardown& operator=(const ExitTeardown&) = delete;
    ~ExitTeardown() {
        try {
            std::unordered_map<int32_t, std::shared_ptr<TarvonelSDK>> left;
            {
                InstanceTable& t = table();
                std::unique_lock lock(t.mutex);
                left.swap(t.instances);
            }
            left.clear(); // each now, unless a call on it still runs
        } catch (...) {
        }
    }
};

// The instance of sdkID, shared for the length of one call; null when none.
std::shared_ptr<TarvonelSDK> find(int sdkID) {
    InstanceTable& t = table();
    std::shared_lock lock(t.mutex);
    const auto it = t.instances.find(sdkID);
    return it == t.instances.end() ? nullptr : it->second;
}

// Calls body with the instance of sdkID, or returns unknown for a handle
// without one, or failure when anything throws.
template <typename R, typename Body>
R onInstance(int sdkID, R unknown, R failure, Body&& body) noexcept {
    try {
        const std::shared_ptr<TarvonelSDK> sdk = find(sdkID);
        if (!sdk) return unknown;
        return body(*sdk);
    } catch (...) {
        return failure;
    }
}

template <typename Body>
int onInstance(int sdkID, Body&& body) noexcept {
    return onInstance<int>(sdkID, TRV_ERROR_NO_INSTANCE, TRV_ERROR_OTHER, std::forward<Body>(body));
}

// A text result: one process-wide string per function. The lock keeps two
// threads from rewriting it at once; what a caller keeps of an earlier
// result is its own business (valid until the next call).
class TextSlot {
public:
    explicit TextSlot(const char* initial) : text(initial) {}

    const char* set(std::string value) {
        std::lock_guard lock(mutex);
        text = std::move(value);
        return text.c_str();
    }
    const char* get() {
        std::lock_guard lock(mutex);
        return text.c_str();
    }

private:
    std::mutex mutex; // guards text
    std::string text;
};

TextSlot& serialTextSlot() {
    static NeverDestroyed<TextSlot> slot("");
    return *slot;
}
TextSlot& deviceSerialSlot() {
    static NeverDestroyed<TextSlot> slot(kNoDevice);
    return *slot;
}
TextSlot& deviceVersionSlot() {
    static NeverDestroyed<TextSlot> slot(kNoDevice);
    return *slot;
}

} // namespace

void setNextSdkHandleForTesting(int64_t next) noexcept {
    InstanceTable& t = table();
    std::unique_lock lock(t.mutex);
    t.nextHandle = next;
}

extern "C" {

int trv_createSDKInstance(const char* logPath) {
    try {
        // Built before the table is touched; destroyed, on failure, after
        // the lock is released.
        auto sdk = std::make_shared<TarvonelSDK>(logPath != nullptr ? logPath : "");
        static const ExitTeardown teardown;
        InstanceTable& t = table();
        {
            std::unique_lock lock(t.mutex);
            if (t.nextHandle <= std::numeric_limits<int32_t>::max()) {
                const auto handle = static_cast<int32_t>(t.nextHandle);
                t.instances.emplace(handle, std::move(sdk));
                ++t.nextHandle;
                return handle;
            }
        }
        LogStream(TRV_LOG_ERROR, "Tarvonel") << "Cannot create an SDK instance: no handle left.";
    } catch (...) {
    }
    return TRV_ERROR_OTHER;
}

void trv_freeSDKInstance(int sdkID) {
    try {
        std::shared_ptr<TarvonelSDK> sdk;
        {
            // Out of the table first: no lookup hands out an instance that
            // is being destroyed, and two frees of one handle destroy once.
            InstanceTable& t = table();
            std::unique_lock lock(t.mutex);
            const auto it = t.instances.find(sdkID);
            if (it == t.instances.end()) return;
            sdk = std::move(it->second);
            t.instances.erase(it);
        }
        sdk.reset(); // destroys it now, unless a call on it still runs
    } catch (...) {
    }
}

const char* trv_getSDKVersion(void) {
    try {
        // The method (and its "Command: " line) runs at the first call only.
        static NeverDestroyed<std::string> version(TarvonelSDK::getSDKVersion());
        return version->c_str();
    } catch (...) {
        return "";
    }
}

const char* trv_serialNumberToString(uint32_t serialNumber) {
    try {
        return serialTextSlot().set(TarvonelSDK::serialNumberToString(serialNumber));
    } catch (...) {
        return "";
    }
}

int trv_setLogCallback(trv_log_callback_t callback) {
    try {
        return TarvonelSDK::setLogCallback(callback);
    } catch (...) {
        return TRV_ERROR_OTHER;
    }
}

void trv_defaultEffectProperties(trv_effect_properties_t* properties) {
    try {
        if (properties != nullptr) *properties = trv_effect_properties_t();
    } catch (...) {
    }
}

int trv_scanDevices(int sdkID, trv_output_t output) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) { return sdk.scanDevices(output); });
}

int trv_scanStatus(int sdkID) {
    return onInstance(sdkID, [](TarvonelSDK& sdk) { return sdk.scanStatus(); });
}

trv_device_info_t* trv_getFirstScannedDevice(int sdkID) {
    return onInstance<trv_device_info_t*>(sdkID, nullptr, nullptr, [](TarvonelSDK& sdk) {
        return sdk.getFirstScannedDevice();
    });
}

int trv_connectDevice(int sdkID, trv_output_t output, uint32_t serialNumber) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) { return sdk.connect(output, serialNumber); });
}

int trv_disconnectDevice(int sdkID) {
    return onInstance(sdkID, [](TarvonelSDK& sdk) { return sdk.disconnect(); });
}

trv_connection_state_t trv_connectionStatus(int sdkID) {
    return onInstance<trv_connection_state_t>(sdkID, TRV_STATE_DISCONNECTED, TRV_STATE_DISCONNECTED,
                                              [](TarvonelSDK& sdk) { return sdk.connectionStatus(); });
}

uint32_t trv_getTarvonelSerialNumber(int sdkID) {
    return onInstance<uint32_t>(sdkID, kNoSerialNumber, kNoSerialNumber, [](TarvonelSDK& sdk) {
        return sdk.getTarvonelSerialNumber();
    });
}

const char* trv_getTarvonelSerialNumberAsString(int sdkID) {
    try {
        TextSlot& slot = deviceSerialSlot();
        const std::shared_ptr<TarvonelSDK> sdk = find(sdkID);
        if (!sdk) return slot.get();
        return slot.set(sdk->getTarvonelSerialNumberAsString());
    } catch (...) {
        return "";
    }
}

const char* trv_getTarvonelVersion(int sdkID) {
    try {
        TextSlot& slot = deviceVersionSlot();
        const std::shared_ptr<TarvonelSDK> sdk = find(sdkID);
        if (!sdk) return slot.get();
        return slot.set(sdk->getTarvonelVersion());
    } catch (...) {
        return "";
    }
}

trv_device_type_t trv_getTarvonelType(int sdkID) {
    return onInstance<trv_device_type_t>(sdkID, TRV_DEVICE_TYPE_NONE, TRV_DEVICE_TYPE_NONE,
                                         [](TarvonelSDK& sdk) { return sdk.getTarvonelType(); });
}

int trv_setConnectionCallback(int sdkID, trv_connection_callback_t callback, void* userData) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) {
        return sdk.setConnectionCallback(callback, userData);
    });
}

int trv_loadPatternFromJSON(int sdkID, const char* json) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) { return sdk.loadPatternFromJSON(json); });
}

int trv_unloadPattern(int sdkID, int patternID) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) { return sdk.unloadPattern(patternID); });
}

int trv_setAccumulationWindowToPattern(int sdkID, int mainPatternID, int fallbackPatternID,
                                       float timeWindow, int maxAccumulation) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) {
        return sdk.setAccumulationWindowToPattern(mainPatternID, fallbackPatternID, timeWindow,
                                                  maxAccumulation);
    });
}

int trv_eraseAccumulationWindowToPattern(int sdkID, int patternID) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) {
        return sdk.eraseAccumulationWindowToPattern(patternID);
    });
}

int trv_getPatternIntensityBoost(int sdkID, int patternID) {
    return onInstance<int>(sdkID, 0, TRV_ERROR_OTHER, [&](TarvonelSDK& sdk) {
        return sdk.getPatternIntensityBoost(patternID);
    });
}

int trv_getGlobalIntensityBoost(int sdkID) {
    return onInstance(sdkID, [](TarvonelSDK& sdk) { return sdk.getGlobalIntensityBoost(); });
}

int trv_setGlobalIntensityBoost(int sdkID, int boost) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) { return sdk.setGlobalIntensityBoost(boost); });
}

int trv_playEffect(int sdkID, int patternID, trv_effect_properties_t properties) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) { return sdk.playEffect(patternID, properties); });
}

int trv_stopEffect(int sdkID, int effectID, float fadeTime) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) { return sdk.stopEffect(effectID, fadeTime); });
}

trv_effect_state_t trv_effectState(int sdkID, int effectID) {
    return onInstance<trv_effect_state_t>(sdkID, TRV_EFFECT_ENDED, TRV_EFFECT_ENDED,
                                          [&](TarvonelSDK& sdk) { return sdk.effectState(effectID); });
}

int trv_pauseAll(int sdkID) {
    return onInstance(sdkID, [](TarvonelSDK& sdk) { return sdk.pauseAll(); });
}

int trv_resumeAll(int sdkID) {
    return onInstance(sdkID, [](TarvonelSDK& sdk) { return sdk.resumeAll(); });
}

int trv_stopAll(int sdkID) {
    return onInstance(sdkID, [](TarvonelSDK& sdk) { return sdk.stopAll(); });
}

void trv_exp_defaultAudioSettings(trv_audio_settings_t* settings) {
    try {
        if (settings != nullptr) *settings = trv_audio_settings_t();
    } catch (...) {
    }
}

int trv_exp_connectAudio(int sdkID, trv_audio_preset_t preset, trv_audio_settings_t* settings) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) -> int {
        if (settings == nullptr) return TRV_ERROR_INVALID_PARAMETER;
        return sdk.ExperimentalAPI().connectAudio(preset, *settings);
    });
}

void trv_exp_enableLegacyBackend(int sdkID, bool enable) {
    onInstance(sdkID, [&](TarvonelSDK& sdk) {
        sdk.ExperimentalAPI().enableLegacyBackend(enable);
        return 0;
    });
}

void trv_exp_enableVisualizer(int sdkID, bool enable) {
    onInstance(sdkID, [&](TarvonelSDK& sdk) {
        sdk.ExperimentalAPI().enableVisualizer(enable);
        return 0;
    });
}

void trv_exp_setEffectSpeed(int sdkID, int effectID, float speed) {
    onInstance(sdkID, [&](TarvonelSDK& sdk) {
        sdk.ExperimentalAPI().setEffectSpeed(effectID, speed);
        return 0;
    });
}

void trv_exp_setEffectVolume(int sdkID, int effectID, float volume) {
    onInstance(sdkID, [&](TarvonelSDK& sdk) {
        sdk.ExperimentalAPI().setEffectVolume(effectID, volume);
        return 0;
    });
}

int trv_exp_getOutputDevicesNames(const char*** names, int* count) {
    if (names == nullptr || count == nullptr) return TRV_ERROR_INVALID_PARAMETER;
    return ExperimentalTarvonelSDK::getOutputDevicesNames(*names, *count);
}

int trv_exp_getOutputDeviceAPIs(const char* deviceName, const char*** apis, int* count) {
    if (apis == nullptr || count == nullptr) return TRV_ERROR_INVALID_PARAMETER;
    return ExperimentalTarvonelSDK::getOutputDeviceAPIs(deviceName, *apis, *count);
}

int trv_exp_getOutputDeviceInfo(const char* deviceName, const char* audioAPI, int* maxChannels,
                                float* defaultLowLatency, float* defaultHighLatency) {
    if (maxChannels == nullptr || defaultLowLatency == nullptr || defaultHighLatency == nullptr)
        return TRV_ERROR_INVALID_PARAMETER;
    return ExperimentalTarvonelSDK::getOutputDeviceInfo(deviceName, audioAPI, *maxChannels, *defaultLowLatency,
                                                        *defaultHighLatency);
}

int trv_exp_getSupportedStandardSampleRates(const char* deviceName, const char* audioAPI, uint32_t** rates,
                                            int* count) {
    if (rates == nullptr || count == nullptr) return TRV_ERROR_INVALID_PARAMETER;
    return ExperimentalTarvonelSDK::getSupportedStandardSampleRates(deviceName, audioAPI, *rates, *count);
}

int trv_exp_connectVyx(int sdkID, trv_output_t output, uint32_t serialNumber, const char* loopbackDeviceName) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) {
        return sdk.ExperimentalAPI().connectVyx(output, serialNumber, loopbackDeviceName);
    });
}

int trv_exp_connectVyxAudio(int sdkID, trv_audio_preset_t preset, trv_audio_settings_t* settings,
                            const char* loopbackDeviceName) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) -> int {
        if (settings == nullptr) return TRV_ERROR_INVALID_PARAMETER;
        return sdk.ExperimentalAPI().connectVyxAudio(preset, *settings, loopbackDeviceName);
    });
}

int trv_exp_getVyxPreset(int sdkID) {
    return onInstance(sdkID, [](TarvonelSDK& sdk) { return sdk.ExperimentalAPI().getVyxPreset(); });
}

int trv_exp_setVyxPreset(int sdkID, int preset) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) { return sdk.ExperimentalAPI().setVyxPreset(preset); });
}

float trv_exp_getVyxVolume(int sdkID) {
    return onInstance<float>(sdkID, static_cast<float>(TRV_ERROR_NO_INSTANCE), 0.0f,
                             [](TarvonelSDK& sdk) { return sdk.ExperimentalAPI().getVyxVolume(); });
}

int trv_exp_setVyxVolume(int sdkID, float volume) {
    return onInstance(sdkID, [&](TarvonelSDK& sdk) {
        sdk.ExperimentalAPI().setVyxVolume(volume);
        return TRV_NO_ERROR;
    });
}

int trv_exp_listVyxPresets(const char*** names, int* count) {
    if (names == nullptr || count == nullptr) return TRV_ERROR_INVALID_PARAMETER;
    return ExperimentalTarvonelSDK::listVyxPresets(*names, *count);
}

int trv_exp_getLoopbackDevicesNames(const char*** names, int* count) {
    if (names == nullptr || count == nullptr) return TRV_ERROR_INVALID_PARAMETER;
    return ExperimentalTarvonelSDK::getLoopbackDevicesNames(*names, *count);
}

} // extern "C"
