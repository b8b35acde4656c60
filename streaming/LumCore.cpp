#include "streaming/LumCore.h"

namespace {
constexpr double kInitialRateHz = 48000.0;
constexpr std::size_t kInitialBufferFrames = 512;
} // namespace

LumCore::LumCore() : engine_(lmc::layout_new_tarvonel_capsule(), kInitialRateHz, kInitialBufferFrames) {}

uint32_t LumCore::channelCount() const { return static_cast<uint32_t>(engine_.layout()->actuatorCount()); }

uint32_t LumCore::bufferSize() const { return static_cast<uint32_t>(lmc::config_buffer_size_get(engine_)); }

void LumCore::setBufferSize(uint32_t frames) { lmc::config_buffer_size_set(engine_, frames); }

double LumCore::sampleRate() const { return lmc::config_sample_rate_get(engine_); }

void LumCore::setSampleRate(double hz) { lmc::config_sample_rate_set(engine_, hz); }

void LumCore::render() { engine_.process(); }

double LumCore::sample(uint32_t channel, uint32_t frame) const {
    return engine_.actuatorBuffers()[channel][frame];
}

const double* LumCore::channelSamples(uint32_t channel) const {
    return engine_.actuatorBuffers()[channel].data();
}

void LumCore::collectVisualizerFrames(std::vector<VisualizerFrame>& frames) {
    engine_.collectSequenceWeights(weights_);
    // The frames' weight vectors keep their storage from one update to the next.
    frames.resize(weights_.size());
    for (std::size_t i = 0; i < weights_.size(); ++i) {
        const lmc::Sequence* sequence = engine_.sequences().find(weights_[i].sequenceId);
        frames[i].patternId = sequence != nullptr ? sequence->patternId() : -1;
        frames[i].sequenceId = weights_[i].sequenceId;
        frames[i].weights.assign(weights_[i].weights.begin(), weights_[i].weights.end());
    }
}

void LumCore::resetElapsed() { engine_.resetClock(); }

double LumCore::elapsed() const { return engine_.time(); }

bool LumCore::sequenceEnded(int32_t sequenceId) const noexcept {
    const auto& sequences = engine_.sequences();
    return sequenceId >= 0 && sequenceId < sequences.nextId() && !sequences.contains(sequenceId);
}
