#include "TarvonelSDK.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <utility>

#include "IHandler.h"
#include "PatternRegistry.h"
#include "handler_holder.h"
#include "intensity_boost.h"
#include "serial_number.h"
#include "log.h"

namespace {

constexpr const char* kTag = "Tarvonel";
constexpr const char* kDefaultLogPath = "TarvonelLogs/TarvonelSDK.log";

void logFailure(const char* what) noexcept {
    LogStream(TRV_LOG_ERROR, kTag) << "Unexpected failure: " << what;
}

// The one firewall of every public method: whatever escapes body becomes
// the method's failure value.
template <typename T, typename Body>
T guarded(T failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        logFailure(e.what());
    } catch (...) {
        logFailure("unknown exception");
    }
    return failure;
}

bool finite(float value) noexcept { return std::isfinite(value); }

bool propertiesInBounds(const trv_effect_properties_t& p) noexcept {
    if (p.priority < 1 || p.priority > 10) return false;
    if (p.speed > 100.0f || p.speed < 0.01f) return false;
    if (p.volume > 250.0f || p.volume < 0.0f) return false;
    if (p.overridePatternBoost) {
        const float boost = static_cast<float>(p.effectBoost);
        if (boost < -100.0f || boost > 100.0f) return false;
    }
    // A NaN passes every comparison above, and an infinite time or angle
    // is met by none: neither reaches a backend.
    return finite(p.volume) && finite(p.speed) && finite(p.repeatDelay) && finite(p.playAtTime) &&
           finite(p.maxDuration) && finite(p.height) && finite(p.heading) && finite(p.tilting);
}

} // namespace

ExperimentalTarvonelSDK::ExperimentalTarvonelSDK(TarvonelSDK* owner) noexcept : owner(owner) {}

TarvonelSDK::TarvonelSDK(const char* logPath) : handlers(nullptr), experimental(this) {
    try {
        const std::string path = (logPath != nullptr && *logPath != '\0') ? logPath : kDefaultLogPath;
        setLogLevel(TRV_LOG_INFO);
        initLogger(path);
        auto registry = std::make_shared<PatternRegistry>();
        handlers = new HandlerHolder(registry, IHandler::create(kHandlerStreaming, registry.get()));
    } catch (const std::exception& e) {
        logFailure(e.what());
    } catch (...) {
        logFailure("unknown exception");
    }
}

TarvonelSDK::~TarvonelSDK() {
    // The handler ends first (its threads joined) and the registry after it.
    // From inside a callback the handler may outlive this call
    // (IHandler::destroy): it keeps its share of the registry.
    delete handlers;
}

ExperimentalTarvonelSDK TarvonelSDK::ExperimentalAPI() { return experimental; }

std::string TarvonelSDK::getSDKVersion() {
    return guarded(std::string(), [] {
        LogStream(TRV_LOG_INFO, kTag) << "Command: getSDKVersion()";
        return IHandler::getSDKVersion();
    });
}

std::string TarvonelSDK::serialNumberToString(uint32_t serialNumber) {
    return guarded(std::string(), [serialNumber] {
        char first[16];
        char text[32];
        std::snprintf(first, sizeof first, "%02d",
                      static_cast<int>((serialNumber / 1000000u) % 256u));
        std::snprintf(text, sizeof text, "%.2s-%02d-%04d", first,
                      static_cast<int>((serialNumber / 10000u) % 100u),
                      static_cast<int>(serialNumber % 10000u));
        return std::string(text);
    });
}

int32_t TarvonelSDK::setLogCallback(trv_log_callback_t callback) {
    setApplicationLogCallback(callback);
    return TRV_NO_ERROR;
}

namespace {

// Makes the instance's handler the backend chosen for connect and scan.
int32_t chooseBackend(HandlerHolder& handlers, HandlerHolder::Use& chosen) noexcept {
    const HandlerKind wanted = handlers.legacyBackend.load() ? kHandlerCommands : kHandlerStreaming;
    return chooseHandler(handlers, wanted, BackendChange{kTag, true, true}, chosen);
}

} // namespace

int32_t TarvonelSDK::connect(trv_output_t output, uint32_t serialNumber) {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: connect(" << output << ", " << serialNumber << ")";
        if (handlers == nullptr) return TRV_ERROR_OTHER;
        return startOnChosenHandler([&](HandlerHolder::Use& chosen) { return chooseBackend(*handlers, chosen); },
                                    [&](IHandler& handler) { return handler.connect(output, serialNumber); });
    });
}

