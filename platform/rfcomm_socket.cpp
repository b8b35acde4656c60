#include "platform/rfcomm_socket.h"

#include <sys/socket.h>
#include <unistd.h>

// Headers only: no call into libbluetooth.
#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>

#include <cerrno>
#include <charconv>
#include <cstring>

std::optional<std::array<uint8_t, 6>> parseBluetoothAddress(const std::string& text) noexcept {
    if (text.size() != 17) return std::nullopt;
    std::array<uint8_t, 6> bytes{};
    for (std::size_t i = 0; i < 6; ++i) {
        const char* at = text.data() + 3 * i;
        if (i < 5 && at[2] != ':') return std::nullopt;
        unsigned value = 0;
        const auto [end, error] = std::from_chars(at, at + 2, value, 16);
        if (error != std::errc() || end != at + 2) return std::nullopt;
        bytes[i] = static_cast<uint8_t>(value);
    }
    return bytes;
}

StreamSocket connectRfcomm(const std::string& address, uint8_t channel, int& error) noexcept {
    error = 0;
    const auto bytes = parseBluetoothAddress(address);
    if (!bytes) {
        error = EINVAL;
        return {};
    }
    StreamSocket socket(::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, BTPROTO_RFCOMM));
    if (!socket.isOpen()) {
        error = errno;
        return {};
    }
    sockaddr_rc remote{};
    remote.rc_family = AF_BLUETOOTH;
    remote.rc_channel = channel;
    for (std::size_t i = 0; i < 6; ++i) remote.rc_bdaddr.b[i] = (*bytes)[5 - i]; // little-endian
    if (const int failed = socket.connectTo(&remote, sizeof remote); failed != 0) {
        error = failed;
        return {};
    }
    if (const int failed = socket.setNonBlocking(); failed != 0) {
        error = failed;
        return {};
    }
    return socket;
}
