// Reading any common WAV file as one mono signal, and writing a mono signal
// as a WAV file of 32-bit floats.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vyxrender {

struct MonoSignal {
    uint32_t sampleRate = 0;
    std::vector<float> samples;
};

// Reads PCM (8, 16, 24 or 32 bits) or IEEE float (32 or 64 bits) samples,
// plain or WAVE_FORMAT_EXTENSIBLE, and mixes the channels of each frame to
// their mean, as the loopback capture does. False with a reason otherwise.
bool readWav(const std::filesystem::path& path, MonoSignal& signal, std::string& error);

// Writes a mono WAVE_FORMAT_IEEE_FLOAT file. False when the file cannot be written.
bool writeWav(const std::filesystem::path& path, const MonoSignal& signal);

} // namespace vyxrender
