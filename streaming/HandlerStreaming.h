// The host-rendered streaming backend (handler kind 1, the default).
//
// This is the backend's stand-in until its renderer and streams exist: it
// has no stream, so it finds no device. Scans end with nothing found;
// connects end through the frame's normal report with (-1, -6, serial
// number); effect operations answer as with no pattern loaded. Its
// routines still run on the frame's worker thread under connectionMutex,
// like the real backend's.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "sdk/IHandler.h"

class HandlerStreaming : public IHandler {
public:
    explicit HandlerStreaming(PatternRegistry* registry);
    ~HandlerStreaming() override;

    trv_device_info_t* getScannedDevices() override;
    HandlerKind kind() const override;
    void reloadPatterns() override;
    void enableVisualizer(bool enable) override;
    int32_t startConnectionRoutine(trv_output_t output, uint32_t serialNumber) override;
    int32_t startScanningRoutine(trv_output_t output) override;
    int32_t startDisconnection() override;
    uint32_t getTarvonelSerialNumber() override;
    std::string getTarvonelVersion() override;
    trv_device_type_t getTarvonelType() override;
    int32_t getGlobalIntensityBoost() override;
    int32_t setGlobalIntensityBoost(int32_t gain) override;
    int32_t loadPatternFromJSON(const std::string& json) override;
    int32_t unloadPattern(int32_t patternID) override;
    int32_t getPatternIntensityBoost(int32_t patternID) override;
    int32_t setAccumulationWindowToPattern(int32_t mainPatternID, int32_t fallbackPatternID,
                                           float timeWindow, int32_t maxAccumulation) override;
    int32_t eraseAccumulationWindowToPattern(int32_t patternID) override;
    int32_t playEffect(int32_t patternID, trv_effect_properties_t properties) override;
    int32_t stopEffect(int32_t effectID, float fadeTime) override;
    trv_effect_state_t effectState(int32_t effectID) override;
    int32_t pauseAll() override;
    int32_t resumeAll() override;
    int32_t stopAll() override;

private:
    trv_output_t outputType = TRV_OUTPUT_ANY; // guarded by stateMutex
    int32_t globalGain = 0;                   // guarded by stateMutex
    std::atomic<bool> visualizer{false};
};
