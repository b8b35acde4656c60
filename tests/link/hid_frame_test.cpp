#include <array>
#include <cstring>
#include <tuple>
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

TEST(HidFrame, EveryCrcRouteGivesTheShiftRegistersValueAtEveryLength) {
    // Lengths across the 8-byte steps, the 16-byte blocks and the 64-byte
    // lanes, from unaligned starts; against the plain shift register.
    std::vector<uint8_t> data(3 + 300);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 3) * 7 + 1);
    for (std::size_t start = 0; start < 3; ++start) {
        uint16_t expected = 0xFFFF;
        for (std::size_t length = 0; start + length <= data.size(); ++length) {
            const uint8_t* bytes = data.data() + start;
            EXPECT_EQ(crc16CcittFalse(bytes, length), expected) << start << "+" << length;
            EXPECT_EQ(crc16::sliceBy8(0xFFFF, bytes, length), expected) << start << "+" << length;
            if (crc16::carrylessAvailable()) {
                EXPECT_EQ(crc16::carryless(bytes, length), expected) << start << "+" << length;
            }
            if (start + length == data.size()) break;
            expected = static_cast<uint16_t>(expected ^ (bytes[length] << 8));
            for (int bit = 0; bit < 8; ++bit)
                expected = static_cast<uint16_t>((expected & 0x8000) ? (expected << 1) ^ 0x1021 : expected << 1);
        }
    }
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
    const std::pair<int8_t, const char*> texts[] = {
        {-1, "The received message had an invalid CRC."},
        {-2, "The received message had an invalid command ID."},
        {-3, "The received message had an invalid sync word."},
        {-4, "The received message had invalid parameters."},
        {-5, "The command is not available on this type of connection."},
        {-6, "The provided remote address of port is invalid."},
        {-7, "Invalid internal state."},
        {0, "The received message had an error which code is unknown."},
        {-8, "The received message had an error which code is unknown."},
        {5, "The received message had an error which code is unknown."},
    };
    for (const auto& [code, text] : texts) {
        EXPECT_EQ(IHidCom::decodeDeviceError(code), -6) << int{code};
        const auto lines = trv::test::takeLogs();
        ASSERT_EQ(lines.size(), 1u) << int{code};
        EXPECT_EQ(std::tuple(lines[0].level, lines[0].tag, lines[0].text),
                  std::tuple(int{TRV_LOG_ERROR}, std::string("HidCom"), std::string(text)));
    }
}
} // namespace
