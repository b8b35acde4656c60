// HandlerCommands: connection, scanning and the sequencing loop. The
// transaction and the receive thread are in handler_commands_link.cpp, the
// public operations in handler_commands_ops.cpp.
#include "board/handler_commands.h"

#include <algorithm>
#include <chrono>

#include "sdk/PatternRegistry.h"
#include "sdk/errors.h"
#include "sdk/log.h"
#include "sdk/version.h"

namespace board {

namespace {

constexpr const char* kTag = "Sequencer";

uint64_t nanosOf(float seconds) { return static_cast<uint64_t>(static_cast<double>(seconds) * 1e9); }

} // namespace

HandlerCommands::HandlerCommands(PatternRegistry* registry, std::shared_ptr<const BoardClock> clock,
                                 const BoardTimings& timings)
    : IHandler(registry), clock_(std::move(clock)), timings(timings),
      unaskedLog_({TRV_LOG_TRACE, kTag, "", " more unasked messages were received."}),
      errorAnswerLog_({TRV_LOG_ERROR, kTag, "", " more error answers ", &nameErrorAnswerCode, " were received."}),
      unexpectedLog_({TRV_LOG_ERROR, kTag, "", " more unexpected messages were received."}) {
    nextPatternId = registry->lastID() + 1;
    stopList.reserve(kActuatorCount);
    playList.reserve(kActuatorCount);
    LogStream(TRV_LOG_TRACE, kTag) << "Sequencer initialized.";
}

HandlerCommands::~HandlerCommands() {
    {
        std::lock_guard lock(stateMutex);
        closing = true;
        disconnectRequest = true;
        if (connectionState != TRV_STATE_DISCONNECTED) connectionState = TRV_STATE_DISCONNECTING;
    }
    search.cancel(); // a running scan or connect ends at once
    wake.notify_all();
    joinWorker();
    LogStream(TRV_LOG_TRACE, kTag) << "Async thread joined.";
    std::map<int32_t, std::shared_ptr<Pattern>> dropped;
    std::unique_ptr<IHidCom> left;
    {
        std::lock_guard lock(stateMutex);
        dropped.swap(patterns);
        effects.clear();
        playList.clear();
        left = std::move(transport);
    }
    // Windows may name each other (or their own pattern): erased first so
    // that no pattern keeps another alive.
    for (auto& [id, pattern] : dropped) pattern->eraseAccumulationWindow();
    if (left != nullptr) {
        if (left->connected.load())
            LogStream(TRV_LOG_DEBUG, kTag)
                << "Device is still connected when destructor is called. Thread might have not finish properly.";
        left.reset();
    }
    LogStream(TRV_LOG_TRACE, kTag) << "Sequencer destroyed.";
}

// ---------------------------------------------------------------- connection

int32_t HandlerCommands::startConnectionRoutine(trv_output_t output, uint32_t serialNumber) {
    {
        std::lock_guard lock(stateMutex);
        outputType = output;
    }
    return startWorker(Routine::Connection, [this, serialNumber] { connectionRoutine(serialNumber); });
}

void HandlerCommands::connectionRoutine(uint32_t requested) {
    trv_output_t output;
    {
        std::lock_guard lock(stateMutex);
        output = outputType;
        if (closing) output = -1; // tries nothing
        disconnectRequest = false;
    }
    trv_output_t used = TransportSearch::kNone;
    {
        std::lock_guard deviceLock(connectionMutex);
        ScannedDevices::Addresses addresses;
        {
            std::lock_guard lock(stateMutex);
            addresses = scanned.addresses();
        }
        std::unique_ptr<IHidCom> opened;
        used = search.connect(output, requested, addresses, opened);
        std::lock_guard lock(stateMutex);
        transport = std::move(opened);
    }
    if (used == TransportSearch::kNone) {
        endConnectionRoutine(TRV_STATE_DISCONNECTED, TRV_ERROR_DEVICE_NOT_REACHABLE, kNoSerialNumber);
        return;
    }
    if (used != TRV_OUTPUT_WIFI) {
        // The board needs a moment after a USB or Bluetooth link opens; the
        // destructor cuts the wait short.
        std::unique_lock lock(stateMutex);
        wake.wait_for(lock, std::chrono::duration<float>(timings.settleSeconds), [this] { return closing; });
    }
    runConnection();
}

void HandlerCommands::runConnection() {
    connectionTime = lastTransactionTime = clock_->nowNanos();
    {
        std::lock_guard lock(answerMutex);
        awaitingAnswer = false;
        receiveEnded = false;
    }
    try {
        receiveThread = std::thread([this] { receiveLoop(); });
    } catch (const std::exception& e) {
        LogStream(TRV_LOG_ERROR, kTag) << "Could not start the receive thread: " << e.what();
        finishConnection(true);
        return;
    }
    for (HidCommandId query : {HidCommandId::GetSerialNumber, HidCommandId::GetVersion, HidCommandId::GetDeviceType}) {
        if (runShortCommand(query) < 0) {
            finishConnection(true);
            return;
        }
    }
    reloadPatterns();
    uint32_t serial;
    std::string text;
    trv_device_type_t type;
    {
        std::lock_guard lock(stateMutex);
        serial = serialNumber;
        text = version;
        type = deviceType;
    }
    endConnectionRoutine(TRV_STATE_CONNECTED, TRV_NO_ERROR, serial);
    LogStream(TRV_LOG_INFO, kTag) << "SDK Version: " << kSdkVersion;
    LogStream(TRV_LOG_INFO, kTag) << "Serial Number: " << serial;
    LogStream(TRV_LOG_INFO, kTag) << "Tarvonel Version: " << text;
    LogStream(TRV_LOG_INFO, kTag) << "Tarvonel Type: " << type;
    LogStream(TRV_LOG_TRACE, kTag) << "Start sequencing loop.";
    while (cycle()) waitForNextCycle();
    LogStream(TRV_LOG_TRACE, kTag) << "Disconnection initiated: start releasing resources.";
    finishConnection(false);
}

void HandlerCommands::finishConnection(bool duringStart) {
    {
        std::lock_guard lock(stateMutex);
        disconnectRequest = true; // ends the receive thread
    }
    if (receiveThread.joinable()) receiveThread.join();
    const int32_t r = transport->disconnect();
    int32_t error = TRV_NO_ERROR;
    if (r != 0) {
        error = TRV_ERROR_DEVICE_NOT_REACHABLE;
        LogStream(duringStart ? TRV_LOG_INFO : TRV_LOG_WARNING, kTag)
            << (duringStart ? "Unwanted disconnection detected during connection process: "
                            : "Unwanted disconnection detected: ")
            << errorCodeToString(TRV_ERROR_DEVICE_NOT_REACHABLE);
    }
    uint32_t serial;
    {
        std::lock_guard lock(stateMutex);
        serial = serialNumber;
    }
    resetSession();
    // -13 tells the application that the board did not complete the
    // connection's first queries.
    endConnectionRoutine(TRV_STATE_DISCONNECTED, duringStart ? -13 : error, serial);
}

void HandlerCommands::resetSession() {
    std::unique_ptr<IHidCom> old;
    {
        std::lock_guard lock(stateMutex);
        serialNumber = kNoSerialNumber;
        version = "noDeviceConnected";
        deviceType = TRV_DEVICE_TYPE_NONE;
        disconnectRequest = false;
        paused = false;
        stopList.clear();
        playList.clear();
        effects.clear();
        old = std::move(transport);
    }
    schedule.clear();
    old.reset();
}

int32_t HandlerCommands::startDisconnection() {
    bool open;
    {
        std::lock_guard lock(stateMutex);
        open = transport != nullptr;
        if (open) {
            disconnectRequest = true;
            connectionState = TRV_STATE_DISCONNECTING;
            wakeRequested = true;
        } else {
            connectionState = TRV_STATE_DISCONNECTED;
        }
    }
    wake.notify_all();
    if (open) return TRV_NO_ERROR;
    LogStream(TRV_LOG_WARNING, kTag) << "Unable to disconnect: " << errorCodeToString(TRV_ERROR_NO_DEVICE_CONNECTED);
    return TRV_ERROR_NO_DEVICE_CONNECTED;
}

void HandlerCommands::requestDisconnection() {
    {
        std::lock_guard lock(stateMutex);
        disconnectRequest = true;
        connectionState = TRV_STATE_DISCONNECTING;
    }
    wake.notify_all();
}

void HandlerCommands::wakeSequencer() {
    {
        std::lock_guard lock(stateMutex);
        wakeRequested = true;
    }
    wake.notify_all();
}

// ------------------------------------------------------------------ scanning

int32_t HandlerCommands::startScanningRoutine(trv_output_t output) {
    {
        std::lock_guard lock(stateMutex);
        scanned.clear();
    }
    return startWorker(Routine::Scanning, [this, output] { scanningRoutine(output); });
}

void HandlerCommands::scanningRoutine(trv_output_t output) {
    {
        std::lock_guard deviceLock(connectionMutex);
        // Filled without the state lock (getScannedDevices answers null
        // while scanning is set), published at the end.
        ScannedDevices found = search.scan(output);
        std::lock_guard lock(stateMutex);
        scanned = std::move(found);
        scanning = false;
    }
    LogStream(TRV_LOG_INFO, kTag) << "Scanning routine terminated.";
}

trv_device_info_t* HandlerCommands::getScannedDevices() {
    const char* warning = nullptr;
    trv_device_info_t* first = nullptr;
    {
        std::lock_guard lock(stateMutex);
        if (scanning)
            warning = "Cannot get scanned devices: scanning ongoing.";
        else if (scanned.empty())
            warning = "Cannot get scanned devices: no Tarvonel device found.";
        else
            first = scanned.first();
    }
    if (warning != nullptr) LogStream(TRV_LOG_WARNING, kTag) << warning;
    return first;
}

// ----------------------------------------------------------- sequencing loop

bool HandlerCommands::cycle() {
    bool pending;
    {
        std::lock_guard lock(stateMutex);
        pending = anyAllRequestLocked();
    }
    if (!pending) {
        schedule.checkFreeSlots();
        schedule.synchroniseMute();
    }
    processResumeAll();
    processPauseAll();
    processStopAll();
    processStopList();
    processPlayList();
    bool update;
    {
        std::lock_guard lock(stateMutex);
        update = !anyAllRequestLocked() && !paused;
    }
    if (update) schedule.updateEffects();
    if (secondsBetween(lastTransactionTime, clock_->nowNanos()) > timings.keepAliveSeconds)
        runShortCommand(HidCommandId::KeepAlive);
    std::lock_guard lock(stateMutex);
    return !disconnectRequest;
}

void HandlerCommands::waitForNextCycle() {
    std::unique_lock lock(stateMutex);
    // The wait is measured on the board clock, waited for on the steady
    // one: a test's manual clock that does not move only makes the loop
    // look again after that long.
    // A wait is never shorter than one cycle, so a clock that stands still
    // never makes the loop spin.
    const uint64_t now = clock_->nowNanos();
    const uint64_t keepAliveAt = lastTransactionTime + nanosOf(timings.keepAliveSeconds);
    const uint64_t cycle = nanosOf(timings.cycleSeconds);
    const bool active = !schedule.empty() || !playList.empty() || !stopList.empty();
    uint64_t wait = cycle;
    if (!active || paused) wait = std::max(keepAliveAt > now ? keepAliveAt - now : 0, cycle);
    wake.wait_for(lock, std::chrono::nanoseconds(wait), [this] { return wakeRequested || disconnectRequest; });
    wakeRequested = false;
}

void HandlerCommands::processResumeAll() {
    {
        std::lock_guard lock(stateMutex);
        if (stopAllRequest || !resumeAllRequest || !paused) {
            resumeAllRequest = false;
            return;
        }
    }
    LogStream(TRV_LOG_TRACE, kTag) << "Processing resume all request.";
    runShortCommand(HidCommandId::ResumeAll);
    schedule.advanceTime(secondsBetween(pauseTime, clock_->nowNanos()));
    std::lock_guard lock(stateMutex);
    paused = false;
    // A pause asked for while the resume went out cancelled it: pause again.
    pauseAllRequest = !resumeAllRequest;
    resumeAllRequest = false;
}

void HandlerCommands::processPauseAll() {
    {
        std::lock_guard lock(stateMutex);
        if (stopAllRequest || resumeAllRequest || !pauseAllRequest || paused) {
            pauseAllRequest = false;
            return;
        }
    }
    LogStream(TRV_LOG_TRACE, kTag) << "Processing pause all request.";
    runShortCommand(HidCommandId::PauseAll);
    pauseTime = clock_->nowNanos();
    std::lock_guard lock(stateMutex);
    paused = true;
    // A resume asked for while the pause went out cancelled it: resume again.
    resumeAllRequest = !pauseAllRequest;
    pauseAllRequest = false;
}

void HandlerCommands::processStopAll() {
    {
        std::lock_guard lock(stateMutex);
        if (!stopAllRequest) return;
    }
    LogStream(TRV_LOG_TRACE, kTag) << "Processing stop all request.";
    runShortCommand(HidCommandId::StopAll);
    {
        std::lock_guard lock(stateMutex);
        effects.clear();
        playList.clear();
        stopList.clear();
        stopAllRequest = false;
    }
    schedule.clear();
}

void HandlerCommands::processStopList() {
    std::vector<std::pair<int32_t, float>> taken;
    {
        std::unique_lock lock(stateMutex);
        if (anyAllRequestLocked()) {
            lock.unlock();
            LogStream(TRV_LOG_TRACE, kTag) << "Processing effect stop list skipped ";
            return;
        }
        if (stopList.empty()) return;
        taken.swap(stopList);
        stopList.reserve(kActuatorCount);
    }
    std::vector<std::pair<std::shared_ptr<Sequence>, float>> stops;
    for (const auto& [id, fade] : taken)
        if (auto effect = findEffect(id)) stops.emplace_back(std::move(effect), fade);
    schedule.stopEffects(stops);
}

void HandlerCommands::processPlayList() {
    std::vector<std::shared_ptr<Sequence>> taken;
    {
        std::unique_lock lock(stateMutex);
        if (anyAllRequestLocked()) {
            lock.unlock();
            LogStream(TRV_LOG_TRACE, kTag) << "Processing effect play list skipped.";
            return;
        }
        if (playList.empty()) return;
        taken.swap(playList);
        playList.reserve(kActuatorCount);
    }
    schedule.addEffects(taken);
}

std::shared_ptr<Sequence> HandlerCommands::findEffect(int32_t effectId) {
    std::lock_guard lock(stateMutex);
    const auto found = effects.find(effectId);
    return found == effects.end() ? nullptr : found->second;
}

void HandlerCommands::forgetEffect(int32_t effectId) {
    std::lock_guard lock(stateMutex);
    effects.erase(effectId);
}

} // namespace board
