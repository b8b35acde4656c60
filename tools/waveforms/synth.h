// Deterministic synthesis of the shipped waveforms from their catalogue
// entries: the same entry and length always give the same samples.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/waveforms/catalogue.h"

namespace waveforms {

// Renders `count` samples at 8000 Hz. The significant content stays inside
// [bandLowHz, bandHighHz] (the signal is band-limited by a zero-phase
// Butterworth band-pass set just inside the band) and the peak is scaled to
// a level between 0.8 and 0.98, so every sample lies within [-1, 1].
std::vector<float> synthesise(const WaveformSpec& spec, uint64_t count);

} // namespace waveforms
