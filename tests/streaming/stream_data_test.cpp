#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <tuple>
#include <vector>

#include "streaming/stream_data.h"

using namespace streaming;

namespace {

// A sample source: channel c at step s.
struct Ramp {
    double operator()(uint32_t channel, uint32_t step) const {
        return std::sin(0.3 * step + channel) * (channel + 1) / 21.0;
    }
};

std::array<uint8_t, kStreamDataSampleBytes> filledArea(uint8_t fill) {
    std::array<uint8_t, kStreamDataSampleBytes> area{};
    area.fill(fill);
    return area;
}

} // namespace

// The one table of the modes and step counts (the HID stream and the SDK
// show one case each end to end).
TEST(StreamData, RequestedDurationChoosesRateWidthAndSteps) {
    const DurationLimits limits = durationLimits(20);
    EXPECT_EQ(limits, (DurationLimits{12500, 25000, 50000, 100000, 200000}));
    struct Case {
        uint32_t micros;
        uint8_t modeByte;
        uint32_t steps;
        bool clamped;
    };
    for (const Case& c : {Case{10000, 0x0F, 20, false}, Case{12500, 0x0F, 25, false}, Case{20000, 0x0E, 40, false},
                          Case{30000, 0x0D, 60, false}, Case{80000, 0x09, 80, false}, Case{90000, 0x09, 90, false},
                          Case{150000, 0x05, 75, false}, Case{180000, 0x05, 90, false},
                          Case{200000, 0x05, 100, false}, Case{250000, 0x05, 100, true}, Case{0, 0x0F, 0, false},
                          Case{499, 0x0F, 0, false}}) {
        const RequestPlan plan = planRequest(c.micros, limits, 20);
        EXPECT_EQ(std::tuple(plan.mode.modeByte(), plan.steps, plan.clamped),
                  std::tuple(c.modeByte, c.steps, c.clamped))
            << c.micros;
    }
    const RequestPlan clamped = planRequest(4000000, limits, 20);
    EXPECT_EQ(clamped.durationMicros, 200000u);
    EXPECT_EQ(stepsToMicros(clamped.mode, clamped.steps), 200000u);
    EXPECT_EQ(stepsToMicros(planRequest(10000, limits, 20).mode, 20), 10000u);
}
TEST(StreamData, EveryPlanFitsTheFrameForEveryEntryCount) {
    // Without the capacity cap, N = 7 at 4 bits asks for 285 steps (1001
    // bytes) and N = 255 at 500 Hz for 7 steps (1020 bytes).
    for (uint32_t n = 1; n <= kMaxEntriesPerStep; ++n) {
        const DurationLimits limits = durationLimits(n);
        // Each mode asks for the most steps at its own limit.
        std::vector<uint32_t> durations{0, 1, 1000000};
        for (uint32_t limit : limits)
            for (uint32_t d : {limit - 1, limit, limit + 1}) durations.push_back(d);
        for (uint32_t micros : durations) {
            const RequestPlan plan = planRequest(micros, limits, n);
            auto area = filledArea(0xEE);
            const std::size_t written = encodeStreamSamples(
                area, plan.mode.widthCode, plan.steps, n, std::min<uint32_t>(n, 20), Ramp{});
            ASSERT_LE(written, kStreamDataSampleBytes) << "N " << n << " micros " << micros;
            const std::size_t perStep = plan.mode.widthCode == kWidth16Bit ? 2 * n : n;
            const std::size_t rows =
                plan.mode.widthCode == kWidth4Bit ? (plan.steps + 1) / 2 : plan.steps;
            ASSERT_EQ(written, rows * perStep);
        }
    }
}

