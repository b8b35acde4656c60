// The hidapi functions the USB transport calls, behind one table, so that
// tests can put an emulated HID device in place of the system's devices.
//
// hidapi is not thread-safe around init, exit, enumerate, open and close:
// every call of those goes through hidapiProcessMutex(). Calls on one open
// device (write, read, error) are serialised by its transport.
#pragma once

#include <hidapi.h>

#include <mutex>

struct HidApi {
    int (*init)();
    int (*exit)();
    hid_device_info* (*enumerate)(unsigned short vendorId, unsigned short productId);
    void (*freeEnumeration)(hid_device_info* devices);
    hid_device* (*openPath)(const char* path);
    void (*close)(hid_device* device);
    int (*write)(hid_device* device, const unsigned char* data, size_t length);
    int (*readTimeout)(hid_device* device, unsigned char* data, size_t length, int milliseconds);
    const wchar_t* (*error)(hid_device* device);
};

// The real hidapi (the hidraw backend linked into the library).
const HidApi& systemHidApi() noexcept;

// The table that transports built without one use: the system's, unless a
// test installed another. Thread-safe.
const HidApi& activeHidApi() noexcept;
// null restores the system's table (tests only).
void setActiveHidApi(const HidApi* api) noexcept;

// Guards hidapi's process-wide state: init, exit, enumerate, open, close.
std::mutex& hidapiProcessMutex() noexcept;
