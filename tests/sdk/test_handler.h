// A backend for tests of the handler frame and of the SDK instance: its
// routines run on the frame's worker thread like a real backend's, and
// every outcome is set by the test. Connections are made up: a "connected"
// routine stays in its run loop until a disconnection or the handler's end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "sdk/IHandler.h"
#include "sdk/PatternRegistry.h"

namespace trv::test {

class TestHandler : public IHandler {
public:
    explicit TestHandler(PatternRegistry* registry, HandlerKind kind = kHandlerStreaming);
    ~TestHandler() override;

    // --- knobs, set before the operation they affect ---
    std::atomic<HandlerKind> reportedKind;
    std::atomic<bool> connectSucceeds{false};
    std::atomic<int32_t> connectError{TRV_ERROR_DEVICE_NOT_REACHABLE};
    std::atomic<uint32_t> serialNumber{12345678u};
    std::atomic<int32_t> startResult{0};      // negative: the start routines start nothing
    std::atomic<bool> throwOnStart{false};    // the start routines throw
    std::atomic<bool> throwInRoutine{false};  // the routines throw on the worker thread
    std::atomic<bool> throwOnOperations{false};
    std::atomic<int32_t> loadResult{0};       // negative: loads fail with it
    std::atomic<int32_t> gain{0};             // what getGlobalIntensityBoost returns
    // Run on a thread of the connection's own while it is up, joined by
    // the worker before the connection ends (as a backend's receive thread).
    std::function<void()> whileConnected;

    // Gates: while closed, the routine waits there (bounded) before going on.
    void holdConnections(bool hold);  // before the connection's outcome
    void holdScans(bool hold);        // before the scan ends
    void holdDisconnections(bool hold); // before the run loop ends after a disconnection

    // --- what happened ---
    std::atomic<int> connectionStarts{0};
    std::atomic<int> scanStarts{0};
    std::atomic<int> disconnectionStarts{0};
    std::atomic<int> playCalls{0};
    std::atomic<int32_t> lastGainSet{-1};
    std::atomic<trv_connection_state_t> stateSeenAtStart{-99};
    trv_effect_properties_t lastProperties; // written by playEffect
    std::vector<PatternRegistry::PatternMap> reloads(); // one map per reloadPatterns
    PatternRegistry::PatternMap registryContents() const;
    // Waits (bounded) until this many routines have ended.
    bool waitForRoutinesEnded(int count);

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
    void setHold(bool& flag, bool hold);
    void waitWhileHeld(const bool& held);
    void maybeThrow() const {
        if (throwOnOperations) throw std::runtime_error("test handler failure");
    }
    void routineEnded();

    mutable std::mutex mutex; // guards everything below
    std::condition_variable changed;
    bool stopping = false;
    bool disconnectRequested = false;
    bool connectionsHeld = false;
    bool scansHeld = false;
    bool disconnectionsHeld = false;
    int routinesEnded = 0;
    int32_t nextPatternId;
    int32_t nextEffectId = 0;
    std::map<int32_t, std::string> patterns;
    std::vector<PatternRegistry::PatternMap> reloadMaps;
};

} // namespace trv::test
