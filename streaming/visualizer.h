// The visualizer: sends the actuator weights of what a core plays, as one
// Open Sound Control bundle per update, to a viewer on this computer (UDP,
// 127.0.0.1 port 42193). Nothing is received; a missing viewer, a full send
// queue or any send error drops the datagram silently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/udp_socket.h"

struct VisualizerFrame {
    int32_t patternId = -1;
    int32_t sequenceId = -1;
    std::vector<float> weights; // one per actuator
};

// The datagram of a list of frames, all integers and floats big-endian:
//   "#bundle\0", the time tag 1 (immediate), then per frame one element:
//   int32 size of the rest of the element, the address
//   "/tarvonel_viz/<patternId>/<sequenceId>" padded, the type tags ","
//   and one "f" per weight padded, and the weights as float32.
namespace visualizer_datagram {

inline constexpr uint16_t kPort = 42193;
// The largest UDP payload over IPv4: a longer update is split into several
// bundles, each within this size.
inline constexpr std::size_t kMaxDatagramBytes = 65507;
inline constexpr std::size_t kBundleHeaderBytes = 16;

// Bytes of the bundle element of one frame (its size field included).
std::size_t elementBytes(const VisualizerFrame& frame) noexcept;

// Encodes frames as one bundle into buffer, which is grown to fit (its
// capacity is kept for the next call). Returns the datagram length, or 0
// when the frames are empty or the encoding failed. Never throws.
std::size_t encode(std::span<const VisualizerFrame> frames, std::vector<uint8_t>& buffer) noexcept;

} // namespace visualizer_datagram

// Owned by a signal core; send() runs on the stream thread only.
class Visualizer {
public:
    // Opens the non-blocking socket; a failure is logged and later sends are
    // dropped. Never throws.
    Visualizer() noexcept;
    ~Visualizer() = default;

    Visualizer(const Visualizer&) = delete;
    Visualizer& operator=(const Visualizer&) = delete;

    // Sends the frames as one bundle (several when they exceed one UDP
    // datagram); nothing for an empty list. Errors drop the update. Never
    // throws.
    void send(const std::vector<VisualizerFrame>& frames) noexcept;

    // Datagrams sent and updates (or parts) dropped since construction.
    uint64_t sentCount() const noexcept { return sent_; }
    uint64_t droppedCount() const noexcept { return dropped_; }

    // Sends to another loopback port from now on, process-wide (0 restores
    // 42193). A seam for tests that run side by side.
    static void setPortForTesting(uint16_t port) noexcept;

private:
    void sendBundle(std::span<const VisualizerFrame> frames) noexcept;

    UdpSocket socket_;
    std::vector<uint8_t> buffer_; // reused; grows only for a larger update
    uint64_t sent_ = 0;
    uint64_t dropped_ = 0;
};
