#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "lumetra-core/src/filter.h"
#include "lumetra-core/src/filter_table.h"
#include "engine_test_util.h"

namespace {

using lmc::AntiAliasResampler;
using lmc::FilteredInput;
using lmc::ResampleRequest;

constexpr double kInputRate = 8000.0;

std::vector<float> sine(double frequencyHz, std::size_t count, float amplitude = 0.9f) {
    std::vector<float> v(count);
    for (std::size_t n = 0; n < count; ++n)
        v[n] = amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * frequencyHz *
                                                       static_cast<double>(n) / kInputRate));
    return v;
}

std::vector<float> noise(std::size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> v(count);
    for (float& x : v) x = uniform(random);
    return v;
}

// Plays `input` as a generator does: each call hands the samples not yet
// consumed, asks for the sizes in `chunks`, and returns every output sample.
struct Playback {
    double rate;
    double bandLow;
    double bandHigh;
    float tail = 0.0f;

    std::vector<float> run(const std::vector<float>& input, const std::vector<std::size_t>& chunks,
                           AntiAliasResampler& resampler) const {
        std::vector<float> out;
        uint64_t position = 0;
        ResampleRequest request;
        for (std::size_t chunk : chunks) {
            std::vector<float> buffer(chunk, -7.0f);
            request.setInput(input.data() + position, input.size() - position, true, tail);
            request.setOutput(buffer.data(), buffer.size());
            request.setRatio(kInputRate, rate);
            resampler.configure(rate, bandLow, bandHigh, request);
            EXPECT_EQ(resampler.process(request), 0);
            position += request.inputUsed;
            out.insert(out.end(), buffer.begin(), buffer.begin() + request.outputProduced);
            if (request.outputProduced < chunk) break;
        }
        return out;
    }
    std::vector<float> run(const std::vector<float>& input,
                           const std::vector<std::size_t>& chunks) const {
        AntiAliasResampler resampler;
        return run(input, chunks, resampler);
    }
};

TEST(AntiAliasResampler, BandAboveTheNyquistFrequencyDecaysToSilence) {
    // 100 Hz output, band 70..254 Hz: nothing of the band survives, so the
    // filter is fed zeros. Fresh, the output is silent.
    const std::vector<float> input = noise(8000, 2);
    const std::vector<float> fresh = Playback{100.0, 70.0, 254.0}.run(input, {50});
    ASSERT_EQ(fresh.size(), 50u);
    for (float v : fresh) EXPECT_EQ(v, 0.0f);

    // After playing through the 80 Hz low-pass, the filter rings down.
    AntiAliasResampler resampler;
    const std::vector<float> sustained = sine(75.0, 80000);
    Playback{160.0, 70.0, 254.0}.run(sustained, {200}, resampler);
    ASSERT_EQ(resampler.source().mode(), FilteredInput::Mode::LowPass);
    const std::vector<float> decay = Playback{100.0, 70.0, 254.0}.run(sustained, {100}, resampler);
    EXPECT_EQ(resampler.source().mode(), FilteredInput::Mode::Zeros);
    ASSERT_EQ(decay.size(), 100u);
    float early = 0.0f;
    for (std::size_t i = 0; i < 5; ++i) early = std::max(early, std::fabs(decay[i]));
    float late = 0.0f;
    for (std::size_t i = 80; i < 100; ++i) late = std::max(late, std::fabs(decay[i]));
    EXPECT_GT(early, 0.01f);
    EXPECT_LT(late, 1e-4f);
    // It comes to rest instead of circling among subnormal numbers.
    EXPECT_FALSE(resampler.source().atRest());
    Playback{100.0, 70.0, 254.0}.run(sustained, {900}, resampler);
    EXPECT_TRUE(resampler.source().atRest());
}

