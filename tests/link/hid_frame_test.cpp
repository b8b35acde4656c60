#include <array>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "link/hid_com.h"
#include "link/hid_frame.h"
#include "support/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes shortFrame(uint8_t id) {
    auto f = makeShortFrame(id);
    return Bytes(f.begin(), f.end());
}

TEST(HidFrame, CrcMatchesThePublishedCheckValueAndTheWorkedFrames) {
    const char* digits = "123456789";
    EXPECT_EQ(crc16CcittFalse(reinterpret_cast<const uint8_t*>(digits), 9), 0x29B1);

    EXPECT_EQ(shortFrame(0x08), (Bytes{0x08, 0xAD, 0xDE, 0xAC, 0x24}));
    EXPECT_EQ(shortFrame(0x09), (Bytes{0x09, 0xAD, 0xDE, 0x9C, 0x13}));
    EXPECT_EQ(shortFrame(0x0A), (Bytes{0x0A, 0xAD, 0xDE, 0xCC, 0x4A}));
    EXPECT_EQ(shortFrame(0x07), (Bytes{0x07, 0xAD, 0xDE, 0x9D, 0x08}));
    EXPECT_EQ(shortFrame(0x15), (Bytes{0x15, 0xAD, 0xDE, 0x9E, 0x25}));
    EXPECT_EQ(shortFrame(0x10), (Bytes{0x10, 0xAD, 0xDE, 0x6E, 0xCE}));
    EXPECT_EQ(shortFrame(0x11), (Bytes{0x11, 0xAD, 0xDE, 0x5E, 0xF9}));
    EXPECT_EQ(shortFrame(0x12), (Bytes{0x12, 0xAD, 0xDE, 0x0E, 0xA0}));

    uint8_t stopAnswer[6] = {0x95, 0xAD, 0xDE, 0x00, 0, 0};
    IHidCom::setCrc(stopAnswer, 6);
    EXPECT_EQ(Bytes(stopAnswer, stopAnswer + 6), (Bytes{0x95, 0xAD, 0xDE, 0x00, 0xFF, 0x37}));
}

TEST(HidFrame, CrcCheckRejectsEveryFlippedBitAndCoversNothingAtLengthTwo) {
    uint8_t frame[5] = {0x08, 0xAD, 0xDE, 0xAC, 0x24};
    EXPECT_TRUE(IHidCom::isCrcValid(frame, 5));
    for (int byte = 0; byte < 5; ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            frame[byte] ^= static_cast<uint8_t>(1 << bit);
            EXPECT_FALSE(IHidCom::isCrcValid(frame, 5)) << byte << ":" << bit;
            frame[byte] ^= static_cast<uint8_t>(1 << bit);
        }
    }
    uint8_t empty[2] = {0, 0};
    IHidCom::setCrc(empty, 2);
    EXPECT_EQ(empty[0], 0xFF);
    EXPECT_EQ(empty[1], 0xFF);
    EXPECT_TRUE(IHidCom::isCrcValid(empty, 2));

    std::vector<uint8_t> data(kStreamDataFrameBytes, 0x5A);
    stampFrameCrc(data.data(), data.size());
    EXPECT_TRUE(frameCrcMatches(data.data(), data.size()));
}

