#include "link/hid_frame.h"

#include <charconv>
#include <cstring>

namespace {

struct LengthTable {
    std::array<uint32_t, 256> lengths{};
};

constexpr LengthTable makeAnswerTable() {
    LengthTable t;
    const std::pair<uint8_t, uint32_t> entries[] = {
        {0x81, 11}, {0x82, 11}, {0x83, 10}, {0x84, 10}, {0x85, 10}, {0x86, 10}, {0x87, 10},
        {0x88, 9},  {0x89, 105}, {0x8A, 9}, {0x8B, 5},  {0x8C, 37}, {0x8D, 6},  {0x8E, 52},
        {0x8F, 6},  {0x90, 10}, {0x91, 6},  {0x92, 6},  {0x93, 7},  {0x94, 6},  {0x95, 6},
        {0xA0, 10}, {0xFF, 6},  {0x15, 5},  {0x16, 13}};
    for (const auto& [id, length] : entries) t.lengths[id] = length;
    return t;
}

constexpr LengthTable makeRequestTable() {
    LengthTable t;
    const std::pair<uint8_t, uint32_t> entries[] = {
        {0x01, 518}, {0x02, 10}, {0x03, 5}, {0x04, 5}, {0x05, 5}, {0x06, 8},  {0x07, 5},
        {0x08, 5},   {0x09, 5},  {0x0A, 5}, {0x10, 5}, {0x11, 5}, {0x12, 5},  {0x13, 5},
        {0x14, 5},   {0x15, 5},  {0x95, 6}, {0x96, static_cast<uint32_t>(kStreamDataFrameBytes)}};
    for (const auto& [id, length] : entries) t.lengths[id] = length;
    return t;
}

constexpr LengthTable kAnswerLengths = makeAnswerTable();
constexpr LengthTable kRequestLengths = makeRequestTable();

// Writes value in decimal, zero-padded to width, at text[position] followed
// by a terminating zero: the fixed-position rule of the serial number.
void putField(char* text, std::size_t position, unsigned value, std::size_t width) {
    char digits[8];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    const std::size_t count = static_cast<std::size_t>(end - digits);
    for (std::size_t i = count; i < width; ++i) text[position++] = '0';
    std::memcpy(text + position, digits, count);
    text[position + count] = '\0';
}

} // namespace

void stampFrameCrc(uint8_t* frame, std::size_t length) noexcept {
    const uint16_t crc = crc16CcittFalse(frame, length - 2);
    frame[length - 2] = static_cast<uint8_t>(crc & 0xFF);
    frame[length - 1] = static_cast<uint8_t>(crc >> 8);
}

bool frameCrcMatches(const uint8_t* frame, std::size_t length) noexcept {
    const uint16_t crc = crc16CcittFalse(frame, length - 2);
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

bool frameSyncMatches(const uint8_t* frame) noexcept {
    return frame[1] == kSyncLow && frame[2] == kSyncHigh;
}

uint32_t answerLengthOf(uint8_t id) noexcept { return kAnswerLengths.lengths[id]; }

uint32_t requestLengthOf(uint8_t id) noexcept { return kRequestLengths.lengths[id]; }

std::array<uint8_t, kFrameOverheadBytes> makeShortFrame(uint8_t id) noexcept {
    std::array<uint8_t, kFrameOverheadBytes> frame{id, kSyncLow, kSyncHigh, 0, 0};
    stampFrameCrc(frame.data(), frame.size());
    return frame;
}

uint32_t serialNumberFromFields(uint8_t byte6, uint8_t byte5, uint16_t low) noexcept {
    char text[16] = {};
    putField(text, 0, byte6, 2);
    putField(text, 2, byte5, 2);
    putField(text, 4, low, 4);
    uint32_t value = 0;
    std::from_chars(text, text + std::strlen(text), value); // at most 9 digits: fits
    return value;
}

uint32_t serialNumberOfAnswer(const uint8_t* answer) noexcept {
    const uint16_t low = static_cast<uint16_t>(answer[3] | (answer[4] << 8));
    return serialNumberFromFields(answer[6], answer[5], low);
}

std::string versionTextOfAnswer(const uint8_t* answer) {
    const char* text = reinterpret_cast<const char*>(answer + kVersionTextOffset);
    return std::string(text, strnlen(text, kVersionTextBytes));
}

uint32_t deviceTypeCodeOfAnswer(const uint8_t* answer) noexcept {
    return static_cast<uint32_t>(answer[3]) | (static_cast<uint32_t>(answer[4]) << 8) |
           (static_cast<uint32_t>(answer[5]) << 16) | (static_cast<uint32_t>(answer[6]) << 24);
}

const char* deviceErrorText(int8_t code) noexcept {
    switch (code) {
    case -1: return "The received message had an invalid CRC.";
    case -2: return "The received message had an invalid command ID.";
    case -3: return "The received message had an invalid sync word.";
    case -4: return "The received message had invalid parameters.";
    case -5: return "The command is not available on this type of connection.";
    case -6: return "The provided remote address of port is invalid.";
    case -7: return "Invalid internal state.";
    default: return "The received message had an error which code is unknown.";
    }
}

float streamRateFromCode(int32_t rateCode) noexcept {
    switch (rateCode) {
    case 1: return 500.0f;
    case 2: return 1000.0f;
    case 3: return 2000.0f;
    default: return 1.0f;
    }
}
