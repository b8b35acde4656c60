// The 204 embedded sample waveforms: mono, 8000 Hz, amplitude within
// [-1, 1]. The table is part of the library's read-only data and is read in
// place: nothing is copied or built at load, and every pointer handed out
// stays valid until the library is unloaded. Thread-safe (read-only).
//
// Indices are not checked: callers pass an index below sampleAssetCount().
#pragma once

#include <cstddef>
#include <cstdint>

namespace lmc {

struct SampleAsset {
    const float* data = nullptr; // count samples
    uint64_t count = 0;
    const char* name = "";       // category path and file name, "Air/vapor.csv"
    float bandLow = 0.0f;        // Hz, whole number: the band of significant content
    float bandHigh = 0.0f;       // Hz, whole number, >= bandLow
};

constexpr std::size_t kSampleAssetCount = 204;
constexpr double kSampleAssetRateHz = 8000.0;

std::size_t sampleAssetCount() noexcept;
double sampleAssetRate() noexcept;
SampleAsset sampleAsset(std::size_t index) noexcept;
uint64_t sampleAssetLength(std::size_t index) noexcept;
// Pointer to one sample; sample may equal the length (one past the end).
const float* sampleAssetData(std::size_t index, uint64_t sample) noexcept;
float sampleAssetBandLow(std::size_t index) noexcept;
float sampleAssetBandHigh(std::size_t index) noexcept;
const char* sampleAssetName(std::size_t index) noexcept;

// The embedded table as the build wrote it (see waveform_format.h).
const unsigned char* sampleAssetBlob() noexcept;
std::size_t sampleAssetBlobSize() noexcept;

} // namespace lmc
