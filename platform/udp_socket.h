// IPv4 UDP sockets for the WiFi link and its emulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// An IPv4 address and port, both in host byte order.
struct Ipv4Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;

    bool operator==(const Ipv4Endpoint&) const = default;
    // "a.b.c.d:port"
    std::string toString() const;
    // "a.b.c.d"
    std::string addressText() const;
};

// Dotted IPv4 text (exactly four decimal octets) to an address; nothing for
// any other text. Never throws.
std::optional<uint32_t> parseIpv4Address(std::string_view text) noexcept;
std::string ipv4AddressText(uint32_t address);
bool isLoopbackAddress(uint32_t address) noexcept; // 127.0.0.0/8

enum class SocketStatus {
    Ok,         // a datagram was read or sent
    WouldBlock, // nothing waiting (read) or no room (send)
    TooLarge,   // a datagram longer than the buffer was read and dropped
    Failed,     // any other error; see error
};

struct DatagramResult {
    SocketStatus status = SocketStatus::Failed;
    std::size_t bytes = 0; // bytes read (Ok), or the datagram's real length (TooLarge)
    Ipv4Endpoint from;
    int error = 0;         // errno when Failed
};

// One non-blocking IPv4 UDP socket; closed by the destructor. Send and
// receive may run on two threads at once.
class UdpSocket {
public:
    UdpSocket() noexcept = default;
    ~UdpSocket();
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Creates the socket: 0, or errno.
    int open() noexcept;
    bool isOpen() const noexcept { return fd_ >= 0; }
    int enableBroadcast() noexcept;  // 0 or errno
    int enableAddressReuse() noexcept;
    int bind(const Ipv4Endpoint& local) noexcept;
    std::optional<Ipv4Endpoint> localEndpoint() const noexcept;

    DatagramResult sendTo(const uint8_t* bytes, std::size_t count, const Ipv4Endpoint& to) noexcept;
    // Reads one waiting datagram without blocking.
    DatagramResult receiveFrom(uint8_t* buffer, std::size_t capacity) noexcept;
    // True when a datagram (or an error) is waiting within timeoutSeconds.
    bool waitReadable(float timeoutSeconds) const noexcept;
    bool waitWritable(float timeoutSeconds) const noexcept;

    int fd() const noexcept { return fd_; }
    void close() noexcept;

private:
    int fd_ = -1;
};
