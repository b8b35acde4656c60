// The exported constructors and hand-written assignments of the public
// structs (the effect properties' defaults are checked from C by
// tests/install, over arbitrary bytes).
#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "sdk/trv_types.h"

namespace {
auto fields(const trv_audio_settings_t& a) {
    return std::tuple(a.deviceName, a.audioAPI, a.sampleRate, a.bufferSize, a.nbStreamChannels, a.suggestedLatency);
}
auto fields(const trv_device_info_t& d) {
    return std::tuple(d.outputType, d.serialNumber, d.deviceType, d.deviceVersion, d.next);
}
} // namespace

TEST(PublicStructs, AudioSettingsDefaultAndAssignEveryMember) {
    const trv_audio_settings_t defaults;
    EXPECT_STREQ(defaults.deviceName, "default_output");
    EXPECT_STREQ(defaults.audioAPI, "any_API");
    EXPECT_EQ(std::tuple(defaults.sampleRate, defaults.bufferSize, defaults.nbStreamChannels, defaults.suggestedLatency),
              std::tuple(48000u, 256u, -1, 0.0f));
    trv_audio_settings_t b;
    b.deviceName = "TARVONEL"; // the pointer is shared, not the text copied
    b.audioAPI = "ALSA";
    b.sampleRate = 44100;
    b.bufferSize = 64;
    b.nbStreamChannels = 20;
    b.suggestedLatency = 0.25f;
    trv_audio_settings_t a, c;
    a = b;
    EXPECT_EQ(fields(a), fields(b));
    c = std::move(a);
    EXPECT_EQ(fields(c), fields(b));
}

TEST(PublicStructs, DeviceInfoAssignsEveryMember) {
    trv_device_info_t tail{};
    trv_device_info_t head{};
    head.outputType = TRV_OUTPUT_WIFI;
    head.serialNumber = 12345678;
    head.deviceType = TRV_DEVICE_TYPE_B;
    head.deviceVersion = "2.3.1";
    head.next = &tail;
    trv_device_info_t copy{}, moved{};
    copy = head;
    EXPECT_EQ(fields(copy), fields(head));
    moved = std::move(copy);
    EXPECT_EQ(fields(moved), fields(head));
}
