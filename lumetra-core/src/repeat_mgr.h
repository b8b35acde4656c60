// Repetition of a renderable: an initial delay, repeated plays separated by
// a delay, an optional limit on the rendered time.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "buffer_filler.h"
#include "frames.h"

namespace lmc {

// T is a renderable with seek, restartRepetition, duration and render as in
// IBufferFiller (an Effect or a TrackList), held by value.
template <typename T>
class RepeatMgr : public IBufferFiller {
public:
    // `speedPassedThrough` true: rate and speed go down unchanged. False: this
    // manager works at rate / speed (its delays and limit are then measured
    // on the slowed or hastened timeline) and passes speed 1 down.
    RepeatMgr(T inner, bool speedPassedThrough)
        : inner_(std::move(inner)), speedPassedThrough_(speedPassedThrough) {}

    double initialDelay = 0.0; // seconds of silence before the first play
    double repeatDelay = 0.0;  // seconds of silence between two plays
    uint32_t repeatCount = 1;  // plays; 0 = endless
    double maxDuration = 0.0;  // limit on the rendered time in seconds; 0 = none

    T& inner() noexcept { return inner_; }
    const T& inner() const noexcept { return inner_; }
    uint32_t repetitionIndex() const noexcept { return repetitionIndex_; }
    double waitRemaining() const noexcept { return waitRemaining_; }
    double elapsed() const noexcept { return elapsed_; }

    void seek(double t) override {
        stallCount_ = 0;
        const double d = inner_.duration();
        if (d == -1.0 || !(t >= 0.0)) { // endless inner, or before the start (NaN too)
            startOver(0.0, initialDelay);
            return;
        }
        const double x = t - initialDelay + repeatDelay;
        if (x < 0.0) { // still inside the initial delay
            startOver(t, initialDelay - t);
            return;
        }
        const double period = repeatDelay + d;
        if (!(period > 0.0) || !std::isfinite(period) || !std::isfinite(x)) {
            // A period of 0 (or beyond the range) places no repetition after
            // the first: the time falls into the first one.
            repetitionIndex_ = 0;
            const double into = t - initialDelay;
            waitRemaining_ = into < 0.0 ? -into : 0.0;
            inner_.seek(into < 0.0 ? 0.0 : into);
            elapsed_ = t;
            return;
        }
        repetitionIndex_ = truncCount32(x / period);
        const double r = std::fmod(x, period);
        if (repeatDelay > r) { // inside the delay before a repetition
            waitRemaining_ = repeatDelay - r;
            inner_.seek(0.0);
        } else {
            waitRemaining_ = 0.0;
            inner_.seek(r - repeatDelay);
        }
        elapsed_ = t;
    }

    void restartRepetition() override { seek(0.0); }

    double duration() const override {
        const double d = inner_.duration();
        if (d == -1.0) return -1.0;
        if (repeatCount == 0 || d == 0.0) return maxDuration;
        const double total = (repeatDelay + d) * static_cast<double>(repeatCount) - repeatDelay +
                             initialDelay;
        return maxDuration == 0.0 ? total : std::min(maxDuration, total);
    }

    std::size_t render(const RenderTarget& target, double rateHz, double volume, double speed,
                       std::size_t offset, std::size_t count) override {
        if (!speedPassedThrough_) {
            rateHz /= speed;
            speed = 1.0;
            // Speed 0 (or a rate beyond the range): time stands still here
            // and the node contributes silence while it keeps running.
            if (!(rateHz > 0.0) || !std::isfinite(rateHz)) return offset + count;
        }
        std::size_t end = offset + count;
        if (maxDuration != 0.0)
            end = offset + std::min(count, secondsToFrames(rateHz, maxDuration - elapsed_));
        if (target.fade.active()) end = std::min(end, target.fade.samplesLeft());

        std::size_t pos = offset;
        while (pos < end) {
            if (repeatCount != 0 && repetitionIndex_ >= repeatCount) break;
            if (waitRemaining_ > 0.0) {
                const std::size_t k = std::min(secondsToFrames(rateHz, waitRemaining_), end - pos);
                if (k == 0) {
                    waitRemaining_ = 0.0;
                } else {
                    pos += k;
                    waitRemaining_ -= static_cast<double>(k) / rateHz;
                }
                if (pos >= end) break; // the wait fills the rest of the span
            }
            const std::size_t r = inner_.render(target, rateHz, volume, speed, pos, end - pos);
            if (r == pos) {
                // Two plays in a row produced nothing: an endless repetition
                // stays alive in silence; a finite one whose delays take no
                // frame would spin through its remaining plays without moving,
                // so they are over at once. Either way the output is what
                // playing every repetition would give.
                if (++stallCount_ >= 2) {
                    if (repeatCount == 0) {
                        pos = end;
                        break;
                    }
                    if (secondsToFrames(rateHz, repeatDelay) == 0) {
                        repetitionIndex_ = repeatCount;
                        break;
                    }
                }
            } else {
                stallCount_ = 0;
            }
            pos = r;
            if (r >= end) break;
            inner_.restartRepetition();
            ++repetitionIndex_;
            waitRemaining_ = repeatDelay;
        }
        elapsed_ += static_cast<double>(pos - offset) / rateHz;
        return pos;
    }

private:
    void startOver(double elapsed, double wait) {
        inner_.seek(0.0);
        repetitionIndex_ = 0;
        waitRemaining_ = wait;
        elapsed_ = elapsed;
    }

    T inner_;
    bool speedPassedThrough_;
    uint32_t repetitionIndex_ = 0;
    double waitRemaining_ = 0.0;
    double elapsed_ = 0.0;
    uint32_t stallCount_ = 0;
};

} // namespace lmc
