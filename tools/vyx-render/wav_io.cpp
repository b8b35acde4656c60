#include "wav_io.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace vyxrender {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;

uint32_t le(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

void put(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// One sample at p as a float in [-1, 1].
float sampleAt(const uint8_t* p, uint16_t format, uint16_t bits) {
    if (format == kFormatFloat) {
        if (bits == 32) {
            float f;
            std::memcpy(&f, p, 4);
            return f;
        }
        double d;
        std::memcpy(&d, p, 8);
        return static_cast<float>(d);
    }
    if (bits == 8) return (static_cast<float>(p[0]) - 128.0f) / 128.0f;
    const int bytes = bits / 8;
    const uint32_t raw = le(p, bytes) << (32 - bits); // sign bit to bit 31
    return static_cast<float>(static_cast<int32_t>(raw) / 2147483648.0);
}

} // namespace

bool readWav(const std::filesystem::path& path, MonoSignal& signal, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                     std::istreambuf_iterator<char>()};
    if (!file.eof() && file.fail()) return error = "cannot read the file", false;
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return error = "not a RIFF/WAVE file", false;
    uint16_t format = 0, channels = 0, bits = 0, blockAlign = 0;
    uint32_t rate = 0;
    const uint8_t* data = nullptr;
    std::size_t dataBytes = 0;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const uint8_t* chunk = bytes.data() + at;
        const std::size_t size = std::min<std::size_t>(le(chunk + 4, 4), bytes.size() - at - 8);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
            format = static_cast<uint16_t>(le(chunk + 8, 2));
            channels = static_cast<uint16_t>(le(chunk + 10, 2));
            rate = le(chunk + 12, 4);
            blockAlign = static_cast<uint16_t>(le(chunk + 20, 2));
            bits = static_cast<uint16_t>(le(chunk + 22, 2));
            if (format == kFormatExtensible && size >= 26)
                format = static_cast<uint16_t>(le(chunk + 32, 2)); // the sub-format's tag
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            data = chunk + 8;
            dataBytes = size;
        }
        at += 8 + size + (size & 1);
    }
    const bool pcm = format == kFormatPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    const bool real = format == kFormatFloat && (bits == 32 || bits == 64);
    if (!pcm && !real)
        return error = "unsupported sample format (PCM 8-32 bits or float 32/64)", false;
    if (channels == 0 || blockAlign != channels * (bits / 8) || data == nullptr)
        return error = "malformed fmt or missing data chunk", false;
    signal.sampleRate = rate;
    signal.samples.resize(dataBytes / blockAlign);
    for (std::size_t f = 0; f < signal.samples.size(); ++f) {
        float sum = 0.0f;
        for (uint16_t c = 0; c < channels; ++c)
            sum += sampleAt(data + f * blockAlign + c * (bits / 8), format, bits);
        signal.samples[f] = sum / static_cast<float>(channels);
    }
    return true;
}

bool writeWav(const std::filesystem::path& path, const MonoSignal& signal) {
    const auto dataBytes = static_cast<uint32_t>(signal.samples.size() * 4);
    std::vector<uint8_t> out;
    out.reserve(44 + dataBytes);
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    put(out, 36 + dataBytes, 4);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put(out, 16, 4);
    put(out, kFormatFloat, 2);
    put(out, 1, 2);
    put(out, signal.sampleRate, 4);
    put(out, signal.sampleRate * 4, 4);
    put(out, 4, 2);
    put(out, 32, 2);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put(out, dataBytes, 4);
    for (float s : signal.samples) {
        uint32_t raw;
        std::memcpy(&raw, &s, 4);
        put(out, raw, 4);
    }
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(file);
}

} // namespace vyxrender
