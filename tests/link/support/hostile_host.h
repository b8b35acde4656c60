// A hostile host on the private loopback network: it answers a Discover
// with well-formed answers from many addresses and ports, then stays silent
// and counts the requests that reach its fake vests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/udp_socket.h"

namespace trv::test {

class HostileHost {
public:
    // Fake vests: `ports` ports from 40000 on at portsAddress (127.10.0.9
    // unless given: a vest's own address shows forged answers from it), and
    // one port on each of `addresses` addresses from 127.10.0.10 on. Throws
    // when one cannot bind.
    HostileHost(int ports, int addresses, uint32_t portsAddress = 0x7F0A0009);

    // Waits (bounded) for the Discover broadcast and answers it from every
    // fake vest. False when no Discover came.
    bool answerDiscover(float timeoutSeconds = 5.0f);
    // Waits (bounded) until a request reaches a fake vest.
    bool waitForRequest(float timeoutSeconds = 5.0f);
    // Reads what reached the fake vests: the number of requests, and of
    // fake vests that received at least one (per address: their count).
    std::size_t takeRequests(std::vector<uint32_t>* addressesAsked = nullptr);

private:
    UdpSocket listener_; // the Discover port at the broadcast address
    std::vector<UdpSocket> fakes_;
};

} // namespace trv::test
