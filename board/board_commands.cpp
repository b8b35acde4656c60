#include "board/board_commands.h"

#include <bit>

#include "link/hid_frame.h"

namespace board {

namespace {

constexpr std::size_t kPayloadAt = 3; // after the command ID and the sync word

// Writes the `count` low bytes of value, least significant first.
void putLittleEndian(uint8_t* at, uint32_t value, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

template <std::size_t N>
std::array<uint8_t, N> headOf(HidCommandId id) noexcept {
    std::array<uint8_t, N> frame{};
    frame[0] = idOf(id);
    frame[1] = kSyncLow;
    frame[2] = kSyncHigh;
    return frame;
}

} // namespace

StopSlotFrame makeStopSlotFrame(uint8_t slot, float fadeSeconds) noexcept {
    auto frame = headOf<kStopSlotBytes>(HidCommandId::StopSlot);
    frame[kPayloadAt] = slot;
    putLittleEndian(&frame[kPayloadAt + 1], std::bit_cast<uint32_t>(fadeSeconds), sizeof(float));
    stampFrameCrc(frame.data(), frame.size());
    return frame;
}

SetMuteStatusFrame makeSetMuteStatusFrame(uint32_t mask) noexcept {
    auto frame = headOf<kSetMuteStatusBytes>(HidCommandId::SetMuteStatus);
    putLittleEndian(&frame[kPayloadAt], mask, 3); // the 24 bits the board reads
    stampFrameCrc(frame.data(), frame.size());
    return frame;
}

} // namespace board
