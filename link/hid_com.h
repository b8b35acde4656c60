// IHidCom: one transport to the vest's control board (USB, WiFi or
// Bluetooth), made by the transport search (link/transport_search.h), owned
// through a unique_ptr by a backend or a stream and deleted through the
// virtual destructor.
//
// Calling order: construct; scan() or connect() once (on the owner's worker
// thread, under the process-wide connection mutex); after a successful
// connect, send() and receive() (possibly send() on one thread while another
// thread calls receive()); disconnect(); delete. A transport that scanned is
// not used to connect, and none is reused for a second connection.
//
// Thread-safety: send() and receive() may run at the same time on two
// threads; every other call must not overlap any call on the same object,
// except cancel(). `connected` may be read from any thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/hid_frame.h"
#include "trv_types.h"

// The table of whole frame lengths of received messages, by command ID.
struct AnswerLengthTable {
    // The frame length of a message with this ID; 0 when the ID is unknown.
    uint32_t lengthOf(uint8_t id) const noexcept { return answerLengthOf(id); }
    bool contains(uint8_t id) const noexcept { return answerLengthOf(id) != 0; }
    std::size_t size() const noexcept;
};

class IHidCom {
public:
    IHidCom();
    virtual ~IHidCom();
    IHidCom(const IHidCom&) = delete;
    IHidCom& operator=(const IHidCom&) = delete;

    // Finds the vests of this transport and asks each for its serial number,
    // version and device type. For each vest that answered all three it
    // appends one record {outputType, serialNumber, deviceType, null, null},
    // then the version text and the device address text to strings (two per
    // record), and the address under the serial number to addresses unless
    // that serial number is already there. Callers ignore the result.
    virtual int32_t scan(std::vector<trv_device_info_t>& records,
                         std::map<uint32_t, std::string>& addresses,
                         std::vector<std::string>& strings) = 0;

    // Opens a vest: 0 when connected (also when already connected). With a
    // serial number other than 0 the vest's serial number matched it; 0 takes
    // the first suitable vest. A non-empty deviceString (an address from an
    // earlier scan) is tried first. -6 when no vest fitted.
    virtual int32_t connect(uint32_t serialNumber, std::string deviceString) = 0;

    // -3 when not connected; otherwise ends the connection: 0 or a negative code.
    virtual int32_t disconnect() = 0;

    // Sends one whole frame (length 5..1024 bytes) as one unit: 0; -3 when not
    // connected; -2 for a bad length; -6 when the write failed (`connected`
    // is then cleared).
    virtual int32_t send(const uint8_t* frame, int32_t length) = 0;

    // Waits briefly (LinkTimings::receiveWaitSeconds, 10 ms by default) for
    // one message. The table length of a valid message now standing in
    // answerBuffer; 0 when nothing came; -10 for an invalid message (unknown
    // ID, bad CRC, wrong length); -3 when not connected; -6 when the link
    // failed (`connected` is then cleared). A slot status kept by an answer
    // wait (holdIfUnasked) is handed out first, without waiting.
    virtual int32_t receive() = 0;

    // Ends a scan() or connect() running on another thread soon (well
    // under a second): its waits end, it asks no further vest and returns
    // as when none answered. Sticky: a cancelled transport is only deleted.
    // Any thread; never blocks.
    virtual void cancel() noexcept;
    bool cancelled() const noexcept { return cancelled_; }

    // Frame helpers shared by every transport and owner.
    static void setCrc(uint8_t* frame, uint16_t length) noexcept;
    static bool isCrcValid(const uint8_t* frame, uint16_t length) noexcept;
    static uint32_t parseSerialNumber(const uint8_t* frame) noexcept;
    // Logs the text of a device error code (level 4, tag "HidCom"); always -6.
    static int32_t decodeDeviceError(int8_t code) noexcept;

    // A vest is open and usable. Shared by the sending and the receiving thread.
    std::atomic<bool> connected{false};
    // The last message read: valid from a receive() that returned a positive
    // length until the next receive(), on the thread that called it.
    uint8_t answerBuffer[kAnswerBufferBytes];
    // A copy of the last frame sent.
    uint8_t sendBuffer[kSendBufferBytes];
    static const AnswerLengthTable answerLengths;

protected:
    // Waits `seconds` unless cancel() comes first: true when the whole
    // pause passed, false when cancelled.
    bool pauseUnlessCancelled(float seconds);

    // Unasked slot-status messages (0xA0) are the owner's, also when they
    // come while connect(), scan() or disconnect() waits for an answer: such
    // a wait keeps the one in answerBuffer (of `length` bytes) aside, and
    // receive() hands the kept ones out, oldest first, before reading the
    // link. At most kMaxHeldMessages are kept; past that the oldest goes.
    // True when the message was kept (it was a slot status).
    bool holdIfUnasked(std::size_t length) noexcept { return holdIfUnasked(answerBuffer, length); }
    // The same for a message read elsewhere than answerBuffer.
    bool holdIfUnasked(const uint8_t* message, std::size_t length) noexcept;
    // The length of the oldest kept message, now in answerBuffer; 0 when none.
    int32_t takeHeldMessage() noexcept;
    static constexpr std::size_t kMaxHeldMessages = 8;

private:
    std::atomic<bool> cancelled_{false};
    std::mutex cancelMutex_; // pairs with cancelChanged_; guards no data
    std::condition_variable cancelChanged_;
    // Guards held_, heldLength_, heldFirst_ and heldCount_ (the waits of connect, scan and
    // disconnect write them; receive() reads them).
    std::mutex heldMutex_;
    std::array<std::array<uint8_t, kAnswerBufferBytes>, kMaxHeldMessages> held_{};
    std::array<std::size_t, kMaxHeldMessages> heldLength_{};
    std::size_t heldFirst_ = 0;
    std::size_t heldCount_ = 0;
    std::atomic<bool> anyHeld_{false}; // heldCount_ != 0: receive() skips the lock when clear
};
