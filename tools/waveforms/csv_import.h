// Turns recordings into the waveform table, so that recorded waveforms can
// replace the synthesised set.
//
// The directory holds one CSV per waveform under the catalogue's name (for
// example "<dir>/Air/vapor.csv"), 8000 Hz mono: one sample per line; when a
// line has several fields separated by ',' or ';' the last one is the
// sample; blank lines are ignored and a first line that is not a number is
// taken as a header. Every sample must be a finite number within [-1, 1].
//
// Bands come from "<dir>/bands.csv", one "name,bandLow,bandHigh" line per
// waveform (whole hertz, 0 <= bandLow <= bandHigh <= 4000, an optional header
// line); a waveform it does not list keeps the catalogue's band.
#pragma once

#include <string>
#include <vector>

#include "tools/waveforms/table_file.h"

namespace waveforms {

// Reads the 204 recordings in catalogue order. False on the first problem
// (missing file, bad number, sample out of range, unknown or bad band line),
// with the file, the line and the reason in error.
bool importRecordings(const std::string& directory, std::vector<Waveform>& table,
                      std::string& error);

} // namespace waveforms
