// The waits of the device link, in seconds. The defaults are the protocol's
// own; tests shorten them to stay fast.
#pragma once

struct LinkTimings {
    float answerTimeoutSeconds = 0.5f;          // USB and WiFi: one answer
    float discoveryWindowSeconds = 1.0f;        // WiFi: answers to a Discover
    float searchSeconds = 5.0f;                 // WiFi: a whole scan or connect, discovery included
    float bluetoothAnswerTimeoutSeconds = 1.5f; // Bluetooth: one answer
    float bluetoothSettleSeconds = 1.0f;        // Bluetooth: pause after the link opens
    float bluetoothWriteTimeoutSeconds = 1.5f;  // Bluetooth: a write that cannot finish
    float receiveWaitSeconds = 0.01f;           // how long receive() waits for a message
};

// The timings that transports built without arguments use. Thread-safe.
LinkTimings processLinkTimings() noexcept;

// Replaces them for transports made afterwards (tests only).
void setProcessLinkTimings(const LinkTimings& timings) noexcept;