TEST(HidFrame, SerialNumberFollowsTheFixedPositionRule) {
    uint8_t answer[9] = {0x88, 0xAD, 0xDE, 0x2E, 0x16, 34, 12, 0, 0};
    EXPECT_EQ(IHidCom::parseSerialNumber(answer), 12345678u);
    uint8_t zero[9] = {0x88, 0xAD, 0xDE, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(IHidCom::parseSerialNumber(zero), 0u);

    EXPECT_EQ(serialNumberFromFields(5, 7, 42), 5070042u);      // "05" "07" "0042"
    EXPECT_EQ(serialNumberFromFields(123, 45, 6789), 12456789u); // "123" loses its 3
    EXPECT_EQ(serialNumberFromFields(99, 99, 65535), 999965535u);
    EXPECT_EQ(serialNumberFromFields(1, 2, 10000), 10210000u);   // five digits kept
    EXPECT_EQ(serialNumberFromFields(255, 255, 65535), 252565535u);
}

TEST(HidFrame, AnswerLengthTableHoldsExactlyTheReceivedMessages) {
    EXPECT_EQ(IHidCom::answerLengths.size(), 25u);
    const std::pair<uint8_t, uint32_t> expected[] = {
        {0x81, 11}, {0x82, 11}, {0x83, 10}, {0x84, 10}, {0x85, 10}, {0x86, 10}, {0x87, 10},
        {0x88, 9},  {0x89, 105}, {0x8A, 9}, {0x8B, 5},  {0x8C, 37}, {0x8D, 6},  {0x8E, 52},
        {0x8F, 6},  {0x90, 10}, {0x91, 6},  {0x92, 6},  {0x93, 7},  {0x94, 6},  {0x95, 6},
        {0xA0, 10}, {0xFF, 6},  {0x15, 5},  {0x16, 13}};
    for (const auto& [id, length] : expected) EXPECT_EQ(IHidCom::answerLengths.lengthOf(id), length);
    for (uint8_t id : {0x96, 0x01, 0x0B, 0x08, 0x00, 0x42}) EXPECT_FALSE(IHidCom::answerLengths.contains(id));
    uint32_t largest = 0;
    for (unsigned id = 0; id < 256; ++id) largest = std::max(largest, answerLengthOf(static_cast<uint8_t>(id)));
    EXPECT_EQ(largest, kAnswerBufferBytes);

    EXPECT_EQ(requestLengthOf(0x01), 518u);
    EXPECT_EQ(requestLengthOf(0x96), 1012u);
    EXPECT_EQ(requestLengthOf(0x95), 6u);
    EXPECT_EQ(requestLengthOf(0x88), 0u);
}

TEST(HidFrame, AnswerContentsDecode) {
    uint8_t version[105] = {0x89, 0xAD, 0xDE};
    std::memcpy(version + 3, "2.4.1-rc", 8);
    EXPECT_EQ(versionTextOfAnswer(version), "2.4.1-rc");
    std::memset(version + 3, 'v', 100); // no terminating zero: the field ends it
    EXPECT_EQ(versionTextOfAnswer(version).size(), 100u);

    const uint8_t type[9] = {0x8A, 0xAD, 0xDE, 0xFF, 0xFF, 0x22, 0x01, 0, 0};
    EXPECT_EQ(deviceTypeCodeOfAnswer(type), 0x0122FFFFu);

    EXPECT_EQ(streamRateFromCode(1), 500.0f);
    EXPECT_EQ(streamRateFromCode(2), 1000.0f);
    EXPECT_EQ(streamRateFromCode(3), 2000.0f);
    EXPECT_EQ(streamRateFromCode(0), 1.0f);
    EXPECT_EQ(streamRateFromCode(4), 1.0f);
}

TEST(HidFrame, DeviceErrorDecodingLogsTheTextAndGivesMinusSix) {
    trv::test::captureLogs();
    EXPECT_EQ(IHidCom::decodeDeviceError(-7), -6);
    EXPECT_EQ(IHidCom::decodeDeviceError(-1), -6);
    for (int8_t unknown : {int8_t{0}, int8_t{-8}, int8_t{5}}) EXPECT_EQ(IHidCom::decodeDeviceError(unknown), -6);
    const auto lines = trv::test::takeLogs();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].text, "Invalid internal state.");
    EXPECT_EQ(lines[0].tag, "HidCom");
    EXPECT_EQ(lines[0].level, TRV_LOG_ERROR);
    EXPECT_EQ(lines[1].text, "The received message had an invalid CRC.");
    for (int i = 2; i < 5; ++i)
        EXPECT_EQ(lines[i].text, "The received message had an error which code is unknown.");
}

} // namespace
