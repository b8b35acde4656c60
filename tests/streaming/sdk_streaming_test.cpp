// The default backend end to end: an application drives TarvonelSDK, the
// streaming handler renders, the HID stream sends over the WiFi transport,
// and the emulated vest decodes what arrives. The checks of each layer on its
// own (command lines, play checks, boosts, modes, rendering) live with that
// layer; here one case each shows they hold end to end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <limits>
#include <thread>
#include <tuple>

#include "link/link_timings.h"
#include "sdk/TarvonelSDK.h"
#include "sdk/log.h"
#include "streaming_support.h"
#include "support/hostile_host.h"
#include "support/log_capture.h"

namespace {

using namespace trv::test;

class SdkStreaming : public LoopbackStreamingTest {
protected:
    void SetUp() override {
        LoopbackStreamingTest::SetUp();
        sdk = std::make_unique<TarvonelSDK>();
        sdk->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    }
    void TearDown() override {
        sdk.reset();
        LoopbackStreamingTest::TearDown();
    }

    void connect() {
        const std::size_t before = recorder.all().size();
        ASSERT_EQ(sdk->connect(TRV_OUTPUT_WIFI, kVestSerial), 0);
        expectConnected(before);
    }
    int32_t load(const std::string& text) { return sdk->loadPatternFromJSON(text.c_str()); }
    bool ended(int32_t effect) {
        return waitUntil([&] { return sdk->effectState(effect) == TRV_EFFECT_ENDED; });
    }
    // The actuators that sound while the effect plays, after which it stops.
    std::set<int> actuatorsOf(int32_t pattern, trv_effect_properties_t properties) {
        const int32_t effect = sdk->playEffect(pattern, properties);
        EXPECT_GE(effect, 0);
        vest->energyOver(3); // frames rendered before the play
        const auto loud = loudActuators(vest->energyOver(15));
        EXPECT_EQ(sdk->stopEffect(effect, 0), 0);
        EXPECT_TRUE(ended(effect));
        return loud;
    }

    std::unique_ptr<TarvonelSDK> sdk;
};

TEST_F(SdkStreaming, ScanConnectPlayAndStopWithAFade) {
    takeLogs();
    ASSERT_EQ(sdk->scanDevices(TRV_OUTPUT_WIFI), 0);
    ASSERT_TRUE(waitUntil([&] { return sdk->scanStatus() == 0; }));
    const trv_device_info_t* found = sdk->getFirstScannedDevice();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::tuple(found->serialNumber, found->outputType), std::tuple(kVestSerial, TRV_OUTPUT_WIFI));

    connect();
    EXPECT_EQ(sdk->connectionStatus(), TRV_STATE_CONNECTED);
    EXPECT_EQ(sdk->getTarvonelSerialNumber(), kVestSerial);
    EXPECT_EQ(sdk->getTarvonelVersion(), "1.4.0");
    EXPECT_EQ(sdk->getTarvonelType(), 0x0122FFFFu);

    const std::string text = patternOf({0, 0, "[]", weightsKeys({3, 12})});
    const int32_t pattern = load(text);
    ASSERT_EQ(pattern, 0);
    EXPECT_EQ(totalEnergy(vest->energyOver(5)), 0.0) << "silence before the play";
    trv_effect_properties_t props;
    props.volume = 0.5f;
    const int32_t effect = sdk->playEffect(pattern, props);
    ASSERT_GE(effect, 0);
    EXPECT_EQ(sdk->effectState(effect), TRV_EFFECT_PLAYING);
    vest->energyOver(3);
    const auto energy = vest->energyOver(20);
    EXPECT_EQ(loudActuators(energy, 0.0), (std::set<int>{3, 12})) << "only the keyframe's actuators";
    EXPECT_NEAR(energy[3], energy[12], 0.01 * energy[3]);

    // A 0.3 s fade: the effect fades, then ends, and the vest falls silent.
    ASSERT_EQ(sdk->stopEffect(effect, 0.3f), 0);
    EXPECT_EQ(sdk->effectState(effect), TRV_EFFECT_PLAYING);
    vest->streaming().clearFrames();
    ASSERT_TRUE(ended(effect));
    vest->streaming().waitForFrames(40, 5.0);
    const auto frames = vest->streaming().frames();
    ASSERT_GE(frames.size(), 30u);
    float early = 0;
    float late = 0;
    for (std::size_t i = 0; i < 5; ++i) early = std::max(early, frames[i].channelPeak(3));
    for (std::size_t i = 15; i < 20; ++i) late = std::max(late, frames[i].channelPeak(3));
    EXPECT_GT(early, 0.0f);
    EXPECT_LT(late, early) << "the fade lowers the level";
    EXPECT_EQ(frames.back().channelPeak(3), 0.0f) << "and ends in silence";
    EXPECT_EQ(sdk->stopEffect(effect, 0), 0) << "stopping an ended effect is harmless";
    EXPECT_EQ(sdk->effectState(999), TRV_EFFECT_ENDED);

