// The audio-to-haptics calls of the experimental interface.
#include <exception>
#include <utility>

#include "ExperimentalTarvonelSDK.h"
#include "IHandler.h"
#include "TarvonelSDK.h"
#include "log.h"
#include "sdk/loopback_devices.h"
#include "vyx/HandlerVYX.h"
#include "vyx/vyxfx.h"

namespace {

constexpr const char* kTag = "ExperimentalTarvonelSDK";

template <typename T, typename Body>
T guarded(T failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        LogStream(TRV_LOG_ERROR, kTag) << "Unexpected failure: " << e.what();
    } catch (...) {
        LogStream(TRV_LOG_ERROR, kTag) << "Unexpected failure: unknown exception";
    }
    return failure;
}

} // namespace

int ExperimentalTarvonelSDK::useHandlerKind(int kind) {
    IHandler*& handler = owner->handler;
    if (handler != nullptr && handler->kind() == kind) return TRV_NO_ERROR;
    if (handler != nullptr && handler->isWorkerThread()) {
        // The old handler would have to join the very thread asking.
        LogStream(TRV_LOG_WARNING, kTag) << "Cannot change the backend from inside the connection callback.";
        return TRV_ERROR_PROCESS_RUNNING;
    }
    IHandler* fresh = IHandler::create(kind, owner->registry);
    if (fresh == nullptr) return TRV_ERROR_OTHER;
    IHandler::destroy(std::exchange(handler, fresh));
    return TRV_NO_ERROR;
}

int ExperimentalTarvonelSDK::connectVyx(trv_output_t output, uint32_t serialNumber, const char* loopbackDeviceName) {
    return guarded<int>(TRV_ERROR_OTHER, [&]() -> int {
        LogStream(TRV_LOG_INFO, kTag) << "Command: connectVyx(" << output << ", " << serialNumber << ")";
        if (owner->handler == nullptr) return TRV_ERROR_OTHER;
        if (owner->handler->connectionStatus() != TRV_STATE_DISCONNECTED) return TRV_ERROR_ALREADY_CONNECTED;
        std::string device;
        if (selectLoopbackDevice(loopbackDeviceName, device) < 0) return TRV_ERROR_INVALID_PARAMETER;
        const int r = useHandlerKind(kHandlerVyx);
        if (r != TRV_NO_ERROR) return r;
        static_cast<HandlerVYX*>(owner->handler)->setLoopbackDevice(device);
        return owner->handler->connect(output, serialNumber);
    });
}

int ExperimentalTarvonelSDK::connectVyxAudio(trv_audio_preset_t preset, trv_audio_settings_t& settings,
                                             const char* loopbackDeviceName) {
    return guarded<int>(TRV_ERROR_OTHER, [&]() -> int {
        if (owner->handler == nullptr) return TRV_ERROR_OTHER;
        if (owner->handler->connectionStatus() != TRV_STATE_DISCONNECTED) return TRV_ERROR_ALREADY_CONNECTED;
        std::string device;
        if (selectLoopbackDevice(loopbackDeviceName, device) < 0) return TRV_ERROR_INVALID_PARAMETER;
        const int r = useHandlerKind(kHandlerVyx);
        if (r != TRV_NO_ERROR) return r;
        auto* vyx = static_cast<HandlerVYX*>(owner->handler);
        vyx->setLoopbackDevice(device);
        return vyx->connectAudio(preset, settings);
    });
}

int ExperimentalTarvonelSDK::getVyxPreset() {
    return guarded<int>(0, [&] {
        IHandler* h = owner->handler;
        return (h != nullptr && h->kind() == kHandlerVyx) ? static_cast<HandlerVYX*>(h)->getVyxPreset() : 0;
    });
}

int ExperimentalTarvonelSDK::setVyxPreset(int preset) {
    return guarded<int>(TRV_ERROR_OTHER, [&]() -> int {
        if (static_cast<unsigned>(preset) > 3u) return TRV_ERROR_INVALID_PARAMETER;
        IHandler* h = owner->handler;
        if (h == nullptr || h->kind() != kHandlerVyx) return TRV_ERROR_VYX;
        static_cast<HandlerVYX*>(h)->setVyxPreset(preset);
        return TRV_NO_ERROR;
    });
}

float ExperimentalTarvonelSDK::getVyxVolume() {
    return guarded<float>(0.0f, [&] {
        IHandler* h = owner->handler;
        return (h != nullptr && h->kind() == kHandlerVyx) ? static_cast<HandlerVYX*>(h)->getVyxVolume() : 0.0f;
    });
}

void ExperimentalTarvonelSDK::setVyxVolume(float volume) {
    guarded<int>(0, [&] {
        IHandler* h = owner->handler;
        if (h != nullptr && h->kind() == kHandlerVyx) static_cast<HandlerVYX*>(h)->setVyxVolume(volume);
        return 0;
    });
}

int ExperimentalTarvonelSDK::listVyxPresets(const char**& names, int& count) {
    static const char* presetNames[4] = {vyxPresetName(0), vyxPresetName(1), vyxPresetName(2), vyxPresetName(3)};
    names = presetNames;
    count = 4;
    return TRV_NO_ERROR;
}
