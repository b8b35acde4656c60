// The Bluetooth devices that BlueZ already knows, read from its object
// manager on the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured). No radio
// inquiry is started.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BluezDevice {
    std::string address;  // "AA:BB:CC:DD:EE:FF"
    std::string name;     // Name, or Alias when the device has no name
    bool paired = false;
    bool trusted = false;
    bool connected = false;
    uint32_t deviceClass = 0; // class of device, 0 when unknown
};

struct BluezDeviceList {
    bool ok = true;          // false when BlueZ answered with an error
    std::string error;       // its text
    std::vector<BluezDevice> devices;
};

// No system bus, or no BlueZ service on it: an empty list, ok. Waits at most
// timeoutSeconds for BlueZ's answer. Never throws.
BluezDeviceList listBluezDevices(float timeoutSeconds = 2.0f) noexcept;
