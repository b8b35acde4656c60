// Audio-to-haptics end to end: sound played into a sink of the test's own
// PulseAudio server is captured from its monitor, turned into a haptic
// signal and streamed over WiFi to the emulated vest.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <signal.h>
#include <string>
#include <string_view>
#include <vector>
#include <thread>

#include "sdk/PatternRegistry.h"
#include "sdk/TarvonelSDK.h"
#include "sdk/callback_recorder.h"
#include "sdk/tarvonel.h"
#include "streaming/streaming_support.h"
#include "support/fresh_network.h"
#include "support/log_capture.h"
#include "support/net_guard.h"
#include "support/alsa_test_devices.h"
#include "support/pulse_daemon.h"
#include "vyx/HandlerVYX.h"

namespace {

using trv::test::CallbackRecorder;
using trv::test::NullSink;
using trv::test::PulseDaemon;
using trv::test::totalEnergy;

constexpr uint32_t kSerial = 12345678;

class AudioToHaptics : public ::testing::Test {
protected:
    void start(const std::vector<NullSink>& sinks) {
        TRV_REQUIRE_PRIVATE_NETWORK();
        TRV_ENTER_FRESH_NETWORK();
        trv::test::captureLogs();
        trv::test::useFastTimings();
        server = std::make_unique<PulseDaemon>(sinks);
        ASSERT_TRUE(server->started());
        vest = std::make_unique<trv::test::VestOnLoopback>();
        sdk = std::make_unique<TarvonelSDK>();
        sdk->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    }
    void SetUp() override { start({{"speakers", "Speakers", 2, 48000}, {"vest", "Tarvonel_Vest", 20, 48000}}); }
    void TearDown() override {
        sdk.reset();
        vest.reset();
    }

    // Waits for the next report and checks it.
    void expectReport(trv_connection_state_t state, trv_error_t error, uint32_t serial = kSerial) {
        ASSERT_TRUE(recorder.waitFor(++reports, std::chrono::seconds(60)));
        const auto r = recorder.all().back();
        EXPECT_EQ(r.state, state);
        EXPECT_EQ(r.error, error);
        EXPECT_EQ(r.serialNumber, serial);
    }
    // Holds the loss warning on the capture's watcher (holdOnLoss) while
    // the application disconnects and connects again: the watcher is let
    // go, still in the callback. True once the new connection is reported.
    bool reconnectWhileHeld(int handle, bool untilFreed);
    // A fresh instance through the C interface, in place of the fixture's,
    // connected to the speakers.
    int connectNewInstance() {
        sdk.reset();
        const int handle = trv_createSDKInstance(nullptr);
        EXPECT_GE(handle, 0);
        EXPECT_EQ(trv_setConnectionCallback(handle, &CallbackRecorder::callback, &recorder), 0);
        EXPECT_EQ(trv_exp_connectVyx(handle, TRV_OUTPUT_WIFI, kSerial, "Speakers"), 0);
        expectReport(TRV_STATE_CONNECTED, 0);
        return handle;
    }
    void connectVyx(const char* device) {
        ASSERT_EQ(sdk->ExperimentalAPI().connectVyx(TRV_OUTPUT_WIFI, kSerial, device), 0);
        expectReport(TRV_STATE_CONNECTED, 0);
        ASSERT_TRUE(vest->streaming().waitForStreaming(true, 5.0));
    }
    // Energy on the vest of a kick train played into the speakers, whole.
    double energyOfClicks(const std::string& sink = "speakers", int rateHz = 48000) {
        vest->streaming().clearFrames();
        const pid_t player = server->play(sink, trv::test::kickTrain(rateHz, 1.0, 0.1), rateHz);
        PulseDaemon::waitPlayer(player, 5.0);
        vest->streaming().waitForFrames(vest->streaming().frames().size() + 30, 5.0); // the tail
        return totalEnergy(vest->streaming().energy());
    }
    // Loudest sample the vest received since the last kick train began. Unlike the
    // energy, it does not depend on how much of the train the capture window held.
    double peak() {
        double loudest = 0.0;
        for (const auto& frame : vest->streaming().frames())
            for (float s : frame.samples) loudest = std::max(loudest, std::fabs(double(s)));
        return loudest;
    }

