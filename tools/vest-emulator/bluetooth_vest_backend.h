// A Bluetooth backend whose devices are emulated vests: the device list is
// what the test sets, and each RFCOMM link is a socketpair with the vest's
// StreamVestAdapter on the other end.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/bluetooth/bluetooth_backend.h"
#include "tools/vest-emulator/stream_vest_adapter.h"

namespace vestemu {

class BluetoothVestBackend final : public BluetoothBackend {
public:
    // Lists a device; a vest may be null (a device that cannot be reached).
    void addDevice(BluetoothDeviceRecord record, std::shared_ptr<EmulatedVest> vest,
                   StreamWriteMode mode = {});
    // Makes knownDevices() throw with this text (empty: stop failing).
    void failInquiry(std::string text);

    std::vector<BluetoothDeviceRecord> knownDevices() override;
    StreamSocket openRfcomm(const std::string& address, int channel) override;

    // The adapter of the last link opened to address (null when none).
    StreamVestAdapter* lastLink(const std::string& address);
    int openCount(const std::string& address) const;

private:
    struct Device {
        BluetoothDeviceRecord record;
        std::shared_ptr<EmulatedVest> vest;
        StreamWriteMode mode;
        int opened = 0;
    };
    mutable std::mutex mutex_; // guards every member below
    std::vector<Device> devices_;
    std::string inquiryFailure_;
    std::vector<std::pair<std::string, std::unique_ptr<StreamVestAdapter>>> links_;
};

} // namespace vestemu
