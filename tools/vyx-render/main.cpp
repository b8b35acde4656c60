// vyx-render: writes the haptic signal that VYX-fx makes of a WAV file, per
// preset and output rate, as mono float WAV files beside it, to listen to,
// plot or play on a vest's audio interface.
//
//   vyx-render [--preset N]... [--rate HZ]... [--out DIR] audio.wav
//
// Without --preset every preset is written, without --rate 500 Hz (the
// vest's HID stream) and 48000 Hz (its audio interface). Output files are
// named <audio>.<preset>.<rate>.wav, e.g. song.sharp.500.wav.
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "vyx/vyxfx.h"
#include "vyx_render.h"
#include "wav_io.h"

namespace {

constexpr const char* kUsage =
    "usage: vyx-render [--preset N]... [--rate HZ]... [--out DIR] audio.wav\n"
    "  --preset N   0 Default, 1 Sharp, 2 Crunchy, 3 Smooth (all)\n"
    "  --rate HZ    output rate, one of the engine's rates (500 and 48000)\n"
    "  --out DIR    where to write (beside the input)\n";

bool parse(std::string_view text, uint32_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<uint32_t> presets, rates;
    std::filesystem::path input, outDir;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        uint32_t value = 0;
        if ((arg == "--preset" || arg == "--rate") && i + 1 < argc && parse(argv[i + 1], value)) {
            (arg == "--preset" ? presets : rates).push_back(value);
            ++i;
        } else if (arg == "--out" && i + 1 < argc) {
            outDir = argv[++i];
        } else if (!arg.starts_with("-") && input.empty()) {
            input = arg;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (input.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (presets.empty()) presets = {0, 1, 2, 3};
    if (rates.empty()) rates = {500, 48000};
    if (outDir.empty()) outDir = input.parent_path();

    vyxrender::MonoSignal audio;
    std::string error;
    if (!vyxrender::readWav(input, audio, error)) {
        std::fprintf(stderr, "vyx-render: %s: %s\n", input.c_str(), error.c_str());
        return 1;
    }
    for (uint32_t preset : presets) {
        for (uint32_t rate : rates) {
            vyxrender::MonoSignal haptic;
            if (!vyxrender::render(audio, preset, rate, haptic, error)) {
                std::fprintf(stderr, "vyx-render: %s\n", error.c_str());
                return 1;
            }
            const std::filesystem::path out =
                outDir / (input.stem().string() + "." + lower(vyxPresetName(preset)) + "." +
                          std::to_string(rate) + ".wav");
            if (!vyxrender::writeWav(out, haptic)) {
                std::fprintf(stderr, "vyx-render: cannot write %s\n", out.c_str());
                return 1;
            }
            std::printf("%s\n", out.c_str());
        }
    }
    return 0;
}
