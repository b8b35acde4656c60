#include "ExperimentalTarvonelSDK.h"

#include <cmath>

#include "IHandler.h"
#include "TarvonelSDK.h"
#include "experimental_guard.h"
#include "handler_holder.h"
#include "log.h"
#include "streaming/HandlerStreaming.h"

namespace {

using experimental::guarded;
using experimental::kTag;
using experimental::useHandlerKind;

HandlerStreaming* streamingOf(IHandler* handler) {
    if (handler == nullptr || handler->kind() != kHandlerStreaming) return nullptr;
    return dynamic_cast<HandlerStreaming*>(handler);
}

} // namespace

int ExperimentalTarvonelSDK::connectAudio(trv_audio_preset_t preset, trv_audio_settings_t& settings) {
    return guarded<int>(TRV_ERROR_OTHER, [&]() -> int {
        HandlerHolder* handlers = owner->handlers;
        {
            const HandlerHolder::Use handler = currentHandler(handlers);
            if (!handler) return TRV_ERROR_OTHER;
            if (handler->connectionStatus() != TRV_STATE_DISCONNECTED) return TRV_ERROR_ALREADY_CONNECTED;
        }
        return startOnChosenHandler(
            [&](HandlerHolder::Use& chosen) { return useHandlerKind(*handlers, kHandlerStreaming, chosen); },
            [&](IHandler& handler) {
                HandlerStreaming* streaming = streamingOf(&handler);
                return streaming != nullptr ? streaming->connectAudio(preset, settings) : TRV_ERROR_OTHER;
            });
    });
}

void ExperimentalTarvonelSDK::enableLegacyBackend(bool enable) {
    if (owner->handlers != nullptr) owner->handlers->legacyBackend.store(enable);
}

void ExperimentalTarvonelSDK::enableVisualizer(bool enable) {
    guarded<int>(0, [&] {
        if (const HandlerHolder::Use handler = currentHandler(owner->handlers)) handler->enableVisualizer(enable);
        return 0;
    });
}

void ExperimentalTarvonelSDK::setEffectSpeed(int effectID, float speed) {
    guarded<int>(0, [&] {
        const HandlerHolder::Use handler = currentHandler(owner->handlers);
        HandlerStreaming* streaming = streamingOf(handler.get());
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
        const HandlerHolder::Use handler = currentHandler(owner->handlers);
        HandlerStreaming* streaming = streamingOf(handler.get());
        if (streaming == nullptr) return 0;
        if (!std::isfinite(volume)) {
            LogStream(TRV_LOG_WARNING, kTag) << "Invalid parameter: effect volume " << volume << " ignored.";
            return 0;
        }
        streaming->setEffectVolume(effectID, volume);
        return 0;
    });
}