int32_t TarvonelSDK::scanDevices(trv_output_t output) {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: scanDevices(" << output << ")";
        if (handlers == nullptr) return TRV_ERROR_OTHER;
        return startOnChosenHandler([&](HandlerHolder::Use& chosen) { return chooseBackend(*handlers, chosen); },
                                    [&](IHandler& handler) { return handler.scanDevices(output); });
    });
}

int32_t TarvonelSDK::disconnect() {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: disconnectDevice()";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->disconnect() : TRV_ERROR_NO_DEVICE_CONNECTED;
    });
}

trv_connection_state_t TarvonelSDK::connectionStatus() {
    const HandlerHolder::Use handler = currentHandler(handlers);
    return handler ? handler->connectionStatus() : TRV_STATE_DISCONNECTED;
}

int32_t TarvonelSDK::scanStatus() {
    const HandlerHolder::Use handler = currentHandler(handlers);
    return handler ? handler->scanStatus() : 0;
}

trv_device_info_t* TarvonelSDK::getFirstScannedDevice() {
    return guarded(static_cast<trv_device_info_t*>(nullptr), [&]() -> trv_device_info_t* {
        LogStream(TRV_LOG_INFO, kTag) << "Command: getFirstScannedDevice()";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->getScannedDevices() : nullptr;
    });
}

uint32_t TarvonelSDK::getTarvonelSerialNumber() {
    return guarded(kNoSerialNumber, [&] {
        LogStream(TRV_LOG_INFO, kTag) << "Command: getTarvonelSerialNumber()";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->getTarvonelSerialNumber() : kNoSerialNumber;
    });
}

std::string TarvonelSDK::getTarvonelSerialNumberAsString() {
    return guarded(std::string(), [&] {
        LogStream(TRV_LOG_INFO, kTag) << "Command: getTarvonelSerialNumberAsString()";
        const HandlerHolder::Use handler = currentHandler(handlers);
        const uint32_t serial =
            handler ? handler->getTarvonelSerialNumber() : kNoSerialNumber;
        return serialNumberToString(serial);
    });
}

trv_device_type_t TarvonelSDK::getTarvonelType() {
    return guarded(TRV_DEVICE_TYPE_NONE, [&] {
        LogStream(TRV_LOG_INFO, kTag) << "Command: getTarvonelType()";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->getTarvonelType() : TRV_DEVICE_TYPE_NONE;
    });
}

std::string TarvonelSDK::getTarvonelVersion() {
    return guarded(std::string(), [&] {
        LogStream(TRV_LOG_INFO, kTag) << "Command: getTarvonelVersion()";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->getTarvonelVersion() : std::string("noDeviceConnected");
    });
}

int32_t TarvonelSDK::setConnectionCallback(trv_connection_callback_t callback, void* userData) {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: setConnectionCallback ("
                                      << reinterpret_cast<void*>(callback) << ")";
        const HandlerHolder::Use handler = currentHandler(handlers);
        if (!handler) return TRV_ERROR_OTHER;
        // The registry first: a handler that replaces this one takes the
        // pair from there (HandlerHolder::replace).
        handlers->registry()->setConnectionCallback(callback, userData);
        return handler->setConnectionCallback(callback, userData);
    });
}

int32_t TarvonelSDK::loadPatternFromJSON(const char* json) {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: loadPatternFromJSON ## "
                                      << (json != nullptr ? json : "");
        if (json == nullptr) {
            LogStream(TRV_LOG_WARNING, kTag) << "Invalid parameter: no JSON text given.";
            return TRV_ERROR_INVALID_PARAMETER;
        }
        const HandlerHolder::Use handler = currentHandler(handlers);
        if (!handler) return TRV_ERROR_OTHER;
        PatternRegistry* registry = handlers->registry();
        std::string text(json);
        const int32_t result = handler->loadPatternFromJSON(text);
        // The audio-to-haptics backend loads nothing: its 0 names no pattern
        // and must not take an ID in the registry.
        if (result >= 0 && handler->kind() != kHandlerVyx) registry->add(result, std::move(text));
        return result;
    });
}

int32_t TarvonelSDK::unloadPattern(int32_t patternID) {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: unloadPattern(ID: " << patternID << ")";
        const HandlerHolder::Use handler = currentHandler(handlers);
        if (!handler) return TRV_ERROR_OTHER;
        PatternRegistry* registry = handlers->registry();
        const int32_t result = handler->unloadPattern(patternID);
        if (result >= 0 && handler->kind() != kHandlerVyx) registry->remove(patternID);
        return result;
    });
}

