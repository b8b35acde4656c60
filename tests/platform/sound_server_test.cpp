// The sound-server layer against a real PulseAudio server of the test's own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "platform/sound_server.h"
#include "support/pulse_daemon.h"

namespace {

using trv::test::NullSink;
using trv::test::PulseDaemon;

struct Received {
    std::atomic<uint64_t> frames{0};
    std::atomic<uint32_t> channels{0};
    std::atomic<uint64_t> loud{0}; // samples above 0.5
    static void consume(void* user, const float* data, uint32_t frames, uint32_t channels) {
        auto* r = static_cast<Received*>(user);
        r->channels = channels;
        uint64_t loud = 0;
        for (uint32_t i = 0; data && i < frames * channels; ++i) loud += std::fabs(data[i]) > 0.5f;
        r->loud += loud;
        r->frames += frames;
    }
};

bool waitFor(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

const std::vector<NullSink> kSinks{{"speakers", "Speakers", 2, 48000}, {"vest", "Tarvonel_Vest", 20, 44100}};

TEST(SoundServer, ListsEverySinkWithItsMonitorAndTheDefault) {
    PulseDaemon server(kSinks);
    ASSERT_TRUE(server.started());
    const SoundServerListing l = listSoundServerMonitors();
    ASSERT_TRUE(l.reachable) << l.error;
    EXPECT_EQ(l.defaultSink, "speakers");
    ASSERT_EQ(l.monitors.size(), 2u);
    EXPECT_EQ(l.monitors[0].sinkDescription, "Speakers");
    EXPECT_EQ(l.monitors[0].monitorSource, "speakers.monitor");
    EXPECT_EQ(l.monitors[1].sinkDescription, "Tarvonel_Vest");
    EXPECT_EQ(l.monitors[1].channels, 20u);
    EXPECT_EQ(l.monitors[1].rateHz, 44100u);
}

TEST(SoundServer, WithoutAServerNothingIsListedOrOpened) {
    trv::test::TempDir dir;
    ::setenv("PULSE_SERVER", ("unix:" + (dir.path() / "none").string()).c_str(), 1);
    const SoundServerListing l = listSoundServerMonitors();
    EXPECT_FALSE(l.reachable);
    EXPECT_FALSE(l.error.empty());
    SoundServerCapture capture;
    std::string error;
    Received r;
    EXPECT_EQ(capture.open("speakers.monitor", 48000, &Received::consume, &r, error), SoundServerOpen::Refused);
    EXPECT_FALSE(capture.isOpen());
}

TEST(SoundServer, CapturesWhatTheSinkPlaysInTheMonitorsOwnLayout) {
    PulseDaemon server(kSinks);
    ASSERT_TRUE(server.started());
    SoundServerCapture capture;
    std::string error;
    Received r;
    EXPECT_EQ(capture.open("nosuch.monitor", 48000, &Received::consume, &r, error), SoundServerOpen::NoSuchSource);
    ASSERT_EQ(capture.open("vest.monitor", 48000, &Received::consume, &r, error), SoundServerOpen::Opened) << error;
    EXPECT_EQ(capture.channels(), 20u) << "the monitor's 20 channels, not a device maximum";
    const pid_t player = server.play("vest", trv::test::kickTrain(48000, 0.5, 0.05), 48000);
    EXPECT_TRUE(waitFor([&] { return r.loud > 0; }, 5.0)) << "the clicks arrive";
    EXPECT_EQ(r.channels, 20u);
    PulseDaemon::waitPlayer(player, 5.0);
    capture.close();
    const uint64_t after = r.frames;
    // A second capture of the same monitor shows that fragments went on
    // coming after the first one closed.
    SoundServerCapture witness;
    Received w;
    ASSERT_EQ(witness.open("vest.monitor", 48000, &Received::consume, &w, error), SoundServerOpen::Opened) << error;
    EXPECT_TRUE(waitFor([&] { return w.frames >= 9600; }, 10.0)) << "200 ms of fragments";
    EXPECT_EQ(r.frames, after) << "nothing after close";
}

// What breaks a capture: its failed state tells, and a capture opened again
// once the output is back receives again.
enum class Break { ServerStopped, ServerKilled, SinkUnloaded };
constexpr const char* kBreakNames[] = {"ServerStopped", "ServerKilled", "SinkUnloaded"};

class ACaptureNotices : public ::testing::TestWithParam<Break> {};

TEST_P(ACaptureNotices, ItsOutputGoingAndOpensAgainWhenItIsBack) {
    PulseDaemon server(kSinks);
    ASSERT_TRUE(server.started());
    SoundServerCapture capture;
    std::string error;
    Received r;
    ASSERT_EQ(capture.open("speakers.monitor", 44100, &Received::consume, &r, error), SoundServerOpen::Opened) << error;
    EXPECT_FALSE(capture.failed());
    const Break how = GetParam();
    if (how == Break::ServerStopped) server.stop();
    else if (how == Break::ServerKilled) server.kill();
    else ASSERT_TRUE(server.unloadSink("speakers"));
    EXPECT_TRUE(waitFor([&] { return capture.failed(); }, 5.0));
    EXPECT_NE(capture.open("speakers.monitor", 44100, &Received::consume, &r, error), SoundServerOpen::Opened);

    ASSERT_TRUE(how == Break::SinkUnloaded ? server.loadSink(kSinks[0]) : server.restart());
    ASSERT_EQ(capture.open("speakers.monitor", 44100, &Received::consume, &r, error), SoundServerOpen::Opened) << error;
    EXPECT_FALSE(capture.failed());
    const uint64_t before = r.loud;
    const pid_t player = server.play("speakers", trv::test::kickTrain(48000, 0.5, 0.05), 48000);
    EXPECT_TRUE(waitFor([&] { return r.loud > before; }, 5.0)) << "the kicks arrive again";
    PulseDaemon::waitPlayer(player, 5.0);
}

INSTANTIATE_TEST_SUITE_P(Breaks, ACaptureNotices,
                         ::testing::Values(Break::ServerStopped, Break::ServerKilled, Break::SinkUnloaded),
                         [](const auto& info) { return std::string(kBreakNames[static_cast<int>(info.param)]); });

} // namespace
