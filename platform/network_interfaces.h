// The host's IPv4 interfaces, as the WiFi discovery and the emulator see them.
#pragma once

#include <cstdint>
#include <vector>

// The broadcast address (address OR the inverted netmask) of every IPv4
// address of every interface that is up and running, in the system's order,
// except the address 127.0.0.1 itself. Empty when the list is unavailable.
std::vector<uint32_t> ipv4BroadcastAddresses() noexcept;

// True when no interface but loopback is up (the private test namespace).
bool onlyLoopbackInterfacesUp() noexcept;

// True when address is assigned to a loopback interface of this host.
bool isLocalLoopbackAddress(uint32_t address) noexcept;