int32_t TarvonelSDK::getPatternIntensityBoost(int32_t patternID) {
    return guarded<int32_t>(0, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: getPatternBoost(ID: " << patternID << ")";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->getPatternIntensityBoost(patternID) : 0;
    });
}

int32_t TarvonelSDK::setAccumulationWindowToPattern(int32_t mainPatternID, int32_t fallbackPatternID,
                                                    float timeWindow, int32_t maxAccumulation) {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag)
            << "Command: setAccumulation(mainID: " << mainPatternID << ", fallbackID: "
            << fallbackPatternID << ", timeWin: " << timeWindow << ", maxAcc: " << maxAccumulation
            << ")";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->setAccumulationWindowToPattern(
                                        mainPatternID, fallbackPatternID, timeWindow, maxAccumulation)
                                  : TRV_ERROR_OTHER;
    });
}

int32_t TarvonelSDK::eraseAccumulationWindowToPattern(int32_t patternID) {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: eraseAccumulationWindow(ID: " << patternID << ")";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->eraseAccumulationWindowToPattern(patternID)
                                  : TRV_ERROR_OTHER;
    });
}

int32_t TarvonelSDK::playEffect(int32_t patternID, trv_effect_properties_t properties) {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        const trv_effect_properties_t& p = properties;
        LogStream(TRV_LOG_INFO, kTag)
            << "Command: playEffect(ID: " << patternID << ", pr : " << p.priority
            << ", vol: " << p.volume << ", spd: " << p.speed << ", rpc: " << p.repeatCount
            << ", rpd: " << p.repeatDelay << ", pat: " << p.playAtTime << ", md: " << p.maxDuration
            << ", boost: " << p.effectBoost << ", override: " << p.overridePatternBoost
            << ", height: " << p.height << ", head: " << p.heading << ", tilt: " << p.tilting
            << ", frInv: " << p.frontBackInversion << ", upInv: " << p.upDownInversion
            << ", riInv: " << p.rightLeftInversion << ", frAdd: " << p.frontBackAddition
            << ", upAdd: " << p.upDownAddition << ", riAdd: " << p.rightLeftAddition << ")";
        if (!propertiesInBounds(p)) {
            LogStream(TRV_LOG_INFO, kTag) << "Invalid parameter: one of the parameter is out of bound.";
            return TRV_ERROR_INVALID_PARAMETER;
        }
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->playEffect(patternID, properties) : TRV_ERROR_OTHER;
    });
}

int32_t TarvonelSDK::stopEffect(int32_t effectID, float fadeTime) {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: stopEffect(ID: " << effectID
                                      << ", fadeTime: " << fadeTime << ")";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->stopEffect(effectID, fadeTime) : TRV_ERROR_OTHER;
    });
}

trv_effect_state_t TarvonelSDK::effectState(int32_t effectID) {
    return guarded(static_cast<trv_effect_state_t>(TRV_EFFECT_ENDED), [&] {
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->effectState(effectID)
                                  : static_cast<trv_effect_state_t>(TRV_EFFECT_ENDED);
    });
}

int32_t TarvonelSDK::pauseAll() {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: pauseAll()";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->pauseAll() : TRV_ERROR_OTHER;
    });
}

int32_t TarvonelSDK::resumeAll() {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: resumeAll()";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->resumeAll() : TRV_ERROR_OTHER;
    });
}

int32_t TarvonelSDK::stopAll() {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: stopAll()";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->stopAll() : TRV_ERROR_OTHER;
    });
}

int32_t TarvonelSDK::getGlobalIntensityBoost() {
    return guarded<int32_t>(0, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: getGlobalIntensityBoost()";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? gainToBoost(handler->getGlobalIntensityBoost()) : 0;
    });
}

int32_t TarvonelSDK::setGlobalIntensityBoost(int32_t boost) {
    return guarded<int32_t>(TRV_ERROR_OTHER, [&]() -> int32_t {
        LogStream(TRV_LOG_INFO, kTag) << "Command: setGlobalIntensityBoost(boost: " << boost << ")";
        const HandlerHolder::Use handler = currentHandler(handlers);
        return handler ? handler->setGlobalIntensityBoost(boostToGain(boost))
                                  : TRV_ERROR_OTHER;
    });
}
