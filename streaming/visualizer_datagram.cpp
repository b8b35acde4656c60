#include <charconv>
#include <string_view>

#include "streaming/osc_packet.h"
#include "streaming/visualizer.h"

namespace visualizer_datagram {
namespace {

constexpr std::string_view kAddressPrefix = "/tarvonel_viz/";
constexpr uint64_t kImmediateTimeTag = 1;
// The prefix, two int32 in decimal with their signs, and the slash.
constexpr std::size_t kMaxAddressChars = kAddressPrefix.size() + 11 + 1 + 11;

// Writes the address of a frame into out; returns its length.
std::size_t formatAddress(const VisualizerFrame& frame, char (&out)[kMaxAddressChars]) noexcept {
    char* p = out;
    for (char c : kAddressPrefix) *p++ = c;
    p = std::to_chars(p, out + kMaxAddressChars, frame.patternId).ptr;
    *p++ = '/';
    p = std::to_chars(p, out + kMaxAddressChars, frame.sequenceId).ptr;
    return static_cast<std::size_t>(p - out);
}

} // namespace

std::size_t elementBytes(const VisualizerFrame& frame) noexcept {
    char address[kMaxAddressChars];
    const std::size_t addressChars = formatAddress(frame, address);
    return 4 + OSCPP::Client::Packet::paddedStringBytes(addressChars) +
           OSCPP::Client::Packet::typeTagBytes(frame.weights.size()) + 4 * frame.weights.size();
}

std::size_t encode(std::span<const VisualizerFrame> frames, std::vector<uint8_t>& buffer) noexcept {
    if (frames.empty()) return 0;
    try {
        std::size_t bytes = kBundleHeaderBytes;
        for (const VisualizerFrame& frame : frames) bytes += elementBytes(frame);
        if (buffer.size() < bytes) buffer.resize(bytes);

        OSCPP::Client::Packet packet(buffer.data(), bytes);
        packet.openBundle(kImmediateTimeTag);
        char address[kMaxAddressChars];
        for (const VisualizerFrame& frame : frames) {
            const std::size_t addressChars = formatAddress(frame, address);
            packet.openMessage(std::string_view(address, addressChars), frame.weights.size());
            for (float weight : frame.weights) packet.float32(weight);
            packet.closeMessage();
        }
        packet.closeBundle();
        return packet.size();
    } catch (...) {
        return 0;
    }
}

} // namespace visualizer_datagram
