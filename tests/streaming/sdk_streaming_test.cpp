// The default backend end to end: an application drives TarvonelSDK, the
// streaming handler renders, the HID stream sends over the WiFi transport,
// and the emulated vest decodes what arrives. Every case runs in a network
// namespace of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <sstream>
#include <thread>

#include "sdk/TarvonelSDK.h"
#include "sdk/callback_recorder.h"
#include "streaming_support.h"
#include "support/fresh_network.h"
#include "support/log_capture.h"
#include "support/net_guard.h"

namespace {

using trv::test::CallbackRecorder;
using trv::test::loudActuators;
using trv::test::patternOf;
using trv::test::SampleSpec;
using trv::test::sphereKeys;
using trv::test::totalEnergy;
using trv::test::VestOnLoopback;
using trv::test::weightsKeys;

constexpr uint32_t kSerial = 12345678;

class SdkStreaming : public ::testing::Test {
protected:
    void SetUp() override {
        TRV_REQUIRE_PRIVATE_NETWORK();
        TRV_ENTER_FRESH_NETWORK();
        trv::test::captureLogs(); // the application's callback: no log file
        trv::test::useFastTimings();
        vest = std::make_unique<VestOnLoopback>();
        sdk = std::make_unique<TarvonelSDK>();
        sdk->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    }

    void TearDown() override {
        sdk.reset();
        vest.reset();
    }

    void connect() {
        const std::size_t before = recorder.all().size();
        ASSERT_EQ(sdk->connect(TRV_OUTPUT_WIFI, kSerial), 0);
        ASSERT_TRUE(recorder.waitFor(before + 1));
        const auto report = recorder.all().back();
        ASSERT_EQ(report.state, TRV_STATE_CONNECTED);
        ASSERT_EQ(report.error, 0);
        ASSERT_EQ(report.serialNumber, kSerial);
        ASSERT_TRUE(vest->streaming().waitForStreaming(true, 5.0));
    }

    int32_t load(const std::string& text) { return sdk->loadPatternFromJSON(text.c_str()); }

