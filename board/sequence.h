// One playing effect in board-command mode: an instance of a loaded Pattern
// with the application's effect properties. It owns the effect's clock, its
// repetitions and the silences between them, its fade-out, its progress
// through each track and the board slots its samples hold, and builds each
// upload message in a buffer of its own.
//
// Every call but construction and getState runs on the sequencing thread
// (one at a time, no lock). getState may be read by any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "board/board_clock.h"
#include "board/board_pattern.h"
#include "trv_types.h"

namespace board {

// What a Sequence needs of its handler, all on the sequencing thread.
class SequenceHost {
public:
    virtual ~SequenceHost() = default;
    // Uploads one message: the board slot 0..19, or -8 (no slot free), -2
    // (refused), -6 / -3 (link), -10 (an answer naming no slot).
    virtual int32_t sendSample(SampleMessage& message) = 0;
    // True while uploads wait for the board to free a slot.
    virtual bool uploadsHeld() = 0;
    virtual void stopSlot(int32_t slot, float fadeSeconds) = 0;
    virtual int32_t registerSlot(int32_t slot, bool muted, int32_t effectId) = 0;
    virtual int32_t unregisterSlot(int32_t slot) = 0;
    virtual int32_t globalIntensityBoost() = 0; // linear gain 0..100
    virtual void discardPattern(int32_t patternId) = 0;
    virtual const BoardClock& clock() const = 0;
};

class Sequence {
public:
    static std::shared_ptr<Sequence> create(SequenceHost* host, std::shared_ptr<Pattern> pattern,
                                            const trv_effect_properties_t& properties);
    Sequence(SequenceHost* host, std::shared_ptr<Pattern> pattern, const trv_effect_properties_t& properties);

    // Starts the effect: 0, -1 when already started (or refused by its start
    // position), or the result of the first update.
    int32_t play(bool muted);
    // One step: sends the samples now due. 0, or -2 after the board refused a
    // sample (the effect is then stopped and its pattern discarded), or -10
    // after the board answered a slot it does not have (the effect is ended).
    int32_t update();
    // 0, or -1 when never started. With a fade the effect fades out and ends
    // by itself; without one it ends at once.
    int32_t stop(float fadeSeconds);
    void setMuted(bool muted);
    // The board freed `slot`: 0, or -1 when the effect holds no such slot.
    int32_t slotFinished(int32_t slot);
    // The board was paused this long: the effect's clocks skip it.
    void advanceTime(float seconds);
    void getSlotMask(uint32_t& mask) const;
    void clearSlots() { slots_.clear(); }

    int32_t getSlotCount() const { return slotCount_; }
    int32_t getID() const { return id_; }
    void setID(int32_t id) { id_ = id; }
    int32_t getTag() const { return tag_; }
    void setTag(int32_t tag) { tag_ = tag; }
    int32_t getPriority() const { return priority_; }
    trv_effect_state_t getState() const { return state_.load(std::memory_order_acquire); }
    bool holdsSlots() const { return !slots_.empty(); }

    // a before b in the playing order: lower priority value first; at equal
    // priority the smaller (or equal) slot count first.
    static bool lessByPriority(const Sequence& a, const Sequence& b);

    // The effect's own values, for tests.
    float position() const { return position_; }
    int32_t repeatCount() const { return repeatCount_; }
    int32_t effectBoost() const { return effectBoost_; }
    const SpatialTransform& spatial() const { return spatial_; }

private:
    void seek();
    void setState(trv_effect_state_t state) { state_.store(state, std::memory_order_release); }
    uint64_t now() const { return host_->clock().nowNanos(); }
    void endEffect(); // stops every held slot at once and ends the effect

    uint64_t startTime_ = 0;
    uint64_t timeRef_ = 0;
    float pauseShift_ = 0.0f;
    float fadeShift_ = 0.0f;
    uint64_t fadeStart_ = 0;
    float fadeTime_ = 0.0f;
    SequenceHost* host_;
    std::shared_ptr<Pattern> pattern_;
    int32_t tag_ = -1;
    float position_;
    float volume_;
    float speed_;
    int32_t repeatCount_;
    float repeatDelay_;
    float maxDuration_;
    int32_t effectBoost_ = 0;
    bool overridePatternBoost_;
    int32_t priority_;
    SpatialTransform spatial_;
    bool muted_ = false;
    bool skipRest_ = false;
    int32_t slotCount_;
    bool waiting_ = false;
    int32_t finishedTracks_ = 0;
    float waitOffset_ = 0.0f;
    int32_t id_ = -1;
    std::atomic<trv_effect_state_t> state_{TRV_EFFECT_CREATED};
    std::map<int32_t, int32_t> slots_; // board slot -> track
    std::vector<int32_t> nextSample_;
    std::vector<float> sampleOffset_;
    std::vector<int32_t> trackState_;
    SampleMessage message_{};
};

} // namespace board
