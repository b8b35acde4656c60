// Renders one spn pattern through the engine into a multichannel WAV file:
// one channel per actuator, 32-bit float, at a chosen rate and buffer size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace spnrender {

struct Options {
    double rateHz = 48000.0;
    std::size_t bufferFrames = 512;
    double maxSeconds = 60.0;   // stops here if the sequence has not ended
    double playAt = 0.0;        // seconds into the pattern
    double latency = 0.0;       // seconds of silence first
    double volume = 1.0;
    double speed = 1.0;
    uint32_t repeatCount = 1;   // 0 = endless (then maxSeconds ends it)
    double repeatDelay = 0.0;
    double boost = 0.0;         // global boost
};

struct Rendering {
    double rateHz = 0.0;
    std::size_t frames = 0;
    std::vector<std::vector<float>> channels; // [actuator][frame]
};

// Renders `spn` until the sequence stops (whole buffers) or maxSeconds.
// Returns an empty error text on success, else what went wrong.
std::string render(const std::string& spn, const Options& options, Rendering& out);

// Writes a WAVE_FORMAT_EXTENSIBLE file of 32-bit float samples, channels
// interleaved. False when the stream fails, or when the header cannot hold
// the rate (rounded to a whole number, at least 1 Hz, its byte rate within
// 32 bits: up to 53,687,091 Hz for 20 channels) or the data's size; render()
// refuses such rates up front.
bool writeWav(std::ostream& stream, const Rendering& rendering);

} // namespace spnrender
