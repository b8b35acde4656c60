// The vest's side of the device protocol, written for tests and tools.
//
// An EmulatedVest receives whole frames from adapters (UDP datagrams,
// reassembled byte-stream frames, HID output reports) and answers through the
// VestLink the frame came on. It checks each frame as the vest's board does
// (unknown ID, sync word, length, CRC) and answers error frames, then calls
// the handler registered for the command ID. The built-in handlers answer
// Discover, Bind, Unbind, the three identity queries and KeepAlive (with an
// all-zero payload); later features
// register theirs (board commands, streaming) with setHandler().
//
// Old firmware (setOldFirmware) answers every query over UDP with the error
// "invalid internal state" until the host binds it.
//
// Faults apply to answers (not to unsolicited frames): silence, dropping,
// delay, duplication, a corrupted CRC, a wrong answer ID, closing the link.
//
// Thread-safety: every public member may be called from any thread. Handlers
// run on the adapter's thread without the vest's lock held.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/vest-emulator/vest_clock.h"
#include "tools/vest-emulator/vest_link.h"

namespace vestemu {

struct VestIdentity {
    uint32_t serialNumber = 12345678; // sent as the fields of the serial-number rule
    std::string version = "1.4.0";
    uint32_t deviceTypeCode = 0x0122FFFF;
};

struct Faults {
    std::optional<uint8_t> onlyCommand; // apply to answers to this request ID only
    bool silent = false;                // answer nothing at all
    int dropAnswers = 0;                // drop the next N answers
    double delaySeconds = 0;            // send answers late
    bool duplicate = false;             // send every answer twice
    bool corruptCrc = false;            // flip a bit of the CRC
    bool wrongId = false;               // a valid frame of another answer ID
    bool closeLink = false;             // close the link instead of answering
};

// One received frame and the link to answer on.
struct Request {
    uint8_t id;
    std::span<const uint8_t> frame;
    std::shared_ptr<VestLink> link;
};

class EmulatedVest {
public:
    using Handler = std::function<void(EmulatedVest&, const Request&)>;

    explicit EmulatedVest(VestIdentity identity = {}, std::shared_ptr<VestClock> clock = nullptr);

    // One whole frame from a host. Never throws.
    void receiveFrame(std::span<const uint8_t> frame, const std::shared_ptr<VestLink>& link);

    // Answers a request: stamps the CRC of frame, then applies the faults.
    void answer(const Request& request, std::vector<uint8_t> frame);
    void answerError(const Request& request, int8_t code);
    // Sends a frame that answers nothing (SlotStatus, DataRequest, StopStream)
    // on the link of the last host that spoke to the vest (the bound host
    // over UDP). The CRC is stamped here. False when there is no such link.
    bool sendUnsolicited(std::vector<uint8_t> frame);

    // Replaces the handler of one command ID (null: the ID is refused with
    // "invalid command ID").
    void setHandler(uint8_t id, Handler handler);
    // Called with the ID of each valid request right before its handler,
    // without the vest's lock held (null: nothing).
    void setPrelude(std::function<void(uint8_t id)> prelude);

    void setFaults(const Faults& faults);
    Faults faults() const;
    void setOldFirmware(bool oldFirmware);
    // Byte 3 of the Discover answer; by default 0x00 (free) or 0x02 (bound).
    void setDiscoverStatus(std::optional<uint8_t> status);
    // The raw fields of the 0x88 answer, to send serial numbers that the
    // serial-number rule cannot write back (bytes 6 and 5, uint16 of 3-4).
    void setSerialFields(uint8_t byte6, uint8_t byte5, uint16_t low);

    const VestIdentity& identity() const { return identity_; }
    VestClock& clock() { return *clock_; }
    // The host this vest is bound to over UDP ("a.b.c.d:port"), if any.
    std::optional<std::string> boundPeer() const;
    // Command IDs received so far, in order (valid frames and refused ones).
    std::vector<uint8_t> receivedIds() const;
    int receivedCount(uint8_t id) const;
    void clearReceived();

private:
    void handleDiscover(const Request& request);
    void handleBind(const Request& request);
    void handleUnbind(const Request& request);
    void handleIdentity(const Request& request);
    bool refusedByOldFirmware(const Request& request);

    const VestIdentity identity_;
    const std::shared_ptr<VestClock> clock_;
    mutable std::mutex mutex_; // guards every member below
    std::array<Handler, 256> handlers_;
    std::function<void(uint8_t)> prelude_;
    Faults faults_;
    bool oldFirmware_ = false;
    std::optional<uint8_t> discoverStatus_;
    std::array<uint8_t, 4> serialFields_{}; // low, high, byte5, byte6
    std::optional<std::string> boundPeer_;
    std::weak_ptr<VestLink> hostLink_;
    std::vector<uint8_t> received_;
};

} // namespace vestemu
