// HidComBT: the Bluetooth transport. Frames travel on an RFCOMM byte stream
// (channel 1) to a paired vest whose name matches the device-name
// expression. The stream is cut back into frames by the answer-length table,
// the sync word and the CRC, whatever way the bytes arrive (split or
// coalesced), resynchronising after garbage.
//
// Thread-safety: as IHidCom (send() on one thread while receive() runs on
// another; nothing else overlaps).
#pragma once

#include <memory>

#include "link/bluetooth/bluetooth_inquirer.h"
#include "link/bluetooth/bluetooth_rfcomm_link.h"
#include "link/frame_reassembler.h"
#include "link/hid_com.h"
#include "link/link_timings.h"

class HidComBT : public IHidCom {
public:
    static constexpr int kRfcommChannel = 1;
    static constexpr int kInquiryDurationSeconds = 8;

    HidComBT();
    HidComBT(const LinkTimings& timings, std::shared_ptr<BluetoothBackend> backend);
    ~HidComBT() override;

    // 0 when the device list was walked; -1 when it could not be read.
    int32_t scan(std::vector<trv_device_info_t>& records, std::map<uint32_t, std::string>& addresses,
                 std::vector<std::string>& strings) override;
    // 0 connected; -1 no device list and no direct connection; -6 no vest.
    int32_t connect(uint32_t serialNumber, std::string deviceString) override;
    // -3 when not connected; else closes the link, 0.
    int32_t disconnect() override;
    int32_t send(const uint8_t* frame, int32_t length) override;
    int32_t receive() override;

    // Waits for the answer with this ID: its length; -6 on time-out or an
    // error answer; -10 another message (the link is then closed). Throws
    // BluetoothException when the link fails.
    int32_t waitAnswer(uint8_t expectedId);
    // Closes and forgets the link; clears `connected`.
    void closeLink() noexcept;

    // The device filter: a paired device whose name (in any case) the
    // device-name expression finds a match in.
    bool isVestCandidate(const BluetoothDeviceRecord& record) const;

private:
    // The devices the system knows; false (logged) when the list fails.
    bool listKnownDevices(std::vector<BluetoothDeviceRecord>& devices);
    // One frame from the stream within waitSeconds: its length (copied into
    // answerBuffer), 0 nothing whole yet, -10 garbage was dropped. Throws
    // BluetoothException when the link fails.
    int32_t pullFrame(float waitSeconds);
    // Opens a link to address, pauses, asks the serial number: waitAnswer's result.
    int32_t queryDevice(const std::string& address);
    void writeFrame(const uint8_t* frame, std::size_t length);

    const LinkTimings timings_;
    const std::shared_ptr<BluetoothBackend> backend_;
    std::unique_ptr<BluetoothInquirer> inquirer;
    std::unique_ptr<BluetoothRfcommLink> link;
    FrameReassembler incoming_; // used by the reading thread only
};
