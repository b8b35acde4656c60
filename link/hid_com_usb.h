// HidComUsb: the USB transport. One frame per HID report, both ways; the
// command ID is the report ID. Vests are found by the vest's vendor ID.
//
// Thread-safety: as IHidCom. send() and receive() on two threads never run
// inside hidapi at once: a per-device lock serialises them, and a waiting
// send goes before the next read.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "link/hid_api.h"
#include "link/hid_com.h"
#include "link/link_timings.h"

class HidComUsb : public IHidCom {
public:
    static constexpr unsigned short kVestVendorId = 0x3A7B;

    HidComUsb();
    HidComUsb(const LinkTimings& timings, const HidApi& api);
    ~HidComUsb() override;

    // 0; -11 when connected.
    int32_t scan(std::vector<trv_device_info_t>& records, std::map<uint32_t, std::string>& addresses,
                 std::vector<std::string>& strings) override;
    // 0 connected; -6 no device fitted.
    int32_t connect(uint32_t serialNumber, std::string deviceString) override;
    // 0; -3 when not connected. The device stays open until the destructor.
    int32_t disconnect() override;
    int32_t send(const uint8_t* frame, int32_t length) override;
    // Waits up to 10 ms for one report.
    int32_t receive() override;

    // Logs hidapi's error text of the open device (level 4): false when no
    // device is open.
    bool logHidError();
    // hidapi's error text of the open device, "No Error Reported" without one.
    std::string lastErrorText();

private:
    bool openDevice(const char* path);
    void closeDevice();
    int32_t writeRequest(HidCommandId id, bool logFailure);
    // Waits for a message with this ID: true when it stands in answerBuffer.
    bool waitAnswer(uint8_t expectedId);
    // One report from the device, as receive() but never a kept message.
    int32_t readReport();
    std::string errorTextLocked();

    const LinkTimings timings_;
    const HidApi& api_;
    std::mutex deviceMutex_;             // guards device and every hidapi call on it
    std::condition_variable writerDone_; // signalled when a writer leaves
    // Writers waiting for or holding deviceMutex_: raised before a writer
    // locks (so a reader that relocks at once sees it and yields), lowered
    // under the lock.
    std::atomic<int> writersWaiting_{0};
    hid_device* device = nullptr; // guarded by deviceMutex_
};
