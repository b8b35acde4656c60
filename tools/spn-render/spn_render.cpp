#include "spn_render.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "lumetra-core/src/lmc.h"
#include "sdk/errors.h"

namespace spnrender {
namespace {

void put16(std::ostream& out, uint16_t v) {
    const char bytes[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    out.write(bytes, 2);
}

void put32(std::ostream& out, uint32_t v) {
    const char bytes[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                           static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
    out.write(bytes, 4);
}

constexpr uint32_t kBytesPerSample = 4;

// The header holds the rate as a whole number of frames per second and the
// byte rate beside it, both 32-bit: the rounded rate must be at least 1 and
// its byte rate must fit.
bool wavHoldsRate(double rateHz, std::size_t channels) {
    const double rounded = std::round(rateHz);
    return rounded >= 1.0 &&
           rounded * static_cast<double>(channels * kBytesPerSample) <= 4294967295.0;
}

std::string failure(const char* what, int32_t code) {
    return std::string(what) + ": " + errorCodeMessage(code) + " (" + std::to_string(code) + ")";
}

} // namespace

std::string render(const std::string& spn, const Options& options, Rendering& out) {
    if (!wavHoldsRate(options.rateHz, lmc::kCapsuleActuatorCount)) return "invalid rate";
    if (options.bufferFrames == 0 || options.bufferFrames > lmc::kMaxBufferFrames)
        return "invalid buffer size";
    if (!(options.maxSeconds > 0.0) || !std::isfinite(options.maxSeconds)) return "invalid duration";

    lmc::LumetraCore core(lmc::layout_new_tarvonel_capsule(), options.rateHz, options.bufferFrames);
    lmc::config_global_boost_set(core, options.boost);
    const int32_t pattern = lmc::pattern_load_from_spn(core, spn.c_str(), -1);
    if (pattern < 0) return failure("pattern", pattern);
    const int32_t id = lmc::sequence_new(core, pattern, false, -1);
    if (id < 0) return failure("sequence", id);
    int32_t code = lmc::property_volume_set(core, id, options.volume);
    if (code == 0) code = lmc::property_speed_set(core, id, options.speed);
    if (code == 0) code = lmc::property_repeat_count_set(core, id, options.repeatCount);
    if (code == 0) code = lmc::property_repeat_delay_set(core, id, options.repeatDelay);
    if (code != 0) return failure("property", code);
    code = lmc::sequence_play(core, id, options.playAt, options.latency);
    if (code != 0) return failure("play", code);

    const double limit = std::min(options.maxSeconds * options.rateHz, 1e9);
    const std::size_t maxFrames = static_cast<std::size_t>(std::ceil(limit));
    out.rateHz = options.rateHz;
    out.frames = 0;
    out.channels.assign(core.actuatorBuffers().size(), {});
    while (out.frames < maxFrames && lmc::sequence_get_state(core, id) != 3) {
        core.process();
        const std::size_t take = std::min(core.bufferFrames(), maxFrames - out.frames);
        for (std::size_t a = 0; a < out.channels.size(); ++a) {
            const std::vector<double>& buffer = core.actuatorBuffers()[a];
            for (std::size_t k = 0; k < take; ++k) out.channels[a].push_back(static_cast<float>(buffer[k]));
        }
        out.frames += take;
    }
    return {};
}

bool writeWav(std::ostream& stream, const Rendering& rendering) {
    const uint32_t channels = static_cast<uint32_t>(rendering.channels.size());
    const uint64_t dataBytes = static_cast<uint64_t>(rendering.frames) * channels * kBytesPerSample;
    if (channels == 0 || dataBytes > 0xFFFFFFFFull - 80 || !wavHoldsRate(rendering.rateHz, channels))
        return false;
    const uint32_t rate = static_cast<uint32_t>(std::round(rendering.rateHz));

    stream.write("RIFF", 4);
    put32(stream, static_cast<uint32_t>(4 + (8 + 40) + (8 + 4) + (8 + dataBytes)));
    stream.write("WAVE", 4);
    stream.write("fmt ", 4);
    put32(stream, 40);
    put16(stream, 0xFFFE); // WAVE_FORMAT_EXTENSIBLE
    put16(stream, static_cast<uint16_t>(channels));
    put32(stream, rate);
    put32(stream, rate * channels * kBytesPerSample);
    put16(stream, static_cast<uint16_t>(channels * kBytesPerSample));
    put16(stream, 32);
    put16(stream, 22);     // extension size
    put16(stream, 32);     // valid bits
    put32(stream, 0);      // no speaker positions: the channels are actuators
    // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
    static constexpr std::array<unsigned char, 16> kFloatGuid = {
        0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    stream.write(reinterpret_cast<const char*>(kFloatGuid.data()), kFloatGuid.size());
    stream.write("fact", 4);
    put32(stream, 4);
    put32(stream, static_cast<uint32_t>(rendering.frames));
    stream.write("data", 4);
    put32(stream, static_cast<uint32_t>(dataBytes));
    for (std::size_t k = 0; k < rendering.frames; ++k)
        for (uint32_t a = 0; a < channels; ++a) {
            uint32_t bits;
            std::memcpy(&bits, &rendering.channels[a][k], 4);
            put32(stream, bits);
        }
    return static_cast<bool>(stream);
}

} // namespace spnrender
