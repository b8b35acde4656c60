// Audio-to-haptics end to end: sound played into a sink of the test's own
// PulseAudio server is captured from its monitor, turned into a haptic
// signal and streamed over WiFi to the emulated vest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
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
    void connectVyx(const char* device) {
        ASSERT_EQ(sdk->ExperimentalAPI().connectVyx(TRV_OUTPUT_WIFI, kSerial, device), 0);
        expectReport(TRV_STATE_CONNECTED, 0);
        ASSERT_TRUE(vest->streaming().waitForStreaming(true, 5.0));
    }
    // Energy on the vest of a kick train played into the speakers, whole.
    double energyOfClicks() {
        vest->streaming().clearFrames();
        const pid_t player = server->play("speakers", trv::test::kickTrain(48000, 1.0, 0.1), 48000);
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
    bad.bufferSize = 0;
    EXPECT_EQ(exp.connectVyxAudio(eCustomDevice, bad, "Speakers"), -2);
}

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
