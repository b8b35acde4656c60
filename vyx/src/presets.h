// The four presets: every parameter of the analysis and the synthesis.
// Values are decimal literals; converting them from double to float gives the
// same floats as float literals would (no value here rounds twice).
#pragma once

#include <array>
#include <cstdint>

#include "vyx/src/band_filters.h"
#include "vyx/src/wave_tables.h"

namespace vyx {

inline constexpr uint32_t kPresetCount = 4;
inline constexpr uint32_t kBandCount = 4;
inline constexpr uint32_t kPulseCount = 3;

struct BandParams {
    BandFilter filter;
    double alpha;
    double levelInit;
    double levelFloor;
    double levelDecay;
};

struct RumbleParams {
    double levelExponent;
    double gain;
    double lowFrequencyHz;
    double highFrequencyHz;
    double frequencyExponent;
};

struct PulseParams {
    WaveId wave;
    double minDurationSeconds;
    double maxDurationSeconds;
    double levelExponent;
    double gain;
    double durationExponent;
    double startDelaySeconds;
};

struct PresetParams {
    std::array<BandParams, kBandCount> bands;
    bool duckRumble;
    RumbleParams rumble;
    std::array<PulseParams, kPulseCount> pulses;
};

// Index 0 Default, 1 Sharp, 2 Crunchy, 3 Smooth.
const PresetParams& presetParams(uint32_t preset);

} // namespace vyx
