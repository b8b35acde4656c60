// The waveforms the synthesis plays: one sine period for the rumble, ten pulse
// shapes and the one-sample fade table. Process-wide, read-only, built on
// first use (vyx::warmWaveTables builds them ahead of any real-time call).
#pragma once

#include <cstdint>

namespace vyx {

struct WaveTable {
    const double* samples;
    uint64_t count;
};

enum class WaveId : uint32_t {
    Sine,
    DefaultPulse,
    SharpPulse1,
    SharpPulse2,
    SharpPulse3,
    CrunchyPulse1,
    CrunchyPulse2,
    CrunchyPulse3,
    SmoothPulse1,
    SmoothPulse2,
    SmoothPulse3,
    Tail,
};
inline constexpr uint32_t kWaveCount = 12;

// The table of `id`; valid for the whole process.
const WaveTable& waveTable(WaveId id);

// Builds every table now (the first call may take a lock of the C++ runtime's
// static initialisation; later calls take none).
void warmWaveTables();

} // namespace vyx
