// What the Bluetooth socket library needs of the system: the list of known
// devices and an RFCOMM stream to one of them. The system's backend is BlueZ
// (D-Bus for the list, kernel sockets for the link); tests install one that
// reaches emulated vests over socketpairs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/stream_socket.h"

struct BluetoothDeviceRecord {
    std::string address;        // "AA:BB:CC:DD:EE:FF", most significant byte first
    std::string name;           // may be empty
    int64_t lastSeen = 0;       // seconds since 1970 UTC; 0 when unknown
    int64_t lastUsed = 0;
    bool connected = false;
    bool remembered = false;    // the system keeps the device (trusted or paired)
    bool authenticated = false; // paired
    uint32_t deviceClass = 0;       // class of device AND 0x1FFC
    uint32_t majorDeviceClass = 0;  // class of device AND 0x1F00
    uint32_t serviceClass = 0;      // class of device >> 13
};

class BluetoothBackend {
public:
    virtual ~BluetoothBackend() = default;
    // The devices the system knows, in its order. Throws BluetoothException
    // when the system answers with an error; no system service is no device.
    virtual std::vector<BluetoothDeviceRecord> knownDevices() = 0;
    // A connected, non-blocking stream to address on channel. Throws
    // BluetoothException ("Cannot connect: " and the reason).
    virtual StreamSocket openRfcomm(const std::string& address, int channel) = 0;
};

// The backend that new inquirers and links use: BlueZ unless a test
// installed another. Thread-safe.
std::shared_ptr<BluetoothBackend> activeBluetoothBackend();
// null restores BlueZ (tests only).
void setActiveBluetoothBackend(std::shared_ptr<BluetoothBackend> backend);
