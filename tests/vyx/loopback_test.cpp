// The capture path and the signal core on synthetic fragments: the mono mix,
// the queue's limits, the pull rules, failures and the volume; and which
// output the capture follows on the test's own PulseAudio server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <signal.h>
#include <limits>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "streaming/streaming_support.h"
#include "support/pulse_daemon.h"
#include "vyx/VyxCore.h"
#include "vyx/VyxLoopback.h"

namespace {

constexpr uint32_t kCaptureRate = 48000;
constexpr uint32_t kBlockFrames = 960; // 20 ms at 48000 Hz

// Interleaved frames of `channels` channels: a kick drum (30 ms of a fading
// 60 Hz sine) every 100 ms, at `level`. Samples are multiples of 2^-10, so
// that mixes of up to 20 equal channels are exact.
std::vector<float> kicks(uint32_t frames, uint32_t channels, float level) {
    constexpr double kPi = 3.14159265358979323846;
    std::vector<float> out(static_cast<std::size_t>(frames) * channels, 0.0f);
    for (uint32_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f % (kCaptureRate / 10)) / kCaptureRate;
        if (t >= 0.03) continue;
        const double kick = level * std::sin(2.0 * kPi * 60.0 * t) * (1.0 - t / 0.03);
        const auto s = static_cast<float>(std::round(kick * 1024.0) / 1024.0);
        for (uint32_t c = 0; c < channels; ++c) out[f * channels + c] = s;
    }
    return out;
}

void pushBlocks(VyxLoopback& loopback, uint32_t blocks, float level = 0.8f) {
    const auto input = kicks(kBlockFrames * blocks, 1, level);
    loopback.push(input.data(), kBlockFrames * blocks, 1);
}

std::vector<double> pull(VyxLoopback& loopback, std::size_t n) {
    std::vector<double> out(n, -2.0);
    loopback.pull(out);
    return out;
}

struct QueueCase {
    const char* name;
    uint32_t blocks;           // 10-sample blocks pushed
    std::vector<std::size_t> pulls;
    std::size_t queuedAfter;
    bool lastPullSilent;       // the last pull found too few samples
};

void PrintTo(const QueueCase& c, std::ostream* os) { *os << c.name; }

class LoopbackQueue : public ::testing::TestWithParam<QueueCase> {};