    // Waits (bounded) until effectState gives `state`.
    bool waitForState(int32_t effect, trv_effect_state_t state, double seconds = 5.0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (sdk->effectState(effect) == state) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    std::set<int> actuatorsOf(int32_t pattern, trv_effect_properties_t properties) {
        const int32_t effect = sdk->playEffect(pattern, properties);
        EXPECT_GE(effect, 0);
        vest->energyOver(3); // frames rendered before the play
        const auto loud = loudActuators(vest->energyOver(15));
        EXPECT_EQ(sdk->stopEffect(effect, 0), 0);
        EXPECT_TRUE(waitForState(effect, TRV_EFFECT_ENDED));
        return loud;
    }

    CallbackRecorder recorder;
    std::unique_ptr<VestOnLoopback> vest;
    std::unique_ptr<TarvonelSDK> sdk;
};

TEST_F(SdkStreaming, ScanConnectPlayAndStopWithAFade) {
    ASSERT_EQ(sdk->scanDevices(TRV_OUTPUT_WIFI), 0);
    for (int i = 0; i < 500 && sdk->scanStatus() == 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(sdk->scanStatus(), 0);
    const trv_device_info_t* found = sdk->getFirstScannedDevice();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->serialNumber, kSerial);
    EXPECT_EQ(found->outputType, TRV_OUTPUT_WIFI);

    connect();
    EXPECT_EQ(sdk->connectionStatus(), TRV_STATE_CONNECTED);
    EXPECT_EQ(sdk->getTarvonelSerialNumber(), kSerial);
    EXPECT_EQ(sdk->getTarvonelVersion(), "1.4.0");
    EXPECT_EQ(sdk->getTarvonelType(), 0x0122FFFFu);

    const int32_t pattern = load(patternOf({0, 0, "[]", weightsKeys({3, 12})}));
    ASSERT_EQ(pattern, 0);
    EXPECT_EQ(totalEnergy(vest->energyOver(5)), 0.0) << "silence before the play";
    const int32_t effect = sdk->playEffect(pattern, trv_effect_properties_t());
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
    ASSERT_TRUE(waitForState(effect, TRV_EFFECT_ENDED));
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
    EXPECT_EQ(sdk->effectState(effect), TRV_EFFECT_ENDED);
    EXPECT_EQ(sdk->effectState(999), TRV_EFFECT_ENDED);

    ASSERT_EQ(sdk->disconnect(), 0);
    ASSERT_TRUE(recorder.waitFor(2));
    const auto report = recorder.all().back();
    EXPECT_EQ(report.state, TRV_STATE_DISCONNECTED);
    EXPECT_EQ(report.error, 0);
    EXPECT_EQ(report.serialNumber, kSerial);
    EXPECT_EQ(sdk->connectionStatus(), TRV_STATE_DISCONNECTED);
    EXPECT_FALSE(vest->vest().boundPeer());
}

TEST_F(SdkStreaming, EnergyFollowsTheVolumeEnvelope) {
    connect();
    // Silent at 0 s, full at 0.6 s, then held.
    const int32_t pattern =
        load(patternOf({0, 0, R"([{"timestamp": 0, "volume": 0}, {"timestamp": 0.6, "volume": 100}])",
                        weightsKeys({5})}));
    ASSERT_GE(pattern, 0);
    vest->streaming().clearFrames();
    ASSERT_GE(sdk->playEffect(pattern, trv_effect_properties_t()), 0);
    ASSERT_TRUE(vest->streaming().waitForFrames(100, 10.0));
    const auto frames = vest->streaming().frames();
    // The level of successive 0.1 s windows from the first sound on.
    std::size_t first = 0;
    while (first < frames.size() && frames[first].channelPeak(5) == 0.0f) ++first;
    ASSERT_LT(first + 80, frames.size());
    std::vector<float> windows;
    for (std::size_t w = 0; w < 8; ++w) {
        float peak = 0;
        for (std::size_t i = first + 10 * w; i < first + 10 * (w + 1); ++i)
            peak = std::max(peak, frames[i].channelPeak(5));
        windows.push_back(peak);
    }
    for (std::size_t w = 1; w < 6; ++w) EXPECT_GT(windows[w], windows[w - 1]) << "rising, window " << w;
    EXPECT_NEAR(windows[7], windows[6], 0.1 * windows[6]) << "held after the last key";
}

TEST_F(SdkStreaming, VolumeSpeedRepetitionAndBoostShapeTheSignal) {
    connect();
    const int32_t endless = load(patternOf({0, 0, "[]", weightsKeys({8})}));
    trv_effect_properties_t props;
    int32_t effect = sdk->playEffect(endless, props);
    vest->energyOver(3);
    const double full = vest->energyOver(20)[8];
    ASSERT_EQ(sdk->stopEffect(effect, 0), 0);
    props.volume = 50;
    effect = sdk->playEffect(endless, props);
    vest->energyOver(3);
    const double half = vest->energyOver(20)[8];
    ASSERT_EQ(sdk->stopEffect(effect, 0), 0);
    EXPECT_NEAR(half / full, 0.25, 0.05) << "half the volume, a quarter of the energy";

    // A boost raises every actuator with the envelope, not only the keyframe's.
    props = trv_effect_properties_t();
    props.overridePatternBoost = true;
    props.effectBoost = 100;
    effect = sdk->playEffect(endless, props);
    vest->energyOver(3);
    EXPECT_EQ(loudActuators(vest->energyOver(10), 0.0).size(), 20u);
    ASSERT_EQ(sdk->stopEffect(effect, 0), 0);

    // One play of the sine lasts 3057 / 8000 s: twice with 0.2 s between
    // them, 0.96 s; at speed 2, 0.19 s.
    const int32_t once = load(patternOf({1, 0, "[]", weightsKeys({8})}));
    const auto soundingSeconds = [&](trv_effect_properties_t p) {
        vest->streaming().clearFrames();
        const int32_t id = sdk->playEffect(once, p);
        EXPECT_TRUE(waitForState(id, TRV_EFFECT_ENDED));
        vest->streaming().waitForFrames(vest->streaming().frames().size() + 5, 2.0);
        double seconds = 0;
        for (const auto& frame : vest->streaming().frames())
            if (frame.channelPeak(8) > 0) seconds += frame.steps / frame.rateHz;
        return seconds;
    };
    EXPECT_NEAR(soundingSeconds(trv_effect_properties_t()), 0.38, 0.05);
    props = trv_effect_properties_t();
    props.repeatCount = 2;
    props.repeatDelay = 0.2f;
    EXPECT_NEAR(soundingSeconds(props), 0.76, 0.08);
    props = trv_effect_properties_t();
    props.speed = 2;
    EXPECT_NEAR(soundingSeconds(props), 0.19, 0.04);
}

TEST_F(SdkStreaming, SpatialPropertiesMoveAndMirrorTheVicinity) {
    connect();
    // A small sphere on actuator 1 (front, lower, right).
    const int32_t pattern = load(patternOf({0, 0, "[]", sphereKeys(0.1039, -0.06, -0.06)}));
    ASSERT_GE(pattern, 0);
    struct Case {
        const char* name;
        void (*apply)(trv_effect_properties_t&);
        std::set<int> expected;
    };
    const Case cases[] = {
        {"none", [](trv_effect_properties_t&) {}, {1}},
        {"front-back inversion", [](trv_effect_properties_t& p) { p.frontBackInversion = true; }, {7}},
        {"up-down inversion", [](trv_effect_properties_t& p) { p.upDownInversion = true; }, {2}},
        {"right-left inversion", [](trv_effect_properties_t& p) { p.rightLeftInversion = true; }, {10}},
        {"front-back addition", [](trv_effect_properties_t& p) { p.frontBackAddition = true; }, {1, 7}},
        {"height", [](trv_effect_properties_t& p) { p.height = 0.5f; }, {2}},
        {"heading", [](trv_effect_properties_t& p) { p.heading = 60.0f; }, {19}},
        {"tilt", [](trv_effect_properties_t& p) { p.tilting = 60.0f; }, {2}},
    };
    for (const Case& c : cases) {
        trv_effect_properties_t props;
        c.apply(props);
        EXPECT_EQ(actuatorsOf(pattern, props), c.expected) << c.name;
    }
}

TEST_F(SdkStreaming, PauseResumeAndStopAll) {
    connect();
    const int32_t pattern = load(patternOf({0, 0, "[]", weightsKeys({0})}));
    const int32_t a = sdk->playEffect(pattern, trv_effect_properties_t());
    const int32_t b = sdk->playEffect(pattern, trv_effect_properties_t());
    ASSERT_GE(b, a + 1);
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
    EXPECT_EQ(sdk->effectState(a), TRV_EFFECT_ENDED);
    EXPECT_EQ(sdk->effectState(b), TRV_EFFECT_ENDED);
    vest->energyOver(3);
    EXPECT_EQ(totalEnergy(vest->energyOver(5)), 0.0);
}

TEST_F(SdkStreaming, EveryEndOfTheStreamReachesTheCallback) {
    connect();
    ASSERT_TRUE(vest->streaming().stopFromVest());
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(recorder.all()[1].state, TRV_STATE_DISCONNECTED);
    EXPECT_EQ(recorder.all()[1].error, 0);
    EXPECT_EQ(recorder.all()[1].serialNumber, kSerial);
    EXPECT_EQ(vest->streaming().stats().vestStopAnswers, 1u);

    connect();
    vestemu::StreamingOptions silent;
    silent.silent = true;
    vest->streaming().setOptions(silent);
    ASSERT_TRUE(recorder.waitFor(4));
    EXPECT_EQ(recorder.all()[3].state, TRV_STATE_DISCONNECTED);
    EXPECT_EQ(recorder.all()[3].error, 0);
    EXPECT_TRUE(trv::test::hasLog(trv::test::takeLogs(), "Stream timeout: now exiting ", TRV_LOG_ERROR));

    vest->streaming().setOptions({});
    connect();
    ASSERT_EQ(sdk->disconnect(), 0);
    ASSERT_TRUE(recorder.waitFor(6));
    EXPECT_EQ(recorder.all()[5].state, TRV_STATE_DISCONNECTED);
    EXPECT_EQ(recorder.all()[5].error, 0);
    EXPECT_EQ(sdk->disconnect(), TRV_ERROR_NO_DEVICE_CONNECTED);
}

TEST_F(SdkStreaming, TheCallbackMayReconnectAndDisconnect) {
    // From inside the callback (the handler's worker thread): a disconnect
    // when connected, a connect when disconnected, once each.
    // The callback outlives this body (the instance's end reports too).
    auto reactions = std::make_shared<std::atomic<int>>(0);
    recorder.onReport = [this, reactions](const trv::test::Report& report) {
        if (reactions->fetch_add(1) >= 2) return;
        if (report.state == TRV_STATE_CONNECTED) EXPECT_EQ(sdk->disconnect(), 0);
        else EXPECT_EQ(sdk->connect(TRV_OUTPUT_WIFI, kSerial), 0);
    };
    ASSERT_EQ(sdk->connect(TRV_OUTPUT_WIFI, kSerial), 0);
    ASSERT_TRUE(recorder.waitFor(3));
    const auto reports = recorder.all();
    EXPECT_EQ(reports[0].state, TRV_STATE_CONNECTED);
    EXPECT_EQ(reports[1].state, TRV_STATE_DISCONNECTED);
    EXPECT_EQ(reports[2].state, TRV_STATE_CONNECTED);
    EXPECT_EQ(sdk->connectionStatus(), TRV_STATE_CONNECTED);
}

TEST_F(SdkStreaming, EveryModeForItsRequestedDuration) {
    connect();
    const int32_t pattern = load(patternOf({0, 0, "[]", weightsKeys({2})}));
    ASSERT_GE(sdk->playEffect(pattern, trv_effect_properties_t()), 0);
    vestemu::StreamingOptions options;
    options.requestPeriodSeconds = 0.005;
    for (const auto& [micros, mode] : {std::pair{10000u, 0x0F}, {20000u, 0x0E}, {40000u, 0x0D},
                                       {90000u, 0x09}, {180000u, 0x05}}) {
        options.requestDurationMicros = micros;
        vest->streaming().setOptions(options);
        vest->streaming().clearFrames();
        ASSERT_TRUE(vest->streaming().waitForFrames(8, 5.0));
        int answered = 0;
        for (const auto& frame : vest->streaming().frames()) {
            if (frame.requestedMicros != micros) continue;
            ++answered;
            EXPECT_EQ(frame.modeByte, mode) << micros;
            EXPECT_EQ(frame.steps, static_cast<uint32_t>(micros * 1e-6 * frame.rateHz)) << micros;
            EXPECT_GT(frame.channelPeak(2), 0.0f) << micros;
        }
        EXPECT_GE(answered, 3) << micros;
    }
}

TEST_F(SdkStreaming, CommandLinesAndPlayChecks) {
    trv::test::takeLogs();
    connect();
    const std::string text = patternOf({1, 0, "[]", weightsKeys({1})});
    const int32_t pattern = load(text);
    trv_effect_properties_t props;
    props.volume = 0.5f;
    props.repeatDelay = 1e-05f;
    const int32_t effect = sdk->playEffect(pattern, props);
    ASSERT_GE(effect, 0);
    sdk->stopEffect(effect, 0.5f);
    sdk->effectState(effect);
    sdk->connectionStatus();
    sdk->scanStatus();
    sdk->pauseAll();
    sdk->resumeAll();
    sdk->stopAll();
    sdk->setGlobalIntensityBoost(20);
    sdk->getGlobalIntensityBoost();
    sdk->getPatternIntensityBoost(pattern);
    sdk->setAccumulationWindowToPattern(pattern, pattern, 0.5f, 2);
    sdk->eraseAccumulationWindowToPattern(pattern);
    sdk->getTarvonelSerialNumber();
    sdk->getTarvonelSerialNumberAsString();
    sdk->getTarvonelVersion();
    sdk->getTarvonelType();
    sdk->unloadPattern(pattern);
    sdk->disconnect();
    ASSERT_TRUE(recorder.waitFor(2));
    sdk->scanDevices(TRV_OUTPUT_WIFI);
    for (int i = 0; i < 500 && sdk->scanStatus() == 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sdk->getFirstScannedDevice();

    std::vector<std::string> commands;
    for (const auto& line : trv::test::takeLogs())
        if (line.tag == "Tarvonel" && line.text.rfind("Command: ", 0) == 0) commands.push_back(line.text);
    const std::vector<std::string> expected{
        "Command: connect(3, 12345678)",
        "Command: loadPatternFromJSON ## " + text,
        "Command: playEffect(ID: 0, pr : 5, vol: 0.5, spd: 1, rpc: 1, rpd: 1e-05, pat: 0, md: 0, boost: 0, "
        "override: 0, height: 0, head: 0, tilt: 0, frInv: 0, upInv: 0, riInv: 0, frAdd: 0, upAdd: 0, riAdd: 0)",
        "Command: stopEffect(ID: 0, fadeTime: 0.5)",
        "Command: pauseAll()",
        "Command: resumeAll()",
        "Command: stopAll()",
        "Command: setGlobalIntensityBoost(boost: 20)",
        "Command: getGlobalIntensityBoost()",
        "Command: getPatternBoost(ID: 0)",
        "Command: setAccumulation(mainID: 0, fallbackID: 0, timeWin: 0.5, maxAcc: 2)",
        "Command: eraseAccumulationWindow(ID: 0)",
        "Command: getTarvonelSerialNumber()",
        "Command: getTarvonelSerialNumberAsString()",
        "Command: getTarvonelVersion()",
        "Command: getTarvonelType()",
        "Command: unloadPattern(ID: 0)",
        "Command: disconnectDevice()",
        "Command: scanDevices(3)",
        "Command: getFirstScannedDevice()",
    };
    EXPECT_EQ(commands, expected);
}

TEST_F(SdkStreaming, PlayChecksRefuseOutOfBoundsAndNonFiniteProperties) {
    const int32_t pattern = load(patternOf({1, 0, "[]", weightsKeys({1})}));
    ASSERT_GE(pattern, 0);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    using Change = void (*)(trv_effect_properties_t&, float, float);
    const Change refused[] = {
        [](trv_effect_properties_t& p, float, float) { p.priority = 0; },
        [](trv_effect_properties_t& p, float, float) { p.priority = 11; },
        [](trv_effect_properties_t& p, float, float) { p.speed = 0.005f; },
        [](trv_effect_properties_t& p, float, float) { p.speed = 100.5f; },
        [](trv_effect_properties_t& p, float, float) { p.volume = -1; },
        [](trv_effect_properties_t& p, float, float) { p.volume = 251; },
        [](trv_effect_properties_t& p, float, float) { p.overridePatternBoost = true; p.effectBoost = 150; },
        [](trv_effect_properties_t& p, float n, float) { p.speed = n; },
        [](trv_effect_properties_t& p, float, float i) { p.volume = i; },
        [](trv_effect_properties_t& p, float n, float) { p.height = n; },
        [](trv_effect_properties_t& p, float, float i) { p.heading = -i; },
        [](trv_effect_properties_t& p, float n, float) { p.maxDuration = n; },
    };
    for (const Change& change : refused) {
        trv_effect_properties_t p;
        change(p, nan, inf);
        EXPECT_EQ(sdk->playEffect(pattern, p), TRV_ERROR_INVALID_PARAMETER);
    }
    const Change accepted[] = {
        [](trv_effect_properties_t& p, float, float) { p.priority = 1; },
        [](trv_effect_properties_t& p, float, float) { p.priority = 10; },
        [](trv_effect_properties_t& p, float, float) { p.speed = 0.01f; },
        [](trv_effect_properties_t& p, float, float) { p.speed = 100; },
        [](trv_effect_properties_t& p, float, float) { p.volume = 0; },
        [](trv_effect_properties_t& p, float, float) { p.volume = 250; },
        [](trv_effect_properties_t& p, float, float) { p.effectBoost = 150; },
    };
    int32_t previous = -1;
    for (const Change& change : accepted) {
        trv_effect_properties_t p;
        change(p, nan, inf);
        const int32_t id = sdk->playEffect(pattern, p);
        EXPECT_EQ(id, previous + 1) << "refused plays take no effect ID";
        previous = id;
    }
    // A negative start time is the engine's refusal, and leaves nothing behind.
    trv_effect_properties_t p;
    p.playAtTime = -1;
    EXPECT_EQ(sdk->playEffect(pattern, p), TRV_ERROR_CORE_INVALID_ARGUMENT);
    EXPECT_EQ(sdk->playEffect(pattern, trv_effect_properties_t()), previous + 1);
}

TEST_F(SdkStreaming, GlobalBoostReadsBackThroughTheRoundedGain) {
    // Boost 20 is the gain 2: stored as 0.02 it must read back as 2, which
    // is boost 15 (not 1, which would be boost 0).
    for (const auto& [set, get] : {std::pair{20, 15}, {50, 50}, {100, 100}, {-100, -100}, {0, 0}, {15, 0}}) {
        ASSERT_EQ(sdk->setGlobalIntensityBoost(set), 0);
        EXPECT_EQ(sdk->getGlobalIntensityBoost(), get) << set;
    }
}

} // namespace
