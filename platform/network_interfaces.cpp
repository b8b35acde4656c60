#include "platform/network_interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace {

constexpr uint32_t kLocalhost = 0x7F000001; // 127.0.0.1

class InterfaceList {
public:
    InterfaceList() {
        if (::getifaddrs(&list_) != 0) list_ = nullptr;
    }
    ~InterfaceList() {
        if (list_ != nullptr) ::freeifaddrs(list_);
    }
    InterfaceList(const InterfaceList&) = delete;
    InterfaceList& operator=(const InterfaceList&) = delete;
    ifaddrs* first() const { return list_; }

private:
    ifaddrs* list_ = nullptr;
};

uint32_t ipv4Of(const sockaddr* address) {
    return ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
}

} // namespace

std::vector<uint32_t> ipv4BroadcastAddresses() noexcept {
    std::vector<uint32_t> result;
    try {
        InterfaceList interfaces;
        for (ifaddrs* it = interfaces.first(); it != nullptr; it = it->ifa_next) {
            const unsigned flags = it->ifa_flags;
            if ((flags & IFF_UP) == 0 || (flags & IFF_RUNNING) == 0) continue;
            if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
            if (it->ifa_netmask == nullptr) continue;
            const uint32_t address = ipv4Of(it->ifa_addr);
            if (address == kLocalhost) continue;
            result.push_back(address | ~ipv4Of(it->ifa_netmask));
        }
    } catch (...) {
        result.clear();
    }
    return result;
}

bool onlyLoopbackInterfacesUp() noexcept {
    InterfaceList interfaces;
    if (interfaces.first() == nullptr) return false;
    for (ifaddrs* it = interfaces.first(); it != nullptr; it = it->ifa_next) {
        if ((it->ifa_flags & IFF_UP) != 0 && (it->ifa_flags & IFF_LOOPBACK) == 0) return false;
    }
    return true;
}

bool isLocalLoopbackAddress(uint32_t address) noexcept {
    InterfaceList interfaces;
    for (ifaddrs* it = interfaces.first(); it != nullptr; it = it->ifa_next) {
        if ((it->ifa_flags & IFF_LOOPBACK) == 0 || (it->ifa_flags & IFF_UP) == 0) continue;
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET || it->ifa_netmask == nullptr)
            continue;
        const uint32_t mask = ipv4Of(it->ifa_netmask);
        const uint32_t own = ipv4Of(it->ifa_addr);
        const uint32_t broadcast = own | ~mask;
        // Any address of a loopback subnet is local on Linux, its broadcast too.
        if ((address & mask) == (own & mask) || address == broadcast) return true;
    }
    return false;
}