TEST_P(LoopbackQueue, KeepsItsLimits) {
    const QueueCase& c = GetParam();
    VyxLoopback loopback;
    ASSERT_EQ(loopback.prepareForTesting(kCaptureRate, 500.0), 0);
    pushBlocks(loopback, c.blocks);
    std::vector<double> last;
    for (std::size_t n : c.pulls) last = pull(loopback, n);
    EXPECT_EQ(loopback.queuedSamples(), c.queuedAfter);
    if (!last.empty()) {
        bool silent = true;
        for (double s : last) silent = silent && s == 0.0;
        EXPECT_EQ(silent, c.lastPullSilent);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LoopbackQueue,
    ::testing::Values(QueueCase{"FullQueueDiscards", 51, {}, 500, false},
                      QueueCase{"FiftyBlocksFit", 50, {}, 500, false},
                      QueueCase{"TooFewGiveZerosAndStay", 1, {1, 10}, 9, true},
                      QueueCase{"PullTrimsToTwoBuffers", 5, {10}, 10, false},
                      QueueCase{"EmptyPullStillTrims", 5, {0}, 20, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A buffer longer than fifty blocks (a second of signal) is still filled:
// the queue grows to twice the size of the pulls.
TEST(VyxLoopback, APullLongerThanTheQueueIsFilled) {
    VyxLoopback loopback;
    ASSERT_EQ(loopback.prepareForTesting(kCaptureRate, 500.0), 0);
    EXPECT_EQ(pull(loopback, 1000), std::vector<double>(1000, 0.0));
    pushBlocks(loopback, 210);
    EXPECT_EQ(loopback.queuedSamples(), 2000u);
    EXPECT_NE(pull(loopback, 1000), std::vector<double>(1000, 0.0));
}

// A sound card's largest buffer (1.37 s at 48000 Hz) pulled at the pace of
// real time, from the stream's start, while the blocks (20 ms each) come by
// turns one late and one early. A pull is silent only when the sound pushed and not
// yet played is shorter than the pull: a late block costs no buffer of
// sound that had already come.
TEST(VyxLoopback, ABlockLateSilencesNoBufferOfSoundAlreadyPushed) {
    constexpr std::size_t kPull = VyxLoopback::kMaxPullSamples;
    VyxLoopback loopback;
    ASSERT_EQ(loopback.prepareForTesting(kCaptureRate, 48000.0), 0);
    const std::size_t block = loopback.blockSamples();
    std::size_t pushed = 0; // blocks
    std::size_t played = 0; // samples
    for (std::size_t j = 0; j <= 8; ++j) {
        // The blocks due by pull j: one fewer when j is odd, one more when even.
        const std::size_t due = j == 0 ? 0 : j * kPull / block + 1 - 2 * (j % 2);
        pushBlocks(loopback, static_cast<uint32_t>(due - pushed));
        pushed = due;
        const bool silent = pull(loopback, kPull) == std::vector<double>(kPull, 0.0);
        EXPECT_FALSE(silent && pushed * block - played >= kPull)
            << "pull " << j << ": " << pushed * block - played << " samples pushed and not played, "
            << loopback.queuedSamples() << " queued";
        if (!silent) played += kPull;
    }
    EXPECT_EQ(played, 7 * kPull) << "only the two pulls before a pull's worth had come are silent";
}

TEST(VyxLoopback, MixesTheFramesOwnChannels) {
    VyxLoopback mono, stereo, wide;
    for (VyxLoopback* l : {&mono, &stereo, &wide}) ASSERT_EQ(l->prepareForTesting(kCaptureRate, 500.0), 0);
    const auto reference = kicks(kBlockFrames * 3, 1, 0.125f);
    mono.push(reference.data(), kBlockFrames * 3, 1);
    std::vector<float> pairs;
    for (float s : reference) pairs.insert(pairs.end(), {s * 4.0f, -s * 2.0f}); // (0.5, -0.25) -> 0.125
    stereo.push(pairs.data(), kBlockFrames * 3, 2);
    const auto twenty = kicks(kBlockFrames * 3, 20, 0.125f);
    wide.push(twenty.data(), kBlockFrames * 3, 20);
    const auto expected = pull(mono, 30);
    EXPECT_NE(expected, std::vector<double>(30, 0.0));
    EXPECT_EQ(pull(stereo, 30), expected);
    EXPECT_EQ(pull(wide, 30), expected) << "twenty channels of x mix to x, not x / 6.4";
}

TEST(VyxLoopback, NullSamplesAndAFailedAnalysisGiveSilence) {
    VyxLoopback loopback;
    ASSERT_EQ(loopback.prepareForTesting(kCaptureRate, 500.0), 0);
    loopback.push(nullptr, kBlockFrames, 2);
    EXPECT_EQ(pull(loopback, 10), std::vector<double>(10, 0.0));
    pushBlocks(loopback, 2, 1.0f);
    EXPECT_NE(pull(loopback, 20), std::vector<double>(20, 0.0));
    loopback.failAnalysisForTesting();
    pushBlocks(loopback, 20, 1.0f); // 400 ms of loud kicks that cannot be analysed
    EXPECT_EQ(loopback.blocksFailed(), 20u);
    pull(loopback, 180);
    EXPECT_EQ(pull(loopback, 10), std::vector<double>(10, 0.0)) << "no stuck buzz from the last good token";
}

TEST(VyxLoopback, RestartKeepsTheQueueAndAWrongRateStops) {
    VyxLoopback loopback;
    ASSERT_EQ(loopback.prepareForTesting(kCaptureRate, 500.0), 0);
    pushBlocks(loopback, 3);
    ASSERT_EQ(loopback.restart(1000.0), 0);
    EXPECT_EQ(loopback.blockSamples(), 20u);
    EXPECT_EQ(loopback.queuedSamples(), 30u);
    pushBlocks(loopback, 1);
    EXPECT_EQ(loopback.queuedSamples(), 50u);
    EXPECT_EQ(loopback.restart(22050.0), -17);
    EXPECT_FALSE(loopback.isRunning());
    EXPECT_EQ(loopback.queuedSamples(), 0u);
    EXPECT_EQ(loopback.prepareForTesting(0, 500.0), -17) << "a capture rate of 0 is refused";
}

// Two outputs described "Twin": the capture of one of them, once it broke,
// opens that same output again when it is back, whatever it is listed as by
// then, and never the other twin.
struct TwinCase {
    const char* name;
    const char* device;            // as listed when the capture starts
    std::vector<std::string> gone; // sinks unloaded in this order; the captured one last
};

void PrintTo(const TwinCase& c, std::ostream* os) { *os << c.name; }

class ACaptureOfATwin : public ::testing::TestWithParam<TwinCase> {};

TEST_P(ACaptureOfATwin, ReopensTheSameSink) {
    const TwinCase& c = GetParam();
    const std::vector<trv::test::NullSink> sinks{{"twin1", "Twin", 2, 48000}, {"twin2", "Twin", 2, 48000}};
    trv::test::PulseDaemon server(sinks);
    ASSERT_TRUE(server.started());
    VyxLoopback loopback;
    ASSERT_EQ(loopback.start(500.0, c.device), 0);
    for (const std::string& sink : c.gone) ASSERT_TRUE(server.unloadSink(sink));
    EXPECT_TRUE(trv::test::waitUntil([&] { return loopback.reopenAttempts() >= 2; }, 20.0));
    EXPECT_EQ(loopback.reopens(), 0u) << "the other twin is not taken";

    const std::string captured = c.gone.back();
    ASSERT_TRUE(server.loadSink(captured == "twin1" ? sinks[0] : sinks[1]));
    EXPECT_TRUE(trv::test::waitUntil([&] { return loopback.reopens() == 1; }, 20.0)) << "the same sink, listed by another name now";
    const pid_t player = server.play(captured, trv::test::kickTrain(48000, 10.0, 0.1), 48000);
    const auto loud = [&] {
        const auto out = pull(loopback, 10);
        return std::any_of(out.begin(), out.end(), [](double s) { return std::fabs(s) > 0.05; });
    };
    EXPECT_TRUE(trv::test::waitUntil(loud, 10.0)) << "its sound arrives";
    if (player > 0) ::kill(player, SIGTERM);
    trv::test::PulseDaemon::waitPlayer(player, 5.0);
}

INSTANTIATE_TEST_SUITE_P(
    Twins, ACaptureOfATwin,
    ::testing::Values(TwinCase{"TheFirstGoes", "Twin [Loopback]", {"twin1"}},
                      TwinCase{"TheSecondOutlivesTheFirstAndGoes", "Twin 2 [Loopback]", {"twin1", "twin2"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VyxCore, CaptureAndRenderAllocateNothing) {
    VyxCore core;
    core.setBufferSize(20);
    ASSERT_EQ(core.loopback().prepareForTesting(kCaptureRate, 2000.0), 0);
    const auto input = kicks(kBlockFrames * 60, 2, 0.8f);
    const long long before = allocationCount();
    core.loopback().push(input.data(), kBlockFrames * 60, 2); // past a full queue
    for (int i = 0; i < 100; ++i) core.render();
    EXPECT_EQ(allocationCount(), before);
    EXPECT_GT(core.loopback().blocksDiscarded(), 0u);
}

TEST(VyxCore, VolumeScalesAndLimitsAndRefusesNonFiniteValues) {
    VyxCore core;
    core.setBufferSize(40);
    ASSERT_EQ(core.loopback().prepareForTesting(kCaptureRate, 500.0), 0);
    pushBlocks(core.loopback(), 8, 1.0f);
    EXPECT_TRUE(core.setVolume(1e6f));
    core.render();
    double peak = 0.0;
    for (uint32_t f = 0; f < 40; ++f) {
        EXPECT_LE(std::fabs(core.sample(0, f)), 1.0);
        EXPECT_EQ(core.sample(5, f), core.sample(0, f));
        peak = std::max(peak, std::fabs(core.sample(0, f)));
    }
    EXPECT_EQ(peak, 1.0);
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        EXPECT_FALSE(core.setVolume(bad));
        EXPECT_EQ(core.getVolume(), 0.0f);
    }
    core.render();
    for (uint32_t f = 0; f < 40; ++f) EXPECT_EQ(core.sample(0, f), 0.0);
    EXPECT_TRUE(core.setVolume(-3.0f));
    EXPECT_EQ(core.getVolume(), 0.0f);
}

} // namespace
