// The C-style interface over every rate, preset, sample type and process type.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <tuple>
#include <vector>

#include "alloc_counter.h"
#include "vyx/vyxfx.h"

namespace {

constexpr int32_t kRates[] = {500,   1000,  2000,  4000,  8000, 16000,
                              32000, 44100, 48000, 88200, 96000};
constexpr uint32_t kFrameSizes[] = {10, 20, 40, 80, 160, 320, 640, 882, 960, 1764, 1920};
constexpr uint32_t kChannels = 2;
constexpr uint64_t kBlocks = 6;

struct Instance {
    vyxfx_instance* p;
    Instance(int32_t rate, int32_t sampleType, int32_t processType, uint32_t channels = kChannels)
        : p(vyxfx_create(rate, channels, sampleType, processType)) {}
    ~Instance() { vyxfx_destroy(p); }
};

// A deterministic test signal: a 60 Hz tone in bursts over white noise bursts,
// so every band with a filter sees a rising power at some frame.
std::vector<double> signal(int32_t rate, uint64_t frames) {
    std::vector<double> out(frames * kChannels);
    uint32_t seed = 12345;
    for (uint64_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / rate;
        const bool toneOn = static_cast<uint64_t>(t / 0.04) % 2 == 1;
        const bool noiseOn = static_cast<uint64_t>(t / 0.06) % 2 == 1;
        seed = seed * 1664525u + 1013904223u;
        const double noise = (static_cast<double>(seed >> 8) / (1u << 24)) * 2.0 - 1.0;
        const double v =
            (toneOn ? 0.6 * std::sin(2 * M_PI * 60 * t) : 0.0) + (noiseOn ? 0.3 * noise : 0.0);
        out[f * kChannels] = v;
        out[f * kChannels + 1] = -0.5 * v;
    }
    return out;
}

template <typename S>
std::vector<S> as(const std::vector<double>& v) {
    std::vector<S> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        if constexpr (std::is_same_v<S, int16_t>)
            out[i] = static_cast<S>(std::lround(v[i] * 32767));
        else if constexpr (std::is_same_v<S, int32_t>)
            out[i] = static_cast<S>(std::lround(v[i] * 2147483647.0));
        else
            out[i] = static_cast<S>(v[i]);
    }
    return out;
}

using Case = std::tuple<int, uint32_t, int32_t, int32_t>; // rate index, preset, sample, process

class VyxfxTable : public testing::TestWithParam<Case> {};

template <typename S>
void runCase(int rateIndex, uint32_t preset, int32_t sampleType, int32_t processType) {
    const int32_t rate = kRates[rateIndex];
    const uint32_t frame = kFrameSizes[rateIndex];
    const uint64_t frames = kBlocks * frame - frame / 2; // the last frame is partial
    const std::vector<S> in = as<S>(signal(rate, frames));
    Instance a(rate, sampleType, processType), b(rate, sampleType, processType);
    ASSERT_NE(a.p, nullptr);
    ASSERT_EQ(vyxfx_last_error(), 0);
    EXPECT_EQ(vyxfx_frame_size(a.p), frame);
    const uint32_t perBlock = kChannels * (processType == 0 ? 16 : 32);
    EXPECT_EQ(vyxfx_token_bytes(a.p, frames), kBlocks * perBlock);
    EXPECT_EQ(vyxfx_token_bytes(a.p, 1), perBlock);
    EXPECT_EQ(vyxfx_token_bytes(a.p, 0), 0u);

    for (Instance* i : {&a, &b}) ASSERT_EQ(vyxfx_set_preset(i->p, preset), 0);
    EXPECT_EQ(vyxfx_get_preset(a.p), static_cast<int32_t>(preset));
    EXPECT_EQ(vyxfx_set_preset(a.p, 4), -22);
    EXPECT_EQ(vyxfx_last_error(), -22);
    EXPECT_EQ(vyxfx_get_preset(a.p), static_cast<int32_t>(preset));

    // Analysis in one call, and in frame-sized calls from other buffers.
    std::vector<uint8_t> tokens(vyxfx_token_bytes(a.p, frames)), chunked(tokens.size());
    ASSERT_EQ(vyxfx_analyse_typed(a.p, sampleType, in.data(), tokens.data(), frames), 0);
    for (uint64_t blk = 0; blk < kBlocks; ++blk) {
        const uint64_t n = std::min<uint64_t>(frame, frames - blk * frame);
        std::vector<S> piece(in.begin() + blk * frame * kChannels,
                             in.begin() + (blk * frame + n) * kChannels);
        ASSERT_EQ(
            vyxfx_analyse_typed(b.p, sampleType, piece.data(), chunked.data() + blk * perBlock, n),
            0);
    }
    EXPECT_EQ(tokens, chunked);

    // Descriptors lie in [0, 1]; a band without a filter at this rate stays 0.
    const bool bandOn[4] = {rate >= 4000, true, rate >= 16000,
                            rate >= 32000 || (preset == 3 && rate >= 16000)};
    bool moved[4] = {};
    for (std::size_t at = 0; at < tokens.size(); at += perBlock / kChannels) {
        for (int k = 0; k < 4; ++k) {
            double d;
            if (processType == 0) {
                float f;
                std::memcpy(&f, &tokens[at + 4 * k], 4);
                d = f;
            } else
                std::memcpy(&d, &tokens[at + 8 * k], 8);
            ASSERT_TRUE(d >= 0.0 && d <= 1.0) << d;
            moved[k] = moved[k] || d > 0.0;
        }
    }
    for (int k = 0; k < 4; ++k) EXPECT_EQ(moved[k], bandOn[k]) << "band " << k;

    // process equals analyse then synthesise; reset makes it repeatable.
    std::vector<S> synthesised(in.size()), processed(in.size()), again(in.size());
    ASSERT_EQ(vyxfx_synthesise_typed(a.p, tokens.data(), tokens.size(), sampleType,
                                     synthesised.data(), frames),
              0);
    ASSERT_EQ(vyxfx_reset(b.p), 0);
    ASSERT_EQ(vyxfx_process_typed(b.p, sampleType, in.data(), processed.data(), frames), 0);
    EXPECT_EQ(processed, synthesised);
    ASSERT_EQ(vyxfx_reset(b.p), 0);
    ASSERT_EQ(vyxfx_process_typed(b.p, sampleType, in.data(), again.data(), frames), 0);
    EXPECT_EQ(again, processed);
    EXPECT_NE(processed, std::vector<S>(in.size())) << "no haptic signal at all";

    // The float entry points serve float instances only.
    std::vector<float> f(in.size());
    const int32_t floatResult = vyxfx_process(a.p, f.data(), f.data(), frames);
    EXPECT_EQ(floatResult, sampleType == 2 ? 0 : -22);
    EXPECT_EQ(vyxfx_last_error(), floatResult);
}

