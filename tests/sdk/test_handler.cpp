#include "test_handler.h"

#include <chrono>
#include <thread>

namespace trv::test {
namespace {
constexpr auto kGateTimeout = std::chrono::seconds(20);
}

TestHandler::TestHandler(PatternRegistry* registry, HandlerKind kind)
    : IHandler(registry), reportedKind(kind), nextPatternId(registry->lastID() + 1) {}

TestHandler::~TestHandler() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    joinWorker();
}

void TestHandler::setHold(bool& flag, bool hold) {
    {
        std::lock_guard lock(mutex);
        flag = hold;
    }
    changed.notify_all();
}

void TestHandler::holdConnections(bool hold) { setHold(connectionsHeld, hold); }
void TestHandler::holdScans(bool hold) { setHold(scansHeld, hold); }
void TestHandler::holdDisconnections(bool hold) { setHold(disconnectionsHeld, hold); }

void TestHandler::waitWhileHeld(const bool& held) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, kGateTimeout, [&] { return !held || stopping; });
}

void TestHandler::routineEnded() {
    {
        std::lock_guard lock(mutex);
        ++routinesEnded;
    }
    changed.notify_all();
}

bool TestHandler::waitForRoutinesEnded(int count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kGateTimeout, [&] { return routinesEnded >= count; });
}

std::vector<PatternRegistry::PatternMap> TestHandler::reloads() {
    std::lock_guard lock(mutex);
    return reloadMaps;
}

PatternRegistry::PatternMap TestHandler::registryContents() const {
    PatternRegistry::PatternMap out;
    registry->copyTo(out);
    return out;
}

trv_device_info_t* TestHandler::getScannedDevices() { return maybeThrow(), nullptr; }

HandlerKind TestHandler::kind() const { return reportedKind.load(); }

void TestHandler::reloadPatterns() {
    PatternRegistry::PatternMap copy;
    registry->copyTo(copy);
    std::lock_guard lock(mutex);
    reloadMaps.push_back(copy);
    patterns = std::move(copy);
}

void TestHandler::enableVisualizer(bool) {}

int32_t TestHandler::startConnectionRoutine(trv_output_t, uint32_t requestedSerial) {
    stateSeenAtStart = connectionStatus();
    if (throwOnStart) throw std::runtime_error("cannot start");
    if (startResult < 0) return startResult;
    ++connectionStarts;
    return startWorker(Routine::Connection, [this, requestedSerial] {
        if (throwInRoutine) throw std::runtime_error("connection routine failure");
        reloadPatterns();
        waitWhileHeld(connectionsHeld);
        bool connected = false;
        {
            std::lock_guard deviceLock(connectionMutex);
            connected = connectSucceeds;
        }
        if (!connected) {
            endConnectionRoutine(TRV_STATE_DISCONNECTED, connectError, requestedSerial);
            routineEnded();
            return;
        }
        endConnectionRoutine(TRV_STATE_CONNECTED, TRV_NO_ERROR, serialNumber);
        std::thread helper;
        if (whileConnected) helper = std::thread(whileConnected);
        {
            // The run loop: until a disconnection or the handler's end.
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return disconnectRequested || stopping; });
            disconnectRequested = false;
        }
        if (helper.joinable()) helper.join();
        waitWhileHeld(disconnectionsHeld);
        endConnectionRoutine(TRV_STATE_DISCONNECTED, TRV_NO_ERROR, serialNumber);
        routineEnded();
    });
}

int32_t TestHandler::startScanningRoutine(trv_output_t) {
    if (throwOnStart) throw std::runtime_error("cannot start");
    if (startResult < 0) return startResult;
    ++scanStarts;
    return startWorker(Routine::Scanning, [this] {
        if (throwInRoutine) throw std::runtime_error("scanning routine failure");
        {
            std::lock_guard deviceLock(connectionMutex);
        }
        waitWhileHeld(scansHeld);
        {
            std::lock_guard lock(stateMutex);
            scanning = false;
        }
        routineEnded();
    });
}

int32_t TestHandler::startDisconnection() {
    if (throwOnStart) throw std::runtime_error("cannot start");
    ++disconnectionStarts;
    {
        std::lock_guard lock(mutex);
        disconnectRequested = true;
    }
    changed.notify_all();
    return TRV_NO_ERROR;
}

uint32_t TestHandler::getTarvonelSerialNumber() { return maybeThrow(), serialNumber; }

std::string TestHandler::getTarvonelVersion() { return maybeThrow(), "2.3.1"; }

trv_device_type_t TestHandler::getTarvonelType() { return maybeThrow(), TRV_DEVICE_TYPE_B; }

int32_t TestHandler::getGlobalIntensityBoost() { return maybeThrow(), gain; }

int32_t TestHandler::setGlobalIntensityBoost(int32_t value) {
    maybeThrow();
    lastGainSet = value;
    return TRV_NO_ERROR;
}

int32_t TestHandler::loadPatternFromJSON(const std::string& json) {
    maybeThrow();
    if (loadResult < 0) return loadResult;
    std::lock_guard lock(mutex);
    patterns[nextPatternId] = json;
    return nextPatternId++;
}

int32_t TestHandler::unloadPattern(int32_t patternID) {
    maybeThrow();
    std::lock_guard lock(mutex);
    return patterns.erase(patternID) == 1 ? TRV_NO_ERROR : TRV_ERROR_CORE_PATTERN_NOT_ALLOCATED;
}

int32_t TestHandler::getPatternIntensityBoost(int32_t patternID) { return maybeThrow(), patternID * 10; }

int32_t TestHandler::setAccumulationWindowToPattern(int32_t, int32_t, float, int32_t) { return maybeThrow(), TRV_NO_ERROR; }

int32_t TestHandler::eraseAccumulationWindowToPattern(int32_t) { return maybeThrow(), TRV_NO_ERROR; }

int32_t TestHandler::playEffect(int32_t, trv_effect_properties_t properties) {
    maybeThrow();
    ++playCalls;
    std::lock_guard lock(mutex);
    lastProperties = properties;
    return nextEffectId++;
}

int32_t TestHandler::stopEffect(int32_t, float) { return maybeThrow(), TRV_NO_ERROR; }

trv_effect_state_t TestHandler::effectState(int32_t effectID) { return maybeThrow(), effectID == 0 ? TRV_EFFECT_PLAYING : TRV_EFFECT_ENDED; }

int32_t TestHandler::pauseAll() { return maybeThrow(), TRV_NO_ERROR; }

int32_t TestHandler::resumeAll() { return maybeThrow(), TRV_NO_ERROR; }

int32_t TestHandler::stopAll() { return maybeThrow(), TRV_NO_ERROR; }

} // namespace trv::test