    ASSERT_EQ(sdk->disconnect(), 0);
    ASSERT_TRUE(recorder.waitFor(2));
    const auto report = recorder.all().back();
    EXPECT_EQ(std::tuple(report.state, report.error, report.serialNumber),
              std::tuple(TRV_STATE_DISCONNECTED, 0, kVestSerial));
    EXPECT_FALSE(vest->vest().boundPeer());

    // Each call wrote its command line (every line's text: tests/sdk).
    std::vector<std::string> commands;
    for (const auto& line : takeLogs())
        if (line.tag == "Tarvonel" && line.text.rfind("Command: ", 0) == 0) commands.push_back(line.text);
    EXPECT_EQ(commands, (std::vector<std::string>{
                            "Command: scanDevices(3)", "Command: getFirstScannedDevice()",
                            "Command: connect(3, 12345678)", "Command: getTarvonelSerialNumber()",
                            "Command: getTarvonelVersion()", "Command: getTarvonelType()",
                            "Command: loadPatternFromJSON ## " + text,
                            "Command: playEffect(ID: 0, pr : 5, vol: 0.5, spd: 1, rpc: 1, rpd: 0, pat: 0, md: 0, "
                            "boost: 0, override: 0, height: 0, head: 0, tilt: 0, frInv: 0, upInv: 0, riInv: 0, "
                            "frAdd: 0, upAdd: 0, riAdd: 0)",
                            "Command: stopEffect(ID: 0, fadeTime: 0.3)", "Command: stopEffect(ID: 0, fadeTime: 0)",
                            "Command: disconnectDevice()"}));
}

TEST_F(SdkStreaming, VolumeAndBoostShapeTheSignal) {
    connect();
    const int32_t endless = load(patternOf({0, 0, "[]", weightsKeys({8})}));
    const auto energyWith = [&](trv_effect_properties_t props) {
        const int32_t effect = sdk->playEffect(endless, props);
        vest->energyOver(3);
        const auto energy = vest->energyOver(20);
        EXPECT_EQ(sdk->stopEffect(effect, 0), 0);
        return energy;
    };
    trv_effect_properties_t props;
    const double full = energyWith(props)[8];
    props.volume = 50;
    EXPECT_NEAR(energyWith(props)[8] / full, 0.25, 0.05) << "half the volume, a quarter of the energy";
    // A boost raises every actuator with the envelope, not only the keyframe's.
    props = trv_effect_properties_t();
    props.overridePatternBoost = true;
    props.effectBoost = 100;
    EXPECT_EQ(loudActuators(energyWith(props), 0.0).size(), 20u);
    // The global boost reads back through the engine's rounded gain: boost 20
    // is the gain 2, stored as 0.02, which reads back as boost 15 (not 0).
    ASSERT_EQ(sdk->setGlobalIntensityBoost(20), 0);
    EXPECT_EQ(sdk->getGlobalIntensityBoost(), 15);
}

TEST_F(SdkStreaming, SpatialPropertiesMoveAndMirrorTheVicinity) {
    connect();
    // A small sphere on actuator 1 (front, lower, right).
    const int32_t pattern = load(patternOf({0, 0, "[]", sphereKeys(0.1039, -0.06, -0.06)}));
    ASSERT_GE(pattern, 0);
    using P = trv_effect_properties_t;
    const std::tuple<const char*, void (*)(P&), std::set<int>> cases[] = {
        {"none", [](P&) {}, {1}},
        {"front-back inversion", [](P& p) { p.frontBackInversion = true; }, {7}},
        {"up-down inversion", [](P& p) { p.upDownInversion = true; }, {2}},
        {"right-left inversion", [](P& p) { p.rightLeftInversion = true; }, {10}},
        {"front-back addition", [](P& p) { p.frontBackAddition = true; }, {1, 7}},
        {"height", [](P& p) { p.height = 0.5f; }, {2}},
        {"heading", [](P& p) { p.heading = 60.0f; }, {19}},
        {"tilt", [](P& p) { p.tilting = 60.0f; }, {2}},
    };
    for (const auto& [name, apply, expected] : cases) {
        P props;
        apply(props);
        EXPECT_EQ(actuatorsOf(pattern, props), expected) << name;
    }
}

