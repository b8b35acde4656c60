// The HID stream against the emulated vest over the WiFi transport, with a
// core whose signal is known. Every case runs in a network namespace of its
// own.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "link/link_timings.h"
#include "platform/udp_socket.h"
#include "streaming/abstract_core.h"
#include "streaming/stream_hid.h"
#include "support/fresh_network.h"
#include "support/log_capture.h"
#include "support/net_guard.h"
#include "tools/vest-emulator/streaming_vest.h"
#include "tools/vest-emulator/udp_vest_adapter.h"

namespace {

using trv::test::hasLog;
using trv::test::takeLogs;
using vestemu::StreamingOptions;

// Channel c carries the constant level (c + 1) / 25; records its renders.
class TestCore final : public AbstractCore {
public:
    explicit TestCore(uint32_t channels = 20) : channels_(channels) {}

    uint32_t channelCount() const override { return channels_; }
    uint32_t bufferSize() const override { return frames_; }
    void setBufferSize(uint32_t frames) override { frames_ = frames == 0 ? 1 : frames; }
    double sampleRate() const override { return rate_; }
    void setSampleRate(double hz) override { rate_ = hz; }
    void render() override {
        renders.push_back({rate_, frames_});
        renderedSeconds += frames_ / rate_;
        elapsed_ += frames_ / rate_;
    }
    double sample(uint32_t channel, uint32_t) const override { return level(channel); }
    bool rendersPatterns() const override { return patterns; }
    void collectVisualizerFrames(std::vector<VisualizerFrame>& frames) override {
        frames.assign(1, VisualizerFrame{3, 7, std::vector<float>(channels_, 0.25f)});
        frames[0].weights[0] = 1.0f;
    }
    void resetElapsed() override { elapsed_ = 0; }
    double elapsed() const override { return elapsed_; }

    static double level(uint32_t channel) { return (channel + 1) / 25.0; }

    struct Render {
        double rate;
        uint32_t frames;
    };
    // Written by the stream thread under the test's mutex.
    std::vector<Render> renders;
    double renderedSeconds = 0;
    bool patterns = true;

private:
    uint32_t channels_;
    uint32_t frames_ = 512;
    double rate_ = 48000;
    double elapsed_ = 0;
};

// What the vest reads back of channel ch at a mode's sample width.
float expected(uint8_t mode, uint32_t ch) {
    const double level = TestCore::level(ch);
    switch (mode & 0x03) {
    case streaming::kWidth16Bit: return streaming::expand16(streaming::quantize16(level));
    case streaming::kWidth8Bit: return streaming::expand8(streaming::compand8(level));
    default: return streaming::expand4(streaming::compand4(level));
    }
}

class HidStream : public ::testing::Test {
protected:
    void SetUp() override {
        TRV_REQUIRE_PRIVATE_NETWORK();
        TRV_ENTER_FRESH_NETWORK();
        trv::test::captureLogs();
        LinkTimings link;
        link.answerTimeoutSeconds = 0.2f;
        link.discoveryWindowSeconds = 0.1f;
        setProcessLinkTimings(link);
        StreamTimings timings;
        timings.answerTimeoutSeconds = 0.2f;
        timings.startDelaySeconds = 0.02f;
        timings.silenceTimeoutSeconds = 0.4f;
        setProcessStreamTimings(timings);
        // Made inside the namespace: the visualizer's socket belongs to it.
        owned = std::make_unique<TestCore>();
        stream = std::make_unique<StreamHid>(owned.get(), &stateMutex, nullptr);
    }

    void TearDown() override {
        stopRun();
        adapter.reset(); // before the streaming side that its thread calls
    }

    void startVest(StreamingOptions options = {}, std::shared_ptr<vestemu::VestClock> clock = nullptr) {
        vest = std::make_shared<vestemu::EmulatedVest>(vestemu::VestIdentity{}, std::move(clock));
        streaming = std::make_unique<vestemu::StreamingVest>(vest, options);
        adapter = std::make_unique<vestemu::UdpVestAdapter>(vest, vestemu::UdpVestOptions{});
    }

    void startRun() {
        runResult = std::async(std::launch::async, [this] { return stream->run(); });
    }
    int32_t stopRun() {
        if (!runResult.valid()) return 0;
        stream->stop();
        const int32_t r = runResult.get();
        stream->resetCounters();
        return r;
    }
    TestCore& core() { return *owned; }
    int32_t waitRun(double seconds) {
        if (runResult.wait_for(std::chrono::duration<double>(seconds)) != std::future_status::ready) return 1;
        return runResult.get();
    }

