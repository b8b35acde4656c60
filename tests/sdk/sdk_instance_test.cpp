// The SDK instance over a test backend (the factory seam) and over the
// built-in one (the real constructor, log file included).
#include <algorithm>
#include <atomic>
#include <memory>
#include <cmath>
#include <functional>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "TarvonelSDK.h"
#include "callback_recorder.h"
#include "support/log_capture.h"
#include "sdk/intensity_boost.h"
#include "support/temp_dir.h"
#include "test_handler.h"

using trv::test::CallbackRecorder;
using trv::test::LogCapture;
using trv::test::Report;
using trv::test::TestHandler;

namespace {

// What the factory seam made in this case, in order.
std::mutex gMadeMutex; // guards gMade, gMadeKinds, gKindOfNextHandler
std::vector<TestHandler*> gMade;
std::vector<int32_t> gMadeKinds;
HandlerKind gKindOfNextHandler = -1; // -1: the kind asked for

IHandler* makeTestHandler(int32_t kind, PatternRegistry* registry) {
    if (kind != kHandlerCommands && kind != kHandlerStreaming) return nullptr;
    std::lock_guard lock(gMadeMutex);
    auto* handler = new TestHandler(registry, gKindOfNextHandler >= 0 ? gKindOfNextHandler : kind);
    gKindOfNextHandler = -1;
    gMade.push_back(handler);
    gMadeKinds.push_back(kind);
    return handler;
}

TestHandler& current() {
    std::lock_guard lock(gMadeMutex);
    return *gMade.back();
}

class SdkInstance : public testing::Test {
protected:
    void SetUp() override {
        IHandler::setFactoryForTesting(&makeTestHandler);
        LogCapture::install();
        gMade.clear(), gMadeKinds.clear(), gKindOfNextHandler = -1; // what an earlier case made
    }
    void TearDown() override { IHandler::setFactoryForTesting(nullptr); }

    // The "Command: " lines of the SDK since the last call.
    static std::vector<std::string> commands() {
        std::vector<std::string> out;
        for (const auto& line : LogCapture::take()) {
            if (line.tag == "Tarvonel" && line.text.rfind("Command: ", 0) == 0) {
                EXPECT_EQ(line.level, TRV_LOG_INFO) << line.text;
                out.push_back(line.text);
            }
        }
        return out;
    }
};

std::string pointerText(const void* p) {
    std::ostringstream out;
    out << p;
    return out.str();
}

} // namespace

TEST_F(SdkInstance, EveryCallWritesItsCommandLineExactly) {
    CallbackRecorder recorder; // outlives the instance and its threads
    TarvonelSDK sdk;
    EXPECT_EQ(gMadeKinds, std::vector<int32_t>{kHandlerStreaming});
    LogCapture::take();
    trv_effect_properties_t props;
    props.speed = 0.5f;
    props.heading = 45.0f;
    props.upDownInversion = true;
    props.repeatDelay = 1e-05f;

    sdk.connect(TRV_OUTPUT_WIFI, 12345678);
    ASSERT_TRUE(current().waitForRoutinesEnded(1));
    sdk.scanDevices(TRV_OUTPUT_USB);
    ASSERT_TRUE(current().waitForRoutinesEnded(2));
    sdk.disconnect();
    sdk.getFirstScannedDevice();
    sdk.getTarvonelSerialNumber();
    sdk.getTarvonelSerialNumberAsString();
    sdk.getTarvonelType();
    sdk.getTarvonelVersion();
    sdk.setConnectionCallback(nullptr, nullptr);
    sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    sdk.loadPatternFromJSON("{\"version\": 1}");
    sdk.unloadPattern(3);
    sdk.getPatternIntensityBoost(4);
    sdk.setAccumulationWindowToPattern(1, 2, 0.5f, 3);
    sdk.eraseAccumulationWindowToPattern(5);
    sdk.playEffect(7, props);
    sdk.stopEffect(2, 0.25f);
    sdk.pauseAll();
    sdk.resumeAll();
    sdk.stopAll();
    sdk.getGlobalIntensityBoost();
    sdk.setGlobalIntensityBoost(-50);
    TarvonelSDK::getSDKVersion();
    // These log nothing.
    sdk.connectionStatus();
    sdk.scanStatus();
    sdk.effectState(0);
    sdk.ExperimentalAPI();
    TarvonelSDK::serialNumberToString(1);
    EXPECT_EQ(TarvonelSDK::setLogCallback(nullptr), 0);
    LogCapture::install();

    const std::vector<std::string> expected{
        "Command: connect(3, 12345678)",
        "Command: scanDevices(2)",
        "Command: disconnectDevice()",
        "Command: getFirstScannedDevice()",
        "Command: getTarvonelSerialNumber()",
        "Command: getTarvonelSerialNumberAsString()",
        "Command: getTarvonelType()",
        "Command: getTarvonelVersion()",
        "Command: setConnectionCallback (" + pointerText(nullptr) + ")",
        "Command: setConnectionCallback (" +
            pointerText(reinterpret_cast<void*>(&CallbackRecorder::callback)) + ")",
        "Command: loadPatternFromJSON ## {\"version\": 1}",
        "Command: unloadPattern(ID: 3)",
        "Command: getPatternBoost(ID: 4)",
        "Command: setAccumulation(mainID: 1, fallbackID: 2, timeWin: 0.5, maxAcc: 3)",
        "Command: eraseAccumulationWindow(ID: 5)",
        "Command: playEffect(ID: 7, pr : 5, vol: 100, spd: 0.5, rpc: 1, rpd: 1e-05, pat: 0, md: 0, "
        "boost: 0, override: 0, height: 0, head: 45, tilt: 0, frInv: 0, upInv: 1, riInv: 0, "
        "frAdd: 0, upAdd: 0, riAdd: 0)",
        "Command: stopEffect(ID: 2, fadeTime: 0.25)",
        "Command: pauseAll()",
        "Command: resumeAll()",
        "Command: stopAll()",
        "Command: getGlobalIntensityBoost()",
        "Command: setGlobalIntensityBoost(boost: -50)",
        "Command: getSDKVersion()",
    };
    EXPECT_EQ(commands(), expected);
}

