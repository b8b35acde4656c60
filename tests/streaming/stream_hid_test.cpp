// The HID stream against the emulated vest, with a core whose signal is
// known, and the visualizer it updates. Every case runs in a network
// namespace of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "link/bluetooth/bluetooth_backend.h"
#include "link/hid_api.h"
#include "link/hid_com_udp.h"
#include "link/link_timings.h"
#include "lumetra-core/src/lmc_log.h"
#include "sdk/log.h"
#include "platform/udp_socket.h"
#include "streaming/abstract_core.h"
#include "streaming/engine_lock.h"
#include "streaming/stream_hid.h"
#include "support/fresh_network.h"
#include "support/log_capture.h"
#include "support/net_guard.h"
#include "tools/vest-emulator/bluetooth_vest_backend.h"
#include "tools/vest-emulator/hid_vest_adapter.h"
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
        if (engineWarns) lmc::lmc_log(lmc::kLogWarning, "core", 1, "a warning of the engine");
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
    bool engineWarns = false;

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
        // Answers and requests are waited for long enough for a loaded
        // machine; the discovery window is always waited out, so it stays
        // shorter.
        DeviceTimings process;
        process.link.answerTimeoutSeconds = 5.0f;
        process.link.discoveryWindowSeconds = 0.5f;
        process.link.bluetoothSettleSeconds = 0.0f;
        process.link.bluetoothAnswerTimeoutSeconds = 5.0f;
        setProcessDeviceTimings(process); // the transports the stream makes
        StreamTimings timings;
        timings.answerTimeoutSeconds = 5.0f;
        timings.startDelaySeconds = 0.02f;
        timings.silenceTimeoutSeconds = 5.0f;
        // Made inside the namespace: the visualizer's socket belongs to it.
        owned = std::make_unique<TestCore>();
        stream = std::make_unique<StreamHid>(owned.get(), &stateMutex, nullptr, timings);
    }

    void TearDown() override {
        stopRun();
        stream.reset(); // its link is released while the vest still answers
        adapter.reset(); // before the streaming side that its thread calls
        setActiveHidApi(nullptr);
        vestemu::EmulatedHidBus::instance().removeAll();
        setActiveBluetoothBackend(nullptr);
    }

    // The vest, reached over WiFi, or as the only USB or Bluetooth device.
    void startVest(StreamingOptions options = {}, std::shared_ptr<vestemu::VestClock> clock = nullptr,
                   trv_output_t transport = TRV_OUTPUT_WIFI) {
        vest = std::make_shared<vestemu::EmulatedVest>(vestemu::VestIdentity{}, std::move(clock));
        streaming = std::make_unique<vestemu::StreamingVest>(vest, options);
        if (transport == TRV_OUTPUT_USB) {
            vestemu::EmulatedHidBus::instance().addDevice(vest, {});
            setActiveHidApi(&vestemu::EmulatedHidBus::instance().api());
        } else if (transport == TRV_OUTPUT_BLUETOOTH) {
            auto backend = std::make_shared<vestemu::BluetoothVestBackend>();
            BluetoothDeviceRecord record;
            record.address = "00:00:00:00:00:02";
            record.name = "Tarvonel";
            record.authenticated = record.remembered = true;
            backend->addDevice(record, vest);
            setActiveBluetoothBackend(backend);
        } else {
            adapter = std::make_unique<vestemu::UdpVestAdapter>(vest, vestemu::UdpVestOptions{});
        }
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
    // A vest that sends no requests of its own, and the stream running: the
    // case sends them (forgeRequest) at the times it chooses.
    void connectAndRunQuietVest() {
        StreamingOptions options;
        options.silent = true;
        startVest(options);
        ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
        startRun();
        ASSERT_TRUE(streaming->waitForStreaming(true, 10.0)); // its start was answered
        host = HidComUdp::parseAddressText(vest->boundPeer().value()).value();
    }
    // Frames sent from the vest's address, as anyone on its network can.
    void forge(std::vector<uint8_t> frame) {
        stampFrameCrc(frame.data(), frame.size());
        adapter->sendRaw(frame, host);
    }
    void forgeRequest(uint32_t timestamp, uint32_t durationMicros) {
        std::vector<uint8_t> frame(streaming::kDataRequestFrameBytes);
        streaming::writeDataRequest(std::span<uint8_t, streaming::kDataRequestFrameBytes>(frame.data(), frame.size()),
                                    {timestamp, durationMicros});
        forge(std::move(frame));
    }

    std::mutex stateMutex;
    std::unique_ptr<TestCore> owned;
    std::unique_ptr<StreamHid> stream;
    std::shared_ptr<vestemu::EmulatedVest> vest;
    std::unique_ptr<vestemu::StreamingVest> streaming;
    std::unique_ptr<vestemu::UdpVestAdapter> adapter;
    std::future<int32_t> runResult;
    Ipv4Endpoint host{}; // the stream's end, as the vest sees it
};

