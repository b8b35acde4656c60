// One sample of a pattern as it plays: an embedded waveform through its
// playback generator, shaped by its volume envelope and the sequence's fade,
// spread over the actuators by its spatial keyframes.
#pragma once

#include <cstddef>
#include <vector>

#include <nlohmann/json.hpp>

#include "buffer_filler.h"
#include "playback_generator.h"
#include "repeat_mgr.h"
#include "spatialization.h"
#include "volume_envelope.h"

namespace lmc {

class Effect final : public IBufferFiller {
public:
    // From one spn sample of a valid pattern; room for `actuatorCount`
    // actuators is reserved so that rendering allocates nothing.
    Effect(const nlohmann::json& sample, std::size_t actuatorCount);

    // The generator's clock to t, the spatial keyframes back to their start.
    void seek(double t) override;
    // Plays the crop again; the effect's own time (envelope, keyframes) runs on.
    void restartRepetition() override;
    // The crop's duration.
    double duration() const override;
    // Produces the samples at rate / (speed x the sample's speed) through the
    // generator (nothing when that rate is not a positive finite number),
    // multiplies them by the envelope at the effect's own time and by the
    // fade, and adds them into every actuator with its spatial weight. The
    // weights are evaluated once per cell of target.spatialCellFrames frames
    // of the effect's own output since its last seek, so the output does not
    // depend on how time is cut into buffers. Returns offset + produced.
    std::size_t render(const RenderTarget& target, double rateHz, double volume, double speed,
                       std::size_t offset, std::size_t count) override;

    // Seconds into the effect's own timeline, counted across repetitions.
    double localTime() const noexcept { return generator_.time() + timeOffset_; }
    const PlaybackGenerator& generator() const noexcept { return generator_; }
    const Spatialization& spatialization() const noexcept { return spatial_; }
    const VolumeEnvelope& envelope() const noexcept { return envelope_; }

private:
    // Spreads target.scratch[0..count) (already shaped), produced from local
    // time t with dt per sample, into the buffers from position `offset`.
    void spread(const RenderTarget& target, double t, double dt, std::size_t offset,
                std::size_t count);
    void updateWeights(const RenderTarget& target, double t);
    // Lists the actuators below `limit` whose weight is not 0.
    void collectActive(std::size_t limit);

    // An actuator that the current cell's weights reach (weight not 0; NaN
    // included), in actuator order.
    struct ActiveWeight {
        std::size_t actuator;
        double weight;
    };

    double speed_;                 // the sample's own speed factor
    VolumeEnvelope envelope_;
    double timeOffset_ = 0.0;      // seconds played in earlier repetitions
    PlaybackGenerator generator_;
    Spatialization spatial_;
    std::size_t framesSinceSeek_ = 0; // output frames produced since the last seek
    double cellTime_ = 0.0;        // local time at which the current cell's weights were taken
    bool cellValid_ = false;
    std::vector<ActiveWeight> active_; // reserved for every actuator
    std::size_t activeLimit_ = 0;      // the actuator count active_ was listed for
    uint64_t activeVersion_ = 0;       // the spatial weights' version it was listed from
};

// A sample with its repetitions: the sample's delays and count around its
// Effect, on the sequence-speed timeline.
class RepeatedEffect final : public RepeatMgr<Effect> {
public:
    // `previousEnd`: where the previous sample of the track ends (its
    // timestamp + maxDuration), 0 for the first sample. The gap from there to
    // this sample's timestamp joins the initial delay.
    RepeatedEffect(const nlohmann::json& sample, double previousEnd, std::size_t actuatorCount);
};

} // namespace lmc
