// lmc-waveforms: writes the waveform table that the library embeds.
//
//   lmc-waveforms synth <out.bin>          the synthesised set of the catalogue
//   lmc-waveforms import <dir> <out.bin>   recordings, one CSV per waveform
#include <cstdio>
#include <exception>
#include <string>

#include "tools/waveforms/csv_import.h"
#include "tools/waveforms/table_file.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: lmc-waveforms synth <out.bin>\n"
                         "       lmc-waveforms import <recordings-dir> <out.bin>\n");
    return 2;
}

int write(const std::vector<waveforms::Waveform>& table, const std::string& path) {
    std::string error;
    if (!waveforms::writeFileAtomically(path, waveforms::encodeTable(table), error)) {
        std::fprintf(stderr, "lmc-waveforms: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "synth" && argc == 3) return write(waveforms::synthesiseTable(), argv[2]);
        if (command == "import" && argc == 4) {
            std::vector<waveforms::Waveform> table;
            std::string error;
            if (!waveforms::importRecordings(argv[2], table, error)) {
                std::fprintf(stderr, "lmc-waveforms: %s\n", error.c_str());
                return 1;
            }
            return write(table, argv[3]);
        }
        return usage();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lmc-waveforms: %s\n", e.what());
        return 1;
    }
}
