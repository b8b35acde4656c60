#include "board/sequence.h"

#include <cmath>
#include <limits>

#include "sdk/log.h"

namespace board {

namespace {

constexpr const char* kTag = "Sequence";
constexpr int32_t kTrackWaiting = 0;  // next sample not sent yet
constexpr int32_t kTrackPlaying = 1;  // a sample of the track holds a slot
constexpr int32_t kTrackFinished = 2; // done for this repetition

int32_t convertEffectBoost(int32_t property) {
    const double b = property;
    double gain = 0.0;
    if (b > 0) gain = std::pow(10.0, static_cast<double>(static_cast<float>(b) * 0.02f));
    if (b < 0) gain = -std::pow(10.0, static_cast<double>(static_cast<float>(b) * -0.02f));
    return static_cast<int32_t>(gain);
}

float radians(float degrees) { return static_cast<float>(static_cast<double>(degrees) * M_PI / 180.0); }

} // namespace

std::shared_ptr<Sequence> Sequence::create(SequenceHost* host, std::shared_ptr<Pattern> pattern,
                                           const trv_effect_properties_t& properties) {
    return std::make_shared<Sequence>(host, std::move(pattern), properties);
}

Sequence::Sequence(SequenceHost* host, std::shared_ptr<Pattern> pattern, const trv_effect_properties_t& p)
    : host_(host), pattern_(std::move(pattern)), position_(p.playAtTime), volume_(p.volume), speed_(p.speed),
      repeatCount_(p.repeatCount), repeatDelay_(p.repeatDelay), maxDuration_(p.maxDuration),
      effectBoost_(convertEffectBoost(p.effectBoost)), overridePatternBoost_(p.overridePatternBoost),
      priority_(p.priority), slotCount_(pattern_->getSlotCount()) {
    spatial_.height = p.height * 0.24f;
    spatial_.heading = radians(p.heading);
    spatial_.tilt = radians(p.tilting);
    spatial_.mirrorX = p.frontBackInversion;
    spatial_.mirrorZ = p.rightLeftInversion;
    spatial_.mirrorY = p.upDownInversion;
    spatial_.addMirroredX = p.frontBackAddition;
    spatial_.addMirroredZ = p.rightLeftAddition;
    spatial_.addMirroredY = p.upDownAddition;
    const auto tracks = static_cast<std::size_t>(pattern_->getTrackCount());
    nextSample_.assign(tracks, 0);
    sampleOffset_.assign(tracks, 0.0f);
    trackState_.assign(tracks, kTrackWaiting);
    seek();
}

void Sequence::seek() {
    const float duration = pattern_->getDuration();
    float p = position_;
    if (duration != 0.0f) {
        const float r = static_cast<float>(repeatCount_);
        if (repeatCount_ > 0 && p >= (r - 1.0f) * repeatDelay_ + r * duration) {
            setState(TRV_EFFECT_ENDED);
            LogStream(TRV_LOG_INFO, kTag) << "Effect will not play as playAt time exceed the time to repeat the pattern.";
            return;
        }
        // Whole periods before the start are skipped in one step (a loop of
        // subtractions never ends for large positions).
        const double period = static_cast<double>(duration + repeatDelay_);
        if (period > 0.0 && static_cast<double>(p) > period) {
            const double skipped = std::ceil((static_cast<double>(p) - period) / period);
            p = static_cast<float>(static_cast<double>(p) - skipped * period);
            if (repeatCount_ > 0) {
                const double left = static_cast<double>(repeatCount_) - skipped;
                repeatCount_ = left < 1.0 ? 1 : static_cast<int32_t>(left);
            }
        }
    }
    position_ = p;
    for (std::size_t k = 0; k < nextSample_.size(); ++k) {
        const auto track = static_cast<int32_t>(k);
        const int32_t count = pattern_->getSampleCount(track);
        while (nextSample_[k] < count) {
            const float end = pattern_->getSampleEnd(track, nextSample_[k]);
            if (end != 0.0f && end <= p) {
                ++nextSample_[k];
                continue;
            }
            const float start = pattern_->getSampleStart(track, nextSample_[k]);
            if (p >= start) sampleOffset_[k] = p - start;
            break;
        }
        if (nextSample_[k] >= count) {
            trackState_[k] = kTrackFinished;
            ++finishedTracks_;
        }
    }
    if (finishedTracks_ >= pattern_->getTrackCount()) {
        waiting_ = true;
        waitOffset_ = p - duration;
        LogStream(TRV_LOG_TRACE, kTag) << "Hitting a wait!";
    }
}

int32_t Sequence::play(bool muted) {
    if (getState() != TRV_EFFECT_CREATED) {
        LogStream(TRV_LOG_TRACE, kTag) << "Sequence already playing (ID: " << id_ << ")";
        return -1;
    }
    muted_ = muted;
    startTime_ = timeRef_ = now();
    pauseShift_ = fadeShift_ = 0.0f;
    const int32_t r = update();
    // The first update may already have ended the effect.
    if (r == 0 && getState() == TRV_EFFECT_CREATED) setState(muted ? TRV_EFFECT_PLAYING_MUTED : TRV_EFFECT_PLAYING);
    return r;
}

void Sequence::endEffect() {
    for (const auto& [slot, track] : std::map<int32_t, int32_t>(slots_)) {
        host_->stopSlot(slot, 0.0f);
        host_->unregisterSlot(slot);
    }
    slots_.clear();
    setState(TRV_EFFECT_ENDED);
}

int32_t Sequence::update() {
    if (getState() == TRV_EFFECT_ENDED) return 0;
    const uint64_t t0 = now();
    const float elapsed = secondsBetween(startTime_, t0) - pauseShift_;
    if (maxDuration_ != 0.0f && elapsed >= maxDuration_) {
        LogStream(TRV_LOG_TRACE, kTag) << "Effect max duration reached.";
        endEffect();
        return 0;
    }
    float gain = 1.0f;
    float remaining = 0.0f;
    const bool fading = fadeTime_ > 0.0f;
    if (fading) {
        remaining = fadeTime_ - (secondsBetween(fadeStart_, t0) - fadeShift_);
        gain = remaining / fadeTime_;
        if (remaining < 0.0f) {
            if (!skipRest_)
                LogStream(TRV_LOG_INFO, kTag) << "Remaining samples of the pattern are skipped as they are too "
                                                 "close to the end of the fadeout.";
            skipRest_ = true;
        }
    }
    if (skipRest_ && slots_.empty()) {
        // Nothing sounds and nothing more will be sent: the fade is over.
        setState(TRV_EFFECT_ENDED);
        return 0;
    }
    if (!skipRest_) {
        float t = 0.0f;
        if (waiting_) {
            const float w = secondsBetween(timeRef_, t0) - pauseShift_;
            if (w < repeatDelay_ - waitOffset_) return 0;
            timeRef_ = t0;
            pauseShift_ = 0.0f;
            waiting_ = false;
            waitOffset_ = 0.0f;
        } else {
            t = (secondsBetween(timeRef_, t0) - pauseShift_) * speed_;
        }
        const int32_t globalBoost = host_->globalIntensityBoost();
        for (std::size_t k = 0; k < nextSample_.size() && !skipRest_; ++k) {
            const auto track = static_cast<int32_t>(k);
            if (trackState_[k] != kTrackWaiting) continue;
            if (t + position_ < pattern_->getSampleStart(track, nextSample_[k])) continue;
            if (static_cast<int32_t>(slots_.size()) >= slotCount_) continue;
            if (host_->uploadsHeld()) break; // the board is full: no upload until it frees a slot
            pattern_->buildSampleMessage(track, nextSample_[k], gain * volume_, speed_, muted_, sampleOffset_[k],
                                         spatial_, globalBoost, effectBoost_, !overridePatternBoost_, message_);
            sampleOffset_[k] = 0.0f;
            const int32_t slot = host_->sendSample(message_);
            LogStream(TRV_LOG_TRACE, kTag) << "Track -  " << k << "/" << nextSample_[k] << " is playing on slot "
                                           << std::hex << slot;
            if (slot == TRV_ERROR_NO_AVAILABLE_SLOT) {
                LogStream(TRV_LOG_ERROR, kTag) << "Send play msg failed: no slot available";
                break;
            }
            if (slot == TRV_ERROR_INVALID_PARAMETER) {
                LogStream(TRV_LOG_ERROR, kTag) << "Send play message failed: invalid parameter in pattern, effect "
                                                  "is stopped and pattern discarded.";
                endEffect();
                host_->discardPattern(pattern_->id());
                return TRV_ERROR_INVALID_PARAMETER;
            }
            if (slot == TRV_ERROR_INVALID_MESSAGE) {
                // The answer named a slot the board does not have: nothing
                // of this sample can be stopped or followed (the handler
                // logged it).
                endEffect();
                return TRV_ERROR_INVALID_MESSAGE;
            }
            if (slot < 0 || slot >= static_cast<int32_t>(kActuatorCount)) {
                // The link is going down (-6, -3): nothing is registered;
                // the sample is tried again later.
                LogStream(TRV_LOG_ERROR, kTag) << "Send play msg failed: device not reachable";
                break;
            }
            host_->registerSlot(slot, muted_, id_);
            slots_.emplace(slot, track);
            trackState_[k] = kTrackPlaying;
            if (fading) host_->stopSlot(slot, remaining);
        }
    }
    if (finishedTracks_ < pattern_->getTrackCount()) return 0;
    if (repeatCount_ == 1 || skipRest_) {
        setState(TRV_EFFECT_ENDED);
        return 0;
    }
    for (std::size_t k = 0; k < nextSample_.size(); ++k) {
        nextSample_[k] = 0;
        trackState_[k] = kTrackWaiting;
    }
    waiting_ = true;
    timeRef_ = t0;
    pauseShift_ = 0.0f;
    finishedTracks_ = 0;
    position_ = 0.0f;
    repeatCount_ -= 1;
    return 0;
}

int32_t Sequence::slotFinished(int32_t slot) {
    const auto found = slots_.find(slot);
    if (found == slots_.end()) {
        LogStream(TRV_LOG_DEBUG, kTag) << "Could not find slot index.";
        return -1;
    }
    const auto k = static_cast<std::size_t>(found->second);
    if (trackState_[k] == kTrackPlaying) {
        if (fadeTime_ > 0.0f && secondsBetween(fadeStart_, now()) - fadeShift_ > fadeTime_) {
            skipRest_ = true;
            trackState_[k] = kTrackFinished;
            ++finishedTracks_;
        } else if (!pattern_->isLastSample(found->second, nextSample_[k])) {
            trackState_[k] = kTrackWaiting;
            ++nextSample_[k];
        } else {
            trackState_[k] = kTrackFinished;
            ++finishedTracks_;
        }
    }
    slots_.erase(found);
    return 0;
}

int32_t Sequence::stop(float fadeSeconds) {
    if (getState() == TRV_EFFECT_CREATED) {
        LogStream(TRV_LOG_TRACE, kTag) << "Cannot stop sequence (ID: " << id_ << "): never started playing";
        setState(TRV_EFFECT_ENDED);
        return -1;
    }
    if (fadeSeconds > 0.0f) {
        fadeStart_ = now();
        fadeTime_ = fadeSeconds;
        fadeShift_ = 0.0f;
        for (const auto& [slot, track] : slots_) host_->stopSlot(slot, fadeSeconds);
        return 0;
    }
    endEffect();
    return 0;
}

void Sequence::setMuted(bool muted) {
    muted_ = muted;
    const trv_effect_state_t state = getState();
    if (state == TRV_EFFECT_PLAYING && muted) setState(TRV_EFFECT_PLAYING_MUTED);
    if (state == TRV_EFFECT_PLAYING_MUTED && !muted) setState(TRV_EFFECT_PLAYING);
}

void Sequence::advanceTime(float seconds) {
    pauseShift_ += seconds;
    if (fadeTime_ > 0.0f) fadeShift_ += seconds;
}

void Sequence::getSlotMask(uint32_t& mask) const {
    for (const auto& [slot, track] : slots_) mask |= 1u << slot;
}

bool Sequence::lessByPriority(const Sequence& a, const Sequence& b) {
    if (a.priority_ != b.priority_) return a.priority_ < b.priority_;
    return a.slotCount_ <= b.slotCount_;
}

} // namespace board