TEST_F(SdkStreaming, PauseResumeStopAllAndRefusedPlays) {
    connect();
    const int32_t pattern = load(patternOf({0, 0, "[]", weightsKeys({0})}));
    const int32_t a = sdk->playEffect(pattern, trv_effect_properties_t());
    // Refused plays take no effect ID and leave nothing behind: the SDK's
    // checks, and a negative start time, which the engine refuses.
    trv_effect_properties_t refused;
    refused.priority = 0;
    EXPECT_EQ(sdk->playEffect(pattern, refused), TRV_ERROR_INVALID_PARAMETER);
    refused = trv_effect_properties_t();
    refused.playAtTime = -1;
    EXPECT_EQ(sdk->playEffect(pattern, refused), TRV_ERROR_CORE_INVALID_ARGUMENT);
    const int32_t b = sdk->playEffect(pattern, trv_effect_properties_t());
    ASSERT_EQ(b, a + 1);
    vest->energyOver(3);
    EXPECT_GT(vest->energyOver(5)[0], 0.0);
    ASSERT_EQ(sdk->pauseAll(), 0);
    vest->energyOver(3);
    EXPECT_EQ(totalEnergy(vest->energyOver(10)), 0.0) << "paused: silence";
    EXPECT_EQ(sdk->effectState(a), TRV_EFFECT_PLAYING) << "paused effects keep playing";
    ASSERT_EQ(sdk->resumeAll(), 0);
    vest->energyOver(3);
    EXPECT_GT(vest->energyOver(5)[0], 0.0);
    ASSERT_EQ(sdk->stopAll(), 0);
    EXPECT_EQ(std::tuple(sdk->effectState(a), sdk->effectState(b)), std::tuple(TRV_EFFECT_ENDED, TRV_EFFECT_ENDED));
    vest->energyOver(3);
    EXPECT_EQ(totalEnergy(vest->energyOver(5)), 0.0);
}

TEST_F(SdkStreaming, EveryEndOfTheStreamReachesTheCallback) {
    const auto expectEnded = [&](std::size_t reports) {
        ASSERT_TRUE(recorder.waitFor(reports));
        const auto report = recorder.all()[reports - 1];
        EXPECT_EQ(std::tuple(report.state, report.error, report.serialNumber),
                  std::tuple(TRV_STATE_DISCONNECTED, 0, kVestSerial));
    };
    connect();
    ASSERT_TRUE(vest->streaming().stopFromVest());
    expectEnded(2);
    const auto stats = vest->streaming().stats();
    EXPECT_EQ(std::tuple(stats.vestStopAnswers, stats.hostStops), std::tuple(1u, 1u)) << "answered, then stopped";
    EXPECT_FALSE(vest->vest().boundPeer()) << "then released";

    connect();
    vestemu::StreamingOptions silent;
    silent.silent = true;
    vest->streaming().setOptions(silent);
    expectEnded(4);
    EXPECT_TRUE(hasLog(takeLogs(), "Stream timeout: now exiting ", TRV_LOG_ERROR));

    vest->streaming().setOptions({});
    connect();
    ASSERT_EQ(sdk->disconnect(), 0);
    expectEnded(6);
    EXPECT_EQ(sdk->disconnect(), TRV_ERROR_NO_DEVICE_CONNECTED);
}

TEST_F(SdkStreaming, TheCallbackMayReconnectAndDisconnect) {
    // From inside the callback (the handler's worker thread): a disconnect
    // when connected, a connect when disconnected, once each.
    // The callback outlives this body (the instance's end reports too).
    auto reactions = std::make_shared<std::atomic<int>>(0);
    recorder.onReport = [this, reactions](const Report& report) {
        if (reactions->fetch_add(1) >= 2) return;
        if (report.state == TRV_STATE_CONNECTED) EXPECT_EQ(sdk->disconnect(), 0);
        else EXPECT_EQ(sdk->connect(TRV_OUTPUT_WIFI, kVestSerial), 0);
    };
    ASSERT_EQ(sdk->connect(TRV_OUTPUT_WIFI, kVestSerial), 0);
    ASSERT_TRUE(recorder.waitFor(3));
    const auto reports = recorder.all();
    EXPECT_EQ(std::tuple(reports[0].state, reports[1].state, reports[2].state),
              std::tuple(TRV_STATE_CONNECTED, TRV_STATE_DISCONNECTED, TRV_STATE_CONNECTED));
    EXPECT_EQ(sdk->connectionStatus(), TRV_STATE_CONNECTED);
}

