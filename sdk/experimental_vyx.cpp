// The audio-to-haptics calls of the experimental interface.
#include <string>
#include <utility>

#include "ExperimentalTarvonelSDK.h"
#include "IHandler.h"
#include "TarvonelSDK.h"
#include "experimental_guard.h"
#include "log.h"
#include "sdk/loopback_devices.h"
#include "vyx/HandlerVYX.h"
#include "vyx/vyxfx.h"

namespace {

using experimental::guarded;
using experimental::kTag;

// The checks of connectVyx and connectVyxAudio before the backend changes:
// a handler, not connected, and a loopback device by that name (stored in
// device).
int checkVyxConnection(IHandler* handler, const char* loopbackDeviceName, std::string& device) {
    if (handler == nullptr) return TRV_ERROR_OTHER;
    if (handler->connectionStatus() != TRV_STATE_DISCONNECTED) return TRV_ERROR_ALREADY_CONNECTED;
    if (selectLoopbackDevice(loopbackDeviceName, device) < 0) return TRV_ERROR_INVALID_PARAMETER;
    return TRV_NO_ERROR;
}

// The handler as the audio-to-haptics backend, or null when it is another.
HandlerVYX* vyxOf(IHandler* handler) {
    return (handler != nullptr && handler->kind() == kHandlerVyx) ? static_cast<HandlerVYX*>(handler) : nullptr;
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
    if (fresh == nullptr) {
        LogStream(TRV_LOG_ERROR, kTag) << "Backend of kind " << kind << " is not available.";
        return TRV_ERROR_OTHER;
    }
    IHandler::destroy(std::exchange(handler, fresh));
    return TRV_NO_ERROR;
}

int ExperimentalTarvonelSDK::connectVyx(trv_output_t output, uint32_t serialNumber, const char* loopbackDeviceName) {
    return guarded<int>(TRV_ERROR_OTHER, [&]() -> int {
        LogStream(TRV_LOG_INFO, kTag) << "Command: connectVyx(" << output << ", " << serialNumber << ")";
        std::string device;
        int r = checkVyxConnection(owner->handler, loopbackDeviceName, device);
        if (r == TRV_NO_ERROR) r = useHandlerKind(kHandlerVyx);
        if (r != TRV_NO_ERROR) return r;
        static_cast<HandlerVYX*>(owner->handler)->setLoopbackDevice(device);
        return owner->handler->connect(output, serialNumber);
    });
}

int ExperimentalTarvonelSDK::connectVyxAudio(trv_audio_preset_t preset, trv_audio_settings_t& settings,
                                             const char* loopbackDeviceName) {
    return guarded<int>(TRV_ERROR_OTHER, [&]() -> int {
        std::string device;
        int r = checkVyxConnection(owner->handler, loopbackDeviceName, device);
        if (r == TRV_NO_ERROR) r = useHandlerKind(kHandlerVyx);
        if (r != TRV_NO_ERROR) return r;
        auto* vyx = static_cast<HandlerVYX*>(owner->handler);
        vyx->setLoopbackDevice(device);
        return vyx->connectAudio(preset, settings);
    });
}

int ExperimentalTarvonelSDK::getVyxPreset() {
    return guarded<int>(0, [&] {
        HandlerVYX* vyx = vyxOf(owner->handler);
        return vyx != nullptr ? vyx->getVyxPreset() : 0;
    });
}

int ExperimentalTarvonelSDK::setVyxPreset(int preset) {
    return guarded<int>(TRV_ERROR_OTHER, [&]() -> int {
        if (static_cast<unsigned>(preset) > 3u) return TRV_ERROR_INVALID_PARAMETER;
        HandlerVYX* vyx = vyxOf(owner->handler);
        if (vyx == nullptr) return TRV_ERROR_VYX;
        vyx->setVyxPreset(preset);
        return TRV_NO_ERROR;
    });
}

float ExperimentalTarvonelSDK::getVyxVolume() {
    return guarded<float>(0.0f, [&] {
        HandlerVYX* vyx = vyxOf(owner->handler);
        return vyx != nullptr ? vyx->getVyxVolume() : 0.0f;
    });
}

void ExperimentalTarvonelSDK::setVyxVolume(float volume) {
    guarded<int>(0, [&] {
        if (HandlerVYX* vyx = vyxOf(owner->handler)) vyx->setVyxVolume(volume);
        return 0;
    });
}

int ExperimentalTarvonelSDK::listVyxPresets(const char**& names, int& count) {
    static const char* presetNames[4] = {vyxPresetName(0), vyxPresetName(1), vyxPresetName(2), vyxPresetName(3)};
    names = presetNames;
    count = 4;
    return TRV_NO_ERROR;
}
