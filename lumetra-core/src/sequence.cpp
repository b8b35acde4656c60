#include "sequence.h"

#include <cmath>

#include "layout.h"
#include "pattern.h"
#include "trv_types.h"

namespace lmc {

Sequence::Sequence(int32_t patternId, bool autoDelete, const Pattern& pattern,
                   std::size_t actuatorCount)
    : boost(pattern.boost()),
      patternId_(patternId),
      autoDelete_(autoDelete),
      visualiser_(actuatorCount, 0.0f),
      tracks_(TrackList(pattern.root(), actuatorCount), true) {}

int32_t Sequence::play(double playAt, double latency) {
    if (!(playAt >= 0.0) || !(latency >= 0.0) || !std::isfinite(playAt) ||
        !std::isfinite(latency))
        return TRV_ERROR_CORE_INVALID_ARGUMENT;
    if (playing_) return TRV_ERROR_CORE_SEQUENCE_PLAYING;
    playDelay_ = latency;
    tracks_.seek(playAt);
    playing_ = true;
    fade_.start(0.0);
    started_ = true;
    return 0;
}

int32_t Sequence::stop(double step) {
    if (step < 0.0) return TRV_ERROR_CORE_INVALID_ARGUMENT;
    if (step > 0.0 && playing_) {
        if (fade_.active())
            fade_.setStep(step);
        else
            fade_.start(step);
        return 0;
    }
    playing_ = false;
    return 0;
}

void Sequence::render(const SequenceOutput& out) {
    if (!playing_) return;
    if (fade_.active() && fade_.samplesLeft() == 0) { // faded out, even while still waiting
        playing_ = false;
        return;
    }
    const std::size_t n = out.frames;
    const double gain = muted ? 0.0 : volume;

    std::size_t start = 0;
    if (playDelay_ > 0.0) {
        const std::size_t k = std::min(secondsToFrames(out.rateHz, playDelay_), n);
        if (k == 0) {
            playDelay_ = 0.0;
        } else {
            start = k;
            playDelay_ -= static_cast<double>(k) / out.rateHz;
        }
    }

    double totalBoost = out.globalBoost + boost;
    totalBoost = totalBoost > 0.0 ? std::min(totalBoost, 1.0) : 0.0; // NaN counts as 0

    if (visualiser_.size() != out.layout.actuatorCount())
        visualiser_.resize(out.layout.actuatorCount(), 0.0f);

    const RenderTarget target{out.layout, transform,  out.buffers, out.actuatorCount,
                              fade_,      visualiser_, out.scratch, totalBoost,
                              out.spatialCellFrames};
    const std::size_t end = tracks_.render(target, out.rateHz, gain, speed, start, n - start);
    fade_.advance(end);
    transform.setChanged(0);
    if (end < n) playing_ = false;
}

} // namespace lmc
