#include "vyx/src/presets.h"

namespace vyx {
namespace {

constexpr double kLevelInit = 0.08;
constexpr double kLevelFloor = 0.008;
constexpr double kDecay = 0.00005;

constexpr BandParams band(BandFilter filter, double alpha, double decay = kDecay) {
    return {filter, alpha, kLevelInit, kLevelFloor, decay};
}

constexpr PulseParams pulse(WaveId wave, double minSeconds, double maxSeconds, double levelExponent,
                            double gain) {
    return {wave, minSeconds, maxSeconds, levelExponent, gain, 0.5, 0.0};
}

constexpr std::array<PresetParams, kPresetCount> kPresets{{
    // Default
    {{band(BandFilter::LowPass1000Hz, 0.01, 0.00015), band(BandFilter::LowPass150Hz, 0.04),
      band(BandFilter::BandPass5500To7500Hz, 0.3), band(BandFilter::HighPass10000Hz, 0.3)},
     false,
     {0.5, 0.75, 40.0, 90.0, 0.5},
     {pulse(WaveId::DefaultPulse, 0.05, 0.061, 0.4, 0.8),
      pulse(WaveId::DefaultPulse, 0.015, 0.015, 0.4, 0.3),
      pulse(WaveId::DefaultPulse, 0.02, 0.05, 0.4, 0.6)}},
    // Sharp
    {{band(BandFilter::LowPass1000Hz, 0.1), band(BandFilter::LowPass150Hz, 0.04),
      band(BandFilter::BandPass5500To7500Hz, 0.3), band(BandFilter::HighPass10000Hz, 0.3)},
     true,
     {0.4, 1.0, 80.0, 80.0, 0.5},
     {pulse(WaveId::SharpPulse1, 0.122, 0.122, 0.6, 1.0),
      pulse(WaveId::SharpPulse2, 0.07, 0.07, 0.4, 0.5),
      pulse(WaveId::SharpPulse3, 0.028, 0.028, 0.4, 0.75)}},
    // Crunchy
    {{band(BandFilter::LowPass1000Hz, 0.3), band(BandFilter::LowPass150Hz, 0.04),
      band(BandFilter::BandPass5500To7500Hz, 0.3), band(BandFilter::HighPass10000Hz, 0.3)},
     true,
     {0.4, 0.6, 80.0, 80.0, 0.5},
     {pulse(WaveId::CrunchyPulse1, 0.127, 0.127, 0.4, 0.75),
      pulse(WaveId::CrunchyPulse2, 0.046, 0.046, 0.4, 0.5),
      pulse(WaveId::CrunchyPulse3, 0.046, 0.046, 0.3, 0.5)}},
    // Smooth
    {{band(BandFilter::LowPass1000Hz, 0.1), band(BandFilter::LowPass150Hz, 0.04),
      band(BandFilter::BandPass4800To5800Hz, 0.3), band(BandFilter::HighPass6500Hz, 0.3)},
     true,
     {0.4, 0.0, 65.0, 90.0, 0.5},
     {pulse(WaveId::SmoothPulse1, 0.033, 0.041, 0.4, 0.7),
      pulse(WaveId::SmoothPulse2, 0.014, 0.017, 0.35, 0.6),
      pulse(WaveId::SmoothPulse3, 0.011, 0.013, 0.2, 0.6)}},
}};

} // namespace

const PresetParams& presetParams(uint32_t preset) {
    return kPresets[preset < kPresetCount ? preset : 0];
}

} // namespace vyx
