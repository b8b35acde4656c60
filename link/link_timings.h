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

// The waits of the HID stream.
struct StreamTimings {
    float answerTimeoutSeconds = 0.5f;   // one handshake answer
    float startDelaySeconds = 0.5f;      // pause before StartStream
    float silenceTimeoutSeconds = 4.0f;  // no DataRequest for this long ends the stream
    // A request whose timestamp lies further than this from the stream's
    // clock (ahead or behind) resynchronises the clock instead of rendering
    // the gap: a new stream, a vest that restarted, a clock that jumped.
    float resyncGapSeconds = 4.0f;
};

// What the transports and streams that the backends make for themselves
// use; the board handler is given its own timings by its maker.
struct DeviceTimings {
    LinkTimings link;
    StreamTimings stream;
};

// The timings of transports and streams made from now on. Thread-safe.
DeviceTimings processDeviceTimings() noexcept;
inline LinkTimings processLinkTimings() noexcept { return processDeviceTimings().link; }

// Replaces them for what is made afterwards. Only tests shorten them.
void setProcessDeviceTimings(const DeviceTimings& timings) noexcept;