    std::mutex stateMutex;
    std::unique_ptr<TestCore> owned;
    std::unique_ptr<StreamHid> stream;
    std::shared_ptr<vestemu::EmulatedVest> vest;
    std::unique_ptr<vestemu::StreamingVest> streaming;
    std::unique_ptr<vestemu::UdpVestAdapter> adapter;
    std::future<int32_t> runResult;
};

TEST_F(HidStream, HandshakeReadsTheVestsIdentity) {
    startVest();
    EXPECT_EQ(stream->getSerialNumber(), 0xFFFFFFFFu);
    EXPECT_EQ(stream->getVersion(), "noDeviceConnected");
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    EXPECT_EQ(stream->getSerialNumber(), 12345678u);
    EXPECT_EQ(stream->getVersion(), "1.4.0");
    EXPECT_EQ(stream->getDeviceType(), 0x0122FFFFu);
    EXPECT_EQ(streaming->stats().configRequests, 1u);
}

TEST_F(HidStream, RefusedStreamConfigurationFailsTheConnection) {
    StreamingOptions options;
    options.configStatus = static_cast<uint8_t>(-4);
    startVest(options);
    EXPECT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), TRV_ERROR_DEVICE_NOT_REACHABLE);
    auto logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "The received message had invalid parameters.", TRV_LOG_ERROR));
    EXPECT_TRUE(hasLog(logs, "Device found but could not communicate properly with it.", TRV_LOG_WARNING));

    // No entries per step: nothing could be encoded; refused at the handshake.
    options.configStatus = 0;
    options.entriesPerStep = 0;
    streaming->setOptions(options);
    EXPECT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), TRV_ERROR_DEVICE_NOT_REACHABLE);
    EXPECT_TRUE(hasLog(takeLogs(), "The device asked for 0 sample entries per time step.", TRV_LOG_ERROR));
}

TEST_F(HidStream, EveryModeAnswersItsRequestedDuration) {
    StreamingOptions options;
    options.requestPeriodSeconds = 0.005;
    startVest(options);
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    startRun();
    struct Case {
        uint32_t micros;
        uint8_t mode;
        uint32_t steps;
    };
    for (const Case& c : {Case{10000, 0x0F, 20}, Case{20000, 0x0E, 40}, Case{30000, 0x0D, 60},
                          Case{80000, 0x09, 80}, Case{150000, 0x05, 75}, Case{250000, 0x05, 100}}) {
        options.requestDurationMicros = c.micros;
        streaming->setOptions(options);
        streaming->clearFrames();
        ASSERT_TRUE(streaming->waitForFrames(8, 5.0)) << c.micros;
        int answered = 0;
        for (const auto& frame : streaming->frames()) {
            // Frames of the previous duration may still have been on their way.
            if (frame.requestedMicros != c.micros) continue;
            ++answered;
            ASSERT_EQ(frame.modeByte, c.mode) << c.micros;
            ASSERT_EQ(frame.steps, c.steps) << c.micros;
            ASSERT_EQ(frame.requestedMicros, c.micros);
            for (uint32_t ch = 0; ch < 20; ++ch)
                ASSERT_FLOAT_EQ(frame.samples[(frame.steps - 1) * 20 + ch], expected(c.mode, ch))
                    << "mode " << int(c.mode) << " channel " << ch;
        }
        EXPECT_GE(answered, 4) << c.micros;
    }
    EXPECT_EQ(stopRun(), 0);
    EXPECT_EQ(streaming->stats().framesRefused, 0u);
    EXPECT_TRUE(hasLog(takeLogs(), "A request exceeded the encoding capacity: should not be happening",
                       TRV_LOG_WARNING));
}

TEST_F(HidStream, OtherEntryCountsFitTheFrame) {
    for (uint8_t n : {1, 7, 19, 21, 255}) {
        StreamingOptions options;
        options.entriesPerStep = n;
        options.requestPeriodSeconds = 0.005;
        options.requestDurationMicros = 150000; // the most steps at 4 bits
        startVest(options);
        ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0) << int(n);
        startRun();
        ASSERT_TRUE(streaming->waitForFrames(3, 5.0)) << int(n);
        options.requestDurationMicros = 10000;
        streaming->setOptions(options);
        streaming->clearFrames();
        ASSERT_TRUE(streaming->waitForFrames(6, 5.0)) << int(n);
        EXPECT_EQ(stopRun(), 0);
        EXPECT_EQ(streaming->stats().framesRefused, 0u) << int(n);
        for (const auto& frame : streaming->frames()) {
            ASSERT_GT(frame.steps, 0u);
            if (frame.requestedMicros != 10000) continue;
            // Channels beyond N are not carried.
            for (uint32_t ch = n; ch < 20; ++ch) ASSERT_EQ(frame.samples[ch], 0.0f);
            ASSERT_FLOAT_EQ(frame.samples[0], expected(frame.modeByte, 0));
        }
        adapter.reset();
        streaming.reset();
    }
}

