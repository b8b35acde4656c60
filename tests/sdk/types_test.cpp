#include <cstring>
#include <type_traits>

#include <gtest/gtest.h>

#include "sdk/trv_types.h"

TEST(PublicStructs, DefaultsAndMemberwiseAssignments) {
    trv_effect_properties_t p;
    EXPECT_EQ(p.priority, 5);
    EXPECT_EQ(p.volume, 100.0f);
    EXPECT_EQ(p.speed, 1.0f);
    EXPECT_EQ(p.repeatCount, 1);
    EXPECT_EQ(p.repeatDelay, 0.0f);
    EXPECT_EQ(p.playAtTime, 0.0f);
    EXPECT_EQ(p.maxDuration, 0.0f);
    EXPECT_EQ(p.effectBoost, 0);
    EXPECT_FALSE(p.overridePatternBoost);
    EXPECT_EQ(p.height, 0.0f);
    EXPECT_EQ(p.heading, 0.0f);
    EXPECT_EQ(p.tilting, 0.0f);
    EXPECT_FALSE(p.frontBackInversion || p.upDownInversion || p.rightLeftInversion ||
                 p.frontBackAddition || p.upDownAddition || p.rightLeftAddition);
    static_assert(std::is_trivially_copyable_v<trv_effect_properties_t>);

    trv_effect_properties_t q;
    q.priority = 9;
    q.heading = 45.0f;
    q.upDownAddition = true;
    p = q;
    EXPECT_EQ(p.priority, 9);
    EXPECT_EQ(p.heading, 45.0f);
    EXPECT_TRUE(p.upDownAddition);

    trv_audio_settings_t a;
    EXPECT_STREQ(a.deviceName, "default_output");
    EXPECT_STREQ(a.audioAPI, "any_API");
    EXPECT_EQ(a.sampleRate, 48000u);
    EXPECT_EQ(a.bufferSize, 256u);
    EXPECT_EQ(a.nbStreamChannels, -1);
    EXPECT_EQ(a.suggestedLatency, 0.0f);
    trv_audio_settings_t b;
    const char* name = "TARVONEL";
    b.deviceName = name;
    b.sampleRate = 44100;
    a = b;
    EXPECT_EQ(a.deviceName, name); // the pointer, not a copy of the text
    EXPECT_EQ(a.sampleRate, 44100u);
    trv_audio_settings_t c;
    c = std::move(b);
    EXPECT_EQ(c.deviceName, name);

    const char* version = "2.3.1";
    trv_device_info_t tail{};
    trv_device_info_t head{};
    head.outputType = TRV_OUTPUT_WIFI;
    head.serialNumber = 12345678;
    head.deviceType = TRV_DEVICE_TYPE_B;
    head.deviceVersion = version;
    head.next = &tail;
    trv_device_info_t copy{};
    copy = head;
    EXPECT_EQ(copy.outputType, TRV_OUTPUT_WIFI);
    EXPECT_EQ(copy.serialNumber, 12345678u);
    EXPECT_EQ(copy.deviceType, TRV_DEVICE_TYPE_B);
    EXPECT_EQ(copy.deviceVersion, version);
    EXPECT_EQ(copy.next, &tail);
    trv_device_info_t moved{};
    moved = std::move(copy);
    EXPECT_EQ(moved.deviceVersion, version);
    EXPECT_EQ(moved.next, &tail);
}
