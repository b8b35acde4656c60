// The StreamData frame (0x96) and the streaming messages, as pure codecs.
//
// Nothing here touches a socket, a clock or the log: bytes and numbers in,
// bytes and numbers out. StreamHid builds its frames with these functions and
// the vest emulator decodes them with the same ones.
//
// A StreamData frame answers one DataRequest of the vest:
//   0       0x96
//   1-2     0xAD 0xDE
//   3       mode = rateCode << 2 | widthCode
//   4-7     timestamp copied from the request (uint32, little-endian)
//   8-9     number of time steps (uint16, little-endian)
//   10-1009 samples, time-major: N entries per time step, channel 0 first
//           (at 4 bits one byte carries two consecutive steps of a channel)
//   1010-11 CRC, stamped by the sender
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace streaming {

inline constexpr std::size_t kStreamDataFrameBytes = 1012;
inline constexpr std::size_t kStreamDataSampleOffset = 10;
inline constexpr std::size_t kStreamDataSampleBytes = 1000;
inline constexpr std::size_t kDataRequestFrameBytes = 13;

inline constexpr uint8_t kRateCode500Hz = 1;
inline constexpr uint8_t kRateCode1000Hz = 2;
inline constexpr uint8_t kRateCode2000Hz = 3;

inline constexpr uint8_t kWidth4Bit = 1;
inline constexpr uint8_t kWidth8Bit = 2;
inline constexpr uint8_t kWidth16Bit = 3;

// Largest entry count a GetStreamConfig answer can carry (one byte).
inline constexpr uint32_t kMaxEntriesPerStep = 255;

struct StreamMode {
    uint8_t rateCode = 0;  // kRateCode*
    uint8_t widthCode = 0; // kWidth*
    float rateHz = 0.0f;   // 500, 1000 or 2000 samples per second

    uint8_t modeByte() const noexcept { return static_cast<uint8_t>(rateCode << 2 | widthCode); }
};

// The five request-duration thresholds, in microseconds, for N entries per
// time step: up to limit 1 a request is answered at 2000 Hz in 16 bits, then
// 2000 Hz 8 bits, 2000 Hz 4 bits, 1000 Hz 4 bits, 500 Hz 4 bits. For N = 20:
// 12500, 25000, 50000, 100000, 200000. Precondition: entries >= 1.
using DurationLimits = std::array<uint32_t, 5>;
DurationLimits durationLimits(uint32_t entriesPerStep) noexcept;

// How many time steps of N entries fit the 1000 sample bytes at a width.
// Zero for an unknown width or N = 0.
uint32_t stepCapacity(uint8_t widthCode, uint32_t entriesPerStep) noexcept;

// What answers one request: the mode, the duration actually served and the
// number of time steps.
struct RequestPlan {
    StreamMode mode;
    uint32_t durationMicros = 0; // the request's duration, or limit 5 when clamped
    uint32_t steps = 0;          // samples per channel, never above stepCapacity
    bool clamped = false;        // the request exceeded limit 5
};

// Chooses rate and width for a requested duration: the first limit that the
// duration does not exceed decides; above limit 5 the duration is clamped to
// it. steps = floor(duration * rate * 1e-6), capped by the frame's capacity.
// Precondition: entries >= 1 and limits = durationLimits(entries).
RequestPlan planRequest(uint32_t durationMicros, const DurationLimits& limits,
                        uint32_t entriesPerStep) noexcept;

// Device time, in microseconds, covered by `steps` samples of a plan's rate:
// trunc((1e6 / rate) * steps).
uint32_t stepsToMicros(const StreamMode& mode, uint32_t steps) noexcept;

// Sample conversions. Each takes a sample in [-1, 1].
// s * 32768 in single precision, saturated, rounded to nearest (ties to
// even, as lrintf). Inline: the encoder calls it for every sample.
inline int16_t quantize16(double sample) noexcept {
    const float v = static_cast<float>(sample) * 32768.0f;
    if (v >= 32767.0f) return 32767;
    if (v <= -32768.0f) return -32768;
    if (v != v) return 0;
    // Adding and taking away 1.5 x 2^23 leaves the float nearest to v, in
    // the current rounding mode, for any |v| < 2^22: lrintf's result without
    // its library call.
    constexpr float kRounder = 12582912.0f;
    return static_cast<int16_t>((v + kRounder) - kRounder);
}
int8_t compand8(double sample) noexcept;    // the 8-bit companding table, -127..127
int8_t compand4(double sample) noexcept;    // the 4-bit companding table, -7..7

// Inverse conversions, used by the vest side: the centre of the range of
// inputs that the table maps to a value, divided by 32768.
float expand16(int16_t value) noexcept;
float expand8(int8_t value) noexcept;
float expand4(int8_t value) noexcept; // value is the signed nibble, -8..7

// Writes one request's samples into the sample area (1000 bytes).
// sampleAt(channel, step) -> double gives the rendered sample of a channel;
// channels >= `channels` (up to N) are sent as zero entries. Returns the bytes
// written. Preconditions: steps <= stepCapacity(widthCode, entries),
// channels <= entries. Bytes after the written ones are left as they were.
template <typename SampleAt>
std::size_t encodeStreamSamples(std::span<uint8_t, kStreamDataSampleBytes> area, uint8_t widthCode,
                                uint32_t steps, uint32_t entries, uint32_t channels,
                                SampleAt&& sampleAt) noexcept {
    std::size_t pos = 0;
    switch (widthCode) {
    case kWidth16Bit:
        for (uint32_t step = 0; step < steps; ++step) {
            for (uint32_t ch = 0; ch < entries; ++ch) {
                const int16_t v = ch < channels ? quantize16(sampleAt(ch, step)) : int16_t{0};
                const auto u = static_cast<uint16_t>(v);
                area[pos++] = static_cast<uint8_t>(u & 0xFF);
                area[pos++] = static_cast<uint8_t>(u >> 8);
            }
        }
        break;
    case kWidth8Bit:
        for (uint32_t step = 0; step < steps; ++step)
            for (uint32_t ch = 0; ch < entries; ++ch)
                area[pos++] = static_cast<uint8_t>(ch < channels ? compand8(sampleAt(ch, step)) : 0);
        break;
    case kWidth4Bit:
        for (uint32_t step = 0; step < steps; step += 2) {
            const bool pair = step + 1 < steps;
            for (uint32_t ch = 0; ch < entries; ++ch) {
                uint8_t byte = 0;
                if (ch < channels) {
                    const auto hi = static_cast<uint8_t>(compand4(sampleAt(ch, step)) & 0x0F);
                    const auto lo = pair ? static_cast<uint8_t>(compand4(sampleAt(ch, step + 1)) & 0x0F)
                                         : uint8_t{0};
                    byte = static_cast<uint8_t>(hi << 4 | lo);
                }
                area[pos++] = byte;
            }
        }
        break;
    default:
        break;
    }
    return pos;
}

// Writes the header of a StreamData frame: ID, sync word, mode, timestamp,
// step count. The CRC is the sender's.
void writeStreamDataHeader(std::span<uint8_t, kStreamDataFrameBytes> frame, const StreamMode& mode,
                           uint32_t timestamp, uint16_t steps) noexcept;

// The vest's reading of a StreamData frame.
struct DecodedStreamData {
    StreamMode mode;
    uint32_t timestamp = 0;
    uint32_t steps = 0;
    // steps x channels samples, time-major: samples[step * channels + ch].
    std::vector<float> samples;
};

enum class DecodeResult { ok, wrongLength, wrongId, badMode, tooManySteps };

// Decodes a whole StreamData frame (CRC already checked by the caller) for N
// entries per step, keeping the first `channels` entries of every step.
DecodeResult decodeStreamData(std::span<const uint8_t> frame, uint32_t entries, uint32_t channels,
                              DecodedStreamData& out);

// A DataRequest (0x16, 13 bytes): timestamp and requested duration.
struct DataRequest {
    uint32_t timestampMicros = 0;
    uint32_t durationMicros = 0;
};
DataRequest parseDataRequest(std::span<const uint8_t, kDataRequestFrameBytes> frame) noexcept;
void writeDataRequest(std::span<uint8_t, kDataRequestFrameBytes> frame, const DataRequest& request) noexcept;

// Little-endian field access shared by the streaming codecs.
inline uint32_t readU32(const uint8_t* p) noexcept {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void writeU32(uint8_t* p, uint32_t v) noexcept {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

} // namespace streaming
