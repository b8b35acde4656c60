// CRC-16/CCITT-FALSE (polynomial 0x1021, initial value 0xFFFF, MSB first, no
// reflection, no final XOR): the frame check of every message between the
// host and the vest, computed here for the library and the vest emulator
// alike.
//
// Two implementations with identical results: eight bytes per step through
// eight tables (any x86-64 processor), and, on processors with the
// carry-less multiply (PCLMULQDQ, with SSSE3), 64 bytes per step folded in
// four 128-bit lanes. The choice is made once per process.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC of count bytes (0 bytes: 0xFFFF).
uint16_t crc16CcittFalse(const uint8_t* bytes, std::size_t count) noexcept;

namespace crc16 {

// Continues a CRC: crc is the value after the bytes before these.
uint16_t sliceBy8(uint16_t crc, const uint8_t* bytes, std::size_t count) noexcept;

// True when this processor has the carry-less multiply and SSSE3.
bool carrylessAvailable() noexcept;

// The CRC of count bytes by folding; only where carrylessAvailable().
uint16_t carryless(const uint8_t* bytes, std::size_t count) noexcept;

} // namespace crc16
