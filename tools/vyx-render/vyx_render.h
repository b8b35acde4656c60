// The haptic signal VYX-fx makes of a mono audio signal, as the loopback
// capture makes it: 20 ms blocks analysed at the audio's rate with the
// Default preset, each token synthesised at the output rate with the preset
// asked for.
#pragma once

#include <cstdint>
#include <string>

#include "wav_io.h"

namespace vyxrender {

// False with a reason when a rate is not one the engine supports or the
// preset is not 0 to 3. The output holds one 20 ms block per started input
// block (the last input block is padded with silence).
bool render(const MonoSignal& audio, uint32_t preset, uint32_t outputRate, MonoSignal& haptic,
            std::string& error);

} // namespace vyxrender
