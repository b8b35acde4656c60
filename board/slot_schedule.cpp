#include "board/slot_schedule.h"

#include <algorithm>

#include "sdk/log.h"

namespace board {

namespace {
constexpr const char* kTag = "Sequencer";
}

BoardStatus decodeBoardStatus(const uint8_t* status) {
    uint64_t word = 0;
    for (int i = 0; i < 5; ++i) word |= static_cast<uint64_t>(status[i]) << (8 * i);
    BoardStatus out;
    for (uint32_t k = 0; k < kActuatorCount; ++k) {
        out.reserved |= static_cast<uint32_t>((word >> (2 * k)) & 1u) << k;
        out.muted |= static_cast<uint32_t>((word >> (2 * k + 1)) & 1u) << k;
    }
    return out;
}

void SlotSchedule::setReportedStatus(const BoardStatus& status) {
    reported_.store(static_cast<uint64_t>(status.reserved) | (static_cast<uint64_t>(status.muted) << 32));
}

BoardStatus SlotSchedule::reportedStatus() const {
    const uint64_t word = reported_.load();
    return {static_cast<uint32_t>(word), static_cast<uint32_t>(word >> 32)};
}

int32_t SlotSchedule::sendSample(SampleMessage& message) {
    // Read before the upload: a status that comes while it waits for its
    // answer already counts as room made.
    const uint32_t statuses = slotStatuses_.load();
    const int32_t slot = port_.sendSample(message);
    if (slot == TRV_ERROR_NO_AVAILABLE_SLOT) {
        full_ = true;
        fullSince_ = port_.clock().nowNanos();
        fullAtStatus_ = statuses;
    }
    return slot;
}

bool SlotSchedule::uploadsHeld() {
    if (!full_) return false;
    if (slotStatuses_.load() == fullAtStatus_ &&
        secondsBetween(fullSince_, port_.clock().nowNanos()) < kFullBoardRetrySeconds)
        return true;
    full_ = false;
    return false;
}

bool SlotSchedule::takeStrayStop() {
    const uint64_t now = port_.clock().nowNanos();
    if (strayStops_ == 0 || secondsBetween(strayWindowStart_, now) >= 1.0f) {
        strayWindowStart_ = now;
        strayStops_ = 0;
    }
    if (strayStops_ >= kStrayStopsPerSecond) return false;
    ++strayStops_;
    return true;
}

void SlotSchedule::checkFreeSlots() {
    const uint32_t desired = desiredReserved_.load();
    const uint32_t reported = reportedStatus().reserved;
    strayStopped_ &= reported; // a slot reported free may be stopped again once it is held again
    const uint32_t changed = (desired ^ reported) & kSlotMask;
    if (changed == 0) return;
    for (int32_t k = 0; k < static_cast<int32_t>(kActuatorCount); ++k) {
        const uint32_t bit = 1u << k;
        if ((changed & bit) == 0) continue;
        const auto found = slots_.find(k);
        if (found == slots_.end()) {
            if ((strayStopped_ & bit) != 0 || !takeStrayStop()) continue;
            strayStopped_ |= bit;
            LogStream(TRV_LOG_TRACE, kTag) << "Slot " << k << " should be free. Stop called.";
            port_.stopSlot(k, 0.0f);
            continue;
        }
        const std::shared_ptr<Sequence> owner = found->second;
        slots_.erase(found);
        desiredReserved_.fetch_and(~bit);
        owner->slotFinished(k);
    }
}

void SlotSchedule::synchroniseMute() {
    const uint32_t desired = desiredMute_.load();
    // Only the 20 slot bits are compared: the board reports no others.
    if ((desired & kSlotMask) != (reportedStatus().muted & kSlotMask)) port_.setMuteStatus(desired);
}

int32_t SlotSchedule::registerSlot(int32_t slot, bool muted, int32_t effectId) {
    const auto found = slots_.find(slot);
    if (found != slots_.end()) {
        const std::shared_ptr<Sequence> earlier = found->second;
        slots_.erase(found);
        earlier->slotFinished(slot);
        LogStream(TRV_LOG_DEBUG, kTag) << "Slot " << slot << "already registered detected, reregistered to the "
                                          "latest sample.";
    }
    const uint32_t bit = 1u << slot;
    desiredReserved_.fetch_or(bit);
    if (muted)
        desiredMute_.fetch_or(bit);
    else
        desiredMute_.fetch_and(~bit);
    if (auto effect = port_.findEffect(effectId)) slots_[slot] = std::move(effect);
    return 0;
}

int32_t SlotSchedule::unregisterSlot(int32_t slot) {
    const auto found = slots_.find(slot);
    if (found == slots_.end()) {
        LogStream(TRV_LOG_DEBUG, kTag) << "Cannot unregister slot (ID " << slot << "), slot is already free.";
        return -2;
    }
    slots_.erase(found);
    desiredReserved_.fetch_and(~(1u << slot));
    return 0;
}

void SlotSchedule::addEffects(const std::vector<std::shared_ptr<Sequence>>& fresh) {
    if (fresh.empty()) return;
    for (const auto& s : fresh) {
        auto at = active_.end();
        if (s->getTag() < 0) {
            at = std::find_if(active_.begin(), active_.end(),
                              [&](const auto& a) { return Sequence::lessByPriority(*s, *a); });
        } else if (auto opener = port_.findEffect(s->getTag())) {
            at = std::find(active_.begin(), active_.end(), opener);
            if (at != active_.end()) ++at;
        }
        active_.insert(at, s);
    }
    int32_t total = 0;
    uint32_t mask = 0;
    std::size_t audible = 0;
    for (const auto& s : active_) {
        total += s->getSlotCount();
        if (total <= kAudibleSlotUnits) {
            s->getSlotMask(mask);
            ++audible;
        }
    }
    while (total > kScheduledSlotUnits) {
        const std::shared_ptr<Sequence> last = active_.back();
        active_.pop_back();
        last->stop(0.0f);
        total -= last->getSlotCount();
        // Evicted effects end here, whether they had started or not.
        port_.forgetEffect(last->getID());
    }
    port_.setMuteStatus(~mask);
    desiredMute_.store(~mask);
    // Copies: play() may upload, and an upload may not touch the order.
    const std::vector<std::shared_ptr<Sequence>> order(active_);
    for (std::size_t i = 0; i < order.size(); ++i) order[i]->play(i >= audible);
    dropEnded();
}

void SlotSchedule::stopEffects(const std::vector<std::pair<std::shared_ptr<Sequence>, float>>& stops) {
    for (const auto& [effect, fade] : stops) {
        effect->stop(fade);
        if (effect->getState() == TRV_EFFECT_ENDED) port_.forgetEffect(effect->getID());
    }
    dropEnded();
}

void SlotSchedule::dropEnded() {
    for (auto it = active_.begin(); it != active_.end();) {
        if ((*it)->getState() == TRV_EFFECT_ENDED) {
            port_.forgetEffect((*it)->getID());
            it = active_.erase(it);
        } else {
            ++it;
        }
    }
}

void SlotSchedule::updateEffects() {
    int32_t total = 0;
    uint32_t mask = 0;
    for (std::size_t i = 0; i < active_.size();) {
        const std::shared_ptr<Sequence> s = active_[i];
        s->update();
        if (s->getState() == TRV_EFFECT_ENDED) {
            port_.forgetEffect(s->getID());
            active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        total += s->getSlotCount();
        if (total <= kAudibleSlotUnits) {
            s->getSlotMask(mask);
            s->setMuted(false);
        } else {
            s->setMuted(true);
        }
        ++i;
    }
    const uint32_t wanted = ~mask;
    if (desiredMute_.exchange(wanted) != wanted) port_.setMuteStatus(wanted);
}

void SlotSchedule::advanceTime(float seconds) {
    for (const auto& s : active_) s->advanceTime(seconds);
}

void SlotSchedule::clear() {
    active_.clear();
    slots_.clear();
    desiredReserved_.store(0);
    desiredMute_.store(0xFFFFFFFF);
    full_ = false;
    strayStopped_ = 0;
}

} // namespace board
