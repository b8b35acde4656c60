#include "streaming/stream_data.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace streaming {
namespace {

constexpr uint8_t kStreamDataId = 0x96;
constexpr uint8_t kDataRequestId = 0x16;
constexpr uint8_t kSyncLow = 0xAD;
constexpr uint8_t kSyncHigh = 0xDE;
constexpr int32_t kMaxIndex = 32767;

// First table index of each 4-bit value 0..7.
constexpr std::array<int32_t, 8> kFirstIndex4{0, 1, 8, 35, 155, 682, 3009, 13286};

// First table index of each 8-bit value 0..127: the identity up to 19, then
// a logarithmic progression.
constexpr std::array<int32_t, 128> kFirstIndex8{
    0,     1,     2,     3,     4,     5,     6,     7,     8,     9,     10,    11,    12,
    13,    14,    15,    16,    17,    18,    19,    21,    22,    24,    25,    27,    29,
    31,    33,    35,    38,    41,    44,    47,    50,    53,    57,    61,    65,    70,
    75,    80,    85,    91,    98,    105,   112,   120,   128,   137,   147,   157,   168,
    180,   193,   206,   221,   236,   253,   271,   290,   310,   332,   355,   380,   407,
    436,   466,   499,   535,   572,   612,   656,   702,   751,   804,   861,   921,   986,
    1055,  1130,  1209,  1294,  1385,  1483,  1587,  1699,  1819,  1947,  2084,  2231,  2388,
    2556,  2736,  2929,  3135,  3355,  3592,  3845,  4115,  4405,  4715,  5047,  5403,  5783,
    6190,  6626,  7092,  7592,  8127,  8699,  9311,  9967,  10668, 11420, 12224, 13084, 14006,
    14992, 16048, 17178, 18387, 19682, 21068, 22551, 24139, 25839, 27658, 29606};

static_assert(std::is_sorted(kFirstIndex8.begin(), kFirstIndex8.end()));
static_assert(std::is_sorted(kFirstIndex4.begin(), kFirstIndex4.end()));

// Table index of a sample: x = |s| * 32768 in single precision, then
// min(trunc(x + 0.5), 32767). A NaN counts as silence.
int32_t tableIndex(double sample) noexcept {
    const float x = std::fabs(static_cast<float>(sample)) * 32768.0f;
    if (!(x >= 0.0f)) return 0;
    const float rounded = x + 0.5f;
    if (rounded >= static_cast<float>(kMaxIndex)) return kMaxIndex;
    return static_cast<int32_t>(rounded);
}

template <std::size_t Size>
int8_t lookup(const std::array<int32_t, Size>& firstIndex, double sample) noexcept {
    const int32_t index = tableIndex(sample);
    // The value is the last one whose first index does not exceed `index`.
    const auto it = std::upper_bound(firstIndex.begin(), firstIndex.end(), index);
    const auto value = static_cast<int8_t>(std::distance(firstIndex.begin(), it) - 1);
    return sample < 0.0 ? static_cast<int8_t>(-value) : value;
}

template <std::size_t Size>
float centreOf(const std::array<int32_t, Size>& firstIndex, int32_t magnitude) noexcept {
    if (magnitude <= 0) return 0.0f;
    const auto m = std::min<std::size_t>(static_cast<std::size_t>(magnitude), Size - 1);
    const int32_t first = firstIndex[m];
    const int32_t last = m + 1 < Size ? firstIndex[m + 1] - 1 : kMaxIndex;
    return (static_cast<float>(first) + static_cast<float>(last)) * 0.5f / 32768.0f;
}

uint32_t truncMicros(float value) noexcept {
    return value <= 0.0f ? 0u : static_cast<uint32_t>(value);
}

} // namespace

DurationLimits durationLimits(uint32_t entriesPerStep) noexcept {
    const float n = static_cast<float>(entriesPerStep);
    return {truncMicros(1e9f / (2000.0f * 2.0f * n)), truncMicros(1e9f / (2000.0f * n)),
            truncMicros(2e9f / (2000.0f * n)), truncMicros(2e9f / (1000.0f * n)),
            truncMicros(2e9f / (500.0f * n))};
}

uint32_t stepCapacity(uint8_t widthCode, uint32_t entriesPerStep) noexcept {
    if (entriesPerStep == 0) return 0;
    const auto bytes = static_cast<uint32_t>(kStreamDataSampleBytes);
    switch (widthCode) {
    case kWidth16Bit: return bytes / (2 * entriesPerStep);
    case kWidth8Bit: return bytes / entriesPerStep;
    // Two steps share a byte; an odd last step still takes a whole byte.
    case kWidth4Bit: return 2 * (bytes / entriesPerStep);
    default: return 0;
    }
}

RequestPlan planRequest(uint32_t durationMicros, const DurationLimits& limits,
                        uint32_t entriesPerStep) noexcept {
    static constexpr std::array<StreamMode, 5> kModes{{
        {kRateCode2000Hz, kWidth16Bit, 2000.0f},
        {kRateCode2000Hz, kWidth8Bit, 2000.0f},
        {kRateCode2000Hz, kWidth4Bit, 2000.0f},
        {kRateCode1000Hz, kWidth4Bit, 1000.0f},
        {kRateCode500Hz, kWidth4Bit, 500.0f},
    }};
    RequestPlan plan;
    plan.durationMicros = durationMicros;
    std::size_t choice = kModes.size();
    for (std::size_t i = 0; i < limits.size(); ++i) {
        if (durationMicros <= limits[i]) {
            choice = i;
            break;
        }
    }
    if (choice == kModes.size()) {
        choice = kModes.size() - 1;
        plan.durationMicros = limits.back();
        plan.clamped = true;
    }
    plan.mode = kModes[choice];
    const float product = static_cast<float>(plan.durationMicros) * plan.mode.rateHz;
    const auto steps = static_cast<uint32_t>(std::floor(static_cast<double>(product) * 1e-6));
    plan.steps = std::min(steps, stepCapacity(plan.mode.widthCode, entriesPerStep));
    return plan;
}

