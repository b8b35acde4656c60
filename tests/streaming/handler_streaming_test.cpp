// The streaming handler through the handler frame, against the emulated
// vest: pattern reloads, accumulation windows, gains and the visualizer.
// Every case runs in a network namespace of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include "platform/udp_socket.h"
#include "sdk/IHandler.h"
#include "sdk/PatternRegistry.h"
#include "sdk/log.h"
#include "streaming_support.h"
#include "support/log_capture.h"

namespace {

using namespace trv::test;

class StreamingHandler : public LoopbackStreamingTest {
protected:
    void SetUp() override {
        LoopbackStreamingTest::SetUp();
        registry.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    }
    void TearDown() override {
        handler.reset();
        LoopbackStreamingTest::TearDown();
    }

    void makeHandler() { handler.reset(IHandler::create(kHandlerStreaming, &registry)); }
    void connect() {
        const std::size_t before = recorder.all().size();
        ASSERT_EQ(handler->connect(TRV_OUTPUT_WIFI, kVestSerial), 0);
        expectConnected(before);
    }
    std::set<int> loudWhilePlaying(int32_t effect) {
        EXPECT_GE(effect, 0);
        vest->energyOver(3);
        const auto loud = loudActuators(vest->energyOver(8));
        handler->stopAll();
        return loud;
    }

    PatternRegistry registry;
    std::unique_ptr<IHandler, void (*)(IHandler*)> handler{nullptr, &IHandler::destroy};
};

TEST_F(StreamingHandler, ConnectionReloadsTheRegistryUnderItsIDs) {
    const std::string onFour = patternOf({0, 0, "[]", weightsKeys({4})});
    const std::string onNine = patternOf({0, 0, "[]", weightsKeys({9})});
    registry.add(4, onFour);
    registry.add(9, onNine);
    registry.add(12, "not a pattern");
    makeHandler();
    // Numbering goes on after the registry's largest ID.
    EXPECT_EQ(handler->loadPatternFromJSON(onFour), 13);
    EXPECT_EQ(handler->playEffect(9, trv_effect_properties_t()), TRV_ERROR_CORE_PATTERN_NOT_ALLOCATED);

    connect();
    auto logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "Pattern ID 4 reloaded.", TRV_LOG_TRACE));
    EXPECT_TRUE(hasLog(logs, "Unable to reload pattern ID 12 : Core - Invalid spn file", TRV_LOG_WARNING));
    EXPECT_EQ(loudWhilePlaying(handler->playEffect(9, trv_effect_properties_t())), (std::set<int>{9}));
    EXPECT_EQ(loudWhilePlaying(handler->playEffect(4, trv_effect_properties_t())), (std::set<int>{4}));

    // A reconnect finds them still loaded: reloaded, not refused.
    ASSERT_EQ(handler->disconnect(), 0);
    ASSERT_TRUE(recorder.waitFor(2));
    connect();
    logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "Pattern ID 9 reloaded.", TRV_LOG_TRACE));
    EXPECT_FALSE(hasLog(logs, "Unable to reload pattern ID 9"));
    EXPECT_EQ(loudWhilePlaying(handler->playEffect(9, trv_effect_properties_t())), (std::set<int>{9}));
}