TEST(StreamData, SixteenBitSamplesSaturateAndRound) {
    for (const auto& [in, out] : {std::pair{1.0, 32767}, {-1.0, -32768}, {0.0, 0}, {0.5, 16384}, {-0.25, -8192},
                                  {2.0, 32767}, {std::nan(""), 0}})
        EXPECT_EQ(quantize16(in), out) << in;
    // Every quarter step across the range (halves go to even), each nudged
    // by one float either way: the library's lrintf.
    for (int quarter = -4 * 32768; quarter < 4 * 32767; ++quarter) {
        const float exact = static_cast<float>(quarter) / 4.0f;
        for (const float v : {std::nextafter(exact, -1e9f), exact, std::nextafter(exact, 1e9f)}) {
            const double sample = static_cast<double>(v) / 32768.0;
            if (v <= -32768.0f || v >= 32767.0f) continue;
            ASSERT_EQ(quantize16(sample), std::lrintf(v)) << v;
        }
    }
}
TEST(StreamData, CompandingTablesCoverEveryValueInOrder) {
    const auto at = [](int32_t index) { return index / 32768.0; };
    // 4 bits: the first index of each value.
    const std::array<int32_t, 8> first4{0, 1, 8, 35, 155, 682, 3009, 13286};
    for (int v = 1; v < 8; ++v) {
        EXPECT_EQ(compand4(at(first4[v])), v);
        EXPECT_EQ(compand4(at(first4[v] - 1)), v - 1);
        EXPECT_EQ(compand4(-at(first4[v])), -v);
    }
    // 8 bits, over every index: the identity up to 19, then every value in
    // turn, each range wider than the last by a near-constant ratio, up to
    // 127 from index 29606.
    std::vector<int32_t> first8{0};
    for (int32_t i = 1; i <= 32767; ++i) {
        const int v = compand8(at(i));
        ASSERT_GE(v, static_cast<int>(first8.size()) - 1) << i;
        ASSERT_LE(v, static_cast<int>(first8.size())) << i;
        if (v == static_cast<int>(first8.size())) first8.push_back(i);
        ASSERT_EQ(compand8(-at(i)), -v);
        ASSERT_EQ(compand8(expand8(static_cast<int8_t>(v))), v) << i;
    }
    ASSERT_EQ(first8.size(), 128u);
    for (int v = 0; v < 20; ++v) EXPECT_EQ(first8[v], v);
    EXPECT_EQ(first8[20], 21);
    for (int v = 28; v < 128; ++v) {
        const double ratio = static_cast<double>(first8[v]) / first8[v - 1];
        EXPECT_GT(ratio, 1.04) << v;
        EXPECT_LT(ratio, 1.09) << v;
    }
    EXPECT_EQ(first8[127], 29606);
    EXPECT_EQ(compand8(-1.0), -127);
    EXPECT_EQ(compand8(std::nan("")), 0);
    // Rounding to the nearest index: 20.5 rounds up to 21.
    EXPECT_EQ(compand8(20.5 / 32768.0), 20);
    EXPECT_EQ(compand8(20.4 / 32768.0), 19);
    for (int v = -7; v <= 7; ++v) EXPECT_EQ(compand4(expand4(static_cast<int8_t>(v))), v);
}
TEST(StreamData, SixteenBitFrameIsTimeMajorLittleEndian) {
    auto area = filledArea(0xEE);
    const auto source = [](uint32_t channel, uint32_t step) {
        return channel == 0 ? (step == 0 ? 1.0 : -1.0) : 0.5;
    };
    // Two real channels out of N = 3: the third is sent as zeros.
    const std::size_t written = encodeStreamSamples(area, kWidth16Bit, 2, 3, 2, source);
    ASSERT_EQ(written, 12u);
    const std::array<uint8_t, 12> expected{0xFF, 0x7F, 0x00, 0x40, 0x00, 0x00,
                                           0x00, 0x80, 0x00, 0x40, 0x00, 0x00};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(area[i], expected[i]) << i;
    EXPECT_EQ(area[12], 0xEE) << "bytes after the samples are left as they were";
}

TEST(StreamData, FourBitFramePairsStepsAndPadsAnOddLastStep) {
    auto area = filledArea(0xEE);
    // Step s of channel c: s odd -> -1.0 (nibble 9), s even -> 1.0 (nibble 7).
    const auto source = [](uint32_t, uint32_t step) { return step % 2 ? -1.0 : 1.0; };
    const std::size_t written = encodeStreamSamples(area, kWidth4Bit, 75, 20, 19, source);
    ASSERT_EQ(written, 38u * 20u);
    for (std::size_t row = 0; row < 38; ++row) {
        for (std::size_t ch = 0; ch < 20; ++ch) {
            const uint8_t byte = area[row * 20 + ch];
            if (ch == 19) EXPECT_EQ(byte, 0x00);
            else if (row < 37) EXPECT_EQ(byte, 0x79);
            else EXPECT_EQ(byte, 0x70) << "step 74 high, zero low";
        }
    }
}

