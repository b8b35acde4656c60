// The vest as a sound card: TarvonelSDK's audio connection end to end,
// against real ALSA devices of the test's own configuration whose played
// files are decoded afterwards, and StreamAudio stopped at every point.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "platform/audio_stream.h"
#include "platform/poll.h"
#include "platform/udp_socket.h"
#include "sdk/PatternRegistry.h"
#include "sdk/TarvonelSDK.h"
#include "sdk/callback_recorder.h"
#include "streaming/HandlerStreaming.h"
#include "streaming/stream_audio.h"
#include "streaming_support.h"
#include "support/alsa_test_devices.h"
#include "support/fresh_network.h"
#include "support/log_capture.h"
#include "support/net_guard.h"

namespace {

using namespace trv::test;

constexpr int kRate = 48000;

// Probing a file-backed device is slow under the sanitizers (see the
// CMakeLists): the cases that decode nothing play on null devices.
class AudioOutput : public ::testing::Test {
protected:
    virtual bool recorded() const { return true; }

    void SetUp() override {
        for (const std::string& name : AlsaTestDevices::standardOutputs()) devices.addOutput(name, recorded());
        devices.install();
        captureLogs();
        sdk = std::make_unique<TarvonelSDK>();
        sdk->setConnectionCallback(&CallbackRecorder::callback, &recorder);
        pattern = sdk->loadPatternFromJSON(patternOf({0, 0, "[]", weightsKeys({1, 12})}).c_str());
        ASSERT_GE(pattern, 0);
    }

    // Waits for the next report and checks it.
    void expectReport(trv_connection_state_t state, trv_error_t error) {
        const std::size_t next = ++reports;
        ASSERT_TRUE(recorder.waitFor(next, std::chrono::seconds(90)));
        EXPECT_EQ(recorder.all()[next - 1].state, state);
        EXPECT_EQ(recorder.all()[next - 1].error, error);
    }

    void connectAudio(trv_audio_preset_t preset, trv_audio_settings_t settings) {
        ASSERT_EQ(sdk->ExperimentalAPI().connectAudio(preset, settings), 0);
        expectReport(TRV_STATE_CONNECTED, 0);
    }

    void disconnect() {
        ASSERT_EQ(sdk->disconnect(), 0);
        expectReport(TRV_STATE_DISCONNECTED, 0);
        EXPECT_EQ(audio::openAudioStreams(), 0) << "the device is left open";
    }

    // Waits (bounded) until the device played `seconds` more audio.
    void playFor(const std::string& device, int channels, double seconds) {
        std::filesystem::path file = devices.playedFile(device, channels, kRate);
        const auto bytes = [&] { return file.empty() ? 0 : std::filesystem::file_size(file); };
        const auto goal = bytes() + static_cast<uintmax_t>(seconds * kRate) * channels * sizeof(float);
        for (int i = 0; i < 30000 && bytes() < goal; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (file.empty()) file = devices.playedFile(device, channels, kRate);
        }
        ASSERT_GE(bytes(), goal) << device;
    }

    // Energy per channel over the last `seconds` the device played.
    std::vector<double> lastEnergy(const std::string& device, int channels, double seconds) {
        const std::vector<float> played = devices.played(device, channels, kRate, seconds * kRate);
        std::vector<double> energy(channels, 0.0);
        for (std::size_t f = 0; f < played.size() / channels; ++f)
            for (int c = 0; c < channels; ++c) energy[c] += double(played[f * channels + c]) * played[f * channels + c];
        return energy;
    }