TEST(AntiAliasResampler, RefusedRequestsProduceAndConsumeNothing) {
    std::vector<float> input(16, 0.5f);
    std::vector<float> out(8, -1.0f);
    AntiAliasResampler resampler;
    auto attempt = [&](double rate, const float* in, float* o, bool dirty) {
        ResampleRequest r;
        r.setInput(in, input.size(), true, 0.0f);
        r.setOutput(o, out.size());
        r.setRatio(kInputRate, rate);
        if (dirty) r.inputUsed = 1;
        resampler.configure(rate, 0.0, 100.0, r);
        const int32_t result = resampler.process(r);
        EXPECT_EQ(r.outputProduced, dirty ? 0u : r.outputProduced);
        return std::pair{result, r};
    };
    for (double rate : {8000.0 / 1500.0, 7.99, 8000001.0, 0.0, -48000.0, std::nan("")}) {
        const auto [result, r] = attempt(rate, input.data(), out.data(), false);
        EXPECT_EQ(result, AntiAliasResampler::kRefused) << rate;
        EXPECT_EQ(r.outputProduced, 0u);
        EXPECT_EQ(r.inputUsed, 0u);
    }
    EXPECT_EQ(attempt(48000.0, nullptr, out.data(), false).first, AntiAliasResampler::kRefused);
    EXPECT_EQ(attempt(48000.0, input.data(), nullptr, false).first, AntiAliasResampler::kRefused);
    EXPECT_EQ(attempt(48000.0, input.data(), out.data(), true).first, AntiAliasResampler::kRefused);
    for (float v : out) EXPECT_EQ(v, -1.0f);
    // The bounds themselves are accepted.
    EXPECT_EQ(attempt(8.0, input.data(), out.data(), false).first, 0);
    EXPECT_EQ(attempt(8000000.0, input.data(), out.data(), false).first, 0);
}

// The anti-alias filter is one continuous filter over the whole playback:
// however the output is split into calls, the samples are those of one call.
TEST(AntiAliasResampler, SplitRequestsGiveTheSamplesOfOneCall) {
    const std::vector<float> input = noise(40000, 4);
    std::mt19937 random(5);
    // Rates for ratios 1/6, 4, 16 and 80; the band 0..4000 Hz makes every
    // rate whose Nyquist frequency lies below 4 kHz filter.
    for (double rate : {48000.0, 2000.0, 500.0, 100.0}) {
        SCOPED_TRACE(rate);
        const Playback play{rate, 0.0, 4000.0, 0.125f};
        const std::size_t total = static_cast<std::size_t>(input.size() * rate / kInputRate) + 10;
        const std::vector<float> once = play.run(input, {total});
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<std::size_t> chunks;
            std::uniform_int_distribution<std::size_t> size(1, trial < 10 ? 7 : 600);
            for (std::size_t sum = 0; sum < total; sum += chunks.back()) chunks.push_back(size(random));
            const std::vector<float> split = play.run(input, chunks);
            ASSERT_EQ(split.size(), once.size());
            for (std::size_t i = 0; i < once.size(); ++i) {
                // The read position accumulates in steps of the ratio; for
                // 1/6 the rounding of that sum depends on where calls start.
                ASSERT_NEAR(split[i], once[i], 1e-6) << "sample " << i << ", trial " << trial;
            }
        }
    }
}

// The plain definition of one playback in a single call: the read position p
// starts at 0 and grows by the ratio; the neighbours are the (filtered)
// samples at floor(p + 1e-5) and the next one, the last input sample
// reaching towards the tail; the fraction is max(p - floor(p + 1e-5), 0) in
// single precision. The cascade, if any, runs one sample at a time.
std::vector<float> plainPlayback(const std::vector<float>& input, float tail, double ratio,
                                 const lmc::BiquadList* cascade) {
    const std::size_t count = input.size();
    std::vector<float> samples(count + 1);
    std::vector<lmc::BiquadState> states(cascade != nullptr ? cascade->size() : 0);
    for (std::size_t k = 0; k <= count; ++k) {
        double x = k < count ? input[k] : tail;
        for (std::size_t s = 0; s < states.size(); ++s) x = lmc::runSection((*cascade)[s], states[s], x);
        samples[k] = static_cast<float>(x);
    }
    std::vector<float> out;
    for (double p = 0.0;; p += ratio) {
        const double x = p + 1e-5;
        if (x >= static_cast<double>(count)) break;
        const std::size_t j = static_cast<std::size_t>(std::floor(x));
        const float a = samples[j];
        const float b = samples[j + 1];
        const float fraction = static_cast<float>(std::max(p - static_cast<double>(j), 0.0));
        out.push_back(fraction * (b - a) + a);
    }
    return out;
}

