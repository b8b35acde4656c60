#include "link/bluetooth/bluetooth_inquirer.h"

#include "link/bluetooth/bluetooth_exception.h"

std::unique_ptr<BluetoothInquirer> BluetoothInquirer::create() { return create(activeBluetoothBackend()); }

std::unique_ptr<BluetoothInquirer> BluetoothInquirer::create(std::shared_ptr<BluetoothBackend> backend) {
    if (!backend) throw BluetoothException("Unable to initialize socket library");
    return std::unique_ptr<BluetoothInquirer>(new BluetoothInquirer(std::move(backend)));
}

std::vector<BluetoothDeviceRecord> BluetoothInquirer::inquire(int /*durationSeconds*/) {
    return backend_->knownDevices();
}
