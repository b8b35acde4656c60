#include "tools/vest-emulator/udp_vest_adapter.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

namespace vestemu {

class UdpVestAdapter::PeerLink final : public VestLink {
public:
    PeerLink(UdpVestAdapter& adapter, Ipv4Endpoint peer) : adapter_(adapter), peer_(peer) {}
    LinkKind kind() const override { return LinkKind::Udp; }
    std::string peerText() const override { return peer_.toString(); }
    void transmit(std::vector<uint8_t> frame, double delaySeconds) override {
        if (closed_) return;
        if (delaySeconds <= 0) {
            adapter_.unicast_.sendTo(frame.data(), frame.size(), peer_);
            return;
        }
        const auto due = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(delaySeconds));
        adapter_.schedule({due, peer_, std::move(frame)});
    }
    void close() override { closed_ = true; }

private:
    UdpVestAdapter& adapter_;
    const Ipv4Endpoint peer_;
    std::atomic<bool> closed_{false};
};

namespace {

void bindOrThrow(UdpSocket& socket, const Ipv4Endpoint& at, bool shared) {
    if (!isLoopbackAddress(at.address))
        throw std::runtime_error("refusing to bind a non-loopback address: " + at.toString());
    if (socket.open() != 0 || (shared && socket.enableAddressReuse() != 0) || socket.bind(at) != 0)
        throw std::runtime_error("cannot bind " + at.toString());
}

} // namespace

UdpVestAdapter::UdpVestAdapter(std::shared_ptr<EmulatedVest> vest, UdpVestOptions options)
    : vest_(std::move(vest)), options_(std::move(options)) {
    // Shared, so that several vests listen on the broadcast address of the
    // same port.
    bindOrThrow(unicast_, {options_.address, options_.port}, true);
    if (options_.broadcastAddress != 0) {
        for (const uint16_t port : options_.discoveryPorts) {
            broadcast_.emplace_back();
            bindOrThrow(broadcast_.back(), {options_.broadcastAddress, port}, true);
        }
    }
    thread_ = std::thread([this] { run(); });
}

UdpVestAdapter::~UdpVestAdapter() {
    {
        std::lock_guard lock(delayedMutex_);
        stopping_ = true;
    }
    waker_.notify();
    thread_.join();
}

std::string UdpVestAdapter::addressText() const { return endpoint().toString(); }

Ipv4Endpoint UdpVestAdapter::endpoint() const { return {options_.address, options_.port}; }

void UdpVestAdapter::sendRaw(const std::vector<uint8_t>& bytes, const Ipv4Endpoint& to) {
    unicast_.sendTo(bytes.data(), bytes.size(), to);
}

void UdpVestAdapter::schedule(Delayed delayed) {
    {
        std::lock_guard lock(delayedMutex_);
        delayed_.push_back(std::move(delayed));
    }
    waker_.notify();
}

void UdpVestAdapter::sendDue() {
    std::vector<Delayed> due;
    {
        std::lock_guard lock(delayedMutex_);
        const auto now = std::chrono::steady_clock::now();
        auto split = std::stable_partition(delayed_.begin(), delayed_.end(),
                                           [&](const Delayed& d) { return d.due > now; });
        std::move(split, delayed_.end(), std::back_inserter(due));
        delayed_.erase(split, delayed_.end());
    }
    for (const auto& d : due) unicast_.sendTo(d.bytes.data(), d.bytes.size(), d.to);
}

void UdpVestAdapter::run() {
    std::vector<uint8_t> buffer(2048);
    std::vector<PollEntry> entries;
    entries.push_back({unicast_.fd()});
    for (const auto& socket : broadcast_) entries.push_back({socket.fd()});
    entries.push_back({waker_.fd()});
    for (;;) {
        float timeout = -1.0f;
        {
            std::lock_guard lock(delayedMutex_);
            if (stopping_) return;
            const auto now = std::chrono::steady_clock::now();
            for (const auto& d : delayed_) {
                const float left = std::max(0.0f, std::chrono::duration<float>(d.due - now).count());
                timeout = timeout < 0 ? left : std::min(timeout, left);
            }
        }
        pollDescriptors(entries, timeout);
        if (entries.back().ready) waker_.drain();
        sendDue();
        for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
            if (!entries[i].ready) continue;
            UdpSocket& socket = i == 0 ? unicast_ : broadcast_[i - 1];
            for (int n = 0; n < 64; ++n) {
                const DatagramResult result = socket.receiveFrom(buffer.data(), buffer.size());
                if (result.status != SocketStatus::Ok) break;
                const uint64_t key = (static_cast<uint64_t>(result.from.address) << 16) | result.from.port;
                auto& link = peers_[key];
                if (!link) link = std::make_shared<PeerLink>(*this, result.from);
                vest_->receiveFrame({buffer.data(), result.bytes}, link);
            }
        }
    }
}

} // namespace vestemu
