// Emulated USB HID devices behind the USB transport's hidapi table.
//
// The bus is process-wide (hidapi's functions carry no context): tests add
// vests as HID devices with addDevice(), then either pass api() to a
// HidComUsb or install it with setActiveHidApi(). Each write of a report is
// one frame handed to the vest; its answers become input reports.
//
// Device options model a device that fails to open and one whose reads or
// writes fail; a silent vest is the vest's own fault knob. The bus also
// checks that no write and read run on one open device at the same time
// (hidapi forbids it) and counts every overlap it sees.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "link/hid_api.h"
#include "tools/vest-emulator/emulated_vest.h"

namespace vestemu {

struct HidDeviceOptions {
    std::string path = "/dev/emulated-hidraw0";
    unsigned short vendorId = 0x3A7B; // the vest's
    unsigned short productId = 0x0001;
    bool failsToOpen = false;
    bool failWrites = false;
    bool failReads = false;
    std::size_t reportBytes = 0; // 0: a report is as long as its frame; else padded with zeros
};

class EmulatedHidBus {
public:
    static EmulatedHidBus& instance();

    // The hidapi table that reaches this bus.
    const HidApi& api() const;

    void addDevice(std::shared_ptr<EmulatedVest> vest, HidDeviceOptions options);
    void removeDevice(const std::string& path);
    void removeAll();

    int openHandleCount() const;   // devices opened and not yet closed
    int initCount() const;
    int exitCount() const;
    int overlappingCalls() const;  // write and read seen at once on one handle
    // Injects a raw input report as if the device sent it (tests: malformed data).
    void injectInputReport(const std::string& path, std::vector<uint8_t> report);

private:
    EmulatedHidBus() = default;
};

} // namespace vestemu
