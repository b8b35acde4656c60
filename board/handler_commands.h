// HandlerCommands: the board-command backend (handler kind 0).
//
// The host renders nothing: each sample of a playing effect is uploaded to
// one of the 20 slots of the vest's board, which plays it; the host then
// mutes, stops, pauses and resumes the slots by commands. The public
// operations only record effects and requests; the handler's worker thread,
// once connected, runs the sequencing loop that turns them into command
// transactions, one at a time, and a receive thread of its own reads the
// board's answers and its unasked slot-status messages.
//
// Threads: application threads (the operations), the worker thread of the
// handler frame (connection, then the sequencing loop for the whole
// connection; scanning), the receive thread (one per connection, started
// and joined by the worker). Neither loop spins: the sequencing loop waits
// on `wake` until a request, a board message or its next deadline (a due
// sample, the keep-alive); the receive thread blocks in the transport's
// poll.
//
// Locks, never nested: stateMutex (the frame's) guards the device
// identity, globalBoost, patterns, effects, the ID counters, the play and
// stop lists, the request flags, `paused`, `wakeRequested`, the scan results
// and the deletion of `transport`; answerMutex guards the transaction's answer fields. The
// slot masks are atomics of the SlotSchedule. No lock is held during a
// transaction, a Sequence call or a callback.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "board/board_clock.h"
#include "board/board_pattern.h"
#include "board/sequence.h"
#include "board/slot_schedule.h"
#include "link/hid_com.h"
#include "link/link_timings.h"
#include "link/log_throttle.h"
#include "link/transport_search.h"
#include "sdk/IHandler.h"

namespace board {

class HandlerCommands final : public IHandler, private BoardPort {
public:
    // The handler factory passes the steady clock and the protocol's
    // timings; tests pass a manual clock or shorter waits.
    HandlerCommands(PatternRegistry* registry, std::shared_ptr<const BoardClock> clock, const BoardTimings& timings);
    ~HandlerCommands() override;

    trv_device_info_t* getScannedDevices() override;
    HandlerKind kind() const override { return kHandlerCommands; }
    void reloadPatterns() override;
    void enableVisualizer(bool) override {}
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
    int32_t setAccumulationWindowToPattern(int32_t mainPatternID, int32_t fallbackPatternID, float timeWindow,
                                           int32_t maxAccumulation) override;
    int32_t eraseAccumulationWindowToPattern(int32_t patternID) override;
    int32_t playEffect(int32_t patternID, trv_effect_properties_t properties) override;
    int32_t stopEffect(int32_t effectID, float fadeTime) override;
    trv_effect_state_t effectState(int32_t effectID) override;
    int32_t pauseAll() override;
    int32_t resumeAll() override;
    int32_t stopAll() override;

    // Live effects (played, not yet ended), for tests and benchmarks.
    std::size_t liveEffectCount();

private:
    // Transactions (sequencing thread only).
    int32_t sendCommand(uint8_t* frame, int32_t length);
    int32_t runShortCommand(HidCommandId id);

    // BoardPort
    int32_t sendSample(SampleMessage& message) override;
    void stopSlot(int32_t slot, float fadeSeconds) override;
    void setMuteStatus(uint32_t mask) override;
    int32_t globalIntensityBoost() override { return getGlobalIntensityBoost(); }
    void discardPattern(int32_t patternId) override { unloadPattern(patternId); }
    std::shared_ptr<Sequence> findEffect(int32_t effectId) override;
    void forgetEffect(int32_t effectId) override;
    const BoardClock& clock() const override { return *clock_; }

    void connectionRoutine(uint32_t serialNumber);
    void scanningRoutine(trv_output_t output);
    void runConnection();
    void receiveLoop();
    void handleMessage(const uint8_t* message);
    void flushLogs(bool all) noexcept; // receive thread: writes the counts held back (all: whatever their window)
    static void nameErrorAnswerCode(LogStream& line, int32_t throttleCode) noexcept; // in errorAnswerLog_'s count line
    bool cycle();                 // one pass of the sequencing loop; false: end the connection
    void waitForNextCycle();
    void processResumeAll();
    void processPauseAll();
    void processStopAll();
    void processStopList();
    void processPlayList();
    void requestDisconnection();  // under no lock
    void wakeSequencer();
    void resetSession();
    void finishConnection(bool duringStart);
    std::shared_ptr<Pattern> findPattern(int32_t patternID);
    std::shared_ptr<Sequence> createSequence(int32_t effectID, const trv_effect_properties_t& properties,
                                             const std::shared_ptr<Pattern>& pattern);
    bool anyAllRequestLocked() const { return stopAllRequest || resumeAllRequest || pauseAllRequest; }
    float secondsSinceConnection() const;

    const std::shared_ptr<const BoardClock> clock_;
    const BoardTimings timings;

    // Guarded by stateMutex.
    uint32_t serialNumber = kNoSerialNumber;
    std::string version = "noDeviceConnected";
    trv_device_type_t deviceType = TRV_DEVICE_TYPE_NONE;
    int32_t globalBoost = 0;
    std::map<int32_t, std::shared_ptr<Pattern>> patterns;
    int32_t nextPatternId = 0;
    std::map<int32_t, std::shared_ptr<Sequence>> effects;
    int32_t nextEffectId = 0;
    std::vector<std::pair<int32_t, float>> stopList; // effect ID, fade seconds
    std::vector<std::shared_ptr<Sequence>> playList;
    ScannedDevices scanned;
    trv_output_t outputType = TRV_OUTPUT_ANY;
    bool disconnectRequest = false;
    bool resumeAllRequest = false;
    bool pauseAllRequest = false;
    bool stopAllRequest = false;
    bool paused = false;
    bool closing = false;          // the destructor began: no new connection
    bool wakeRequested = false;    // the sequencing loop has work
    // Set once a transport opened; used by the worker and the receive thread
    // while connected.
    std::unique_ptr<IHidCom> transport;
    TransportSearch search;        // worker thread; the destructor cancels it (no lock held)
    std::condition_variable wake;  // with stateMutex: wakes the sequencing loop

    // Sequencing thread only.
    uint64_t connectionTime = 0;
    uint64_t lastTransactionTime = 0;
    uint64_t pauseTime = 0;
    SlotSchedule schedule{*this};

    // Guards expectedAnswer, awaitingAnswer, answerValue and receiveEnded.
    std::mutex answerMutex;
    std::condition_variable answered; // awaitingAnswer cleared or receiveEnded set
    uint8_t expectedAnswer = 0xFF;
    bool awaitingAnswer = false;
    uint8_t answerValue = 0xFF;
    bool receiveEnded = false;

    // Receive thread only. Anyone on the vest's network can send what
    // these lines report: each kind (an error answer: each error code) is
    // told at most once a second, the rest counted; the loop writes the
    // counts as their seconds end, and any left when it ends.
    LogThrottle unaskedLog_;      // the trace lines of a message no transaction waits for
    LogThrottle errorAnswerLog_;  // error answers, by code
    LogThrottle unexpectedLog_;   // messages of another ID than the awaited answer

    std::thread receiveThread; // started and joined by the worker thread
};

} // namespace board
