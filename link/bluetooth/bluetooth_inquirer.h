// Lists the Bluetooth devices that the system already knows; starts no radio
// inquiry. Used by one thread at a time.
#pragma once

#include <memory>
#include <vector>

#include "link/bluetooth/bluetooth_backend.h"

class BluetoothInquirer {
public:
    // Throws BluetoothException when the system's Bluetooth cannot be reached.
    static std::unique_ptr<BluetoothInquirer> create();
    static std::unique_ptr<BluetoothInquirer> create(std::shared_ptr<BluetoothBackend> backend);

    // The known devices, in the system's order. durationSeconds is accepted
    // for the callers' sake and changes nothing: the list is read at once.
    // Throws BluetoothException when the system answers with an error.
    std::vector<BluetoothDeviceRecord> inquire(int durationSeconds);

private:
    explicit BluetoothInquirer(std::shared_ptr<BluetoothBackend> backend) : backend_(std::move(backend)) {}
    std::shared_ptr<BluetoothBackend> backend_;
};