TEST_P(VyxfxTable, EveryCallServesEveryPair) {
    const auto [rateIndex, preset, sampleType, processType] = GetParam();
    using Run = void (*)(int, uint32_t, int32_t, int32_t);
    const Run byType[] = {runCase<int16_t>, runCase<int32_t>, runCase<float>, runCase<double>};
    byType[sampleType](rateIndex, preset, sampleType, processType);
}

INSTANTIATE_TEST_SUITE_P(RatesPresetsTypes, VyxfxTable,
                         testing::Combine(testing::Range(0, 11), testing::Range(0u, 4u),
                                          testing::Range(0, 4), testing::Range(0, 2)));

TEST(Vyxfx, RefusesBadArguments) {
    EXPECT_EQ(vyxfx_create(22050, 1, 2, 1), nullptr);
    EXPECT_EQ(vyxfx_last_error(), -22);
    EXPECT_EQ(vyxfx_create(48000, 0, 2, 1), nullptr);
    EXPECT_EQ(vyxfx_create(48000, 1, 2, 2), nullptr);
    EXPECT_EQ(vyxfx_create(48000, 1, 4, 1), nullptr);
    EXPECT_EQ(vyxfx_last_error(), -22);
    EXPECT_EQ(vyxfx_set_preset(nullptr, 0), -22);
    EXPECT_EQ(vyxfx_frame_size(nullptr), 0u);
    EXPECT_EQ(vyxfx_analyse(nullptr, nullptr, nullptr, 1), -22);
    vyxfx_destroy(nullptr);
    EXPECT_EQ(vyxfx_last_error(), 0);
    EXPECT_STREQ(vyxPresetName(1), "Sharp");
    EXPECT_STREQ(vyxPresetName(7), "Invalid");

    Instance i(500, 2, 1, 1);
    EXPECT_EQ(vyxfx_set_preset(i.p, static_cast<uint32_t>(-1)), -22);
    float in[2] = {0.5f, 0.5f};
    EXPECT_EQ(vyxfx_analyse(i.p, in, nullptr, 2), -22) << "null token buffer";
    Instance s(500, 0, 1, 1);
    EXPECT_EQ(vyxfx_analyse(s.p, in, nullptr, 2), -22) << "float call on an int16 instance";
}

