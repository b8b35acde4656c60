// The binary layout of the embedded waveform table. The build writes it
// (tools/waveforms) and the library reads it in place from its read-only
// data; both sides include this header. Native byte order (little-endian
// x86-64): the file is made on the machine that builds the library.
//
//   WaveformFileHeader
//   WaveformRecord[recordCount]
//   padding to kWaveformSampleAlignment bytes from the start of the file
//   float samples[totalSamples], the waveforms one after the other
#pragma once

#include <cstddef>
#include <cstdint>

namespace lmc {

constexpr char kWaveformMagic[8] = {'T', 'R', 'V', 'W', 'A', 'V', 'E', '1'};
constexpr std::size_t kWaveformNameBytes = 64;  // NUL-terminated, zero-padded
constexpr std::size_t kWaveformSampleAlignment = 64;

struct WaveformFileHeader {
    char magic[8];
    uint32_t recordCount;
    uint32_t sampleRateHz;
    uint64_t totalSamples;
    uint64_t samplesOffsetBytes; // from the start of the file
};

struct WaveformRecord {
    uint64_t firstSample; // index into the samples array
    uint64_t count;
    float bandLowHz;
    float bandHighHz;
    char name[kWaveformNameBytes];
};

static_assert(sizeof(WaveformFileHeader) == 32);
static_assert(sizeof(WaveformRecord) == 88);
static_assert(sizeof(float) == 4);

} // namespace lmc
