#include "link/bluetooth/bluetooth_rfcomm_link.h"

#include "link/bluetooth/bluetooth_exception.h"
#include "platform/socket_error.h"

std::unique_ptr<BluetoothRfcommLink> BluetoothRfcommLink::create(std::string address, int channelId) {
    return create(std::move(address), channelId, activeBluetoothBackend());
}

std::unique_ptr<BluetoothRfcommLink> BluetoothRfcommLink::create(std::string address, int channelId,
                                                                 std::shared_ptr<BluetoothBackend> backend) {
    if (channelId < 1) throw BluetoothException("ChannelID should be a positive int value");
    if (!backend) throw BluetoothException("Unable to initialize socket library");
    return std::unique_ptr<BluetoothRfcommLink>(
        new BluetoothRfcommLink(std::move(address), channelId, std::move(backend)));
}

BluetoothRfcommLink::BluetoothRfcommLink(std::string address, int channelId,
                                         std::shared_ptr<BluetoothBackend> backend)
    : address_(std::move(address)), channelId_(channelId), backend_(std::move(backend)) {}

BluetoothRfcommLink::~BluetoothRfcommLink() { close(); }

void BluetoothRfcommLink::connect() {
    close();
    if (address_.size() > kMaxAddressLength) throw BluetoothException("Address length is invalid");
    socket_ = backend_->openRfcomm(address_, channelId_);
}

int32_t BluetoothRfcommLink::read(uint8_t* buffer, uint32_t length, float waitSeconds) {
    if (!socket_.isOpen()) throw BluetoothException("connection has been closed");
    if (buffer == nullptr) throw BluetoothException("buffer cannot be null");
    if (length == 0) return 0;
    const StreamReadResult result = socket_.read(buffer, length, waitSeconds);
    switch (result.status) {
    case StreamStatus::Data: return static_cast<int32_t>(result.bytes);
    case StreamStatus::Nothing: return 0;
    case StreamStatus::Closed: throw BluetoothException("connection has been closed by the peer");
    case StreamStatus::Failed: break;
    }
    throw BluetoothException("Error reading from connection: " + formatSocketErrorMessage(result.error));
}

void BluetoothRfcommLink::write(const uint8_t* buffer, uint32_t length, float timeoutSeconds) {
    if (buffer == nullptr) throw BluetoothException("buffer cannot be null");
    if (length == 0) return;
    if (!socket_.isOpen()) throw BluetoothException("Attempting to write to a closed connection");
    if (socket_.writeAll(buffer, length, timeoutSeconds) != 0)
        throw BluetoothException("Writing attempt was unsuccessful");
}

void BluetoothRfcommLink::close() noexcept { socket_.close(); }