// 15 frames at 500 Hz are two tokens, the second from 5 samples and 5 zeros;
// tokens for 10 frames of 20 leave the other 10 silent.
TEST(Vyxfx, PartialFramesAndShortTokens) {
    Instance a(500, 2, 1, 1), b(500, 2, 1, 1);
    std::vector<float> in(15, 0.0f), padded(20, 0.0f);
    for (int k = 0; k < 15; ++k) in[k] = padded[k] = std::sin(0.9f * k) * (k < 10 ? 0.2f : 0.9f);
    std::vector<uint8_t> t15(64, 0xAB), t20(64);
    ASSERT_EQ(vyxfx_analyse(a.p, in.data(), t15.data(), 15), 0);
    ASSERT_EQ(vyxfx_analyse(b.p, padded.data(), t20.data(), 20), 0);
    EXPECT_EQ(t15, t20);

    std::vector<float> out(20, 7.0f);
    ASSERT_EQ(vyxfx_synthesise(a.p, t15.data(), 32, out.data(), 20), 0);
    EXPECT_NE(std::vector<float>(out.begin(), out.begin() + 10), std::vector<float>(10, 0.0f));
    EXPECT_EQ(std::vector<float>(out.begin() + 10, out.end()), std::vector<float>(10, 0.0f));
}

TEST(Vyxfx, TokenAmountsBeyond32BitsAreRefused) {
    Instance i(500, 2, 1, 1);
    const uint64_t fits = 10ull * ((1ull << 27) - 1); // (2^27 - 1) tokens of 32 bytes
    EXPECT_EQ(vyxfx_token_bytes(i.p, fits), 0xFFFFFFE0u);
    EXPECT_EQ(vyxfx_token_bytes(i.p, fits + 1), 0u);
    EXPECT_EQ(vyxfx_last_error(), -22);
    EXPECT_EQ(vyxfx_token_bytes(i.p, UINT64_MAX), 0u);
    uint8_t token[32];
    float in[1] = {0};
    EXPECT_EQ(vyxfx_analyse(i.p, in, token, fits + 1), -22);
}

TEST(Vyxfx, LastErrorBelongsToTheCallingThread) {
    EXPECT_EQ(vyxfx_create(22050, 1, 2, 1), nullptr);
    std::thread other([] {
        Instance i(48000, 2, 1);
        EXPECT_EQ(vyxfx_last_error(), 0);
    });
    other.join();
    EXPECT_EQ(vyxfx_last_error(), -22);
}

// NaN and infinite samples are taken as 0 and change nothing after them; a
// sample that overflows the float filters' power restarts its bands, which
// then follow the sound as before.
TEST(Vyxfx, NonFiniteAndHugeSamplesLeaveTheSignalSound) {
    const uint64_t frames = 960 * 8;
    std::vector<float> clean(frames);
    for (uint64_t i = 0; i < frames; ++i)
        clean[i] = (i / 1920 % 2) * 0.6f * std::sin(2 * static_cast<float>(M_PI) * 60 * i / 48000);
    std::vector<float> dirty = clean, huge = clean;
    dirty[100] = std::nanf("");
    dirty[2000] = std::numeric_limits<float>::infinity();
    dirty[3000] = -std::numeric_limits<float>::infinity();
    clean[2000] = clean[3000] = 0.0f;
    huge[50] = 3e38f;
    std::vector<float> a(frames), b(frames), c(frames);
    Instance ia(48000, 2, 0, 1), ib(48000, 2, 0, 1), ic(48000, 2, 0, 1);
    ASSERT_EQ(vyxfx_process(ia.p, clean.data(), a.data(), frames), 0);
    ASSERT_EQ(vyxfx_process(ib.p, dirty.data(), b.data(), frames), 0);
    ASSERT_EQ(vyxfx_process(ic.p, huge.data(), c.data(), frames), 0);
    EXPECT_EQ(a, b);
    for (uint64_t k = 1; k < 8; ++k) {
        const auto loud = [k](const std::vector<float>& v) {
            return std::any_of(v.begin() + 960 * k, v.begin() + 960 * (k + 1),
                               [](float x) { return std::fabs(x) > 1e-3f; });
        };
        EXPECT_EQ(loud(c), loud(a)) << k;
    }
}

// Once an instance is built, no call allocates.
TEST(Vyxfx, NoCallAllocatesOnceBuilt) {
    Instance a(48000, 2, 1), b(500, 2, 1);
    const std::vector<float> in = as<float>(signal(48000, 2880));
    std::vector<float> out(in.size()), low(60);
    std::vector<uint8_t> tokens(vyxfx_token_bytes(a.p, 2880));
    const long long before = allocationCount();
    for (uint32_t preset = 0; preset < 4; ++preset) {
        EXPECT_EQ(vyxfx_set_preset(a.p, preset) + vyxfx_set_preset(b.p, preset), 0);
        EXPECT_EQ(vyxfx_analyse(a.p, in.data(), tokens.data(), 2880), 0);
        EXPECT_EQ(vyxfx_synthesise(b.p, tokens.data(), tokens.size(), low.data(), 30), 0);
        EXPECT_EQ(vyxfx_process(a.p, in.data(), out.data(), 2880), 0);
        EXPECT_EQ(vyxfx_reset(a.p), 0);
    }
    EXPECT_EQ(allocationCount(), before);
}

} // namespace
