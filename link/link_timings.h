// The waits of the device protocol, in seconds, in one place: the link's,
// the board commands' and the stream's. The defaults are the protocol's own;
// tests shorten them to stay fast.
#pragma once

#include <cstdint>

struct LinkTimings {
    float answerTimeoutSeconds = 0.5f;          // USB and WiFi: one answer
    float discoveryWindowSeconds = 1.0f;        // WiFi: answers to a Discover
    float searchSeconds = 5.0f;                 // WiFi: a whole scan or connect, discovery included
    float bluetoothAnswerTimeoutSeconds = 1.5f; // Bluetooth: one answer
    float bluetoothSettleSeconds = 1.0f;        // Bluetooth: pause after the link opens
    float bluetoothWriteTimeoutSeconds = 1.5f;  // Bluetooth: a write that cannot finish
    float receiveWaitSeconds = 0.01f;           // how long receive() waits for a message
};

namespace board {

// The board-command backend's waits; its handler is given them when made.
struct BoardTimings {
    float resendSeconds = 1.0f;     // a transaction sends again after this long
    int32_t maxSends = 10;          // and gives up this long after the last send
    float keepAliveSeconds = 1.0f;  // idle link: a KeepAlive after this long
    float settleSeconds = 0.5f;     // after a USB or Bluetooth link opens
    float cycleSeconds = 0.002f;    // longest wait of the loop while effects play
};

} // namespace board

// The timings that transports built without arguments use. Thread-safe.
LinkTimings processLinkTimings() noexcept;

// Replaces them for transports made afterwards (tests only).
void setProcessLinkTimings(const LinkTimings& timings) noexcept;
