#include "streaming/visualizer.h"

#include <atomic>

#include "sdk/log.h"

namespace {

constexpr const char* kTag = "Visualizer";
constexpr uint32_t kLoopbackAddress = 0x7F000001; // 127.0.0.1
std::atomic<uint16_t> gTestPort{0};

Ipv4Endpoint destination() noexcept {
    const uint16_t port = gTestPort.load(std::memory_order_relaxed);
    return Ipv4Endpoint{kLoopbackAddress, port != 0 ? port : visualizer_datagram::kPort};
}

} // namespace

void Visualizer::setPortForTesting(uint16_t port) noexcept { gTestPort.store(port, std::memory_order_relaxed); }

Visualizer::Visualizer() noexcept {
    const int error = socket_.open();
    if (error != 0) LogStream(TRV_LOG_ERROR, kTag) << "Socket error: " << error;
}

void Visualizer::send(const std::vector<VisualizerFrame>& frames) noexcept {
    const std::span<const VisualizerFrame> all(frames);
    std::size_t first = 0;
    std::size_t bytes = visualizer_datagram::kBundleHeaderBytes;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::size_t element = visualizer_datagram::elementBytes(all[i]);
        if (bytes + element > visualizer_datagram::kMaxDatagramBytes && i > first) {
            sendBundle(all.subspan(first, i - first));
            first = i;
            bytes = visualizer_datagram::kBundleHeaderBytes;
        }
        bytes += element;
    }
    if (first < all.size()) sendBundle(all.subspan(first));
}

void Visualizer::sendBundle(std::span<const VisualizerFrame> frames) noexcept {
    const std::size_t bytes = visualizer_datagram::encode(frames, buffer_);
    if (bytes == 0 || bytes > visualizer_datagram::kMaxDatagramBytes || !socket_.isOpen()) {
        ++dropped_;
        return;
    }
    const DatagramResult result = socket_.sendTo(buffer_.data(), bytes, destination());
    if (result.status == SocketStatus::Ok) ++sent_;
    else ++dropped_;
}
