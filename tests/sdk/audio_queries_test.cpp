// The experimental interface's audio-device queries over ALSA devices of
// the test's own configuration, and the checks of its calls, through both
// interfaces.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_system.h"
#include "sdk/TarvonelSDK.h"
#include "sdk/tarvonel.h"
#include "support/alsa_test_devices.h"
#include "support/log_capture.h"

namespace {

using namespace trv::test;

class AudioQueries : public ::testing::Test {
protected:
    void SetUp() override {
        for (const std::string& name : AlsaTestDevices::standardOutputs()) devices.addOutput(name, false);
        devices.install();
    }
    AlsaTestDevices devices;
};

struct QueryCase {
    const char* device;
    const char* api;
    int apisResult;
    int infoResult;
    int ratesResult;
};

class DeviceQueries : public AudioQueries, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(DeviceQueries, AnswerForTheDeviceAndKeepPortAudioBalanced) {
    const QueryCase& c = GetParam();
    const char** apis = nullptr;
    int count = 0;
    int maxChannels = -1;
    float low = -1;
    float high = -1;
    uint32_t* rates = nullptr;
    int rateCount = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(trv_exp_getOutputDeviceAPIs(c.device, &apis, &count), c.apisResult);
    EXPECT_EQ(trv_exp_getOutputDeviceInfo(c.device, c.api, &maxChannels, &low, &high), c.infoResult);
    EXPECT_EQ(trv_exp_getSupportedStandardSampleRates(c.device, c.api, &rates, &rateCount), c.ratesResult);
    const std::string errors = testing::internal::GetCapturedStderr();
    // Nothing but the query's own lines: no audio-system noise either.
    const std::string notFound = "Could not find a device named " + std::string(c.device) + " using " + c.api + "\n";
    const std::string noApi = "Device " + std::string(c.device) + " does not support any API.\n";
    EXPECT_EQ(errors, (c.apisResult != 0 ? noApi : "") + (c.infoResult != 0 ? notFound + notFound : ""));
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(apis[0], c.apisResult == 0 ? "ALSA" : "noAPI");
    if (c.infoResult == 0) {
        EXPECT_EQ(maxChannels, 128);
        EXPECT_GT(low, 0.0f);
        EXPECT_GE(high, low);
    } else {
        EXPECT_EQ(maxChannels, -1) << "written on failure";
    }
    // Every standard rate: accepted by the device, or handed back as the
    // fallback of a failed query.
    ASSERT_EQ(rateCount, 13);
    EXPECT_EQ(rates[0], 8000u);
    EXPECT_EQ(rates[12], 192000u);
    EXPECT_EQ(audio::liveAudioSessions(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    , DeviceQueries,
    ::testing::Values(QueryCase{kVestPcm, "ALSA", 0, 0, 0}, QueryCase{kDacPcm, "ALSA", 0, 0, 0},
                      QueryCase{kVestPcm, "alsa", 0, -2, -2}, QueryCase{"default_output", "any_API", -4, -2, -2},
                      QueryCase{"x", "ALSA", -4, -2, -2}));

TEST_F(AudioQueries, OutputNamesAreListedOnceInOrderAndKeptUntilTheNextCall) {
    const char** names = nullptr;
    int count = 0;
    ASSERT_EQ(trv_exp_getOutputDevicesNames(&names, &count), 0);
    const std::vector<std::string> listed(names, names + count);
    const char** apis = nullptr;
    int apiCount = 0;
    EXPECT_EQ(ExperimentalTarvonelSDK::getOutputDeviceAPIs(kDacPcm, apis, apiCount), 0);
    EXPECT_EQ(std::vector<std::string>(names, names + count), listed) << "another query left them alone";
    EXPECT_EQ(listed, (std::vector<std::string>{kVestLikePcm, kSpeakersPcm, kDacPcm, kVestPcm, "default"}));
    EXPECT_EQ(trv_exp_getOutputDevicesNames(nullptr, &count), -2);
}

TEST_F(AudioQueries, ConnectAudioRefusesBrokenSettingsThenASecondConnection) {
    LogCapture::install();
    const int sdk = trv_createSDKInstance("");
    trv_audio_settings_t settings;
    trv_exp_defaultAudioSettings(nullptr);
    trv_exp_defaultAudioSettings(&settings);
    EXPECT_EQ(trv_exp_connectAudio(sdk + 1, eTarvonelDevice, &settings), -9);
    EXPECT_EQ(trv_exp_connectAudio(sdk, eTarvonelDevice, nullptr), -2);
    // A USB scan makes the board-command backend; the first connectAudio,
    // refused as it is, leaves the streaming backend in its place.
    trv_exp_enableLegacyBackend(sdk, true);
    ASSERT_EQ(trv_scanDevices(sdk, TRV_OUTPUT_USB), 0);
    for (int i = 0; i < 1000 && trv_scanStatus(sdk) == 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int broken = 0; broken < 5; ++broken) {
        trv_audio_settings_t bad = settings;
        if (broken == 0) bad.bufferSize = 0;
        if (broken == 1) bad.nbStreamChannels = 0;
        if (broken == 2) bad.deviceName = nullptr;
        if (broken == 3) bad.audioAPI = nullptr;
        if (broken == 4) bad.bufferSize = 65537; // more than the engine renders at once
        LogCapture::take();
        EXPECT_EQ(trv_exp_connectAudio(sdk, eCustomDevice, &bad), -2) << broken;
        EXPECT_TRUE(LogCapture::contains("HandlerStreaming", "Invalid audio settings.")) << broken;
        EXPECT_EQ(trv_connectionStatus(sdk), TRV_STATE_DISCONNECTED);
    }
    ASSERT_EQ(trv_exp_connectAudio(sdk, eTarvonelDevice, &settings), 0);
    EXPECT_EQ(trv_exp_connectAudio(sdk, eTarvonelDevice, &settings), -12);
    EXPECT_TRUE(LogCapture::waitFor("StreamAudio", "Found valid output device 'TARVONEL Vest' using 'ALSA'"));
    trv_freeSDKInstance(sdk);
    EXPECT_EQ(audio::liveAudioSessions(), 0);
}

} // namespace
