#include "ExperimentalTarvonelSDK.h"

#include <cmath>

#include "IHandler.h"
#include "TarvonelSDK.h"
#include "experimental_guard.h"
#include "log.h"
#include "streaming/HandlerStreaming.h"

namespace {

using experimental::guarded;
using experimental::kTag;

HandlerStreaming* streamingOf(IHandler* handler) {
    if (handler == nullptr || handler->kind() != kHandlerStreaming) return nullptr;
    return dynamic_cast<HandlerStreaming*>(handler);
}

} // namespace

int ExperimentalTarvonelSDK::connectAudio(trv_audio_preset_t preset, trv_audio_settings_t& settings) {
    return guarded<int>(TRV_ERROR_OTHER, [&]() -> int {
        TarvonelSDK& sdk = *owner;
        if (sdk.handler == nullptr) return TRV_ERROR_OTHER;
        if (sdk.handler->connectionStatus() != TRV_STATE_DISCONNECTED) return TRV_ERROR_ALREADY_CONNECTED;
        const int r = useHandlerKind(kHandlerStreaming);
        if (r != TRV_NO_ERROR) return r;
        HandlerStreaming* streaming = streamingOf(sdk.handler);
        return streaming != nullptr ? streaming->connectAudio(preset, settings) : TRV_ERROR_OTHER;
    });
}

void ExperimentalTarvonelSDK::enableLegacyBackend(bool enable) { owner->legacyBackend = enable; }

void ExperimentalTarvonelSDK::enableVisualizer(bool enable) {
    guarded<int>(0, [&] {
        if (owner->handler != nullptr) owner->handler->enableVisualizer(enable);
        return 0;
    });
}

void ExperimentalTarvonelSDK::setEffectSpeed(int effectID, float speed) {
    guarded<int>(0, [&] {
        HandlerStreaming* streaming = streamingOf(owner->handler);
        if (streaming == nullptr) return 0;
        // A NaN or an infinity would poison every later render of the effect.
        if (!std::isfinite(speed)) {
            LogStream(TRV_LOG_WARNING, kTag) << "Invalid parameter: effect speed " << speed << " ignored.";
            return 0;
        }
        streaming->setEffectSpeed(effectID, speed);
        return 0;
    });
}

void ExperimentalTarvonelSDK::setEffectVolume(int effectID, float volume) {
    guarded<int>(0, [&] {
        HandlerStreaming* streaming = streamingOf(owner->handler);
        if (streaming == nullptr) return 0;
        if (!std::isfinite(volume)) {
            LogStream(TRV_LOG_WARNING, kTag) << "Invalid parameter: effect volume " << volume << " ignored.";
            return 0;
        }
        streaming->setEffectVolume(effectID, volume);
        return 0;
    });
}
