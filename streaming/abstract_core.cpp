#include "streaming/abstract_core.h"

#include "streaming/engine_lock.h"

void AbstractCore::enableVisualizer(bool on) {
    if (on == visualizerEnabled_) return;
    visualizerEnabled_ = on;
    resetElapsed();
}

void AbstractCore::updateVisualizer(std::mutex& stateMutex) {
    {
        EngineLock lock(stateMutex);
        if (!visualizerEnabled_ || !(elapsed() > kVisualizerPeriodSeconds)) return;
        collectVisualizerFrames(frames_);
        resetElapsed();
    }
    visualizer_.send(frames_);
}
