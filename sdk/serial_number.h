// The serial number given where there is no vest: by the status queries
// without a connection, by a stream that has none (a sound card), and in the
// connection reports of a connection that never reached a vest.
#pragma once

#include <cstdint>

inline constexpr uint32_t kNoSerialNumber = 0xFFFFFFFFu;
