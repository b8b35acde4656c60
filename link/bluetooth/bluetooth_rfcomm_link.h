// One RFCOMM stream connection to a device address and channel.
//
// read() never waits longer than asked and reports a closed peer as a
// failure; write() sends every byte or fails. One thread may read while
// another writes; close() and destruction must not overlap any other call
// (the owner's duty). The destructor closes an open socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "link/bluetooth/bluetooth_backend.h"

class BluetoothRfcommLink {
public:
    static constexpr std::size_t kMaxAddressLength = 39;

    // A link object, not yet connected. Throws BluetoothException
    // ("ChannelID should be a positive int value") for a channel below 1.
    static std::unique_ptr<BluetoothRfcommLink> create(std::string address, int channelId);
    static std::unique_ptr<BluetoothRfcommLink> create(std::string address, int channelId,
                                                       std::shared_ptr<BluetoothBackend> backend);
    ~BluetoothRfcommLink();

    // Opens the link (closing a previous one). Throws "Address length is
    // invalid" or "Cannot connect: " and the reason.
    void connect();
    // Waits up to waitSeconds for data, then returns the bytes received so
    // far (at most length; 0 when none). Throws "connection has been closed"
    // when there is no open socket, "connection has been closed by the peer"
    // when the peer closed it, "buffer cannot be null", "Error reading from
    // connection".
    int32_t read(uint8_t* buffer, uint32_t length, float waitSeconds = 0.0f);
    // Sends every byte within timeoutSeconds, or throws "buffer cannot be
    // null", "Attempting to write to a closed connection", "Writing attempt
    // was unsuccessful".
    void write(const uint8_t* buffer, uint32_t length, float timeoutSeconds = 1.5f);
    void close() noexcept;
    bool isOpen() const noexcept { return socket_.isOpen(); }

    const std::string& address() const { return address_; }
    int channelId() const { return channelId_; }

private:
    BluetoothRfcommLink(std::string address, int channelId, std::shared_ptr<BluetoothBackend> backend);

    const std::string address_;
    const int channelId_;
    const std::shared_ptr<BluetoothBackend> backend_;
    StreamSocket socket_;
};
