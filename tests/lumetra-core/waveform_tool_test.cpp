#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lumetra-core/src/sample_assets.h"
#include "lumetra-core/src/waveform_format.h"
#include "support/temp_dir.h"
#include "tools/waveforms/catalogue.h"
#include "tools/waveforms/csv_import.h"
#include "tools/waveforms/table_file.h"

namespace {

namespace fs = std::filesystem;

// Reads back one record of a table file.
struct Decoded {
    std::string name;
    float low;
    float high;
    std::vector<float> samples;
};

std::vector<Decoded> decode(const std::vector<unsigned char>& bytes) {
    lmc::WaveformFileHeader header;
    std::memcpy(&header, bytes.data(), sizeof header);
    EXPECT_EQ(std::memcmp(header.magic, lmc::kWaveformMagic, 8), 0);
    EXPECT_EQ(header.sampleRateHz, 8000u);
    EXPECT_EQ(header.samplesOffsetBytes % lmc::kWaveformSampleAlignment, 0u);
    EXPECT_EQ(bytes.size(), header.samplesOffsetBytes + header.totalSamples * sizeof(float));
    std::vector<Decoded> out;
    for (uint32_t i = 0; i < header.recordCount; ++i) {
        lmc::WaveformRecord r;
        std::memcpy(&r, bytes.data() + sizeof header + i * sizeof r, sizeof r);
        Decoded d{r.name, r.bandLowHz, r.bandHighHz, std::vector<float>(r.count)};
        std::memcpy(d.samples.data(),
                    bytes.data() + header.samplesOffsetBytes + r.firstSample * sizeof(float),
                    r.count * sizeof(float));
        out.push_back(std::move(d));
    }
    return out;
}

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// One small recording per waveform: waveform i holds i % 5 + 1 samples.
void writeRecordings(const fs::path& dir) {
    const auto& specs = waveforms::catalogue();
    for (std::size_t i = 0; i < specs.size(); ++i) {
        std::string text = i % 3 == 0 ? "time,value\n" : "";
        for (std::size_t n = 0; n <= i % 5; ++n) {
            const double value = (static_cast<double>(n) - 2.0) / 4.0;
            text += i % 2 == 0 ? std::to_string(value) + "\n"
                               : std::to_string(n) + "," + std::to_string(value) + "\r\n\n";
        }
        writeText(dir / specs[i].name, text);
    }
}

TEST(WaveformCatalogue, CountsReachTheTotalAndKeepTheGivenRows) {
    const auto& specs = waveforms::catalogue();
    const std::vector<uint64_t> counts = waveforms::catalogueCounts();
    ASSERT_EQ(specs.size(), 204u);
    ASSERT_EQ(counts.size(), 204u);
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), uint64_t{0}), 4'465'169u);
    for (std::size_t i = 0; i < specs.size(); ++i) {
        if (specs[i].fixedCount != 0) {
            EXPECT_EQ(counts[i], specs[i].fixedCount) << specs[i].name;
        } else {
            // Within a fifth of the intended length.
            const double intended = specs[i].seconds * 8000.0;
            EXPECT_NEAR(static_cast<double>(counts[i]), intended, 0.2 * intended) << specs[i].name;
        }
        EXPECT_LT(std::strlen(specs[i].name), lmc::kWaveformNameBytes);
    }
}

TEST(WaveformTool, ImportsRecordingsIntoTheTableLayout) {
    trv::test::TempDir dir;
    writeRecordings(dir.path());
    writeText(dir.path() / "bands.csv",
              "name,bandLow,bandHigh\nAir/vapor.csv, 40, 90\n\nEssentials/sine.csv,100,100\n");
    std::vector<waveforms::Waveform> table;
    std::string error;
    ASSERT_TRUE(waveforms::importRecordings(dir.path().string(), table, error)) << error;
    ASSERT_EQ(table.size(), 204u);

    const std::vector<Decoded> decoded = decode(waveforms::encodeTable(table));
    ASSERT_EQ(decoded.size(), 204u);
    const auto& specs = waveforms::catalogue();
    for (std::size_t i = 0; i < 204; ++i) {
        EXPECT_EQ(decoded[i].name, specs[i].name);
        ASSERT_EQ(decoded[i].samples.size(), i % 5 + 1) << specs[i].name;
        for (std::size_t n = 0; n < decoded[i].samples.size(); ++n)
            EXPECT_EQ(decoded[i].samples[n], static_cast<float>((n - 2.0) / 4.0));
    }
    EXPECT_EQ(decoded[3].low, 40.0f);
    EXPECT_EQ(decoded[3].high, 90.0f);
    EXPECT_EQ(decoded[123].low, 100.0f);
    EXPECT_EQ(decoded[0].low, 68.0f); // not listed: the catalogue's band
    EXPECT_EQ(decoded[0].high, 368.0f);

    const fs::path out = dir.path() / "table.bin";
    ASSERT_TRUE(waveforms::writeFileAtomically(out.string(), waveforms::encodeTable(table), error))
        << error;
    EXPECT_EQ(fs::file_size(out), waveforms::encodeTable(table).size());
    EXPECT_FALSE(fs::exists(dir.path() / "table.bin.tmp"));
    EXPECT_FALSE(waveforms::writeFileAtomically((dir.path() / "missing" / "t.bin").string(),
                                                waveforms::encodeTable(table), error));
}

#ifdef LMC_WAVEFORMS_SYNTHESISED
TEST(WaveformTool, SynthesisIsRepeatableAndIsWhatTheLibraryEmbeds) {
    const std::vector<unsigned char> bytes = waveforms::encodeTable(waveforms::synthesiseTable());
    ASSERT_EQ(bytes.size(), lmc::sampleAssetBlobSize());
    EXPECT_EQ(std::memcmp(bytes.data(), lmc::sampleAssetBlob(), bytes.size()), 0);
}
#endif

} // namespace
