// Frames and waits that the transport tests share.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "link/hid_com.h"
#include "link/hid_frame.h"

namespace trv::test {

// A well-formed unsolicited slot status (0xA0) with its CRC.
inline std::vector<uint8_t> slotStatus() {
    std::vector<uint8_t> frame{0xA0, 0xAD, 0xDE, 0, 0, 0, 0, 0, 0, 0};
    stampFrameCrc(frame.data(), frame.size());
    return frame;
}

// The first result of receive() that is not 0 (nothing yet), within 10 s.
inline int32_t receiveSoon(IHidCom& transport) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int32_t received = 0;
    while (received == 0 && std::chrono::steady_clock::now() < end) received = transport.receive();
    return received;
}

} // namespace trv::test
