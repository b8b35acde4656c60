// VyxCore: the signal core of the audio-to-haptics handler. It plays the
// haptic signal that its loopback capture makes from the computer's audio
// output: one mono signal, the same on all 20 channels, times a volume and
// limited to [-1, 1]. Setting its sample rate starts the capture, or retunes
// the capture's synthesis to the new rate.
//
// Every call but sample() and channelCount() is made with the owner
// handler's state mutex held; sample() reads the last rendered buffer on the
// stream thread that rendered it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "streaming/abstract_core.h"
#include "vyx/VyxLoopback.h"

class VyxCore final : public AbstractCore {
public:
    VyxCore() = default;
    ~VyxCore() override = default;

    uint32_t channelCount() const override { return kVestActuatorCount; }
    uint32_t bufferSize() const override { return static_cast<uint32_t>(buffer_.size()); }
    void setBufferSize(uint32_t frames) override { buffer_.assign(frames, 0.0); }
    double sampleRate() const override { return sampleRate_; }
    // Same rate: nothing. Otherwise stores it, then retunes a running
    // capture, or starts the capture when the rate is positive and a
    // loopback device is chosen.
    void setSampleRate(double hz) override;
    // Pulls one buffer from the capture; allocates nothing.
    void render() override;
    // Every channel plays the same signal; 0 outside the buffer.
    double sample(uint32_t channel, uint32_t frame) const override;
    bool rendersPatterns() const override { return false; }
    // One frame {-1, -1, [the peak since the last reset]}.
    void collectVisualizerFrames(std::vector<VisualizerFrame>& frames) override;
    void resetElapsed() override;
    double elapsed() const override { return elapsed_; }

    int32_t getPreset() const { return loopback_.getPreset(); }
    void setPreset(int32_t preset) { loopback_.setPreset(preset); }
    float getVolume() const { return volume_; }
    // Stores max(volume, 0); NaN or an infinity stores 0 (silence) and
    // returns false.
    bool setVolume(float volume);
    // The loopback device, by name (empty: none). A new name starts the
    // capture at once when the rate is known.
    void setLoopbackDevice(const std::string& device);
    const std::string& loopbackDevice() const { return loopbackDevice_; }

    // The result of the last start or retune of the capture (0 when none
    // was tried since the device was chosen).
    int32_t captureResult() const { return captureResult_; }
    bool captureRunning() const { return loopback_.isRunning(); }
    // The capture's kept log lines; call with no lock held.
    void flushLog() { loopback_.flushLog(); }
    VyxLoopback& loopback() { return loopback_; }

private:
    VyxLoopback loopback_;
    std::vector<double> buffer_; // one channel
    float peak_ = 0.0f;
    double elapsed_ = 0.0;
    double sampleRate_ = -1.0;
    std::string loopbackDevice_;
    float volume_ = 1.0f;
    int32_t captureResult_ = 0;
};