uint32_t stepsToMicros(const StreamMode& mode, uint32_t steps) noexcept {
    if (mode.rateHz <= 0.0f) return 0;
    return static_cast<uint32_t>((1e6 / static_cast<double>(mode.rateHz)) * steps);
}

int8_t compand8(double sample) noexcept { return lookup(kFirstIndex8, sample); }

int8_t compand4(double sample) noexcept { return lookup(kFirstIndex4, sample); }

float expand16(int16_t value) noexcept { return static_cast<float>(value) / 32768.0f; }

float expand8(int8_t value) noexcept {
    const float magnitude = centreOf(kFirstIndex8, value < 0 ? -value : value);
    return value < 0 ? -magnitude : magnitude;
}

float expand4(int8_t value) noexcept {
    const float magnitude = centreOf(kFirstIndex4, value < 0 ? -value : value);
    return value < 0 ? -magnitude : magnitude;
}

void writeStreamDataHeader(std::span<uint8_t, kStreamDataFrameBytes> frame, const StreamMode& mode,
                           uint32_t timestamp, uint16_t steps) noexcept {
    frame[0] = kStreamDataId;
    frame[1] = kSyncLow;
    frame[2] = kSyncHigh;
    frame[3] = mode.modeByte();
    writeU32(&frame[4], timestamp);
    frame[8] = static_cast<uint8_t>(steps & 0xFF);
    frame[9] = static_cast<uint8_t>(steps >> 8);
}

DecodeResult decodeStreamData(std::span<const uint8_t> frame, uint32_t entries, uint32_t channels,
                              DecodedStreamData& out) {
    if (frame.size() != kStreamDataFrameBytes) return DecodeResult::wrongLength;
    if (frame[0] != kStreamDataId) return DecodeResult::wrongId;
    const uint8_t rateCode = frame[3] >> 2;
    const uint8_t widthCode = frame[3] & 0x03;
    static constexpr std::array<float, 4> kRates{0.0f, 500.0f, 1000.0f, 2000.0f};
    if (rateCode < kRateCode500Hz || rateCode > kRateCode2000Hz || widthCode < kWidth4Bit)
        return DecodeResult::badMode;
    out.mode = StreamMode{rateCode, widthCode, kRates[rateCode]};
    out.timestamp = readU32(&frame[4]);
    out.steps = static_cast<uint32_t>(frame[8]) | static_cast<uint32_t>(frame[9]) << 8;
    if (entries == 0 || out.steps > stepCapacity(widthCode, entries)) return DecodeResult::tooManySteps;

    const uint32_t kept = std::min(channels, entries);
    out.samples.assign(static_cast<std::size_t>(out.steps) * channels, 0.0f);
    const uint8_t* area = &frame[kStreamDataSampleOffset];
    std::size_t pos = 0;
    switch (widthCode) {
    case kWidth16Bit:
        for (uint32_t step = 0; step < out.steps; ++step) {
            for (uint32_t ch = 0; ch < entries; ++ch, pos += 2) {
                const auto raw = static_cast<int16_t>(area[pos] | area[pos + 1] << 8);
                if (ch < kept) out.samples[step * channels + ch] = expand16(raw);
            }
        }
        break;
    case kWidth8Bit:
        for (uint32_t step = 0; step < out.steps; ++step)
            for (uint32_t ch = 0; ch < entries; ++ch, ++pos)
                if (ch < kept) out.samples[step * channels + ch] = expand8(static_cast<int8_t>(area[pos]));
        break;
    case kWidth4Bit:
        for (uint32_t step = 0; step < out.steps; step += 2) {
            for (uint32_t ch = 0; ch < entries; ++ch, ++pos) {
                if (ch >= kept) continue;
                // Sign-extend each nibble.
                const auto hi = static_cast<int8_t>(static_cast<int8_t>(area[pos] & 0xF0) >> 4);
                const auto lo = static_cast<int8_t>(static_cast<int8_t>(area[pos] << 4) >> 4);
                out.samples[step * channels + ch] = expand4(hi);
                if (step + 1 < out.steps) out.samples[(step + 1) * channels + ch] = expand4(lo);
            }
        }
        break;
    default:
        break;
    }
    return DecodeResult::ok;
}

DataRequest parseDataRequest(std::span<const uint8_t, kDataRequestFrameBytes> frame) noexcept {
    return DataRequest{readU32(&frame[3]), readU32(&frame[7])};
}

void writeDataRequest(std::span<uint8_t, kDataRequestFrameBytes> frame, const DataRequest& request) noexcept {
    frame[0] = kDataRequestId;
    frame[1] = kSyncLow;
    frame[2] = kSyncHigh;
    writeU32(&frame[3], request.timestampMicros);
    writeU32(&frame[7], request.durationMicros);
}

} // namespace streaming