    AlsaTestDevices devices;
    CallbackRecorder recorder;
    std::size_t reports = 0;
    std::unique_ptr<TarvonelSDK> sdk;
    int32_t pattern = -1;
};

struct PresetCase {
    trv_audio_preset_t preset;
    const char* deviceName;
    const char* audioAPI;
    int channels;
    std::string device; // chosen
    int played;         // stream channels
};

class AudioPresets : public AudioOutput, public ::testing::WithParamInterface<PresetCase> {};

TEST_P(AudioPresets, ChoosesTheDeviceAndPlaysTheActuatorsOnTheirChannels) {
    const PresetCase& c = GetParam();
    trv_audio_settings_t settings;
    settings.deviceName = c.deviceName;
    settings.audioAPI = c.audioAPI;
    settings.nbStreamChannels = c.channels;
    const trv_audio_settings_t before = settings;
    connectAudio(c.preset, settings);
    EXPECT_EQ(settings.deviceName, before.deviceName) << "the caller's record is not rewritten";
    EXPECT_EQ(settings.audioAPI, before.audioAPI);
    if (c.device != "default") {
        EXPECT_TRUE(hasLog(takeLogs(), "Found valid output device '" + c.device + "' using 'ALSA'"));
    }
    ASSERT_GE(sdk->playEffect(pattern, trv_effect_properties_t()), 0);
    playFor(c.device, c.played, 0.5);
    // Read while playing: after a stop the device plays silence until its
    // stream ends, which on these unpaced devices can be long.
    const std::vector<double> energy = lastEnergy(c.device, c.played, 0.25);
    disconnect();
    for (int ch = 0; ch < c.played; ++ch) {
        if (ch == 1 || ch == 12)
            EXPECT_GT(energy[ch], 1.0) << "channel " << ch;
        else
            EXPECT_EQ(energy[ch], 0.0) << "channel " << ch;
    }
}

INSTANTIATE_TEST_SUITE_P(
    , AudioPresets,
    ::testing::Values(PresetCase{eTarvonelDevice, "default_output", "any_API", -1, kVestPcm, 20},
                      PresetCase{eTarvonelRegex, "default_output", "any_API", 8, kVestPcm, 20},
                      PresetCase{eUsbAudioConverter, "default_output", "any_API", -1, kDacPcm, 2},
                      PresetCase{eCustomDevice, kSpeakersPcm, "ALSA", 8, kSpeakersPcm, 8},
                      PresetCase{eCustomDevice, kVestPcm, "any_API", 24, kVestPcm, 24},
                      PresetCase{eCustomDevice, "default_output", "any_API", 20, "default", 20}),
    [](const auto& info) {
        std::string name = "preset" + std::to_string(info.param.preset) + "_" + info.param.device + "_" +
                           std::to_string(info.param.played);
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

class AudioReconnect : public AudioOutput {
    bool recorded() const override { return false; }
};

TEST_F(AudioReconnect, ReconnectsToTheSameDeviceAndSwitchesWithWifi) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    useFastTimings();
    VestOnLoopback vest;
    const trv_audio_settings_t vestCard;
    for (int round = 0; round < 2; ++round) {
        connectAudio(eTarvonelDevice, vestCard);
        EXPECT_EQ(sdk->getTarvonelVersion(), "Experimental-AudioConnection");
        disconnect();
        ASSERT_EQ(sdk->connect(TRV_OUTPUT_WIFI, 12345678), 0);
        expectReport(TRV_STATE_CONNECTED, 0);
        EXPECT_EQ(sdk->getTarvonelSerialNumber(), 12345678u);
        disconnect();
    }
    sdk.reset();
    EXPECT_EQ(audio::liveAudioSessions(), 0) << "an audio session outlived its handler";
}

TEST_F(AudioOutput, EffectSpeedVolumeAndVisualizerActOnThePlayingEffect) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    UdpSocket viewer;
    ASSERT_EQ(viewer.open(), 0);
    ASSERT_EQ(viewer.bind(Ipv4Endpoint{0x7F000001, 42193}), 0);
    ExperimentalTarvonelSDK experimental = sdk->ExperimentalAPI();
    experimental.enableVisualizer(true);
    connectAudio(eTarvonelDevice, trv_audio_settings_t());
    const int32_t effect = sdk->playEffect(pattern, trv_effect_properties_t());
    EXPECT_TRUE(waitReadable(viewer.fd(), 5.0f)) << "no visualizer message";
    // Channel 1 over the last 0.2 s: its energy and its zero crossings.
    auto measure = [&] {
        playFor(kVestPcm, 20, 0.25);
        const std::vector<float> played = devices.played(kVestPcm, 20, kRate, kRate / 5);
        double energy = 0;
        int crossings = 0;
        for (std::size_t f = 1; f < played.size() / 20; ++f) {
            energy += double(played[f * 20 + 1]) * played[f * 20 + 1];
            crossings += (played[f * 20 + 1] < 0) != (played[(f - 1) * 20 + 1] < 0);
        }
        return std::pair{energy, crossings};
    };
    const auto [energy, crossings] = measure();
    experimental.setEffectSpeed(effect, NAN);
    experimental.setEffectVolume(effect, INFINITY);
    const auto [energyAfter, crossingsAfter] = measure();
    EXPECT_NEAR(energyAfter, energy, energy * 0.2) << "refused values leave the effect as it played";
    EXPECT_NEAR(crossingsAfter, crossings, 3 + crossings / 10);
    experimental.setEffectSpeed(effect, 2.0f);
    EXPECT_GT(measure().second, crossings * 3 / 2) << "twice the speed, twice the pitch";
    experimental.setEffectVolume(effect, 0);
    EXPECT_EQ(measure().first, 0.0);
    disconnect();
}

enum class StopAt { BeforeOpen, AfterOpen, WhileStreaming };

class AudioStop : public ::testing::TestWithParam<StopAt> {};

TEST_P(AudioStop, AStopEndsTheRunWheneverItComesAndClosesTheDevice) {
    AlsaTestDevices devices;
    devices.addOutput(kVestPcm, false);
    devices.install();
    PatternRegistry registry;
    std::unique_ptr<IHandler> owner(IHandler::create(kHandlerStreaming, &registry));
    LumCore core;
    std::mutex stateMutex;
    StreamAudio stream(&core, &stateMutex, owner.get());
    trv_audio_settings_t settings;
    if (GetParam() == StopAt::BeforeOpen) stream.stop();
    ASSERT_EQ(stream.openStream(eTarvonelDevice, settings), 0);
    if (GetParam() == StopAt::AfterOpen) stream.stop();
    std::thread stopper;
    if (GetParam() == StopAt::WhileStreaming)
        stopper = std::thread([&] {
            for (int i = 0; i < 2000 && stream.counters().callbacks < 50; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            stream.stop();
        });
    EXPECT_EQ(stream.run(), 0);
    if (stopper.joinable()) stopper.join();
    EXPECT_EQ(audio::openAudioStreams(), 0);
    EXPECT_EQ(owner->connectionStatus(), GetParam() == StopAt::WhileStreaming ? TRV_STATE_CONNECTED
                                                                              : TRV_STATE_DISCONNECTED);
}

INSTANTIATE_TEST_SUITE_P(, AudioStop,
                         ::testing::Values(StopAt::BeforeOpen, StopAt::AfterOpen, StopAt::WhileStreaming));

TEST(AudioStopReport, AStreamThatNeverCalledBackReportsNoRatio) {
    const std::string report = stopReportText(AudioStreamCounters{});
    EXPECT_NE(report.find("timeout occurrence: 0( ratio 0/100)"), std::string::npos) << report;
    EXPECT_EQ(report.find("nan"), std::string::npos) << report;
}

} // namespace

namespace {

using namespace trv::test;

// Waits (bounded) until the stream has called back `callbacks` times.
bool waitForCallbacks(const StreamAudio& stream, uint64_t callbacks) {
    for (int i = 0; i < 20000 && stream.counters().callbacks < callbacks; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return stream.counters().callbacks >= callbacks;
}

// A slow suggested latency makes each callback wait long for its buffer,
// and the audio system runs a whole latency's worth of callbacks after the
// stream is aborted: at half a second, callbacks that waited after the stop
// are both counted and too slow to end the run in time.
TEST(AudioStopAtLatency, AStopWakesTheWaitingCallbackAndNoLaterCallbackWaits) {
    AlsaTestDevices devices;
    devices.addOutput(kVestPcm);
    devices.install();
    PatternRegistry registry;
    std::unique_ptr<IHandler> owner(IHandler::create(kHandlerStreaming, &registry));
    LumCore core;
    std::mutex stateMutex;
    StreamAudio stream(&core, &stateMutex, owner.get());
    trv_audio_settings_t settings;
    settings.deviceName = kVestPcm;
    settings.audioAPI = "ALSA";
    settings.nbStreamChannels = 20;
    settings.suggestedLatency = 0.5f;
    ASSERT_EQ(stream.openStream(eCustomDevice, settings), 0);
    std::promise<int32_t> result;
    std::future<int32_t> ended = result.get_future();
    std::thread runner([&] { result.set_value(stream.run()); });
    ASSERT_TRUE(waitForCallbacks(stream, 50));
    const uint64_t timeoutsBefore = stream.counters().timeouts;
    stream.stop();
    const bool endedInTime = ended.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(endedInTime) << "still running 10 s after the stop";
    EXPECT_EQ(ended.get(), 0);
    runner.join();
    EXPECT_LE(stream.counters().timeouts - timeoutsBefore, 1u) << "callbacks after the stop waited for a buffer";
    EXPECT_EQ(audio::openAudioStreams(), 0);
}

TEST_F(AudioOutput, DisconnectAndFreeEndPromptlyAtASlowSuggestedLatency) {
    trv_audio_settings_t settings;
    settings.deviceName = kVestPcm;
    settings.audioAPI = "ALSA";
    settings.nbStreamChannels = 20;
    settings.suggestedLatency = 2.0f;
    for (int round = 0; round < 2; ++round) {
        connectAudio(eCustomDevice, settings); // a second connection is not refused as still connected
        ASSERT_GE(sdk->playEffect(pattern, trv_effect_properties_t()), 0);
        playFor(kVestPcm, 20, 0.25);
        ASSERT_EQ(sdk->disconnect(), 0);
        ASSERT_TRUE(recorder.waitFor(++reports, std::chrono::seconds(10))) << "still disconnecting after 10 s";
        EXPECT_EQ(recorder.all().back().state, TRV_STATE_DISCONNECTED);
        EXPECT_EQ(recorder.all().back().error, 0);
    }
    connectAudio(eCustomDevice, settings);
    std::promise<void> freed;
    std::future<void> done = freed.get_future();
    std::thread freer([&] {
        sdk.reset();
        freed.set_value();
    });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "still freeing after 10 s";
    freer.join();
    EXPECT_EQ(audio::liveAudioSessions(), 0);
}

// A sound card that appears after a failed attempt: the next attempt, a
// new instance and a query all find it while the first instance lives.
enum class Retry { SameInstance, NewInstance, DeviceQuery };

class AudioDeviceAddedLater : public ::testing::TestWithParam<Retry> {};

TEST_P(AudioDeviceAddedLater, IsFoundByTheNextAttemptWhileTheFirstInstanceLives) {
    AlsaTestDevices devices;
    devices.addOutput(kSpeakersPcm, false);
    devices.install();
    CallbackRecorder first;
    TarvonelSDK sdk;
    sdk.setConnectionCallback(&CallbackRecorder::callback, &first);
    trv_audio_settings_t vestCard;
    ASSERT_EQ(sdk.ExperimentalAPI().connectAudio(eTarvonelDevice, vestCard), 0);
    ASSERT_TRUE(first.waitFor(1));
    EXPECT_EQ(first.all()[0].state, TRV_STATE_DISCONNECTED);
    EXPECT_EQ(first.all()[0].error, TRV_ERROR_INVALID_PARAMETER) << "no vest card yet";
    EXPECT_EQ(audio::liveAudioSessions(), 0) << "the failed attempt kept the audio system";

    devices.addOutput(kVestPcm, false);
    devices.install();
    switch (GetParam()) {
    case Retry::SameInstance:
        ASSERT_EQ(sdk.ExperimentalAPI().connectAudio(eTarvonelDevice, vestCard), 0);
        ASSERT_TRUE(first.waitFor(2));
        EXPECT_EQ(first.all()[1].state, TRV_STATE_CONNECTED);
        break;
    case Retry::NewInstance: {
        CallbackRecorder second;
        TarvonelSDK other;
        other.setConnectionCallback(&CallbackRecorder::callback, &second);
        ASSERT_EQ(other.ExperimentalAPI().connectAudio(eTarvonelDevice, vestCard), 0);
        ASSERT_TRUE(second.waitFor(1));
        EXPECT_EQ(second.all()[0].state, TRV_STATE_CONNECTED);
        break;
    }
    case Retry::DeviceQuery: {
        const char** names = nullptr;
        int count = 0;
        ASSERT_EQ(ExperimentalTarvonelSDK::getOutputDevicesNames(names, count), 0);
        EXPECT_NE(std::find(names, names + count, std::string(kVestPcm)), names + count);
        break;
    }
    }
}

INSTANTIATE_TEST_SUITE_P(, AudioDeviceAddedLater,
                         ::testing::Values(Retry::SameInstance, Retry::NewInstance, Retry::DeviceQuery));

// A device that fails while playing is told apart from the application's
// own disconnection.
struct EndCase {
    const char* name;
    bool deviceFails; // its file cannot be written; else the application disconnects
    trv_error_t error;
};

class AudioStreamEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(AudioStreamEnd, IsReportedAsAFailureOnlyWhenNobodyAskedForIt) {
    const EndCase& c = GetParam();
    AlsaTestDevices devices;
    if (c.deviceFails)
        devices.addOutputTo(kVestPcm, "/dev/full");
    else
        devices.addOutput(kVestPcm, false);
    devices.install();
    captureLogs();
    CallbackRecorder recorder;
    TarvonelSDK sdk;
    sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    trv_audio_settings_t settings;
    settings.deviceName = kVestPcm;
    settings.audioAPI = "ALSA";
    settings.nbStreamChannels = 20;
    ASSERT_EQ(sdk.ExperimentalAPI().connectAudio(eCustomDevice, settings), 0);
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(recorder.all()[0].state, TRV_STATE_CONNECTED) << "the device fails only once it plays";
    if (!c.deviceFails) {
        ASSERT_EQ(sdk.disconnect(), 0);
    }
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(recorder.all()[1].state, TRV_STATE_DISCONNECTED);
    EXPECT_EQ(recorder.all()[1].error, c.error);
    int errors = 0;
    for (const LogLine& line : takeLogs()) errors += line.tag == "StreamAudio" && line.level >= TRV_LOG_ERROR;
    EXPECT_EQ(errors, c.deviceFails ? 1 : 0);
    EXPECT_EQ(sdk.connectionStatus(), TRV_STATE_DISCONNECTED);
    EXPECT_EQ(audio::openAudioStreams(), 0);
}

INSTANTIATE_TEST_SUITE_P(, AudioStreamEnd,
                         ::testing::Values(EndCase{"deviceFails", true, TRV_ERROR_PORTAUDIO},
                                           EndCase{"applicationDisconnects", false, TRV_NO_ERROR}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
