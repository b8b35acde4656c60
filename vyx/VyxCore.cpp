#include "vyx/VyxCore.h"

#include <cmath>

void VyxCore::setSampleRate(double hz) {
    if (hz == sampleRate_) return;
    sampleRate_ = hz;
    if (loopback_.isRunning())
        captureResult_ = loopback_.restart(hz);
    else if (hz > 0.0 && !loopbackDevice_.empty())
        captureResult_ = loopback_.start(hz, loopbackDevice_);
}

void VyxCore::render() {
    loopback_.pull(buffer_);
    const double volume = volume_;
    for (double& s : buffer_) {
        double v = volume * s;
        if (!(v >= -1.0)) v = std::isnan(v) ? 0.0 : -1.0;
        if (v > 1.0) v = 1.0;
        s = v;
        peak_ = std::fmax(peak_, static_cast<float>(std::fabs(v)));
    }
    if (sampleRate_ > 0.0) elapsed_ += static_cast<double>(buffer_.size()) / sampleRate_;
}

double VyxCore::sample(uint32_t, uint32_t frame) const { return frame < buffer_.size() ? buffer_[frame] : 0.0; }

void VyxCore::collectVisualizerFrames(std::vector<VisualizerFrame>& frames) {
    frames.resize(1);
    frames[0].patternId = -1;
    frames[0].sequenceId = -1;
    frames[0].weights.assign(1, peak_);
}

void VyxCore::resetElapsed() {
    peak_ = 0.0f;
    elapsed_ = 0.0;
}

bool VyxCore::setVolume(float volume) {
    if (!std::isfinite(volume)) {
        volume_ = 0.0f;
        return false;
    }
    volume_ = std::fmax(volume, 0.0f);
    return true;
}

void VyxCore::setLoopbackDevice(const std::string& device) {
    if (device == loopbackDevice_) return;
    loopbackDevice_ = device;
    captureResult_ = 0;
    if (sampleRate_ > 0.0 && !device.empty()) captureResult_ = loopback_.start(sampleRate_, device);
}
