// vyx-render end to end: a WAV file in, one haptic WAV per preset out.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/temp_dir.h"
#include "vyx_render.h"
#include "wav_io.h"

namespace {

TEST(VyxRender, WritesTheHapticSignalOfEachPresetBesideTheAudio) {
    trv::test::TempDir dir;
    vyxrender::MonoSignal audio{44100, std::vector<float>(44100 / 4)};
    for (std::size_t i = 0; i < audio.samples.size(); ++i)
        audio.samples[i] = (i / 2205 % 2 ? 0.8f : 0.05f) * std::sin(0.01f * static_cast<float>(i));
    ASSERT_TRUE(vyxrender::writeWav(dir.path() / "song.wav", audio));
    std::ofstream(dir.path() / "junk.wav") << "RIFF....WAVEfmt ";

    const std::string tool = TRV_VYX_RENDER;
    ASSERT_EQ(
        std::system(
            (tool + " --rate 500 " + (dir.path() / "song.wav").string() + " >/dev/null").c_str()),
        0);
    EXPECT_NE(
        std::system((tool + " " + (dir.path() / "junk.wav").string() + " 2>/dev/null").c_str()), 0);

    const char* names[] = {"default", "sharp", "crunchy", "smooth"};
    for (uint32_t preset = 0; preset < 4; ++preset) {
        const std::string name = names[preset];
        vyxrender::MonoSignal written, expected;
        std::string error;
        ASSERT_TRUE(vyxrender::readWav(dir.path() / ("song." + name + ".500.wav"), written, error))
            << error;
        ASSERT_TRUE(vyxrender::render(audio, preset, 500, expected, error)) << error;
        EXPECT_EQ(written.sampleRate, 500u);
        EXPECT_EQ(written.samples.size(), 13u * 10); // 12.5 blocks of 20 ms, the last padded
        EXPECT_EQ(written.samples, expected.samples) << name;
        EXPECT_NE(written.samples, std::vector<float>(written.samples.size())) << name;
    }
}

} // namespace