TEST_F(HidStream, EitherSideStopsTheStream) {
    startVest();
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    startRun();
    ASSERT_TRUE(streaming->waitForFrames(2, 5.0));
    ASSERT_TRUE(streaming->stopFromVest());
    EXPECT_EQ(waitRun(5.0), 0);
    auto stats = streaming->stats();
    EXPECT_EQ(stats.vestStopAnswers, 1u) << "the host answers the vest's StopStream";
    EXPECT_EQ(stats.hostStops, 1u) << "and sends its own";
    EXPECT_FALSE(vest->boundPeer()) << "then releases the vest";

    stream->resetCounters();
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    startRun();
    ASSERT_TRUE(streaming->waitForStreaming(true, 5.0));
    EXPECT_EQ(stopRun(), 0);
    EXPECT_EQ(streaming->stats().hostStops, 2u);
    EXPECT_FALSE(streaming->streaming());
}

TEST_F(HidStream, SilenceEndsTheStream) {
    StreamingOptions options;
    options.silent = true;
    startVest(options);
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    startRun();
    EXPECT_EQ(waitRun(5.0), 0);
    EXPECT_TRUE(hasLog(takeLogs(), "Stream timeout: now exiting ", TRV_LOG_ERROR));
    EXPECT_EQ(streaming->stats().hostStops, 1u);
}

TEST_F(HidStream, UnansweredStartEndsRunWithItsCode) {
    // The vest started but its answer is lost: a DataRequest comes in its place.
    startVest();
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    vestemu::Faults faults;
    faults.onlyCommand = 0x14;
    faults.silent = true;
    vest->setFaults(faults);
    startRun();
    EXPECT_EQ(waitRun(5.0), TRV_ERROR_INVALID_MESSAGE);
    EXPECT_TRUE(hasLog(takeLogs(), "Could not start stream: ", TRV_LOG_ERROR));
    stream->resetCounters();

    // Nothing at all comes back.
    StreamingOptions options;
    options.silent = true;
    streaming->setOptions(options);
    vest->setFaults({});
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    vest->setFaults(faults);
    startRun();
    EXPECT_EQ(waitRun(5.0), TRV_ERROR_DEVICE_NOT_REACHABLE);
}

TEST_F(HidStream, TheFirstRequestSetsTheClockAndLaterGapsAreCaughtUp) {
    auto clock = std::make_shared<vestemu::ManualVestClock>();
    clock->advanceMicros(3000);
    StreamingOptions options;
    options.requestPeriodSeconds = 0.005;
    startVest(options, clock);
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    startRun();
    ASSERT_TRUE(streaming->waitForFrames(3, 5.0));
    {
        std::lock_guard lock(stateMutex);
        ASSERT_GE(core().renders.size(), 3u);
        // The vest's first timestamp is the origin: nothing already playing
        // is skipped at the start of a stream.
        EXPECT_EQ(stream->counters().fastForwardSamples, 0u);
        // The clock stands still: every later request repeats the timestamp
        // and is answered without any catch-up.
        for (const auto& r : core().renders) EXPECT_EQ(r.frames, 20u);
        EXPECT_GE(stream->counters().skippedBackward, 1u);
    }
    // The vest jumps 1 s ahead: the gap beyond what was rendered is caught
    // up at 2000 Hz, in bounded chunks, and discarded.
    clock->advanceMicros(1'000'000);
    streaming->clearFrames();
    ASSERT_TRUE(streaming->waitForFrames(2, 5.0));
    EXPECT_EQ(stopRun(), 0);
    std::lock_guard lock(stateMutex);
    EXPECT_GT(stream->counters().fastForwardSamples, 0u);
    EXPECT_LT(stream->counters().fastForwardSamples, 2000u);
    bool caughtUp = false;
    for (const auto& r : core().renders)
        if (r.rate == 2000.0 && r.frames != 20u) caughtUp = true;
    EXPECT_TRUE(caughtUp);
}

