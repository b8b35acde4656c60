#include "HandlerStreaming.h"

#include <mutex>

#include "sdk/errors.h"
#include "sdk/log.h"

namespace {
constexpr const char* kTag = "HandlerStreaming";
constexpr uint32_t kNoSerialNumber = 0xFFFFFFFFu;
} // namespace

HandlerStreaming::HandlerStreaming(PatternRegistry* registry) : IHandler(registry) {}

HandlerStreaming::~HandlerStreaming() {
    {
        std::lock_guard lock(stateMutex);
        connectionState = TRV_STATE_DISCONNECTING;
    }
    joinWorker();
    LogStream(TRV_LOG_TRACE, kTag) << "Async thread joined.";
    std::lock_guard lock(stateMutex);
    connectionState = TRV_STATE_DISCONNECTED;
}

trv_device_info_t* HandlerStreaming::getScannedDevices() {
    LogStream(TRV_LOG_WARNING, "StreamHid") << "Cannot get scanned devices: no Tarvonel device found.";
    return nullptr;
}

HandlerKind HandlerStreaming::kind() const { return kHandlerStreaming; }

// No renderer holds patterns yet: nothing to load again.
void HandlerStreaming::reloadPatterns() {}

void HandlerStreaming::enableVisualizer(bool enable) { visualizer.store(enable); }

int32_t HandlerStreaming::startConnectionRoutine(trv_output_t output, uint32_t serialNumber) {
    {
        std::lock_guard lock(stateMutex);
        outputType = output;
    }
    return startWorker(Routine::Connection, [this, serialNumber] {
        reloadPatterns();
        int32_t result = TRV_ERROR_DEVICE_NOT_REACHABLE;
        {
            std::lock_guard deviceLock(connectionMutex);
            // No stream to open: no device answers.
        }
        endConnectionRoutine(TRV_STATE_DISCONNECTED, result, serialNumber);
    });
}

int32_t HandlerStreaming::startScanningRoutine(trv_output_t /*output*/) {
    return startWorker(Routine::Scanning, [this] {
        {
            std::lock_guard deviceLock(connectionMutex);
            // No stream to scan with: nothing is found.
        }
        {
            std::lock_guard lock(stateMutex);
            scanning = false;
        }
        LogStream(TRV_LOG_INFO, kTag) << "Scanning routine terminated.";
    });
}

int32_t HandlerStreaming::startDisconnection() {
    // Never connected, so the guard never admits a disconnection; should it
    // happen, nothing is open.
    std::lock_guard lock(stateMutex);
    connectionState = TRV_STATE_DISCONNECTED;
    return TRV_ERROR_NO_DEVICE_CONNECTED;
}

uint32_t HandlerStreaming::getTarvonelSerialNumber() { return kNoSerialNumber; }

std::string HandlerStreaming::getTarvonelVersion() { return "noDeviceConnected"; }

trv_device_type_t HandlerStreaming::getTarvonelType() { return TRV_DEVICE_TYPE_NONE; }

int32_t HandlerStreaming::getGlobalIntensityBoost() {
    std::lock_guard lock(stateMutex);
    return globalGain;
}

int32_t HandlerStreaming::setGlobalIntensityBoost(int32_t gain) {
    std::lock_guard lock(stateMutex);
    globalGain = gain;
    return TRV_NO_ERROR;
}

int32_t HandlerStreaming::loadPatternFromJSON(const std::string& /*json*/) {
    LogStream(TRV_LOG_ERROR, kTag) << "Unable to load spn :" << errorCodeMessage(TRV_ERROR_OTHER);
    return TRV_ERROR_OTHER;
}

int32_t HandlerStreaming::unloadPattern(int32_t /*patternID*/) { return TRV_NO_ERROR; }

int32_t HandlerStreaming::getPatternIntensityBoost(int32_t /*patternID*/) { return 0; }

int32_t HandlerStreaming::setAccumulationWindowToPattern(int32_t mainPatternID,
                                                         int32_t /*fallbackPatternID*/,
                                                         float /*timeWindow*/,
                                                         int32_t /*maxAccumulation*/) {
    LogStream(TRV_LOG_WARNING, kTag) << "Could not set an accumulation window: Pattern ID "
                                     << mainPatternID << " not found.";
    return TRV_ERROR_INVALID_PARAMETER;
}

int32_t HandlerStreaming::eraseAccumulationWindowToPattern(int32_t patternID) {
    LogStream(TRV_LOG_WARNING, kTag) << "Could not erase an accumulation window: Pattern ID "
                                     << patternID << " not found.";
    return TRV_ERROR_INVALID_PARAMETER;
}

int32_t HandlerStreaming::playEffect(int32_t /*patternID*/, trv_effect_properties_t /*properties*/) {
    return TRV_ERROR_CORE_PATTERN_NOT_ALLOCATED;
}

int32_t HandlerStreaming::stopEffect(int32_t /*effectID*/, float /*fadeTime*/) {
    return TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED;
}

trv_effect_state_t HandlerStreaming::effectState(int32_t /*effectID*/) { return TRV_EFFECT_ENDED; }

int32_t HandlerStreaming::pauseAll() { return TRV_NO_ERROR; }

int32_t HandlerStreaming::resumeAll() { return TRV_NO_ERROR; }

int32_t HandlerStreaming::stopAll() { return TRV_NO_ERROR; }