// Set by the test that watches where engine lines reach the log callback.
std::mutex* gWatchedMutex = nullptr;
std::atomic<int> gEngineLinesUnderLock{0};
std::atomic<int> gEngineLines{0};

void watchEngineLines(trv_log_level_t, const char* tag, const char*) {
    if (std::string(tag) != "LumetraCore") return;
    ++gEngineLines;
    // From another thread: is the state mutex free while the line is told?
    std::thread([] {
        if (!gWatchedMutex->try_lock()) {
            ++gEngineLinesUnderLock;
            return;
        }
        gWatchedMutex->unlock();
    }).join();
}

TEST_F(HidStream, EngineLinesOfARenderReachTheLogCallbackAfterTheLock) {
    startVest();
    core().engineWarns = true;
    installEngineLogHook();
    gWatchedMutex = &stateMutex;
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    setApplicationLogCallback(&watchEngineLines);
    startRun();
    ASSERT_TRUE(streaming->waitForFrames(3, 5.0));
    EXPECT_EQ(stopRun(), 0);
    setApplicationLogCallback(nullptr);
    EXPECT_GE(gEngineLines.load(), 3);
    EXPECT_EQ(gEngineLinesUnderLock.load(), 0);
}

// Frames forged while the vest streams.
class ForgingHidStream : public HidStream {
protected:
    void connectAndRun(StreamingOptions options = {}) {
        startVest(options);
        ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
        startRun();
        ASSERT_TRUE(streaming->waitForFrames(3, 5.0));
        host = HidComUdp::parseAddressText(vest->boundPeer().value()).value();
    }
    // The stream read every frame forged so far: a frame came that answers
    // one of the vest's own requests sent after them, on the same path.
    bool caughtUp() {
        const uint32_t forgedBy = vestNow();
        streaming->clearFrames();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (uint64_t seen = 0; std::chrono::steady_clock::now() < end; ++seen) {
            for (const auto& frame : streaming->frames())
                if (frame.latencySeconds >= 0 && static_cast<int32_t>(frame.timestamp - forgedBy) > 0) return true;
            streaming->waitForFrames(seen + 1, 1.0);
        }
        return false;
    }
    uint32_t vestNow() { return static_cast<uint32_t>(vest->clock().nowMicros()); }
    double renderedSeconds() {
        std::lock_guard lock(stateMutex);
        return core().renderedSeconds;
    }
    static double secondsSince(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

struct PaceCase {
    const char* name;
    double vestPeriodSeconds;     // the vest asks for this span this often
    uint32_t forgedDurationMicros;
};

class ForgedRequestPace : public ForgingHidStream, public ::testing::WithParamInterface<PaceCase> {};

// Whatever span forged requests ask for, the stream answers no more often
// than 1.5 times the pace the vest asks at, plus a burst of 25, and renders
// no more time than that pace allows (a long span costs its length).
TEST_P(ForgedRequestPace, AnswersFollowThePaceTheVestAsksAt) {
    StreamingOptions options;
    options.requestPeriodSeconds = GetParam().vestPeriodSeconds;
    options.requestDurationMicros = static_cast<uint32_t>(GetParam().vestPeriodSeconds * 1e6);
    connectAndRun(options);
    const auto before = stream->counters();
    const double renderedBefore = renderedSeconds();
    const auto start = std::chrono::steady_clock::now();
    constexpr uint64_t kBatch = 50, kBatches = 20; // small batches: the socket buffer drops nothing
    for (uint64_t batch = 1; batch <= kBatches; ++batch) {
        // Timestamp 0 is behind the vest's clock: only the pace refuses them.
        for (uint64_t i = 0; i < kBatch; ++i) forgeRequest(0, GetParam().forgedDurationMicros);
        for (int i = 0; i < 1000; ++i) {
            const auto now = stream->counters();
            if (now.requests + now.refusedRequests >= before.requests + before.refusedRequests + batch * kBatch) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    const double seconds = secondsSince(start);
    EXPECT_EQ(stopRun(), 0);
    const uint64_t answered = stream->counters().requests - before.requests;
    EXPECT_LE(answered, static_cast<uint64_t>(1.5 * seconds / GetParam().vestPeriodSeconds) + 25 + 2);
    EXPECT_EQ(stream->counters().droppedAhead, 0u);
    // Answered spans at 1.5 times real time after the burst, and any
    // catch-up of the vest's own clock, which the host's time bounds.
    EXPECT_LE(renderedSeconds() - renderedBefore, 2.5 * seconds + 25 * GetParam().vestPeriodSeconds + 0.4);
}

INSTANTIATE_TEST_SUITE_P(, ForgedRequestPace,
                         ::testing::Values(PaceCase{"SameSpanAsTheVest", 0.010, 10000},
                                           PaceCase{"EmptySpan", 0.010, 0},
                                           PaceCase{"LongSpan", 0.010, 200000},
                                           PaceCase{"SlowerVest", 0.020, 20000}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ClockCase {
    const char* name;
    int forgeries;             // forged rounds, 50 ms apart
    int64_t firstAheadMicros;  // first forged timestamp, from the vest's clock
    int64_t secondAheadMicros; // a second one, from the first (0: none)
    double silentSeconds;      // the vest sends no requests for this long (its requests are lost)
    bool dropped;              // some requests are dropped
    uint32_t minCaughtUpSamples;
};

class TimestampJump : public ForgingHidStream, public ::testing::WithParamInterface<ClockCase> {};

// A vest's clock cannot run ahead of real time: the effects are caught up
// over a gap in its timestamps only as far as the host's time passed.
TEST_P(TimestampJump, EffectsNeverRunAheadOfTheHostsTime) {
    const ClockCase& c = GetParam();
    StreamTimings timings;
    timings.answerTimeoutSeconds = 5.0f;
    timings.startDelaySeconds = 0.02f;
    stream = std::make_unique<StreamHid>(owned.get(), &stateMutex, nullptr, timings);
    connectAndRun();
    const double renderedBefore = renderedSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < c.forgeries; ++i) {
        const auto first = static_cast<uint32_t>(vestNow() + c.firstAheadMicros);
        forgeRequest(first, 10000);
        if (c.secondAheadMicros != 0) forgeRequest(static_cast<uint32_t>(first + c.secondAheadMicros), 10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (c.silentSeconds > 0) {
        StreamingOptions options;
        options.silent = true;
        streaming->setOptions(options);
        std::this_thread::sleep_for(std::chrono::duration<double>(c.silentSeconds));
        streaming->setOptions({});
    }
    ASSERT_TRUE(caughtUp());
    const double rendered = renderedSeconds() - renderedBefore;
    const double seconds = secondsSince(start);
    EXPECT_EQ(stopRun(), 0);
    const auto counters = stream->counters();
    // Requests answered at 1.5 times the vest's pace at most (after a burst
    // of 0.25 s), and a catch-up of twice the slack at most.
    EXPECT_LE(rendered, 1.5 * seconds + 0.25 + 0.4);
    EXPECT_EQ(counters.droppedAhead > 0, c.dropped);
    EXPECT_GE(counters.fastForwardSamples, c.minCaughtUpSamples);
    std::lock_guard lock(stateMutex);
    for (const auto& r : core().renders) ASSERT_LE(r.frames, 1000u) << "caught up in bounded chunks";
}

INSTANTIATE_TEST_SUITE_P(
    , TimestampJump,
    ::testing::Values(ClockCase{"ForgedPairsFarAhead", 10, 100'000'000, 3'990'000, 0, true, 0},
                      ClockCase{"ForgedPairsFarBehind", 10, -100'000'000, 3'990'000, 0, true, 0},
                      ClockCase{"ForgedInsideTheResyncWindow", 10, 3'990'000, 0, 0, true, 0},
                      // A real vest whose requests were lost for 0.6 s: caught up as today.
                      ClockCase{"LostRequests", 0, 0, 0, 0.6, false, 1000}),
    [](const auto& info) { return std::string(info.param.name); });

// Well-formed frames that nothing asked for, 1000 of them: each kind of line
// at most once a second, and one line a second with the count of the rest.
// (An unasked serial number or slot status takes the same path.)
TEST_F(ForgingHidStream, UnaskedFramesAreCountedNotLoggedFrameByFrame) {
    connectAndRun();
    takeLogs();
    const std::vector<uint8_t> errorAnswer{0xFF, 0xAD, 0xDE, 0xFC, 0, 0};
    const auto start = std::chrono::steady_clock::now();
    for (int batch = 0; batch < 20; ++batch) {
        for (int i = 0; i < 50; ++i) forge(errorAnswer);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(caughtUp());
    const double seconds = secondsSince(start);
    const auto logs = takeLogs();
    int lines = 0;
    for (const auto& line : logs) lines += line.level >= TRV_LOG_DEBUG;
    EXPECT_TRUE(hasLog(logs, "Unknown command received from Tarvonel.", TRV_LOG_ERROR));
    EXPECT_LE(lines, 2 * (static_cast<int>(seconds) + 2));
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

TEST_F(HidStream, UnansweredStartEndsRunWithItsCode) {
    // The unanswered start is waited out: a second, long enough for the
    // answers that do come.
    StreamTimings timings;
    timings.answerTimeoutSeconds = 1.0f;
    timings.startDelaySeconds = 0.02f;
    stream = std::make_unique<StreamHid>(owned.get(), &stateMutex, nullptr, timings);
    // The vest started but its answer is lost: a DataRequest comes in its place.
    startVest();
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    vestemu::Faults faults;
    faults.onlyCommand = 0x14;
    faults.silent = true;
    vest->setFaults(faults);
    startRun();
    EXPECT_EQ(waitRun(10.0), TRV_ERROR_INVALID_MESSAGE);
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
    EXPECT_EQ(waitRun(10.0), TRV_ERROR_DEVICE_NOT_REACHABLE);
}

TEST_F(HidStream, StreamsOverUsbAndBluetooth) {
    for (const trv_output_t transport : {TRV_OUTPUT_USB, TRV_OUTPUT_BLUETOOTH}) {
        SCOPED_TRACE(transport);
        startVest({}, nullptr, transport);
        ASSERT_EQ(stream->connect(transport, 0), 0);
        EXPECT_EQ(stream->getSerialNumber(), 12345678u);
        startRun();
        ASSERT_TRUE(streaming->waitForFrames(3, 5.0));
        for (const auto& frame : streaming->frames())
            for (uint32_t ch = 0; ch < 20; ++ch) ASSERT_FLOAT_EQ(frame.samples[ch], expected(frame.modeByte, ch));
        EXPECT_EQ(stopRun(), 0);
        EXPECT_EQ(streaming->stats().hostStops, 1u);
        streaming.reset();
    }
}

TEST_F(HidStream, TheFirstRequestSetsTheClockAndAGapIsCaughtUpToTheSample) {
    ASSERT_NO_FATAL_FAILURE(connectAndRunQuietVest());
    forgeRequest(3000, 10000); // the vest has been on for 3 ms
    ASSERT_TRUE(streaming->waitForFrames(1, 5.0));
    {
        // The vest's first timestamp is the origin: nothing already playing
        // is skipped at the start of a stream.
        std::lock_guard lock(stateMutex);
        EXPECT_EQ(stream->counters().fastForwardSamples, 0u);
        ASSERT_EQ(core().renders.size(), 1u);
        EXPECT_EQ(core().renders[0].frames, 20u);
    }
    // 10 ms were answered; the next request comes 13 ms later: the 3000 us
    // between are caught up at 2000 Hz, 6 samples, and discarded.
    forgeRequest(16000, 10000);
    ASSERT_TRUE(streaming->waitForFrames(2, 5.0));
    EXPECT_EQ(stopRun(), 0);
    std::lock_guard lock(stateMutex);
    EXPECT_EQ(stream->counters().fastForwardSamples, 6u);
    ASSERT_GE(core().renders.size(), 3u);
    EXPECT_EQ(std::tuple(core().renders[1].rate, core().renders[1].frames), std::tuple(2000.0, 6u));
    EXPECT_EQ(core().renders[2].frames, 20u);
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

// No vest's clock leaps ahead: the request that shows such a leap is
// dropped, the stream's clock follows it, and nothing is skipped.
TEST_F(HidStream, AVestClockLeapingAheadSkipsNothing) {
    ASSERT_NO_FATAL_FAILURE(connectAndRunQuietVest());
    uint32_t vestClock = 100'000'000; // the vest has been on for 100 s
    forgeRequest(vestClock, 10000);
    ASSERT_TRUE(streaming->waitForFrames(1, 5.0));
    // Each leap shows in one request, and the next one at that time is
    // answered; one after the other, the host's time hardly moves.
    streaming->clearFrames();
    std::vector<uint32_t> leapedTo;
    for (const uint32_t leap : {100'000'000u, 2'000'000u}) {
        vestClock += leap;
        leapedTo.push_back(vestClock);
        forgeRequest(vestClock, 10000);
        forgeRequest(vestClock, 10000);
    }
    ASSERT_TRUE(streaming->waitForFrames(2, 5.0));
    std::vector<uint32_t> answered;
    for (const auto& frame : streaming->frames()) answered.push_back(frame.timestamp);
    EXPECT_EQ(answered, leapedTo) << "answered again after each leap";
    EXPECT_EQ(stopRun(), 0);
    const auto counters = stream->counters();
    EXPECT_EQ(std::tuple(counters.droppedAhead, counters.resyncs, counters.fastForwardSamples),
              std::tuple(uint64_t{2}, uint64_t{0}, uint64_t{0}));
    EXPECT_TRUE(hasLog(takeLogs(), "Data requests ahead of the time that passed: 1 dropped.", TRV_LOG_WARNING));
}

TEST_F(HidStream, LiveCoresAreNeverSkippedAhead) {
    core().patterns = false;
    ASSERT_NO_FATAL_FAILURE(connectAndRunQuietVest());
    forgeRequest(3000, 10000);
    ASSERT_TRUE(streaming->waitForFrames(1, 5.0));
    forgeRequest(16000, 10000); // a gap that a pattern core catches up
    ASSERT_TRUE(streaming->waitForFrames(2, 5.0));
    EXPECT_EQ(stopRun(), 0);
    EXPECT_EQ(stream->counters().fastForwardSamples, 0u);
}

// Every 33 ms of rendered time (not of wall time), one update.
TEST_F(HidStream, VisualizerUpdatesAfterEach33msOfRenderedTime) {
    UdpSocket viewer;
    ASSERT_EQ(viewer.open(), 0);
    ASSERT_EQ(viewer.bind(Ipv4Endpoint{0x7F000001, 42193}), 0);
    core().setSampleRate(2000);
    core().setBufferSize(20); // 10 ms per render
    std::vector<std::size_t> updatedAt;
    for (std::size_t render = 1; render <= 12; ++render) {
        {
            std::lock_guard lock(stateMutex);
            if (render == 3) core().enableVisualizer(true); // restarts the count
            core().render();
        }
        core().updateVisualizer(stateMutex);
        std::vector<uint8_t> datagram(2048);
        if (!viewer.waitReadable(0.0f)) continue;
        const DatagramResult got = viewer.receiveFrom(datagram.data(), datagram.size());
        ASSERT_EQ(std::tuple(got.status, got.bytes), std::tuple(SocketStatus::Ok, std::size_t{144}));
        EXPECT_STREQ(reinterpret_cast<const char*>(&datagram[20]), "/tarvonel_viz/3/7");
        updatedAt.push_back(render);
    }
    EXPECT_EQ(updatedAt, (std::vector<std::size_t>{6, 10}));
}

// An update too large for one UDP datagram goes as several bundles.
TEST_F(HidStream, VisualizerSplitsALargeUpdateIntoDatagramsThatFit) {
    UdpSocket viewer;
    ASSERT_EQ(viewer.open(), 0);
    ASSERT_EQ(viewer.bind(Ipv4Endpoint{0x7F000001, 42193}), 0);
    std::vector<VisualizerFrame> frames;
    for (int32_t i = 0; i < 600; ++i) frames.push_back({1000000 + i, i, std::vector<float>(20, 0.5f)});
    Visualizer visualizer;
    visualizer.send(frames);
    EXPECT_EQ(visualizer.sentCount(), 2u);
    std::vector<int32_t> sequences;
    std::vector<uint8_t> datagram(70000);
    while (viewer.waitReadable(0.5f)) {
        const DatagramResult got = viewer.receiveFrom(datagram.data(), datagram.size());
        ASSERT_EQ(got.status, SocketStatus::Ok);
        ASSERT_LE(got.bytes, visualizer_datagram::kMaxDatagramBytes);
        EXPECT_EQ(std::memcmp(datagram.data(), "#bundle", 8), 0);
        // Walk the elements by their size fields.
        for (std::size_t at = visualizer_datagram::kBundleHeaderBytes; at < got.bytes;) {
            const uint32_t size = uint32_t{datagram[at]} << 24 | uint32_t{datagram[at + 1]} << 16 |
                                  uint32_t{datagram[at + 2]} << 8 | datagram[at + 3];
            const std::string address(reinterpret_cast<const char*>(&datagram[at + 4]));
            sequences.push_back(std::stoi(address.substr(address.rfind('/') + 1)));
            at += 4 + size;
        }
    }
    std::vector<int32_t> all(600);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(sequences, all) << "every frame once, in order";
}
} // namespace
