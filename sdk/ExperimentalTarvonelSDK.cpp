#include "ExperimentalTarvonelSDK.h"

#include <cmath>
#include <exception>
#include <utility>

#include "IHandler.h"
#include "TarvonelSDK.h"
#include "log.h"
#include "streaming/HandlerStreaming.h"

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
        if (sdk.handler->kind() != kHandlerStreaming) {
            if (sdk.handler->isWorkerThread()) {
                // The old backend would have to join the thread asking.
                LogStream(TRV_LOG_WARNING, kTag)
                    << "Cannot change the backend from inside the connection callback.";
                return TRV_ERROR_PROCESS_RUNNING;
            }
            IHandler* fresh = IHandler::create(kHandlerStreaming, sdk.registry);
            if (fresh == nullptr) {
                LogStream(TRV_LOG_ERROR, kTag) << "Backend of kind " << kHandlerStreaming << " is not available.";
                return TRV_ERROR_OTHER;
            }
            IHandler::destroy(std::exchange(sdk.handler, fresh));
        }
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
