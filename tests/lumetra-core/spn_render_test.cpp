// The spn-render tool: a pattern rendered to a 20-channel float WAV file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "engine_test_util.h"
#include "lumetra-core/src/lmc.h"
#include "spn_render.h"
#include "support/temp_dir.h"

namespace {

using trv::test::readFile;

uint32_t le32(const std::string& bytes, std::size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

uint16_t le16(const std::string& bytes, std::size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                 (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

const std::filesystem::path kRich = std::filesystem::path(TRV_SPN_CORPUS_DIR) / "valid_09_rich.spn";

} // namespace

TEST(SpnRender, WavHoldsWhatTheEngineRenders) {
    spnrender::Options options;
    options.rateHz = 2000.0;
    options.bufferFrames = 20;
    spnrender::Rendering rendering;
    ASSERT_EQ(spnrender::render(readFile(kRich), options, rendering), "");
    ASSERT_EQ(rendering.channels.size(), 20u);
    // The pattern lasts 3.5 s: it ends inside the buffer holding frame 7000.
    EXPECT_GT(rendering.frames, 6000u);
    EXPECT_LT(rendering.frames, 8000u);
    EXPECT_EQ(rendering.frames % 20, 0u);

    // The same frames, straight from an engine instance.
    lmc::LumetraCore core(lmc::layout_new_tarvonel_capsule(), 2000.0, 20);
    const std::string spn = readFile(kRich);
    const int32_t id = lmc::sequence_new(core, lmc::pattern_load_from_spn(core, spn.c_str(), -1), false, -1);
    lmc::sequence_play(core, id, 0.0, 0.0);
    const auto expected = enginetest::renderAll(core, rendering.frames);

    std::ostringstream wav;
    ASSERT_TRUE(spnrender::writeWav(wav, rendering));
    const std::string bytes = wav.str();
    ASSERT_EQ(bytes.size(), 80 + rendering.frames * 20 * 4);
    // RIFF, WAVE_FORMAT_EXTENSIBLE of 20 IEEE-float channels at 2000 Hz, fact, data.
    EXPECT_EQ(bytes.substr(0, 4) + bytes.substr(8, 8) + bytes.substr(60, 4) + bytes.substr(72, 4), "RIFFWAVEfmt factdata");
    EXPECT_EQ(std::tuple(le32(bytes, 4), le16(bytes, 20), le16(bytes, 22), le32(bytes, 24), le32(bytes, 28)),
              std::tuple(bytes.size() - 8, 0xFFFE, 20, 2000u, 2000u * 80));
    EXPECT_EQ(std::tuple(le16(bytes, 32), le16(bytes, 34), le16(bytes, 44), le32(bytes, 68), le32(bytes, 76)),
              std::tuple(80, 32, 3, rendering.frames, rendering.frames * 80));
    bool heard = false;
    for (std::size_t k = 0; k < rendering.frames; ++k)
        for (std::size_t a = 0; a < 20; ++a) {
            float value;
            std::memcpy(&value, bytes.data() + 80 + (k * 20 + a) * 4, 4);
            ASSERT_EQ(value, static_cast<float>(expected[a][k])) << "frame " << k << " channel " << a;
            heard = heard || value != 0.0f;
        }
    EXPECT_TRUE(heard);
}

TEST(SpnRender, RefusesWhatItCannotRender) {
    spnrender::Rendering rendering;
    spnrender::Options options;
    EXPECT_NE(spnrender::render("{}", options, rendering).find("Invalid spn"), std::string::npos);
    for (double rate : {0.0, 0.4, 53687092.0, 4294967296.0}) { // beyond the WAV header
        options.rateHz = rate;
        EXPECT_EQ(spnrender::render(readFile(kRich), options, rendering), "invalid rate") << rate;
    }
    rendering = {4294967296.0, 0, std::vector<std::vector<float>>(20)};
    std::ostringstream wav;
    EXPECT_FALSE(spnrender::writeWav(wav, rendering));
    options = {};
    options.bufferFrames = 0;
    EXPECT_EQ(spnrender::render(readFile(kRich), options, rendering), "invalid buffer size");
    options = {};
    options.speed = std::nan("");
    EXPECT_NE(spnrender::render(readFile(kRich), options, rendering).find("-100"), std::string::npos);
    options = {};
    options.repeatCount = 0; // endless: ends at the time limit
    options.maxSeconds = 0.5;
    options.rateHz = 500.0;
    options.bufferFrames = 7;
    ASSERT_EQ(spnrender::render(readFile(kRich), options, rendering), "");
    EXPECT_EQ(rendering.frames, 250u);
}

TEST(SpnRender, CommandLine) {
    trv::test::TempDir dir;
    const std::filesystem::path out = dir.path() / "rich.wav";
    const std::string command = std::string(TRV_SPN_RENDER) + " --rate 500 --buffer 100 --seconds 10 " +
                                kRich.string() + " " + out.string() + " > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string bytes = readFile(out);
    ASSERT_GT(bytes.size(), 80u);
    EXPECT_EQ(le32(bytes, 24), 500u);
    EXPECT_EQ((bytes.size() - 80) % (20 * 4 * 100), 0u);
    EXPECT_NE(std::system((std::string(TRV_SPN_RENDER) + " --rate nope a b 2> /dev/null").c_str()), 0);
    EXPECT_NE(std::system((std::string(TRV_SPN_RENDER) + " /nonexistent.spn x.wav 2> /dev/null").c_str()), 0);
}
