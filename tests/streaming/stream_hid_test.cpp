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
        DeviceTimings process;
        process.link.answerTimeoutSeconds = 0.2f;
        process.link.discoveryWindowSeconds = 0.1f;
        process.link.bluetoothSettleSeconds = 0.0f;
        process.link.bluetoothAnswerTimeoutSeconds = 0.2f;
        setProcessDeviceTimings(process); // the transports the stream makes
        StreamTimings timings;
        timings.answerTimeoutSeconds = 0.2f;
        timings.startDelaySeconds = 0.02f;
        timings.silenceTimeoutSeconds = 0.4f;
        // Made inside the namespace: the visualizer's socket belongs to it.
        owned = std::make_unique<TestCore>();
        stream = std::make_unique<StreamHid>(owned.get(), &stateMutex, nullptr, timings);
    }

    void TearDown() override {
        stopRun();
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

    std::mutex stateMutex;
    std::unique_ptr<TestCore> owned;
    std::unique_ptr<StreamHid> stream;
    std::shared_ptr<vestemu::EmulatedVest> vest;
    std::unique_ptr<vestemu::StreamingVest> streaming;
    std::unique_ptr<vestemu::UdpVestAdapter> adapter;
    std::future<int32_t> runResult;
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

TEST_F(HidStream, ForgedDataRequestsBeyondTheVestsRateAreNotAnswered) {
    startVest();
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    startRun();
    ASSERT_TRUE(streaming->waitForFrames(3, 5.0));
    const Ipv4Endpoint host = HidComUdp::parseAddressText(vest->boundPeer().value()).value();
    std::array<uint8_t, streaming::kDataRequestFrameBytes> forged{};
    streaming::writeDataRequest(forged, {0, 10000});
    stampFrameCrc(forged.data(), forged.size());
    const std::vector<uint8_t> datagram(forged.begin(), forged.end());
    const auto before = stream->counters();
    const auto start = std::chrono::steady_clock::now();
    constexpr uint64_t kBatch = 50, kBatches = 20; // small batches: the socket buffer drops nothing
    for (uint64_t batch = 1; batch <= kBatches; ++batch) {
        for (uint64_t i = 0; i < kBatch; ++i) adapter->sendRaw(datagram, host);
        for (int i = 0; i < 200; ++i) {
            const auto now = stream->counters();
            if (now.requests + now.refusedRequests >= before.requests + before.refusedRequests + batch * kBatch) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(stopRun(), 0);
    const auto after = stream->counters();
    const uint64_t answered = after.requests - before.requests;
    // The vest's own 100 requests a second, and the stream's budget.
    EXPECT_LE(answered, 25 + static_cast<uint64_t>(600 * seconds) + 2);
    EXPECT_GE(after.refusedRequests + answered, kBatch * kBatches);
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
    auto clock = std::make_shared<vestemu::ManualVestClock>();
    clock->advanceMicros(3000);
    StreamingOptions options;
    options.requestPeriodSeconds = 0.2; // room to move the clock between two requests
    startVest(options, clock);
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    startRun();
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
    clock->advanceMicros(13000);
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
    for (const auto& r : core().renders) ASSERT_LE(r.frames, 1000u) << "caught up in bounded chunks";
}

TEST_F(HidStream, LiveCoresAreNeverSkippedAhead) {
    auto clock = std::make_shared<vestemu::ManualVestClock>();
    clock->advanceMicros(3000);
    StreamingOptions options;
    options.requestPeriodSeconds = 0.2;
    startVest(options, clock);
    core().patterns = false;
    ASSERT_EQ(stream->connect(TRV_OUTPUT_WIFI, 0), 0);
    startRun();
    ASSERT_TRUE(streaming->waitForFrames(1, 5.0));
    clock->advanceMicros(13000); // a gap that a pattern core catches up
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
