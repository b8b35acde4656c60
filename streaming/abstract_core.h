// The signal-core interface between a handler, which owns the core, and its
// stream, which renders it buffer by buffer on the handler's worker thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "lumetra-core/src/layout.h"
#include "streaming/visualizer.h"

// The vest's actuators: the channels a core renders for the vest.
inline constexpr uint32_t kVestActuatorCount = static_cast<uint32_t>(lmc::kCapsuleActuatorCount);

// The interface's operations are called with the owner handler's state mutex
// held (render, the rate and the buffer size, the visualizer switch and the
// clock), except sample(), which reads the last rendered buffer on the stream
// thread that rendered it, and channelCount(), which is fixed.
class AbstractCore {
public:
    AbstractCore() = default;
    virtual ~AbstractCore() = default;

    AbstractCore(const AbstractCore&) = delete;
    AbstractCore& operator=(const AbstractCore&) = delete;

    virtual uint32_t channelCount() const = 0;
    virtual uint32_t bufferSize() const = 0; // frames per rendered buffer
    virtual void setBufferSize(uint32_t frames) = 0;
    virtual double sampleRate() const = 0; // Hz
    virtual void setSampleRate(double hz) = 0;
    // Computes the next buffer of bufferSize() frames for every channel.
    virtual void render() = 0;
    // One sample of the last rendered buffer, in [-1, 1]. Preconditions:
    // channel < channelCount(), frame < bufferSize().
    virtual double sample(uint32_t channel, uint32_t frame) const = 0;
    // The last rendered buffer of one channel (bufferSize() samples), read
    // as sample() is; null when the core keeps no such buffer, and then the
    // stream asks sample() for every value.
    virtual const double* channelSamples(uint32_t channel) const {
        (void)channel;
        return nullptr;
    }
    virtual bool rendersPatterns() const = 0;
    // Clears `frames` and fills it with the current frames (one per sequence).
    virtual void collectVisualizerFrames(std::vector<VisualizerFrame>& frames) = 0;
    // Restarts the count of rendered time and the weight accumulation.
    virtual void resetElapsed() = 0;
    virtual double elapsed() const = 0; // seconds of rendered time

    // Turns the visualizer on or off; a change restarts the rendered-time
    // count. Call with the owner's state mutex held.
    void enableVisualizer(bool on);

    // Called by the stream thread after each rendered buffer, without the
    // state mutex: when the visualizer is on and more than 0.033 s were
    // rendered since the last update, collects the frames under `stateMutex`
    // and sends them after releasing it.
    void updateVisualizer(std::mutex& stateMutex);

private:
    static constexpr double kVisualizerPeriodSeconds = 0.033;

    Visualizer visualizer_;
    bool visualizerEnabled_ = false;     // guarded by the owner's state mutex
    std::vector<VisualizerFrame> frames_; // stream thread only
};
