// spn-render: renders an spn pattern to a WAV file with one channel per
// actuator, for looking at patterns and for tests.
//
//   spn-render [options] pattern.spn out.wav
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include "spn_render.h"

namespace {

constexpr const char* kUsage =
    "usage: spn-render [options] pattern.spn out.wav\n"
    "  --rate HZ          output rate (48000)\n"
    "  --buffer FRAMES    frames per rendered buffer (512)\n"
    "  --seconds S        longest output (60)\n"
    "  --play-at S        start this far into the pattern (0)\n"
    "  --latency S        silence before the pattern (0)\n"
    "  --volume X         volume factor (1)\n"
    "  --speed X          speed factor (1)\n"
    "  --repeat N         plays of the pattern, 0 endless (1)\n"
    "  --repeat-delay S   silence between plays (0)\n"
    "  --boost X          global boost (0)\n";

bool parseNumber(std::string_view text, double& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

} // namespace

int main(int argc, char** argv) {
    spnrender::Options options;
    std::string input, output;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (arg.rfind("--", 0) == 0) {
            double value = 0.0;
            if (i + 1 >= argc || !parseNumber(argv[i + 1], value)) {
                std::cerr << "spn-render: " << arg << " needs a number\n" << kUsage;
                return 2;
            }
            ++i;
            if (arg == "--rate") options.rateHz = value;
            else if (arg == "--buffer" && value >= 0 && value <= 1e9) options.bufferFrames = static_cast<std::size_t>(value);
            else if (arg == "--seconds") options.maxSeconds = value;
            else if (arg == "--play-at") options.playAt = value;
            else if (arg == "--latency") options.latency = value;
            else if (arg == "--volume") options.volume = value;
            else if (arg == "--speed") options.speed = value;
            else if (arg == "--repeat" && value >= 0 && value <= 4294967295.0) options.repeatCount = static_cast<uint32_t>(value);
            else if (arg == "--repeat-delay") options.repeatDelay = value;
            else if (arg == "--boost") options.boost = value;
            else {
                std::cerr << "spn-render: bad option " << arg << "\n" << kUsage;
                return 2;
            }
        } else if (input.empty()) {
            input = arg;
        } else if (output.empty()) {
            output = arg;
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }
    if (input.empty() || output.empty()) {
        std::cerr << kUsage;
        return 2;
    }

    std::ifstream in(input, std::ios::binary);
    if (!in) {
        std::cerr << "spn-render: cannot read " << input << "\n";
        return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();

    spnrender::Rendering rendering;
    const std::string error = spnrender::render(text.str(), options, rendering);
    if (!error.empty()) {
        std::cerr << "spn-render: " << error << "\n";
        return 1;
    }
    std::ofstream out(output, std::ios::binary);
    if (!out || !spnrender::writeWav(out, rendering)) {
        std::cerr << "spn-render: cannot write " << output << "\n";
        return 1;
    }
    std::cout << "wrote " << rendering.frames << " frames x " << rendering.channels.size()
              << " channels at " << rendering.rateHz << " Hz to " << output << "\n";
    return 0;
}
