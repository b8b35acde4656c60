// The host's picture of the board's 20 slots and the playing order of the
// effects, as the sequencing thread keeps it: slots freed by the board end
// their samples, new effects are placed by priority, the leading effects
// whose slot counts add up to at most 10 are audible and the rest play
// muted, and the order holds at most 20 slot-units.
//
// A pure model: the board is reached through a BoardPort, time through its
// clock; no thread, no lock of its own. Every member runs on the sequencing
// thread, except setReportedStatus and slotStatusReceived (the receive
// thread) and the mask readers, which are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "board/sequence.h"

namespace board {

inline constexpr uint32_t kSlotMask = 0xFFFFF; // the 20 slots
inline constexpr int32_t kAudibleSlotUnits = 10;
inline constexpr int32_t kScheduledSlotUnits = 20;
// After the board answered "no slot free", uploads wait for its next
// slot-status message, or this long.
inline constexpr float kFullBoardRetrySeconds = 0.05f;
// Slots the board holds without a host record are stopped at most this
// many times a second, together (a forged status cannot multiply them).
inline constexpr int32_t kStrayStopsPerSecond = 20;

// What the schedule needs of its handler.
class BoardPort {
public:
    virtual ~BoardPort() = default;
    virtual int32_t sendSample(SampleMessage& message) = 0;
    virtual void stopSlot(int32_t slot, float fadeSeconds) = 0;
    virtual void setMuteStatus(uint32_t mask) = 0;
    virtual int32_t globalIntensityBoost() = 0;
    virtual void discardPattern(int32_t patternId) = 0;
    // The live effect of that ID (null when none), and its removal.
    virtual std::shared_ptr<Sequence> findEffect(int32_t effectId) = 0;
    virtual void forgetEffect(int32_t effectId) = 0;
    virtual const BoardClock& clock() const = 0;
};

// The reserved and muted bits of the 5-byte board status word, one bit per
// slot (reserved: bit 2k, muted: bit 2k+1).
struct BoardStatus {
    uint32_t reserved = 0;
    uint32_t muted = 0;
};
BoardStatus decodeBoardStatus(const uint8_t* status);

class SlotSchedule final : public SequenceHost {
public:
    explicit SlotSchedule(BoardPort& port) : port_(port) {}

    // The board released a slot the host holds: the effect's sample ends;
    // the board holds one the host does not: it is stopped, once until the
    // board reports it free again, and within the stray-stop budget.
    void checkFreeSlots();
    // Sends the desired mute mask again when the board reports another one.
    void synchroniseMute();
    // Places the new effects (in the order they were played), applies the
    // budgets, sends the mute mask and starts the new effects.
    void addEffects(const std::vector<std::shared_ptr<Sequence>>& fresh);
    // Stops each (effect, fade) and drops the effects that ended.
    void stopEffects(const std::vector<std::pair<std::shared_ptr<Sequence>, float>>& stops);
    // One update of every scheduled effect and the mute budget.
    void updateEffects();
    // After a resume: every effect skips the pause.
    void advanceTime(float seconds);
    // After a stop-all or at the end of a connection: nothing is held.
    void clear();

    // SequenceHost
    int32_t sendSample(SampleMessage& message) override;
    bool uploadsHeld() override;
    void stopSlot(int32_t slot, float fadeSeconds) override { port_.stopSlot(slot, fadeSeconds); }
    int32_t registerSlot(int32_t slot, bool muted, int32_t effectId) override;
    int32_t unregisterSlot(int32_t slot) override;
    int32_t globalIntensityBoost() override { return port_.globalIntensityBoost(); }
    void discardPattern(int32_t patternId) override { port_.discardPattern(patternId); }
    const BoardClock& clock() const override { return port_.clock(); }

    // From the receive thread.
    void setReportedStatus(const BoardStatus& status);
    // An unasked slot-status message came: a full board may have room again.
    void slotStatusReceived() { slotStatuses_.fetch_add(1); }
    BoardStatus reportedStatus() const;
    uint32_t desiredReservedMask() const { return desiredReserved_.load(); }
    uint32_t desiredMuteMask() const { return desiredMute_.load(); }
    const std::vector<std::shared_ptr<Sequence>>& activeList() const { return active_; }
    bool empty() const { return active_.empty() && slots_.empty(); }

private:
    void dropEnded();
    bool takeStrayStop(); // false when this second's stray stops are spent

    BoardPort& port_;
    std::vector<std::shared_ptr<Sequence>> active_; // playing order
    std::map<int32_t, std::shared_ptr<Sequence>> slots_;
    std::atomic<uint32_t> desiredReserved_{0};
    std::atomic<uint32_t> desiredMute_{0xFFFFFFFF};
    std::atomic<uint64_t> reported_{0}; // reserved in the low half, muted in the high half: read together
    std::atomic<uint32_t> slotStatuses_{0}; // unasked slot-status messages so far
    // The board answered "no slot free" at fullSince_, when slotStatuses_
    // read fullAtStatus_.
    bool full_ = false;
    uint64_t fullSince_ = 0;
    uint32_t fullAtStatus_ = 0;
    uint32_t strayStopped_ = 0;   // stray slots stopped and not yet reported free since
    uint64_t strayWindowStart_ = 0;
    int32_t strayStops_ = 0;      // stray stops sent since strayWindowStart_
};

} // namespace board
