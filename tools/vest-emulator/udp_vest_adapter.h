// Puts an EmulatedVest on the loopback network: one unicast socket at the
// vest's own address and port (every answer goes out from there, so each vest
// has an address of its own, whatever port a broadcast came in on), and one
// socket per discovery port at the loopback subnet's broadcast address, where
// Discover broadcasts arrive.
//
// Only loopback addresses (127.0.0.0/8) are accepted: the emulator never
// binds a real interface. One thread per adapter; it is joined by the
// destructor.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/poll.h"
#include "platform/udp_socket.h"
#include "tools/vest-emulator/emulated_vest.h"

namespace vestemu {

struct UdpVestOptions {
    uint32_t address = 0x7F0A0002;          // 127.10.0.2
    uint16_t port = 33624;                  // where requests come in and answers leave
    uint32_t broadcastAddress = 0x7F0AFFFF; // 127.10.255.255; 0: no broadcast listener
    std::vector<uint16_t> discoveryPorts{33624, 42192, 17956, 2601, 555};
};

class UdpVestAdapter {
public:
    // Binds every socket and starts the thread; throws std::runtime_error
    // when an address is not loopback or a socket cannot be bound.
    UdpVestAdapter(std::shared_ptr<EmulatedVest> vest, UdpVestOptions options);
    ~UdpVestAdapter();
    UdpVestAdapter(const UdpVestAdapter&) = delete;
    UdpVestAdapter& operator=(const UdpVestAdapter&) = delete;

    // The vest's address, as the WiFi transport writes it: "a.b.c.d:port".
    std::string addressText() const;
    Ipv4Endpoint endpoint() const;
    EmulatedVest& vest() { return *vest_; }

    // Sends raw bytes from the vest's address to a host (tests: malformed
    // datagrams).
    void sendRaw(const std::vector<uint8_t>& bytes, const Ipv4Endpoint& to);

private:
    class PeerLink;
    struct Delayed {
        std::chrono::steady_clock::time_point due;
        Ipv4Endpoint to;
        std::vector<uint8_t> bytes;
    };

    void run();
    void schedule(Delayed delayed);
    void sendDue();

    const std::shared_ptr<EmulatedVest> vest_;
    const UdpVestOptions options_;
    UdpSocket unicast_;
    std::vector<UdpSocket> broadcast_; // one per discovery port
    Waker waker_;
    std::mutex delayedMutex_; // guards delayed_ and stopping_
    std::vector<Delayed> delayed_;
    bool stopping_ = false;
    // Touched by the adapter thread only.
    std::map<uint64_t, std::shared_ptr<PeerLink>> peers_;
    std::thread thread_; // last: joined before the sockets close
};

} // namespace vestemu