TEST_F(SdkInstance, ForwardsResultsAndKeepsTheRegistryInStep) {
    TarvonelSDK sdk;
    TestHandler& handler = current();
    EXPECT_EQ(std::tuple(sdk.connectionStatus(), sdk.scanStatus()), std::tuple(TRV_STATE_DISCONNECTED, 0));
    EXPECT_EQ(sdk.loadPatternFromJSON("a"), 0);
    EXPECT_EQ(sdk.loadPatternFromJSON("b"), 1);
    EXPECT_EQ(sdk.loadPatternFromJSON("c"), 2);
    EXPECT_EQ(sdk.unloadPattern(2), 0);
    EXPECT_EQ(sdk.unloadPattern(9), TRV_ERROR_CORE_PATTERN_NOT_ALLOCATED); // removes nothing
    handler.loadResult = TRV_ERROR_CORE_INVALID_SPN;
    EXPECT_EQ(sdk.loadPatternFromJSON("bad"), TRV_ERROR_CORE_INVALID_SPN); // adds nothing
    EXPECT_EQ(handler.registryContents(), (PatternRegistry::PatternMap{{0, "a"}, {1, "b"}}));

    EXPECT_EQ(sdk.loadPatternFromJSON(nullptr), TRV_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(sdk.getTarvonelSerialNumber(), 12345678u);
    handler.serialNumber = 0xFFFFFFFFu;
    EXPECT_EQ(sdk.getTarvonelSerialNumberAsString(), "19-96-7295");
    EXPECT_EQ(sdk.getTarvonelVersion(), "2.3.1");
    EXPECT_EQ(sdk.getTarvonelType(), TRV_DEVICE_TYPE_B);
    EXPECT_EQ(sdk.getPatternIntensityBoost(4), 40);
    EXPECT_EQ(sdk.effectState(0), TRV_EFFECT_PLAYING);
    EXPECT_EQ(sdk.effectState(1), TRV_EFFECT_ENDED);
    // The global boost reaches the backend as its linear gain, and back.
    EXPECT_EQ(sdk.setGlobalIntensityBoost(50), 0);
    EXPECT_EQ(handler.lastGainSet, 10);
    handler.gain = 1000;
    EXPECT_EQ(sdk.getGlobalIntensityBoost(), 149);
}
TEST_F(SdkInstance, ConnectAndScanRefuseUnlessDisconnected) {
    CallbackRecorder recorder; // outlives the instance and its threads
    TarvonelSDK sdk;
    sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    TestHandler& handler = current();
    handler.connectSucceeds = true;
    handler.holdConnections(true);
    ASSERT_EQ(sdk.connect(TRV_OUTPUT_ANY, 0), 0);
    LogCapture::take();
    // Connecting: the instance refuses before the handler's guard.
    EXPECT_EQ(sdk.connect(TRV_OUTPUT_ANY, 0), TRV_ERROR_ALREADY_CONNECTED);
    EXPECT_EQ(sdk.scanDevices(TRV_OUTPUT_ANY), TRV_ERROR_ALREADY_CONNECTED);
    EXPECT_EQ(LogCapture::texts("Tarvonel"),
              (std::vector<std::string>{"Command: connect(0, 0)", "A device is already connected.",
                                        "Command: scanDevices(0)",
                                        "A device is already connected."}));
    handler.holdConnections(false);
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(sdk.connect(TRV_OUTPUT_ANY, 0), TRV_ERROR_ALREADY_CONNECTED);
    EXPECT_EQ(sdk.disconnect(), 0);
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(sdk.disconnect(), TRV_ERROR_NO_DEVICE_CONNECTED);
    EXPECT_EQ(handler.connectionStarts, 1);
}

TEST_F(SdkInstance, AHandlerOfAnotherKindIsReplacedAndInheritsTheCallback) {
    gKindOfNextHandler = kHandlerCommands; // as if the board backend was chosen before
    CallbackRecorder recorder; // outlives the instance and its threads
    TarvonelSDK sdk;
    sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    ASSERT_EQ(sdk.loadPatternFromJSON("kept"), 0);
    ASSERT_EQ(sdk.connect(TRV_OUTPUT_USB, 77), 0);
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(gMadeKinds, (std::vector<int32_t>{kHandlerStreaming, kHandlerStreaming}));
    TestHandler& fresh = current();
    EXPECT_EQ(std::tuple(fresh.kind(), fresh.connectionStarts.load()), std::tuple(kHandlerStreaming, 1));
    EXPECT_EQ(recorder.all()[0].serialNumber, 77u);
    ASSERT_TRUE(fresh.waitForRoutinesEnded(1));
    EXPECT_EQ(fresh.reloads().at(0), (PatternRegistry::PatternMap{{0, "kept"}}));
    // The next connect keeps it.
    ASSERT_EQ(sdk.connect(TRV_OUTPUT_USB, 77), 0);
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(gMadeKinds.size(), 2u);
}
TEST_F(SdkInstance, NoBackendChangeFromInsideTheCallback) {
    CallbackRecorder recorder;
    std::mutex resultsMutex; // guards results: a retired worker may still be writing
    std::vector<int32_t> results;
    std::atomic<bool> first{true};
    auto sdk = std::make_unique<TarvonelSDK>();
    sdk->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    TestHandler& handler = current();
    recorder.onReport = [&](const Report&) {
        if (!first.exchange(false)) return;
        handler.reportedKind = kHandlerVyx; // the backend no longer matches
        const int32_t refused = sdk->connect(TRV_OUTPUT_ANY, 0);
        handler.reportedKind = kHandlerStreaming;
        const int32_t reconnected = sdk->connect(TRV_OUTPUT_ANY, 0); // a plain reconnect is fine
        std::lock_guard lock(resultsMutex);
        results = {refused, reconnected};
    };
    ASSERT_EQ(sdk->connect(TRV_OUTPUT_ANY, 0), 0);
    ASSERT_TRUE(recorder.waitFor(2));
    sdk.reset(); // joins every worker
    EXPECT_EQ(results, (std::vector<int32_t>{TRV_ERROR_PROCESS_RUNNING, 0}));
    EXPECT_TRUE(LogCapture::contains("Tarvonel",
                                     "Cannot change the backend from inside the connection callback."));
    EXPECT_EQ(gMade.size(), 1u);
}

TEST_F(SdkInstance, UnavailableBackendKeepsTheCurrentHandler) {
    gKindOfNextHandler = kHandlerVyx;
    TarvonelSDK sdk;
    IHandler::setFactoryForTesting([](int32_t, PatternRegistry*) -> IHandler* { return nullptr; });
    EXPECT_EQ(sdk.connect(TRV_OUTPUT_ANY, 0), TRV_ERROR_OTHER);
    EXPECT_EQ(sdk.scanDevices(TRV_OUTPUT_ANY), TRV_ERROR_OTHER);
    EXPECT_EQ(std::tuple(sdk.connectionStatus(), current().connectionStarts.load()),
              std::tuple(TRV_STATE_DISCONNECTED, 0));
}
TEST_F(SdkInstance, WithoutAnyHandlerEveryCallAnswers) {
    IHandler::setFactoryForTesting([](int32_t, PatternRegistry*) -> IHandler* { return nullptr; });
    TarvonelSDK sdk;
    EXPECT_EQ(std::tuple(sdk.connectionStatus(), sdk.scanStatus(), sdk.getFirstScannedDevice()),
              std::tuple(TRV_STATE_DISCONNECTED, 0, nullptr));
    EXPECT_EQ(sdk.connect(TRV_OUTPUT_ANY, 0), TRV_ERROR_OTHER);
    EXPECT_EQ(sdk.disconnect(), TRV_ERROR_NO_DEVICE_CONNECTED);
    EXPECT_EQ(sdk.getTarvonelSerialNumber(), 0xFFFFFFFFu);
    EXPECT_EQ(sdk.getTarvonelVersion(), "noDeviceConnected");
    for (int32_t result : {sdk.loadPatternFromJSON("x"), sdk.playEffect(0, trv_effect_properties_t()),
                           sdk.setGlobalIntensityBoost(10)})
        EXPECT_EQ(result, TRV_ERROR_OTHER);
    EXPECT_EQ(sdk.effectState(0), TRV_EFFECT_ENDED);
}
TEST_F(SdkInstance, NoExceptionLeavesAMethod) {
    TarvonelSDK sdk;
    current().throwOnOperations = true;
    EXPECT_EQ(sdk.playEffect(0, trv_effect_properties_t()), TRV_ERROR_OTHER);
    EXPECT_EQ(sdk.loadPatternFromJSON("x"), TRV_ERROR_OTHER);
    EXPECT_EQ(sdk.pauseAll(), TRV_ERROR_OTHER);
    EXPECT_EQ(std::tuple(sdk.getTarvonelVersion(), sdk.getTarvonelSerialNumberAsString()), std::tuple("", ""));
    EXPECT_EQ(sdk.getTarvonelSerialNumber(), 0xFFFFFFFFu);
    EXPECT_EQ(sdk.getFirstScannedDevice(), nullptr);
    EXPECT_EQ(sdk.effectState(0), TRV_EFFECT_ENDED);
    EXPECT_EQ(sdk.getGlobalIntensityBoost(), 0);
    EXPECT_TRUE(LogCapture::contains("Tarvonel", "Unexpected failure: test handler failure"));
}
TEST_F(SdkInstance, PlayEffectChecksItsPropertiesBeforeTheBackend) {
    TarvonelSDK sdk;
    TestHandler& handler = current();
    using P = trv_effect_properties_t;
    const auto play = [&](const std::function<void(P&)>& change) {
        P p;
        change(p);
        return sdk.playEffect(0, p);
    };
    std::vector<std::function<void(P&)>> refused{
        [](P& p) { p.priority = 0; },    [](P& p) { p.priority = 11; },
        [](P& p) { p.speed = 0.005f; },  [](P& p) { p.speed = 100.5f; },
        [](P& p) { p.volume = -1.0f; },  [](P& p) { p.volume = 251.0f; },
        [](P& p) { p.overridePatternBoost = true; p.effectBoost = 150; },
        [](P& p) { p.overridePatternBoost = true; p.effectBoost = -101; },
    };
    // Every float property refuses what is not finite.
    for (float P::*field : {&P::volume, &P::speed, &P::repeatDelay, &P::playAtTime, &P::maxDuration, &P::height,
                            &P::heading, &P::tilting})
        for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity()})
            refused.push_back([=](P& p) { p.*field = bad; });
    for (std::size_t i = 0; i < refused.size(); ++i) EXPECT_EQ(play(refused[i]), TRV_ERROR_INVALID_PARAMETER) << i;
    EXPECT_EQ(handler.playCalls, 0);
    const auto texts = LogCapture::texts("Tarvonel");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Invalid parameter: one of the parameter is out of bound."),
              static_cast<long>(refused.size()));

    const std::vector<std::function<void(P&)>> passed{
        [](P& p) { p.priority = 1; },    [](P& p) { p.priority = 10; },
        [](P& p) { p.speed = 0.01f; },   [](P& p) { p.speed = 100.0f; },
        [](P& p) { p.volume = 0.0f; },   [](P& p) { p.volume = 250.0f; },
        [](P& p) { p.effectBoost = 150; }, // not checked without the override
        [](P& p) { p.overridePatternBoost = true; p.effectBoost = -100; },
        [](P& p) { p.overridePatternBoost = true; p.effectBoost = 100; },
        [](P& p) { p.repeatCount = -3; p.height = -5.0f; p.heading = 720.0f; },
    };
    for (std::size_t i = 0; i < passed.size(); ++i) EXPECT_EQ(play(passed[i]), static_cast<int32_t>(i)) << i;
    EXPECT_EQ(handler.playCalls, static_cast<int>(passed.size()));
    EXPECT_EQ(handler.lastProperties.heading, 720.0f); // handed on unchanged
}
// The conversions themselves (the instance applies them, see above).
TEST(IntensityBoost, BoostsBecomeLinearGainsAndBack) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    for (int32_t b = 1; b <= 15; ++b) EXPECT_EQ(boostToGain(b), 1) << b;
    const int32_t top = boostToGain(466);
    EXPECT_GT(top, 2'000'000'000);
    for (const auto& [boost, gain] : {std::pair{20, 2}, {50, 10}, {100, 100}, {150, 1000}, {-100, -100}, {0, 0},
                                      {467, top}, {kMax, top}, {-466, -top}, {kMin, -top}})
        EXPECT_EQ(boostToGain(boost), gain) << boost;
    for (const auto& [gain, boost] : {std::pair{1, 0}, {2, 15}, {10, 50}, {100, 100}, {1000, 149}, {10000, 200},
                                      {-100, -100}, {0, 0}, {kMax, 466}, {kMin, -466}})
        EXPECT_EQ(gainToBoost(gain), boost) << gain;
}
TEST(SerialNumberText, ThreeFieldsJoinedByDashes) {
    for (const auto& [serial, text] : {std::pair{12345678u, "12-34-5678"}, {0u, "00-00-0000"}, {1000000u, "01-00-0000"},
                                       {123456789u, "12-45-6789"}, {4294967295u, "19-96-7295"}, {5000001u, "05-00-0001"}})
        EXPECT_EQ(TarvonelSDK::serialNumberToString(serial), text);
}
// The built-in backend and the real log file.
TEST(SdkInstanceBuiltIn, DefaultLogFileInTheCurrentDirectoryAndOnlyOnce) {
    trv::test::TempDir dir;
    std::filesystem::current_path(dir.path());
    {
        TarvonelSDK sdk;
        EXPECT_EQ(sdk.getTarvonelVersion(), "noDeviceConnected");
        testing::internal::CaptureStdout();
        TarvonelSDK second("");
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed.rfind("Log initialization failed: ", 0), 0u) << printed;
        second.getTarvonelType();
    }
    spdlog::get("TarvonelSDK")->flush();
    const std::string text = trv::test::readFile(dir.path() / "TarvonelLogs" / "TarvonelSDK.log");
    EXPECT_NE(text.find("[Tarvonel] Command: getTarvonelVersion()"), std::string::npos) << text;
    EXPECT_NE(text.find("[Tarvonel] Command: getTarvonelType()"), std::string::npos);
}

