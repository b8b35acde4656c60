// The device protocol's frame codec: pure functions over byte arrays.
//
// A frame is: command ID (1 byte), the sync word 0xDEAD stored as AD DE, a
// payload whose length is fixed by the command ID, and the CRC-16/CCITT-FALSE
// of every preceding byte, low byte first. An answer carries its request's
// ID with bit 0x80 set. Nothing here touches a socket, a clock or the log.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/crc16.h"

enum class HidCommandId : uint8_t {
    PlaySample = 0x01,
    StopSlot = 0x02,
    ResumeAll = 0x03,
    StopAll = 0x04,
    PauseAll = 0x05,
    SetMuteStatus = 0x06,
    KeepAlive = 0x07,
    GetSerialNumber = 0x08,
    GetVersion = 0x09,
    GetDeviceType = 0x0A,
    Discover = 0x10,
    Bind = 0x11,
    Unbind = 0x12,
    GetStreamConfig = 0x13,
    StartStream = 0x14,
    StopStream = 0x15,
    DataRequest = 0x16,
    StreamData = 0x96,
    SlotStatus = 0xA0,
    ErrorAnswer = 0xFF,
};

// Signed code in byte 3 of an ErrorAnswer (and the status of a 0x93 answer).
enum class DeviceErrorCode : int8_t {
    InvalidCrc = -1,
    InvalidCommandId = -2,
    InvalidSyncWord = -3,
    InvalidParameters = -4,
    NotAvailableOnConnection = -5,
    InvalidRemoteAddress = -6,
    InvalidInternalState = -7,
};

constexpr uint8_t kAnswerBit = 0x80;
constexpr uint8_t kSyncLow = 0xAD;  // 0xDEAD, little-endian
constexpr uint8_t kSyncHigh = 0xDE;
constexpr std::size_t kFrameOverheadBytes = 5;  // ID, sync word, CRC
constexpr std::size_t kAnswerBufferBytes = 105; // the longest message a host receives
constexpr std::size_t kSendBufferBytes = 1024;
constexpr std::size_t kStreamDataFrameBytes = 1012;
constexpr std::size_t kVersionTextOffset = 3;
constexpr std::size_t kVersionTextBytes = 100;

constexpr uint8_t answerIdOf(HidCommandId request) { return static_cast<uint8_t>(request) | kAnswerBit; }
constexpr uint8_t idOf(HidCommandId id) { return static_cast<uint8_t>(id); }

// Writes the CRC of bytes 0 .. length-3 into the last two bytes (low first).
// length is the whole frame length, at least 2.
void stampFrameCrc(uint8_t* frame, std::size_t length) noexcept;

// True when the last two bytes hold the CRC of the bytes before them.
bool frameCrcMatches(const uint8_t* frame, std::size_t length) noexcept;

// True when bytes 1-2 hold the sync word (length at least 3).
bool frameSyncMatches(const uint8_t* frame) noexcept;

// Whole frame length of a message the host receives, by its command ID; 0
// for an ID that no vest sends (25 IDs are known).
uint32_t answerLengthOf(uint8_t id) noexcept;

// Whole frame length of a message the vest receives, by its command ID; 0
// for an ID that no host sends.
uint32_t requestLengthOf(uint8_t id) noexcept;

// A 5-byte request without payload, CRC stamped.
std::array<uint8_t, kFrameOverheadBytes> makeShortFrame(uint8_t id) noexcept;
inline std::array<uint8_t, kFrameOverheadBytes> makeShortFrame(HidCommandId id) noexcept {
    return makeShortFrame(idOf(id));
}

// The serial number carried by a 0x88 answer: "%02d" of byte 6 at position 0,
// "%02d" of byte 5 at position 2 and "%04d" of the uint16 in bytes 3-4 at
// position 4 of one text, read back as a decimal number. A field wider than
// its place is overwritten by the next one, as on every reader of the vest.
uint32_t serialNumberFromFields(uint8_t byte6, uint8_t byte5, uint16_t low) noexcept;
uint32_t serialNumberOfAnswer(const uint8_t* answer) noexcept; // answer holds >= 7 bytes

// The version text of a 0x89 answer: bytes 3-102 up to the first zero byte.
std::string versionTextOfAnswer(const uint8_t* answer); // answer holds >= 103 bytes

// The uint32 in bytes 3-6 (little-endian) of a 0x8A answer, as sent.
uint32_t deviceTypeCodeOfAnswer(const uint8_t* answer) noexcept;

// The text of an error code; "The received message had an error which code
// is unknown." for any code outside -7..-1.
const char* deviceErrorText(int8_t code) noexcept;

// Stream-rate codes: 1 -> 500, 2 -> 1000, 3 -> 2000 samples per second, any
// other code 1.0.
float streamRateFromCode(int32_t rateCode) noexcept;
