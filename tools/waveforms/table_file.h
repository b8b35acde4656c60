// Writing the embedded waveform table (layout: lumetra-core/src/waveform_format.h).
#pragma once

#include <string>
#include <vector>

namespace waveforms {

struct Waveform {
    std::string name;
    float bandLowHz = 0.0f;
    float bandHighHz = 0.0f;
    std::vector<float> samples; // 8000 Hz, within [-1, 1]
};

// The table file for the waveforms in index order. Throws
// std::invalid_argument for a name longer than the record holds.
std::vector<unsigned char> encodeTable(const std::vector<Waveform>& table);

// Writes the bytes to path through a temporary file renamed into place, so
// an interrupted build never leaves a half-written table. False on failure,
// with the reason in error.
bool writeFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         std::string& error);

// The synthesised table of the catalogue.
std::vector<Waveform> synthesiseTable();

} // namespace waveforms
