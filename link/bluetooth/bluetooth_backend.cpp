#include "link/bluetooth/bluetooth_backend.h"

#include <cerrno>
#include <mutex>

#include "link/bluetooth/bluetooth_exception.h"
#include "platform/bluez_devices.h"
#include "platform/rfcomm_socket.h"
#include "platform/socket_error.h"

namespace {

class BluezBackend final : public BluetoothBackend {
public:
    std::vector<BluetoothDeviceRecord> knownDevices() override {
        const BluezDeviceList list = listBluezDevices();
        if (!list.ok) throw BluetoothException(list.error);
        std::vector<BluetoothDeviceRecord> records;
        for (const auto& device : list.devices) {
            BluetoothDeviceRecord record;
            record.address = device.address;
            record.name = device.name;
            record.connected = device.connected;
            record.remembered = device.paired || device.trusted;
            record.authenticated = device.paired;
            record.deviceClass = device.deviceClass & 0x1FFC;
            record.majorDeviceClass = device.deviceClass & 0x1F00;
            record.serviceClass = device.deviceClass >> 13;
            records.push_back(std::move(record));
        }
        return records;
    }

    StreamSocket openRfcomm(const std::string& address, int channel) override {
        int error = 0;
        StreamSocket socket = connectRfcomm(address, static_cast<uint8_t>(channel), error);
        if (!socket.isOpen()) throw BluetoothException("Cannot connect: " + formatSocketErrorMessage(error));
        return socket;
    }
};

std::mutex gBackendMutex; // guards gBackend
std::shared_ptr<BluetoothBackend> gBackend;

} // namespace

std::shared_ptr<BluetoothBackend> activeBluetoothBackend() {
    std::lock_guard lock(gBackendMutex);
    if (!gBackend) gBackend = std::make_shared<BluezBackend>();
    return gBackend;
}

void setActiveBluetoothBackend(std::shared_ptr<BluetoothBackend> backend) {
    std::lock_guard lock(gBackendMutex);
    gBackend = std::move(backend);
}