TEST(SdkInstanceBuiltIn, FindsNoDeviceAndSaysSoThroughTheCallback) {
    LogCapture::install();
    trv::test::TempDir dir;
    std::filesystem::current_path(dir.path());
    CallbackRecorder recorder;
    {
        TarvonelSDK sdk;
        sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        EXPECT_EQ(sdk.scanDevices(TRV_OUTPUT_ANY), 0);
        ASSERT_TRUE(LogCapture::waitFor("HandlerStreaming", "Scanning routine terminated."));
        EXPECT_EQ(std::tuple(sdk.scanStatus(), sdk.getFirstScannedDevice()), std::tuple(0, nullptr));
        EXPECT_EQ(sdk.connect(TRV_OUTPUT_BLUETOOTH, 12345678), 0);
        ASSERT_TRUE(recorder.waitFor(1));
        EXPECT_EQ(sdk.getTarvonelSerialNumberAsString(), "19-96-7295");
        EXPECT_EQ(sdk.getTarvonelType(), TRV_DEVICE_TYPE_NONE);
        EXPECT_EQ(sdk.loadPatternFromJSON("{}"), TRV_ERROR_CORE_INVALID_SPN);
        EXPECT_EQ(sdk.playEffect(0, trv_effect_properties_t()), TRV_ERROR_CORE_PATTERN_NOT_ALLOCATED);
        EXPECT_EQ(sdk.setGlobalIntensityBoost(50), 0);
        EXPECT_EQ(sdk.getGlobalIntensityBoost(), 50);
        EXPECT_EQ(sdk.disconnect(), TRV_ERROR_NO_DEVICE_CONNECTED);
    }
    const Report report = recorder.all().at(0);
    EXPECT_EQ(std::tuple(report.state, report.error, report.serialNumber),
              std::tuple(TRV_STATE_DISCONNECTED, TRV_ERROR_DEVICE_NOT_REACHABLE, 12345678u));
    // An application callback was set first: no log file.
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "TarvonelLogs"));
}