// However the resampler gets there (raw reads, following the whole part when
// upsampling, the cascade run as a pipeline), its samples are exactly those
// of the plain definition, raw and through the low-pass, at ratios from 1/6
// to 24.
TEST(AntiAliasResampler, SamplesAreExactlyThoseOfThePlainDefinition) {
    const std::vector<float> input = noise(3000, 8);
    const float tail = 0.25f;
    for (double rate : {48000.0, 44100.0, 8008.0, 8000.0, 5000.0, 2000.0, 500.0, 333.0}) {
        SCOPED_TRACE(rate);
        const double ratio = kInputRate / rate;
        // A band below every Nyquist frequency reads raw samples; a band above
        // them all filters with the bank's entry for the Nyquist frequency.
        const Playback raw{rate, 0.0, 1.0, tail};
        const Playback lowPass{rate, 0.0, 1e9, tail};
        const std::size_t total = static_cast<std::size_t>(input.size() / ratio) + 10;
        EXPECT_EQ(raw.run(input, {total}), plainPlayback(input, tail, ratio, nullptr));
        const lmc::BiquadList& entry = lmc::filterForCutoff(rate / 2.0);
        EXPECT_EQ(lowPass.run(input, {total}), plainPlayback(input, tail, ratio, &entry));
    }
}

TEST(AntiAliasResampler, DirectCurrentStaysLevelAcrossSmallBuffers) {
    // 500 Hz output in calls of 8 samples (the HID stream's low rate): once
    // the filter has settled, the level holds from one buffer to the next.
    const std::vector<float> input(40000, 0.5f);
    const std::vector<std::size_t> chunks(300, 8);
    const std::vector<float> out = Playback{500.0, 0.0, 400.0}.run(input, chunks);
    ASSERT_EQ(out.size(), 2400u);
    for (std::size_t i = 400; i < out.size(); ++i) ASSERT_NEAR(out[i], 0.5f, 1e-4) << i;
}

TEST(AntiAliasResampler, FilterRestartsWhenItOrThePositionChanges) {
    const std::vector<float> input = noise(20000, 6);
    // The 250 Hz filter for a while, then 200 Hz: from the switch on, the
    // output equals a fresh 200 Hz playback of the rest.
    AntiAliasResampler switched;
    ResampleRequest request;
    std::vector<float> buffer(100);
    request.setInput(input.data(), input.size(), true, 0.0f);
    request.setOutput(buffer.data(), buffer.size());
    request.setRatio(kInputRate, 500.0);
    switched.configure(500.0, 0.0, 400.0, request);
    ASSERT_EQ(switched.process(request), 0);
    ASSERT_EQ(request.inputUsed, 1600u);
    const std::vector<float> rest(input.begin() + 1600, input.end());
    const std::vector<float> afterSwitch = Playback{400.0, 0.0, 400.0}.run(rest, {300}, switched);
    const Playback at400{400.0, 0.0, 400.0};
    EXPECT_EQ(afterSwitch, at400.run(rest, {300}));

    // A read position that does not continue the last call restarts it too.
    const Playback at500{500.0, 0.0, 400.0};
    AntiAliasResampler jumped;
    at500.run(input, {100}, jumped);
    const std::vector<float> elsewhere(input.begin() + 5000, input.end());
    EXPECT_EQ(at500.run(elsewhere, {300}, jumped), at500.run(elsewhere, {300}));
}

TEST(FilteredInput, ReadingBackwardsIsReportedAndGivesZero) {
    enginetest::LogCapture log; // forgets what earlier cases logged
    FilteredInput source;
    source.setFilter(lmc::filterForCutoff(200.0));
    source.setLowPass();
    const std::vector<float> input(64, 0.5f);
    source.setInput(input.data(), input.size(), true, 0.0f);
    const float at20 = source.sampleAt(20);
    EXPECT_GT(at20, 0.0f);
    EXPECT_EQ(source.sampleAt(20), at20);  // the last two stay at hand
    EXPECT_NE(source.sampleAt(19), 0.0f);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(source.sampleAt(10), 0.0f);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(std::tuple(log.lines()[0].level, log.lines()[0].location, log.lines()[0].message),
              std::tuple(4, "filter:49", "Invalid filtered index"));
}

} // namespace
