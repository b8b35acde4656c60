#include "lumetra-core/src/sample_assets.h"

#include "lumetra-core/src/waveform_format.h"

// The table as the build embedded it (waveform_blob.cpp), aligned to 64 bytes.
extern "C" {
__attribute__((visibility("hidden"))) extern const unsigned char lmc_waveform_blob[];
__attribute__((visibility("hidden"))) extern const unsigned char lmc_waveform_blob_end[];
}

namespace lmc {
namespace {

const WaveformFileHeader& header() noexcept {
    return *reinterpret_cast<const WaveformFileHeader*>(lmc_waveform_blob);
}

const WaveformRecord& record(std::size_t index) noexcept {
    return reinterpret_cast<const WaveformRecord*>(lmc_waveform_blob +
                                                   sizeof(WaveformFileHeader))[index];
}

const float* samples() noexcept {
    return reinterpret_cast<const float*>(lmc_waveform_blob + header().samplesOffsetBytes);
}

} // namespace

std::size_t sampleAssetCount() noexcept { return kSampleAssetCount; }

double sampleAssetRate() noexcept { return kSampleAssetRateHz; }

SampleAsset sampleAsset(std::size_t index) noexcept {
    const WaveformRecord& r = record(index);
    return SampleAsset{samples() + r.firstSample, r.count, r.name, r.bandLowHz, r.bandHighHz};
}

uint64_t sampleAssetLength(std::size_t index) noexcept { return record(index).count; }

const float* sampleAssetData(std::size_t index, uint64_t sample) noexcept {
    return samples() + record(index).firstSample + sample;
}

float sampleAssetBandLow(std::size_t index) noexcept { return record(index).bandLowHz; }

float sampleAssetBandHigh(std::size_t index) noexcept { return record(index).bandHighHz; }

const char* sampleAssetName(std::size_t index) noexcept { return record(index).name; }

const unsigned char* sampleAssetBlob() noexcept { return lmc_waveform_blob; }

std::size_t sampleAssetBlobSize() noexcept {
    return static_cast<std::size_t>(lmc_waveform_blob_end - lmc_waveform_blob);
}

} // namespace lmc