TEST_F(StreamingHandler, AccumulationWindowPlaysTheFallbackThenRefuses) {
    // Long enough for the plays inside it on a loaded machine.
    constexpr float kWindowSeconds = 2.0f;
    makeHandler();
    const int32_t main = handler->loadPatternFromJSON(patternOf({0, 0, "[]", weightsKeys({0})}));
    const int32_t fallback = handler->loadPatternFromJSON(patternOf({0, 0, "[]", weightsKeys({19})}));
    EXPECT_EQ(handler->setAccumulationWindowToPattern(main, 77, 0.3f, 2), TRV_ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(hasLog(takeLogs(), "Could not set an accumulation window: Pattern ID 77 not found.", TRV_LOG_ERROR));
    EXPECT_EQ(handler->eraseAccumulationWindowToPattern(main), TRV_ERROR_INVALID_PARAMETER);
    ASSERT_EQ(handler->setAccumulationWindowToPattern(main, fallback, kWindowSeconds, 2), 0);
    connect();

    EXPECT_EQ(loudWhilePlaying(handler->playEffect(main, trv_effect_properties_t())), (std::set<int>{0}));
    EXPECT_EQ(loudWhilePlaying(handler->playEffect(main, trv_effect_properties_t())), (std::set<int>{19}));
    // Setting the window again keeps the open window and its count.
    ASSERT_EQ(handler->setAccumulationWindowToPattern(main, fallback, kWindowSeconds, 2), 0);
    EXPECT_GE(handler->playEffect(main, trv_effect_properties_t()), 0);
    EXPECT_EQ(handler->playEffect(main, trv_effect_properties_t()), TRV_ERROR_PLAY_IGNORED);
    handler->stopAll();
    // The window is measured on the steady clock: plays are refused until
    // it has passed, then the main pattern plays again.
    int32_t after = TRV_ERROR_PLAY_IGNORED;
    ASSERT_TRUE(waitUntil([&] { return (after = handler->playEffect(main, trv_effect_properties_t())) !=
                                       TRV_ERROR_PLAY_IGNORED; }, 10.0));
    EXPECT_EQ(loudWhilePlaying(after), (std::set<int>{0}));

    ASSERT_EQ(handler->unloadPattern(fallback), 0);
    EXPECT_EQ(handler->playEffect(main, trv_effect_properties_t()), TRV_ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(hasLog(takeLogs(), "Accumulation not set, the fallback pattern does not exist.", TRV_LOG_WARNING));
    EXPECT_EQ(handler->eraseAccumulationWindowToPattern(main), 0);
    EXPECT_GE(handler->playEffect(main, trv_effect_properties_t()), 0);
}

TEST_F(StreamingHandler, GainsReadBackAsGiven) {
    makeHandler();
    for (int32_t gain = -1000; gain <= 1000; ++gain) {
        ASSERT_EQ(handler->setGlobalIntensityBoost(gain), 0);
        ASSERT_EQ(handler->getGlobalIntensityBoost(), gain);
    }
    for (int32_t gain : {100000, 1000000000, std::numeric_limits<int32_t>::max(),
                         std::numeric_limits<int32_t>::min()}) {
        ASSERT_EQ(handler->setGlobalIntensityBoost(gain), 0);
        // Single precision keeps 24 bits; the largest gains saturate.
        EXPECT_NEAR(handler->getGlobalIntensityBoost(), gain, std::abs(gain / 1e6)) << gain;
    }
}

TEST_F(StreamingHandler, PatternBoostIsReportedOnThePublicScale) {
    makeHandler();
    const auto boostOf = [&](int patternBoost) {
        return handler->getPatternIntensityBoost(
            handler->loadPatternFromJSON(patternOf({1, 0, "[]", weightsKeys({0})}, patternBoost)));
    };
    EXPECT_EQ(boostOf(100), 100);
    EXPECT_EQ(boostOf(10), 50);
    EXPECT_EQ(boostOf(0), 0);
    EXPECT_EQ(boostOf(-100), -100);
    EXPECT_EQ(handler->getPatternIntensityBoost(555), 0);
}

TEST_F(StreamingHandler, VisualizerCarriesOnlyThePlayingEffects) {
    UdpSocket viewer;
    ASSERT_EQ(viewer.open(), 0);
    ASSERT_EQ(viewer.bind(Ipv4Endpoint{0x7F000001, 42193}), 0);
    makeHandler();
    handler->enableVisualizer(true);
    connect();

    // Hundreds of short effects (10 ms each) come and go.
    const int32_t shortOne = handler->loadPatternFromJSON(patternOf({1, 0.01, "[]", weightsKeys({6})}));
    const int32_t endless = handler->loadPatternFromJSON(patternOf({0, 0, "[]", weightsKeys({6, 15})}));
    int32_t first = -1;
    int32_t last = -1;
    for (int i = 0; i < 600; ++i) {
        last = handler->playEffect(shortOne, trv_effect_properties_t());
        ASSERT_GE(last, 0);
        if (first < 0) first = last;
    }
    ASSERT_TRUE(waitUntil([&] { return handler->effectState(last) == TRV_EFFECT_ENDED; }));
    for (int32_t id = first; id <= last; ++id) ASSERT_EQ(handler->effectState(id), TRV_EFFECT_ENDED) << id;
    takeLogs();
    EXPECT_EQ(handler->stopEffect(first, 0.1f), 0) << "an ended effect stops harmlessly";
    EXPECT_FALSE(hasLog(takeLogs(), "entry not allocated")) << "and quietly";

    const int32_t playing = handler->playEffect(endless, trv_effect_properties_t());
    ASSERT_GE(playing, 0);
    const std::string address = "/tarvonel_viz/" + std::to_string(endless) + "/" + std::to_string(playing);
    std::vector<uint8_t> datagram(70000);
    const auto be32 = [&](std::size_t at) {
        return uint32_t{datagram[at]} << 24 | uint32_t{datagram[at + 1]} << 16 | uint32_t{datagram[at + 2]} << 8 |
               datagram[at + 3];
    };
    const std::size_t addressBytes = (address.size() + 4) & ~std::size_t{3};
    const std::size_t tags = 20 + addressBytes;
    const auto weightOf = [&](int actuator) { return std::bit_cast<float>(be32(tags + 24 + 4 * actuator)); };
    // The first update may come before the effect's first render: wait for
    // one that carries its level.
    bool sounding = false;
    for (int i = 0; i < 100 && !sounding; ++i) {
        ASSERT_TRUE(viewer.waitReadable(5.0f));
        const DatagramResult got = viewer.receiveFrom(datagram.data(), datagram.size());
        ASSERT_EQ(got.status, SocketStatus::Ok);
        if (got.bytes <= 20 || address != reinterpret_cast<const char*>(&datagram[20])) continue;
        // One element: the playing effect, none of the 600 that ended.
        ASSERT_EQ(got.bytes, 16u + 4u + addressBytes + 24u + 80u);
        EXPECT_EQ(std::memcmp(datagram.data(), "#bundle", 8), 0);
        EXPECT_EQ(be32(16), got.bytes - 20u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&datagram[tags])), "," + std::string(20, 'f'));
        sounding = weightOf(6) > 0;
    }
    ASSERT_TRUE(sounding);
    for (int a = 0; a < 20; ++a) {
        if (a == 6 || a == 15) EXPECT_GT(weightOf(a), 0.1f) << a;
        else EXPECT_EQ(weightOf(a), 0.0f) << a;
    }
}

IHandler* gReentered = nullptr;
std::atomic<int> gEngineLines{0};

void reenteringLogCallback(trv_log_level_t, const char* tag, const char*) {
    if (std::string(tag) != "LumetraCore" || gReentered == nullptr) return;
    ++gEngineLines;
    gReentered->getGlobalIntensityBoost(); // takes the handler's state mutex
}

TEST_F(StreamingHandler, EngineLinesReachTheLogCallbackOutsideTheLock) {
    makeHandler();
    gReentered = handler.get();
    setApplicationLogCallback(&reenteringLogCallback);
    // Unknown IDs make the engine warn while the handler holds its mutex.
    EXPECT_EQ(handler->stopEffect(999, 0), TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED);
    EXPECT_EQ(handler->effectState(998), TRV_EFFECT_ENDED);
    EXPECT_EQ(handler->loadPatternFromJSON("{}"), TRV_ERROR_CORE_INVALID_SPN);
    EXPECT_GE(gEngineLines.load(), 3);
    gReentered = nullptr;
}

} // namespace
