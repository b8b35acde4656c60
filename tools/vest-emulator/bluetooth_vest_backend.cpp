#include "tools/vest-emulator/bluetooth_vest_backend.h"

#include "link/bluetooth/bluetooth_exception.h"

namespace vestemu {

void BluetoothVestBackend::addDevice(BluetoothDeviceRecord record, std::shared_ptr<EmulatedVest> vest,
                                     StreamWriteMode mode) {
    std::lock_guard lock(mutex_);
    devices_.push_back({std::move(record), std::move(vest), mode});
}

void BluetoothVestBackend::failInquiry(std::string text) {
    std::lock_guard lock(mutex_);
    inquiryFailure_ = std::move(text);
}

std::vector<BluetoothDeviceRecord> BluetoothVestBackend::knownDevices() {
    std::lock_guard lock(mutex_);
    if (!inquiryFailure_.empty()) throw BluetoothException(inquiryFailure_);
    std::vector<BluetoothDeviceRecord> records;
    for (const auto& device : devices_) records.push_back(device.record);
    return records;
}

StreamSocket BluetoothVestBackend::openRfcomm(const std::string& address, int /*channel*/) {
    std::lock_guard lock(mutex_);
    for (auto& device : devices_) {
        if (device.record.address != address) continue;
        ++device.opened;
        if (!device.vest) break;
        auto [host, vestEnd] = StreamSocket::makePair();
        links_.emplace_back(address,
                            std::make_unique<StreamVestAdapter>(device.vest, std::move(vestEnd), device.mode));
        return std::move(host);
    }
    throw BluetoothException("Cannot connect: (112) Host is down");
}

StreamVestAdapter* BluetoothVestBackend::lastLink(const std::string& address) {
    std::lock_guard lock(mutex_);
    for (auto it = links_.rbegin(); it != links_.rend(); ++it)
        if (it->first == address) return it->second.get();
    return nullptr;
}

int BluetoothVestBackend::openCount(const std::string& address) const {
    std::lock_guard lock(mutex_);
    for (const auto& device : devices_)
        if (device.record.address == address) return device.opened;
    return 0;
}

} // namespace vestemu