TEST_F(HidStream, RepeatedOrBackwardTimestampsRenderNoBacklog) {
    StreamingOptions options;
    options.requestPeriodSeconds = 0.005;
    options.requestDurationMicros = 5000;
    options.repeatTimestampEvery = 3;
    options.backwardTimestampEvery = 5;
    options.backwardMicros = 20000;
    startVest(options);
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    const auto start = std::chrono::steady_clock::now();
    startRun();
    ASSERT_TRUE(streaming->waitForFrames(40, 10.0));
    EXPECT_EQ(stopRun(), 0);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::lock_guard lock(stateMutex);
    // A difference taken modulo 2^32 would render about 2^32 us here.
    EXPECT_LT(core().renderedSeconds, wall + 1.0);
    EXPECT_GT(stream->counters().skippedBackward, 0u);
    for (const auto& r : core().renders) ASSERT_LE(r.frames, 1000u) << "catch-up in bounded chunks";
}

TEST_F(HidStream, FarTimestampResynchronisesInsteadOfRendering) {
    auto clock = std::make_shared<vestemu::ManualVestClock>();
    clock->advanceMicros(100'000'000); // the vest has been on for 100 s
    startVest({}, clock);
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    startRun();
    ASSERT_TRUE(streaming->waitForFrames(2, 5.0));
    clock->advanceMicros(100'000'000); // far ahead: the clock is resynchronised
    streaming->clearFrames();
    ASSERT_TRUE(streaming->waitForFrames(2, 5.0));
    clock->advanceMicros(2'000'000); // a 2 s gap is caught up, in chunks
    streaming->clearFrames();
    ASSERT_TRUE(streaming->waitForFrames(2, 5.0));
    EXPECT_EQ(stopRun(), 0);
    EXPECT_EQ(stream->counters().resyncs, 1u);
    // 2 s less the requests answered in between, which advanced the clock.
    EXPECT_GT(stream->counters().fastForwardSamples, 3000u);
    EXPECT_LE(stream->counters().fastForwardSamples, 4000u - 20u);
    std::lock_guard lock(stateMutex);
    EXPECT_LT(core().renderedSeconds, 3.0);
}

TEST_F(HidStream, LiveCoresAreNeverSkippedAhead) {
    auto clock = std::make_shared<vestemu::ManualVestClock>();
    clock->advanceMicros(3000);
    startVest({}, clock);
    core().patterns = false;
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    startRun();
    ASSERT_TRUE(streaming->waitForFrames(1, 5.0));
    EXPECT_EQ(stopRun(), 0);
    std::lock_guard lock(stateMutex);
    EXPECT_EQ(core().renders.at(0).frames, 20u);
}

TEST_F(HidStream, VisualizerSendsAfterRenderedBuffers) {
    UdpSocket viewer;
    ASSERT_EQ(viewer.open(), 0);
    ASSERT_EQ(viewer.bind(Ipv4Endpoint{0x7F000001, 42193}), 0);
    {
        std::lock_guard lock(stateMutex);
        core().enableVisualizer(true);
    }
    StreamingOptions options;
    options.requestPeriodSeconds = 0.005;
    startVest(options);
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    startRun();
    ASSERT_TRUE(viewer.waitReadable(5.0f));
    std::vector<uint8_t> datagram(2048);
    const DatagramResult got = viewer.receiveFrom(datagram.data(), datagram.size());
    EXPECT_EQ(stopRun(), 0);
    ASSERT_EQ(got.status, SocketStatus::Ok);
    ASSERT_EQ(got.bytes, 144u);
    EXPECT_EQ(std::memcmp(datagram.data(), "#bundle", 8), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(&datagram[20]), "/tarvonel_viz/3/7");
    EXPECT_EQ(datagram[64], 0x3F);
    EXPECT_EQ(datagram[65], 0x80);
}

TEST_F(HidStream, ScanListsTheVest) {
    EXPECT_EQ(stream->scanDevices(TRV_OUTPUT_WIFI), 0);
    EXPECT_EQ(stream->getScannedDevices(), nullptr);
    EXPECT_TRUE(hasLog(takeLogs(), "Cannot get scanned devices: no Tarvonel device found.", TRV_LOG_WARNING));
    startVest();
    EXPECT_EQ(stream->scanDevices(TRV_OUTPUT_ANY), 0);
    trv_device_info_t* first = stream->getScannedDevices();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->outputType, TRV_OUTPUT_WIFI);
    EXPECT_EQ(first->serialNumber, 12345678u);
    EXPECT_STREQ(first->deviceVersion, "1.4.0");
    EXPECT_EQ(first->next, nullptr);
    // The scanned address is tried first by the next connect.
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 12345678), 0);
}

} // namespace
