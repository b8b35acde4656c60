#include "tools/waveforms/table_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "lumetra-core/src/waveform_format.h"
#include "tools/waveforms/catalogue.h"
#include "tools/waveforms/synth.h"

namespace waveforms {

std::vector<unsigned char> encodeTable(const std::vector<Waveform>& table) {
    uint64_t total = 0;
    for (const Waveform& w : table) total += w.samples.size();

    const std::size_t recordsEnd =
        sizeof(lmc::WaveformFileHeader) + table.size() * sizeof(lmc::WaveformRecord);
    const std::size_t samplesOffset = (recordsEnd + lmc::kWaveformSampleAlignment - 1) /
                                      lmc::kWaveformSampleAlignment *
                                      lmc::kWaveformSampleAlignment;
    std::vector<unsigned char> bytes(samplesOffset + total * sizeof(float), 0);

    lmc::WaveformFileHeader header{};
    std::memcpy(header.magic, lmc::kWaveformMagic, sizeof header.magic);
    header.recordCount = static_cast<uint32_t>(table.size());
    header.sampleRateHz = static_cast<uint32_t>(kRateHz);
    header.totalSamples = total;
    header.samplesOffsetBytes = samplesOffset;
    std::memcpy(bytes.data(), &header, sizeof header);

    uint64_t first = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Waveform& w = table[i];
        if (w.name.size() >= lmc::kWaveformNameBytes)
            throw std::invalid_argument("waveform name too long: " + w.name);
        lmc::WaveformRecord record{};
        record.firstSample = first;
        record.count = w.samples.size();
        record.bandLowHz = w.bandLowHz;
        record.bandHighHz = w.bandHighHz;
        std::memcpy(record.name, w.name.data(), w.name.size());
        std::memcpy(bytes.data() + sizeof header + i * sizeof record, &record, sizeof record);
        if (!w.samples.empty())
            std::memcpy(bytes.data() + samplesOffset + first * sizeof(float), w.samples.data(),
                        w.samples.size() * sizeof(float));
        first += w.samples.size();
    }
    return bytes;
}

bool writeFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         std::string& error) {
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        error = "cannot write " + temporary;
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

std::vector<Waveform> synthesiseTable() {
    const std::vector<WaveformSpec>& specs = catalogue();
    const std::vector<uint64_t> counts = catalogueCounts();
    std::vector<Waveform> table;
    table.reserve(specs.size());
    for (std::size_t i = 0; i < specs.size(); ++i) {
        Waveform w;
        w.name = specs[i].name;
        w.bandLowHz = static_cast<float>(specs[i].bandLowHz);
        w.bandHighHz = static_cast<float>(specs[i].bandHighHz);
        w.samples = synthesise(specs[i], counts[i]);
        table.push_back(std::move(w));
    }
    return table;
}

} // namespace waveforms