    std::size_t reports = 0;
    CallbackRecorder recorder;
    std::unique_ptr<PulseDaemon> server;
    std::unique_ptr<trv::test::VestOnLoopback> vest;
    std::unique_ptr<TarvonelSDK> sdk;
};

TEST_F(AudioToHaptics, WhatTheSpeakersPlayIsFeltOnEveryActuator) {
    const char** names = nullptr;
    int count = 0;
    ASSERT_EQ(ExperimentalTarvonelSDK::getLoopbackDevicesNames(names, count), 0);
    ASSERT_EQ(count, 1) << "the vest's own output is left out";
    EXPECT_STREQ(names[0], "Speakers [Loopback]");

    ExperimentalTarvonelSDK exp = sdk->ExperimentalAPI();
    connectVyx(nullptr);
    EXPECT_EQ(exp.getVyxVolume(), 1.0f);
    EXPECT_EQ(totalEnergy(vest->energyOver(30)), 0.0) << "silence gives silence";
    const double full = energyOfClicks();
    const double fullPeak = peak();
    ASSERT_GT(full, 0.0) << "clicks give transients";
    for (const auto& frame : vest->streaming().frames())
        for (std::size_t i = 0; i < frame.samples.size(); ++i)
            ASSERT_EQ(frame.samples[i], frame.samples[i - i % 20]) << "20 identical channels";

    exp.setVyxVolume(0.5f);
    energyOfClicks();
    // Half the amplitude; a loud full-volume peak may have been clipped at 1.
    EXPECT_NEAR(peak() / fullPeak, 0.5, 0.12) << "half the volume, half the amplitude";
    exp.setVyxVolume(1.0f);
    ASSERT_EQ(exp.setVyxPreset(3), 0); // Smooth: no rumble
    EXPECT_EQ(exp.getVyxPreset(), 3);
    const double smooth = energyOfClicks();
    EXPECT_GT(std::fabs(smooth / full - 1.0), 0.2) << "the preset changes the signal while running";

    ASSERT_EQ(sdk->disconnect(), 0);
    expectReport(TRV_STATE_DISCONNECTED, 0);
    connectVyx("Speakers");
    EXPECT_EQ(exp.getVyxPreset(), 3) << "the handler and its settings are kept";
}

TEST_F(AudioToHaptics, PatternsOnlyLiveInTheStreamingMode) {
    const std::string text = trv::test::patternOf({0, 0, "[]", trv::test::weightsKeys({3})});
    const int32_t pattern = sdk->loadPatternFromJSON(text.c_str());
    ASSERT_EQ(pattern, 0);
    connectVyx("Spea");
    EXPECT_EQ(sdk->loadPatternFromJSON(text.c_str()), 0);
    EXPECT_EQ(sdk->unloadPattern(0), 0);
    EXPECT_EQ(sdk->playEffect(0, trv_effect_properties_t()), -1);
    ASSERT_EQ(sdk->disconnect(), 0);
    expectReport(TRV_STATE_DISCONNECTED, 0);

    ASSERT_EQ(sdk->connect(TRV_OUTPUT_WIFI, kSerial), 0); // back to the streaming handler
    expectReport(TRV_STATE_CONNECTED, 0);
    EXPECT_GE(sdk->playEffect(pattern, trv_effect_properties_t()), 0) << "pattern 0 survived, reloaded";
    EXPECT_EQ(sdk->ExperimentalAPI().getVyxVolume(), 0.0f);
    EXPECT_EQ(sdk->ExperimentalAPI().setVyxPreset(1), -17);
}

TEST_F(AudioToHaptics, RefusalsAndACaptureThatCannotStart) {
    ExperimentalTarvonelSDK exp = sdk->ExperimentalAPI();
    EXPECT_EQ(exp.connectVyx(TRV_OUTPUT_WIFI, kSerial, "Headphones"), -2);
    EXPECT_EQ(exp.setVyxPreset(4), -2);
    EXPECT_EQ(exp.setVyxPreset(1), -17) << "the handler was not replaced";

    PatternRegistry registry;
    registry.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    HandlerVYX handler(&registry);
    handler.setLoopbackDevice("Gone [Loopback]");
    ASSERT_EQ(handler.connect(TRV_OUTPUT_WIFI, kSerial), 0);
    expectReport(TRV_STATE_DISCONNECTED, -2);
    EXPECT_EQ(vest->streaming().stats().starts, 0u) << "no silent connection is left up";

    // A monitor at a rate VYX-fx does not take is captured at the nearest one.
    VyxLoopback& loopback = handler.coreForTesting().loopback();
    server.reset();
    server = std::make_unique<PulseDaemon>(std::vector<NullSink>{{"slow", "Slow", 1, 22050}});
    ASSERT_TRUE(server->started());
    EXPECT_EQ(loopback.start(500.0, "Slow [Loopback]"), 0);
    loopback.stop();
    loopback.flushLog();
    EXPECT_TRUE(trv::test::hasLog(trv::test::takeLogs(), "captured at 16000 Hz"));
    server.reset();
    EXPECT_EQ(loopback.start(500.0, "Slow [Loopback]"), -15) << "no sound server";
    const char** names = nullptr;
    int count = 7;
    EXPECT_EQ(ExperimentalTarvonelSDK::getLoopbackDevicesNames(names, count), -4);
    EXPECT_EQ(count, 7) << "nothing written";
}

TEST_F(AudioToHaptics, ConnectVyxAudioPlaysTheSignalOnASoundCard) {
    trv::test::AlsaTestDevices devices;
    devices.addOutput(trv::test::kVestPcm);
    devices.install();
    trv_audio_settings_t settings;
    settings.deviceName = trv::test::kVestPcm;
    settings.audioAPI = "ALSA";
    settings.nbStreamChannels = 20;
    settings.sampleRate = 22050; // VYX-fx synthesises at no such rate
    ExperimentalTarvonelSDK exp = sdk->ExperimentalAPI();
    ASSERT_EQ(exp.connectVyxAudio(eCustomDevice, settings, "Speakers"), 0);
    expectReport(TRV_STATE_DISCONNECTED, -17, 0xFFFFFFFFu);
    settings.sampleRate = 48000;
    ASSERT_EQ(exp.connectVyxAudio(eCustomDevice, settings, "Speakers"), 0);
    expectReport(TRV_STATE_CONNECTED, 0, 0xFFFFFFFFu);
    EXPECT_EQ(exp.getVyxVolume(), 1.0f);
    const auto file = [&] { return devices.playedFile(trv::test::kVestPcm, 20, 48000); };
    for (int i = 0; i < 5000 && (file().empty() || std::filesystem::file_size(file()) < 1000000); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(sdk->disconnect(), 0);
    expectReport(TRV_STATE_DISCONNECTED, 0, 0xFFFFFFFFu);
    const std::vector<float> played = devices.played(trv::test::kVestPcm, 20, 48000, 4800);
    ASSERT_EQ(played.size(), 4800u * 20u) << "twenty channels at 48000 Hz";
    for (std::size_t i = 0; i < played.size(); ++i) ASSERT_EQ(played[i], played[i - i % 20]);
    trv_audio_settings_t bad = settings;
    for (uint32_t size : {0u, 65537u}) {
        bad.bufferSize = size;
        EXPECT_EQ(exp.connectVyxAudio(eCustomDevice, bad, "Speakers"), -2) << size;
    }
}

// The kick is felt through an output at any rate and channel count (the
// server resamples and the capture mixes), and through the second of two
// outputs that share a description, captured by its own name.
struct OutputCase {
    const char* name;
    std::vector<NullSink> sinks; // the kick plays into the last
    const char* device;
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

class AudioToHapticsOutputs : public AudioToHaptics, public ::testing::WithParamInterface<OutputCase> {
protected:
    void SetUp() override { start(GetParam().sinks); }
};

TEST_P(AudioToHapticsOutputs, TheKickIsFelt) {
    const NullSink& played = GetParam().sinks.back();
    connectVyx(GetParam().device);
    energyOfClicks(played.name, played.rateHz);
    EXPECT_GT(peak(), 0.2) << "a kick played into " << played.name << " at " << played.rateHz << " Hz";
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, AudioToHapticsOutputs,
    ::testing::Values(OutputCase{"Mono11025", {{"speakers", "Speakers", 1, 11025}}, "Speakers"},
                      OutputCase{"Six44100", {{"speakers", "Speakers", 6, 44100}}, "Speakers"},
                      OutputCase{"Eight96000", {{"speakers", "Speakers", 8, 96000}}, "Speakers"},
                      OutputCase{"SecondTwin", {{"left", "Twin", 2, 48000}, {"right", "Twin", 2, 48000}},
                                 "Twin 2 [Loopback]"}),
    [](const auto& info) { return std::string(info.param.name); });

// Outputs that share a description are listed under distinct names.
struct NamesCase {
    const char* name;
    std::vector<std::string> descriptions; // of the server's outputs, in order
    std::vector<std::string> listed;       // the loopback devices, the vest left out
};

void PrintTo(const NamesCase& c, std::ostream* os) { *os << c.name; }

class LoopbackNames : public ::testing::TestWithParam<NamesCase> {};

TEST_P(LoopbackNames, AreDistinct) {
    trv::test::captureLogs();
    std::vector<NullSink> sinks;
    for (const std::string& d : GetParam().descriptions)
        sinks.push_back({"sink" + std::to_string(sinks.size()), d, 2, 48000});
    PulseDaemon server(sinks);
    ASSERT_TRUE(server.started());
    const char** names = nullptr;
    int count = 0;
    ASSERT_EQ(ExperimentalTarvonelSDK::getLoopbackDevicesNames(names, count), 0);
    EXPECT_EQ(std::vector<std::string>(names, names + count), GetParam().listed);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, LoopbackNames,
    ::testing::Values(
        NamesCase{"UniqueOnesAsTheyWere", {"Speakers", "Headphones"}, {"Speakers [Loopback]", "Headphones [Loopback]"}},
        NamesCase{"Triplets", {"Twin", "Tarvonel_Vest", "Twin", "Twin"},
                  {"Twin [Loopback]", "Twin 2 [Loopback]", "Twin 3 [Loopback]"}},
        NamesCase{"ANumberAlreadyTaken", {"Twin", "Twin 2", "Twin"},
                  {"Twin [Loopback]", "Twin 2 [Loopback]", "Twin 3 [Loopback]"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A capture that breaks during a connection (the server killed, or the
// output's sink unloaded): the vest plays silence, one warning says so, and
// the capture comes back when its output does.
class CaptureLoss : public AudioToHaptics, public ::testing::WithParamInterface<bool> {};

TEST_P(CaptureLoss, SilenceOneWarningAndTheSoundBack) {
    const bool serverKilled = GetParam();
    PatternRegistry registry;
    registry.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    HandlerVYX handler(&registry);
    handler.setLoopbackDevice("Speakers [Loopback]");
    ASSERT_EQ(handler.connect(TRV_OUTPUT_WIFI, kSerial), 0);
    expectReport(TRV_STATE_CONNECTED, 0);
    ASSERT_TRUE(vest->streaming().waitForStreaming(true, 5.0));
    energyOfClicks();
    ASSERT_GT(peak(), 0.2) << "felt before the loss";
    VyxLoopback& loopback = handler.coreForTesting().loopback();
    trv::test::takeLogs();

    if (serverKilled) server->kill();
    else ASSERT_TRUE(server->unloadSink("speakers"));
    // Several tries to reopen while the output is away.
    EXPECT_TRUE(trv::test::waitUntil([&] { return loopback.reopenAttempts() >= 3; }, 20.0));
    EXPECT_TRUE(loopback.captureBroken());
    EXPECT_EQ(handler.connectionStatus(), TRV_STATE_CONNECTED) << "the vest stream runs on";
    EXPECT_EQ(recorder.all().size(), reports) << "no report: nothing the application must act on";
    EXPECT_EQ(totalEnergy(vest->energyOver(30)), 0.0) << "silence meanwhile";

    ASSERT_TRUE(serverKilled ? server->restart() : server->loadSink({"speakers", "Speakers", 2, 48000}));
    vest->streaming().clearFrames();
    const pid_t player = server->play("speakers", trv::test::kickTrain(48000, 20.0, 0.1), 48000);
    // The kicks already play: the vest follows as soon as the capture is
    // back and the test server's null sink has woken to the new client.
    const bool felt = trv::test::waitUntil([&] { return peak() > 0.2; }, 20.0);
    if (player > 0) ::kill(player, SIGTERM);
    PulseDaemon::waitPlayer(player, 5.0);
    EXPECT_TRUE(felt) << "the vest follows the sound again";
    EXPECT_FALSE(loopback.captureBroken());

    const auto lines = trv::test::takeLogs();
    EXPECT_EQ(trv::test::countLogs(lines, "Lost the capture of loopback device Speakers [Loopback]"), 1)
        << "one warning, not one per try";
    EXPECT_TRUE(trv::test::hasLog(lines, "Lost the capture", TRV_LOG_WARNING));
    EXPECT_TRUE(trv::test::hasLog(lines, "Loopback device Speakers [Loopback] captured again.", TRV_LOG_INFO));
    ASSERT_EQ(handler.disconnect(), 0);
    expectReport(TRV_STATE_DISCONNECTED, 0);
}

INSTANTIATE_TEST_SUITE_P(Outputs, CaptureLoss, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "ServerKilledAndRestarted" : "SinkUnloadedAndLoaded");
});

// An application that frees its instance from the log callback when the
// capture is lost: the callback runs on the capture's watcher, which must
// neither be waited for by the teardown nor touch the freed capture.
std::atomic<int> gFreeOnLoss{-1};
std::atomic<bool> gFreedOnLoss{false};

void freeOnLoss(trv_log_level_t, const char*, const char* text) {
    if (std::string_view(text).find("Lost the capture") == std::string_view::npos) return;
    const int handle = gFreeOnLoss.exchange(-1);
    if (handle < 0) return;
    trv_freeSDKInstance(handle);
    gFreedOnLoss = true;
}

TEST_F(AudioToHaptics, TheInstanceCanBeFreedFromTheLossWarning) {
    const int handle = connectNewInstance();
    ASSERT_FALSE(HasFailure());
    gFreedOnLoss = false;
    gFreeOnLoss = handle;
    trv_setLogCallback(&freeOnLoss);
    server->kill();
    const bool freed = trv::test::waitUntil([] { return gFreedOnLoss.load(); }, 20.0);
    trv::test::captureLogs();
    ASSERT_TRUE(freed);
    EXPECT_EQ(trv_exp_setVyxVolume(handle, 1.0f), TRV_ERROR_NO_INSTANCE) << "the handle is gone";
    EXPECT_TRUE(vest->streaming().waitForStreaming(false, 10.0)) << "the connection ended with the instance";
}

// An application whose log callback, on the capture's watcher, holds the
// loss warning while the application disconnects and connects again, waits
// (a few seconds at most) for the reconnection's report, then calls a
// getter: the reconnection must not wait for the watcher.
// With untilFreed, the callback holds on until the application frees the
// instance, and a second longer: the free must wait for it.
struct HoldOnLoss {
    std::atomic<int> handle{-1};
    std::atomic<bool> holding{false};  // the callback holds the warning
    std::atomic<bool> released{false}; // the reconnection has been asked for
    std::atomic<bool> untilFreed{false};
    std::atomic<bool> freeing{false};  // the application is about to free the instance
    std::atomic<int> got{0};           // what the getter gave
    std::atomic<bool> returned{false}; // the getter came back
    CallbackRecorder* recorder = nullptr;
    std::size_t reconnectedReports = 0;
};
HoldOnLoss gHold;

void holdOnLoss(trv_log_level_t, const char*, const char* text) {
    if (std::string_view(text).find("Lost the capture") == std::string_view::npos) return;
    const int handle = gHold.handle.exchange(-1);
    if (handle < 0) return;
    gHold.holding = true;
    trv::test::waitUntil([] { return gHold.released.load(); }, 60.0);
    gHold.recorder->waitFor(gHold.reconnectedReports, std::chrono::seconds(5));
    if (gHold.untilFreed) {
        trv::test::waitUntil([] { return gHold.freeing.load(); }, 60.0);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    gHold.got = trv_exp_getVyxPreset(handle);
    gHold.returned = true;
}

bool AudioToHaptics::reconnectWhileHeld(int handle, bool untilFreed) {
    gHold.holding = gHold.released = gHold.freeing = gHold.returned = false;
    gHold.untilFreed = untilFreed;
    gHold.recorder = &recorder;
    gHold.reconnectedReports = reports + 2; // disconnected, connected
    gHold.handle = handle;
    trv_setLogCallback(&holdOnLoss);
    EXPECT_TRUE(server->unloadSink("speakers"));
    EXPECT_TRUE(trv::test::waitUntil([] { return gHold.holding.load(); }, 20.0));
    EXPECT_TRUE(server->loadSink({"speakers", "Speakers", 2, 48000}));
    EXPECT_EQ(trv_disconnectDevice(handle), 0);
    expectReport(TRV_STATE_DISCONNECTED, 0);
    EXPECT_EQ(trv_exp_connectVyx(handle, TRV_OUTPUT_WIFI, kSerial, "Speakers"), 0);
    gHold.released = true;
    return recorder.waitFor(++reports, std::chrono::seconds(30));
}

TEST_F(AudioToHaptics, AReconnectionDoesNotWaitForTheLogCallbackOnTheWatcher) {
    const int handle = connectNewInstance();
    ASSERT_FALSE(HasFailure());
    const bool reconnected = reconnectWhileHeld(handle, false);
    const bool returned = trv::test::waitUntil([] { return gHold.returned.load(); }, 10.0);
    trv::test::captureLogs();
    if (!reconnected || !returned) {
        // Deadlocked: the instance is left to a thread that hangs on it.
        std::thread([handle] { trv_freeSDKInstance(handle); }).detach();
        FAIL() << "the reconnection waits for the watcher, which waits for it";
    }
    EXPECT_EQ(recorder.all().back().state, TRV_STATE_CONNECTED);
    trv_freeSDKInstance(handle);
}

// The watcher let go is the library's thread: the free, with no other call
// running, ends it before it returns, as it does the current watcher.
TEST_F(AudioToHaptics, AFreeWaitsForTheWatcherLetGoInTheLogCallback) {
    const int handle = connectNewInstance();
    ASSERT_FALSE(HasFailure());
    if (!reconnectWhileHeld(handle, true)) {
        gHold.freeing = true;
        std::thread([handle] { trv_freeSDKInstance(handle); }).detach();
        FAIL() << "the reconnection waits for the watcher";
    }
    EXPECT_EQ(recorder.all().back().state, TRV_STATE_CONNECTED);
    EXPECT_FALSE(gHold.returned) << "still in the callback";
    gHold.freeing = true;
    trv_freeSDKInstance(handle);
    const bool returned = gHold.returned;
    trv::test::captureLogs();
    EXPECT_TRUE(returned) << "the free returned with the watcher still in the log callback";
    trv::test::waitUntil([] { return gHold.returned.load(); }, 10.0);
    EXPECT_EQ(gHold.got, TRV_ERROR_NO_INSTANCE) << "the callback's call came after the free";
}

// Other threads call in while the backend changes both ways under them, and
// the old handler's callbacks call back in meanwhile: each call works on the
// old handler or on the new one, never on one being destroyed (the
// sanitizers watch), and the replaced handlers end.
struct SwitchCase {
    const char* name;
    bool audioToHaptics; // connectVyx and connect in turn; else the legacy backend on and off with a scan
};

void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name; }

class BackendSwitch : public AudioToHaptics, public ::testing::WithParamInterface<SwitchCase> {};

std::atomic<int> gSwitchHandle{-1};

// A log callback that calls back in, as applications do.
void callBackInFromTheLog(trv_log_level_t, const char*, const char*) {
    static thread_local bool inside = false;
    if (inside) return;
    inside = true;
    trv_connectionStatus(gSwitchHandle.load());
    trv_exp_getVyxPreset(gSwitchHandle.load());
    inside = false;
}

TEST_P(BackendSwitch, CallsFromOtherThreadsGoOnWhileTheBackendChanges) {
    sdk.reset();
    const int handle = trv_createSDKInstance(nullptr);
    ASSERT_GE(handle, 0);
    gSwitchHandle = handle;
    trv_setLogCallback(&callBackInFromTheLog);
    recorder.status = [handle] {
        trv_getGlobalIntensityBoost(handle);
        return trv_connectionStatus(handle);
    };
    ASSERT_EQ(trv_setConnectionCallback(handle, &CallbackRecorder::callback, &recorder), 0);

    std::atomic<bool> done{false};
    std::atomic<long> rounds{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&] {
            while (!done.load()) {
                trv_connectionStatus(handle);
                trv_scanStatus(handle);
                trv_getGlobalIntensityBoost(handle);
                trv_effectState(handle, 0);
                trv_getTarvonelSerialNumber(handle);
                trv_stopAll(handle);
                trv_exp_getVyxPreset(handle);
                trv_exp_getVyxVolume(handle);
                rounds.fetch_add(1);
            }
        });
    const auto is = [handle](trv_connection_state_t state) {
        return trv::test::waitUntil([&] { return trv_connectionStatus(handle) == state; }, 30.0);
    };
    if (GetParam().audioToHaptics) {
        for (int i = 0; i < 4; ++i) {
            const int started = i % 2 == 0 ? trv_exp_connectVyx(handle, TRV_OUTPUT_WIFI, kSerial, "Speakers")
                                           : trv_connectDevice(handle, TRV_OUTPUT_WIFI, kSerial);
            EXPECT_EQ(started, 0) << "round " << i;
            EXPECT_TRUE(is(TRV_STATE_CONNECTED)) << "round " << i;
            EXPECT_EQ(trv_exp_getVyxVolume(handle), i % 2 == 0 ? 1.0f : 0.0f) << "round " << i;
            EXPECT_EQ(trv_disconnectDevice(handle), 0) << "round " << i;
            EXPECT_TRUE(is(TRV_STATE_DISCONNECTED)) << "round " << i;
        }
    } else {
        for (int i = 0; i < 40; ++i) {
            trv_exp_enableLegacyBackend(handle, i % 2 == 0);
            EXPECT_EQ(trv_scanDevices(handle, TRV_OUTPUT_USB), 0) << "round " << i;
        }
    }
    done = true;
    for (std::thread& t : callers) t.join();
    EXPECT_GT(rounds.load(), 0);
    trv_freeSDKInstance(handle);
    trv::test::captureLogs();
}

INSTANTIATE_TEST_SUITE_P(Backends, BackendSwitch,
                         ::testing::Values(SwitchCase{"StreamingAndBoard", false},
                                           SwitchCase{"AudioToHapticsAndStreaming", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AudioToHapticsC, PassesThroughAndRefusesNullPointers) {
    trv::test::captureLogs();
    const char** names = nullptr;
    int count = 0;
    ASSERT_EQ(trv_exp_listVyxPresets(&names, &count), 0);
    ASSERT_EQ(count, 4);
    EXPECT_STREQ(names[2], "Crunchy");
    EXPECT_EQ(trv_exp_listVyxPresets(nullptr, &count), -2);
    EXPECT_EQ(trv_exp_getLoopbackDevicesNames(&names, nullptr), -2);
    EXPECT_EQ(trv_exp_getVyxVolume(12345), -9.0f);
    EXPECT_EQ(trv_exp_setVyxVolume(12345, 1.0f), -9);
    const int sdk = trv_createSDKInstance(nullptr);
    EXPECT_EQ(trv_exp_getVyxVolume(sdk), 0.0f) << "not the audio-to-haptics backend";
    EXPECT_EQ(trv_exp_setVyxPreset(sdk, 1), -17);
    EXPECT_EQ(trv_exp_setVyxPreset(sdk, -1), -2);
    trv_freeSDKInstance(sdk);
}

} // namespace
