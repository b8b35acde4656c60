// The audio-to-haptics calls of the experimental interface.
#include <string>
#include <utility>

#include "ExperimentalTarvonelSDK.h"
#include "IHandler.h"
#include "TarvonelSDK.h"
#include "experimental_guard.h"
#include "handler_holder.h"
#include "log.h"
#include "sdk/loopback_devices.h"
#include "vyx/HandlerVYX.h"
#include "vyx/vyxfx.h"

namespace {

using experimental::guarded;
using experimental::kTag;
using experimental::useHandlerKind;

// The checks of connectVyx and connectVyxAudio before the backend changes:
// a handler, not connected, and a loopback device by that name (stored in
// device).
int checkVyxConnection(HandlerHolder* handlers, const char* loopbackDeviceName, std::string& device) {
    {
        const HandlerHolder::Use handler = currentHandler(handlers);
        if (!handler) return TRV_ERROR_OTHER;
        if (handler->connectionStatus() != TRV_STATE_DISCONNECTED) return TRV_ERROR_ALREADY_CONNECTED;
    }
    if (selectLoopbackDevice(loopbackDeviceName, device) < 0) return TRV_ERROR_INVALID_PARAMETER;
    return TRV_NO_ERROR;
}

// The handler as the audio-to-haptics backend, or null when it is another.
HandlerVYX* vyxOf(IHandler* handler) {
    return (handler != nullptr && handler->kind() == kHandlerVyx) ? static_cast<HandlerVYX*>(handler) : nullptr;
}

// Makes the instance's handler the audio-to-haptics backend capturing
// device, and starts the connection with start(HandlerVYX&) on it.
template <typename Start>
int startVyxConnection(HandlerHolder& handlers, const std::string& device, Start&& start) {
    return startOnChosenHandler([&](HandlerHolder::Use& chosen) { return useHandlerKind(handlers, kHandlerVyx, chosen); },
                                [&](IHandler& handler) {
                                    auto& vyx = static_cast<HandlerVYX&>(handler);
                                    vyx.setLoopbackDevice(device);
                                    return start(vyx);
                                });
}

} // namespace

int ExperimentalTarvonelSDK::connectVyx(trv_output_t output, uint32_t serialNumber, const char* loopbackDeviceName) {
    return guarded<int>(TRV_ERROR_OTHER, [&]() -> int {
        LogStream(TRV_LOG_INFO, kTag) << "Command: connectVyx(" << output << ", " << serialNumber << ")";
        std::string device;
        const int r = checkVyxConnection(owner->handlers, loopbackDeviceName, device);
        if (r != TRV_NO_ERROR) return r;
        return startVyxConnection(*owner->handlers, device,
                                  [&](HandlerVYX& vyx) { return vyx.connect(output, serialNumber); });
    });
}

int ExperimentalTarvonelSDK::connectVyxAudio(trv_audio_preset_t preset, trv_audio_settings_t& settings,
                                             const char* loopbackDeviceName) {
    return guarded<int>(TRV_ERROR_OTHER, [&]() -> int {
        std::string device;
        const int r = checkVyxConnection(owner->handlers, loopbackDeviceName, device);
        if (r != TRV_NO_ERROR) return r;
        return startVyxConnection(*owner->handlers, device,
                                  [&](HandlerVYX& vyx) { return vyx.connectAudio(preset, settings); });
    });
}

int ExperimentalTarvonelSDK::getVyxPreset() {
    return guarded<int>(0, [&] {
        const HandlerHolder::Use handler = currentHandler(owner->handlers);
        HandlerVYX* vyx = vyxOf(handler.get());
        return vyx != nullptr ? vyx->getVyxPreset() : 0;
    });
}

int ExperimentalTarvonelSDK::setVyxPreset(int preset) {
    return guarded<int>(TRV_ERROR_OTHER, [&]() -> int {
        if (static_cast<unsigned>(preset) > 3u) return TRV_ERROR_INVALID_PARAMETER;
        const HandlerHolder::Use handler = currentHandler(owner->handlers);
        HandlerVYX* vyx = vyxOf(handler.get());
        if (vyx == nullptr) return TRV_ERROR_VYX;
        vyx->setVyxPreset(preset);
        return TRV_NO_ERROR;
    });
}

float ExperimentalTarvonelSDK::getVyxVolume() {
    return guarded<float>(0.0f, [&] {
        const HandlerHolder::Use handler = currentHandler(owner->handlers);
        HandlerVYX* vyx = vyxOf(handler.get());
        return vyx != nullptr ? vyx->getVyxVolume() : 0.0f;
    });
}

void ExperimentalTarvonelSDK::setVyxVolume(float volume) {
    guarded<int>(0, [&] {
        const HandlerHolder::Use handler = currentHandler(owner->handlers);
        if (HandlerVYX* vyx = vyxOf(handler.get())) vyx->setVyxVolume(volume);
        return 0;
    });
}

int ExperimentalTarvonelSDK::listVyxPresets(const char**& names, int& count) {
    static const char* presetNames[4] = {vyxPresetName(0), vyxPresetName(1), vyxPresetName(2), vyxPresetName(3)};
    names = presetNames;
    count = 4;
    return TRV_NO_ERROR;
}
