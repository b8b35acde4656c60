// The board commands that carry a payload besides the sample upload
// (board_pattern.h): StopSlot and SetMuteStatus, built whole with their CRC.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace board {

// StopSlot (0x02): slot number (byte 3), fade time in seconds (float32,
// little-endian, bytes 4-7), CRC.
inline constexpr std::size_t kStopSlotBytes = 10;
// SetMuteStatus (0x06): mute mask bits 0-15 (little-endian, bytes 3-4),
// bits 16-23 (byte 5), CRC.
inline constexpr std::size_t kSetMuteStatusBytes = 8;

using StopSlotFrame = std::array<uint8_t, kStopSlotBytes>;
using SetMuteStatusFrame = std::array<uint8_t, kSetMuteStatusBytes>;

StopSlotFrame makeStopSlotFrame(uint8_t slot, float fadeSeconds) noexcept;
SetMuteStatusFrame makeSetMuteStatusFrame(uint32_t mask) noexcept;

} // namespace board
