// LumCore: the signal core that renders patterns with one rendering-engine
// instance, for the streaming handler. Built on the vest's capsule layout
// at 48000 Hz and 512 frames per buffer, until a stream sets its own.
//
// Every call but sample() and channelCount() is made with the owner's state
// mutex held (the engine is not thread-safe); sample() reads the last
// rendered buffer on the stream thread that rendered it.
#pragma once

#include <cstdint>
#include <vector>

#include "lumetra-core/src/lmc.h"
#include "streaming/abstract_core.h"

class LumCore final : public AbstractCore {
public:
    LumCore();
    ~LumCore() override = default;

    uint32_t channelCount() const override;
    uint32_t bufferSize() const override;
    void setBufferSize(uint32_t frames) override;
    double sampleRate() const override;
    void setSampleRate(double hz) override;
    void render() override;
    double sample(uint32_t channel, uint32_t frame) const override;
    const double* channelSamples(uint32_t channel) const override;
    bool rendersPatterns() const override { return true; }
    void collectVisualizerFrames(std::vector<VisualizerFrame>& frames) override;
    void resetElapsed() override;
    double elapsed() const override;

    lmc::LumetraCore& engine() noexcept { return engine_; }
    const lmc::LumetraCore& engine() const noexcept { return engine_; }

    // True for an effect that was played and has been erased since it
    // ended: its ID was handed out, and no sequence holds it any more.
    bool sequenceEnded(int32_t sequenceId) const noexcept;

private:
    lmc::LumetraCore engine_;
    std::vector<lmc::SequenceWeights> weights_; // scratch of collectVisualizerFrames
};
