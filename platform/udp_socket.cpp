#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/poll.h"

namespace {

sockaddr_in toSockaddr(const Ipv4Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

Ipv4Endpoint fromSockaddr(const sockaddr_in& address) {
    return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

int setIntOption(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : errno;
}

} // namespace

std::string ipv4AddressText(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string Ipv4Endpoint::addressText() const { return ipv4AddressText(address); }

std::string Ipv4Endpoint::toString() const { return addressText() + ":" + std::to_string(port); }

std::optional<uint32_t> parseIpv4Address(std::string_view text) noexcept {
    uint32_t address = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (p == end || *p != '.') return std::nullopt;
            ++p;
        }
        if (p == end || *p < '0' || *p > '9' || (end - p > 1 && *p == '0' && p[1] >= '0' && p[1] <= '9'))
            return std::nullopt; // no sign, no blank, no leading zero
        unsigned value = 0;
        const auto [next, error] = std::from_chars(p, end, value);
        if (error != std::errc() || value > 255) return std::nullopt;
        address = (address << 8) | value;
        p = next;
    }
    if (p != end) return std::nullopt;
    return address;
}

bool isLoopbackAddress(uint32_t address) noexcept { return (address >> 24) == 127; }

UdpSocket::~UdpSocket() { close(); }

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int UdpSocket::open() noexcept {
    close();
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return fd_ >= 0 ? 0 : errno;
}

void UdpSocket::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int UdpSocket::enableBroadcast() noexcept { return setIntOption(fd_, SOL_SOCKET, SO_BROADCAST, 1); }

int UdpSocket::enableAddressReuse() noexcept { return setIntOption(fd_, SOL_SOCKET, SO_REUSEADDR, 1); }

int UdpSocket::bind(const Ipv4Endpoint& local) noexcept {
    const sockaddr_in address = toSockaddr(local);
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
}

std::optional<Ipv4Endpoint> UdpSocket::localEndpoint() const noexcept {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return std::nullopt;
    return fromSockaddr(address);
}

DatagramResult UdpSocket::sendTo(const uint8_t* bytes, std::size_t count, const Ipv4Endpoint& to) noexcept {
    const sockaddr_in address = toSockaddr(to);
    DatagramResult result;
    for (;;) {
        const ssize_t sent = ::sendto(fd_, bytes, count, MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (sent >= 0) {
            result.status = SocketStatus::Ok;
            result.bytes = static_cast<std::size_t>(sent);
            return result;
        }
        if (errno == EINTR) continue;
        result.error = errno;
        result.status = (errno == EAGAIN || errno == EWOULDBLOCK) ? SocketStatus::WouldBlock
                                                                  : SocketStatus::Failed;
        return result;
    }
}

DatagramResult UdpSocket::receiveFrom(uint8_t* buffer, std::size_t capacity) noexcept {
    DatagramResult result;
    sockaddr_in address{};
    for (;;) {
        socklen_t length = sizeof address;
        // MSG_TRUNC reports a datagram's real length, so an oversize one is
        // told apart from a whole one (its tail is discarded by the kernel).
        const ssize_t received = ::recvfrom(fd_, buffer, capacity, MSG_TRUNC | MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr*>(&address), &length);
        if (received >= 0) {
            result.from = fromSockaddr(address);
            result.bytes = static_cast<std::size_t>(received);
            result.status = result.bytes > capacity ? SocketStatus::TooLarge : SocketStatus::Ok;
            return result;
        }
        if (errno == EINTR) continue;
        result.error = errno;
        result.status = (errno == EAGAIN || errno == EWOULDBLOCK) ? SocketStatus::WouldBlock
                                                                  : SocketStatus::Failed;
        return result;
    }
}

bool UdpSocket::waitReadable(float timeoutSeconds) const noexcept {
    return ::waitReadable(fd_, timeoutSeconds);
}

bool UdpSocket::waitWritable(float timeoutSeconds) const noexcept {
    PollEntry entry{fd_, true};
    return pollDescriptors({&entry, 1}, timeoutSeconds) > 0;
}
