// One channel from an emulated vest back to one host: a UDP peer, a byte
// stream, or the input reports of an emulated HID device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vestemu {

enum class LinkKind { Udp, Stream, Hid };

class VestLink {
public:
    virtual ~VestLink() = default;
    virtual LinkKind kind() const = 0;
    // The host's address ("127.10.0.1:40000") or the adapter's name.
    virtual std::string peerText() const = 0;
    // Sends one frame to the host, after delaySeconds (0: at once). Must not
    // block for long; thread-safe.
    virtual void transmit(std::vector<uint8_t> frame, double delaySeconds) = 0;
    // Ends the link as a vest that drops the connection would (a stream is
    // shut down; a UDP peer is forgotten; an HID device fails its reads).
    virtual void close() = 0;
};

} // namespace vestemu
