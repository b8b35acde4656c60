// RFCOMM links through the kernel's Bluetooth sockets (BlueZ).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/stream_socket.h"

// "AA:BB:CC:DD:EE:FF" (most significant byte first) to its six bytes, most
// significant first; nothing for any other text.
std::optional<std::array<uint8_t, 6>> parseBluetoothAddress(const std::string& text) noexcept;

// Opens an RFCOMM stream to address on channel and leaves it non-blocking.
// Blocks until the Bluetooth stack connects or gives up. On failure the
// result is closed and error holds errno (EINVAL for an address that does
// not parse).
StreamSocket connectRfcomm(const std::string& address, uint8_t channel, int& error) noexcept;
