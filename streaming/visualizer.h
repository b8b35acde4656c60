// The visualizer: sends the actuator weights of what a core plays, as one
// Open Sound Control bundle per update, to a viewer on this computer (UDP,
// 127.0.0.1 port 42193). Nothing is received; a missing viewer, a full send
// queue or any send error drops the datagram silently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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