TEST_F(SdkStreaming, DestroyingTheInstanceCancelsAScanOfSilentCandidates) {
    DeviceTimings slow = processDeviceTimings(); // uncut, the scan would wait a minute for the silent candidates
    slow.link.answerTimeoutSeconds = 60.0f;
    slow.link.searchSeconds = 120.0f;
    setProcessDeviceTimings(slow);
    trv::test::HostileHost hostile(40, 20);
    ASSERT_EQ(sdk->scanDevices(TRV_OUTPUT_WIFI), 0);
    ASSERT_TRUE(hostile.answerDiscover());
    ASSERT_TRUE(hostile.waitForRequest());
    // Returns once the scan, cut short, has ended (bounded wait).
    auto destroyed = std::async(std::launch::async, [this] { sdk.reset(); });
    EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    destroyed.get();
    EXPECT_EQ(hostile.takeRequests(), 60u); // every candidate asked once, side by side
}

TEST_F(SdkStreaming, SilentHostsAnsweringTheDiscoverFirstDoNotHideTheVest) {
    DeviceTimings timings = processDeviceTimings();
    timings.link.discoveryWindowSeconds = 0.5f; // the vest answers late, yet within it
    setProcessDeviceTimings(timings);
    vestemu::Faults later; // the silent hosts answer first
    later.onlyCommand = 0x10;
    later.delaySeconds = 0.15;
    vest->vest().setFaults(later);
    trv::test::HostileHost hostile(40, 20);
    ASSERT_EQ(sdk->scanDevices(TRV_OUTPUT_WIFI), 0);
    ASSERT_TRUE(hostile.answerDiscover());
    ASSERT_TRUE(waitUntil([&] { return sdk->scanStatus() == 0; }));
    const trv_device_info_t* found = sdk->getFirstScannedDevice();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::tuple(found->serialNumber, found->next), std::tuple(kVestSerial, nullptr));
}

// On both paths the worker still runs the handler after the callback
// returns (the stream, or the end of a failed connection): under ASan a use
// after free shows.
TEST_F(SdkStreaming, AnInstanceMayDestroyItselfInItsConnectionCallback) {
    for (const uint32_t serial : {trv::test::kVestSerial, 99u}) { // connected, then a failed connection
        auto* own = new TarvonelSDK();
        setLogLevel(TRV_LOG_TRACE); // the instance set info
        own->setConnectionCallback(
            [](trv_connection_state_t state, trv_error_t, uint32_t, void* self) {
                auto* sdk = static_cast<TarvonelSDK*>(self);
                // After a failure, a new attempt first: its routine reads the registry.
                if (state == TRV_STATE_DISCONNECTED) sdk->connect(TRV_OUTPUT_WIFI, trv::test::kVestSerial);
                delete sdk;
            },
            own);
        ASSERT_EQ(own->connect(TRV_OUTPUT_WIFI, serial), 0);
        bool destroyed = false;
        for (int i = 0; i < 500 && !destroyed; ++i) {
            destroyed = trv::test::hasLog(trv::test::takeLogs(), "Handler destroyed by its own worker thread.");
            if (!destroyed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(destroyed) << serial;
    }
    // The connections it made were ended as any other: stopped and released.
    EXPECT_GE(vest->streaming().stats().hostStops, 1u);
    EXPECT_FALSE(vest->vest().boundPeer());
}

TEST_F(SdkStreaming, TheVestGetsTheModeOfEachRequestedDuration) {
    connect();
    ASSERT_GE(sdk->playEffect(load(patternOf({0, 0, "[]", weightsKeys({2})})), trv_effect_properties_t()), 0);
    vestemu::StreamingOptions options;
    options.requestPeriodSeconds = 0.005;
    // The shortest and the longest: 16 bits at 2000 Hz, 4 bits at 500 Hz.
    for (const auto& [micros, mode] : {std::pair{10000u, 0x0F}, {180000u, 0x05}}) {
        options.requestDurationMicros = micros;
        vest->streaming().setOptions(options);
        vest->streaming().clearFrames();
        ASSERT_TRUE(vest->streaming().waitForFrames(8, 5.0));
        int answered = 0;
        for (const auto& frame : vest->streaming().frames()) {
            if (frame.requestedMicros != micros) continue; // asked for before the change
            ++answered;
            EXPECT_EQ(frame.modeByte, mode) << micros;
            EXPECT_EQ(frame.steps, static_cast<uint32_t>(micros * 1e-6 * frame.rateHz)) << micros;
            EXPECT_GT(frame.channelPeak(2), 0.0f) << micros;
        }
        EXPECT_GE(answered, 3) << micros;
    }
}

} // namespace