TEST(StreamData, EightBitEntriesAreSignedBytes) {
    auto area = filledArea(0xEE);
    const auto source = [](uint32_t channel, uint32_t) { return channel == 0 ? -1.0 : 1.0; };
    ASSERT_EQ(encodeStreamSamples(area, kWidth8Bit, 1, 2, 2, source), 2u);
    EXPECT_EQ(area[0], 0x81); // -127
    EXPECT_EQ(area[1], 0x7F);
}

TEST(StreamData, DecodeReadsBackWhatWasEncodedAtEveryWidth) {
    const DurationLimits limits = durationLimits(20);
    for (uint32_t micros : {10000u, 20000u, 30000u, 80000u, 150000u, 200000u}) {
        const RequestPlan plan = planRequest(micros, limits, 20);
        std::array<uint8_t, kStreamDataFrameBytes> frame{};
        writeStreamDataHeader(frame, plan.mode, 0xA1B2C3D4u, static_cast<uint16_t>(plan.steps));
        encodeStreamSamples(std::span<uint8_t, kStreamDataSampleBytes>(&frame[kStreamDataSampleOffset],
                                                                     kStreamDataSampleBytes),
                            plan.mode.widthCode, plan.steps, 20, 20, Ramp{});
        DecodedStreamData decoded;
        ASSERT_EQ(decodeStreamData(frame, 20, 20, decoded), DecodeResult::ok);
        EXPECT_EQ(decoded.timestamp, 0xA1B2C3D4u);
        EXPECT_EQ(decoded.steps, plan.steps);
        EXPECT_EQ(decoded.mode.modeByte(), plan.mode.modeByte());
        ASSERT_EQ(decoded.samples.size(), plan.steps * 20u);
        // The coarsest table step near full scale is 4-bit's 13286..32767.
        for (uint32_t s = 0; s < plan.steps; ++s) {
            for (uint32_t c = 0; c < 20; ++c) {
                const double x = Ramp{}(c, s);
                // The 8-bit table's steps are about 10 % wide near full scale.
                const double tolerance = plan.mode.widthCode == kWidth16Bit  ? 1e-4
                                         : plan.mode.widthCode == kWidth8Bit ? 0.055 * std::fabs(x) + 1e-3
                                                                             : 0.31;
                ASSERT_NEAR(decoded.samples[s * 20 + c], x, tolerance) << micros;
            }
        }
    }
}

TEST(StreamData, DecodeRefusesMalformedFrames) {
    std::array<uint8_t, kStreamDataFrameBytes> frame{};
    writeStreamDataHeader(frame, StreamMode{kRateCode2000Hz, kWidth16Bit, 2000.0f}, 0, 26);
    DecodedStreamData decoded;
    EXPECT_EQ(decodeStreamData(frame, 20, 20, decoded), DecodeResult::tooManySteps);
    EXPECT_EQ(decodeStreamData(std::span(frame).first(1000), 20, 20, decoded), DecodeResult::wrongLength);
    frame[3] = 0x0C; // width 0
    EXPECT_EQ(decodeStreamData(frame, 20, 20, decoded), DecodeResult::badMode);
    frame[3] = 0x03; // rate 0
    EXPECT_EQ(decodeStreamData(frame, 20, 20, decoded), DecodeResult::badMode);
    frame[0] = 0x16;
    EXPECT_EQ(decodeStreamData(frame, 20, 20, decoded), DecodeResult::wrongId);
}

TEST(StreamData, DataRequestFieldsAreLittleEndian) {
    std::array<uint8_t, kDataRequestFrameBytes> frame{};
    writeDataRequest(frame, DataRequest{0x01020304u, 10000});
    EXPECT_EQ(frame[0], 0x16);
    EXPECT_EQ(frame[3], 0x04);
    EXPECT_EQ(frame[6], 0x01);
    EXPECT_EQ(frame[7], 0x10);
    EXPECT_EQ(frame[8], 0x27);
    const DataRequest back = parseDataRequest(frame);
    EXPECT_EQ(back.timestampMicros, 0x01020304u);
    EXPECT_EQ(back.durationMicros, 10000u);
}
