#include "tools/vest-emulator/emulated_vest.h"

#include <cstring>

#include "link/hid_frame.h"

namespace vestemu {
namespace {

std::vector<uint8_t> frameOf(uint8_t id, std::size_t length) {
    std::vector<uint8_t> frame(length, 0);
    frame[0] = id;
    frame[1] = kSyncLow;
    frame[2] = kSyncHigh;
    return frame;
}

bool appliesTo(const Faults& faults, uint8_t requestId) {
    return !faults.onlyCommand || *faults.onlyCommand == requestId;
}

} // namespace

EmulatedVest::EmulatedVest(VestIdentity identity, std::shared_ptr<VestClock> clock)
    : identity_(std::move(identity)),
      clock_(clock ? std::move(clock) : std::make_shared<SteadyVestClock>()) {
    const uint32_t serial = identity_.serialNumber;
    setSerialFields(static_cast<uint8_t>(serial / 1000000 % 256), static_cast<uint8_t>(serial / 10000 % 100),
                    static_cast<uint16_t>(serial % 10000));
    handlers_[idOf(HidCommandId::Discover)] = [](EmulatedVest& v, const Request& r) { v.handleDiscover(r); };
    handlers_[idOf(HidCommandId::Bind)] = [](EmulatedVest& v, const Request& r) { v.handleBind(r); };
    handlers_[idOf(HidCommandId::Unbind)] = [](EmulatedVest& v, const Request& r) { v.handleUnbind(r); };
    handlers_[idOf(HidCommandId::KeepAlive)] = [](EmulatedVest& v, const Request& r) {
        v.answer(r, frameOf(answerIdOf(HidCommandId::KeepAlive), answerLengthOf(answerIdOf(HidCommandId::KeepAlive))));
    };
    for (auto id : {HidCommandId::GetSerialNumber, HidCommandId::GetVersion, HidCommandId::GetDeviceType})
        handlers_[idOf(id)] = [](EmulatedVest& v, const Request& r) { v.handleIdentity(r); };
}

void EmulatedVest::receiveFrame(std::span<const uint8_t> frame, const std::shared_ptr<VestLink>& link) {
    if (frame.empty() || !link) return;
    Request request{frame[0], frame, link};
    Handler handler;
    std::function<void(uint8_t)> prelude;
    {
        std::lock_guard lock(mutex_);
        received_.push_back(request.id);
        hostLink_ = link;
        handler = handlers_[request.id];
        prelude = prelude_;
    }
    try {
        const uint32_t length = requestLengthOf(request.id);
        if (length == 0 || !handler) return answerError(request, -2);
        if (frame.size() < 3 || !frameSyncMatches(frame.data())) return answerError(request, -3);
        if (frame.size() != length) return answerError(request, -4);
        if (!frameCrcMatches(frame.data(), frame.size())) return answerError(request, -1);
        if (prelude) prelude(request.id);
        handler(*this, request);
    } catch (...) {
        // A handler's failure must not take the adapter's thread down.
    }
}

void EmulatedVest::answer(const Request& request, std::vector<uint8_t> frame) {
    Faults faults;
    {
        std::lock_guard lock(mutex_);
        faults = faults_;
        if (appliesTo(faults_, request.id) && faults_.dropAnswers > 0) {
            --faults_.dropAnswers;
            return;
        }
    }
    stampFrameCrc(frame.data(), frame.size());
    if (appliesTo(faults, request.id)) {
        if (faults.silent) return;
        if (faults.closeLink) return request.link->close();
        if (faults.wrongId) {
            frame[0] = frame[0] == 0x8A ? 0x88 : 0x8A;
            frame.resize(answerLengthOf(frame[0]), 0);
            stampFrameCrc(frame.data(), frame.size());
        }
        if (faults.corruptCrc) frame.back() ^= 0x01;
        if (faults.duplicate) request.link->transmit(frame, faults.delaySeconds);
        return request.link->transmit(std::move(frame), faults.delaySeconds);
    }
    request.link->transmit(std::move(frame), 0);
}

void EmulatedVest::answerError(const Request& request, int8_t code) {
    auto frame = frameOf(idOf(HidCommandId::ErrorAnswer), 6);
    frame[3] = static_cast<uint8_t>(code);
    answer(request, std::move(frame));
}

void EmulatedVest::setPrelude(std::function<void(uint8_t id)> prelude) {
    std::lock_guard lock(mutex_);
    prelude_ = std::move(prelude);
}

bool EmulatedVest::sendUnsolicited(std::vector<uint8_t> frame) {
    std::shared_ptr<VestLink> link;
    {
        std::lock_guard lock(mutex_);
        link = hostLink_.lock();
    }
    if (!link || frame.size() < kFrameOverheadBytes) return false;
    stampFrameCrc(frame.data(), frame.size());
    link->transmit(std::move(frame), 0);
    return true;
}

void EmulatedVest::setHandler(uint8_t id, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[id] = std::move(handler);
}

void EmulatedVest::setFaults(const Faults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

Faults EmulatedVest::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void EmulatedVest::setOldFirmware(bool oldFirmware) {
    std::lock_guard lock(mutex_);
    oldFirmware_ = oldFirmware;
}

void EmulatedVest::setDiscoverStatus(std::optional<uint8_t> status) {
    std::lock_guard lock(mutex_);
    discoverStatus_ = status;
}

void EmulatedVest::setSerialFields(uint8_t byte6, uint8_t byte5, uint16_t low) {
    std::lock_guard lock(mutex_);
    serialFields_ = {static_cast<uint8_t>(low & 0xFF), static_cast<uint8_t>(low >> 8), byte5, byte6};
}

std::optional<std::string> EmulatedVest::boundPeer() const {
    std::lock_guard lock(mutex_);
    return boundPeer_;
}

std::vector<uint8_t> EmulatedVest::receivedIds() const {
    std::lock_guard lock(mutex_);
    return received_;
}

int EmulatedVest::receivedCount(uint8_t id) const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const uint8_t received : received_) count += received == id ? 1 : 0;
    return count;
}

void EmulatedVest::clearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

void EmulatedVest::handleDiscover(const Request& request) {
    if (request.link->kind() != LinkKind::Udp) return answerError(request, -5);
    auto frame = frameOf(answerIdOf(HidCommandId::Discover), 10);
    {
        std::lock_guard lock(mutex_);
        frame[3] = discoverStatus_ ? *discoverStatus_ : (boundPeer_ ? 0x02 : 0x00);
        std::memcpy(frame.data() + 4, &identity_.serialNumber, 4); // not read by hosts
    }
    answer(request, std::move(frame));
}

void EmulatedVest::handleBind(const Request& request) {
    if (request.link->kind() != LinkKind::Udp) return answerError(request, -5);
    const std::string peer = request.link->peerText();
    bool taken = false;
    {
        std::lock_guard lock(mutex_);
        taken = boundPeer_ && *boundPeer_ != peer; // bound to another host
        if (!taken) boundPeer_ = peer;
    }
    if (taken) return answerError(request, -7);
    answer(request, frameOf(answerIdOf(HidCommandId::Bind), 6));
}

void EmulatedVest::handleUnbind(const Request& request) {
    if (request.link->kind() != LinkKind::Udp) return answerError(request, -5);
    const std::string peer = request.link->peerText();
    bool refused = false;
    {
        std::lock_guard lock(mutex_);
        if (boundPeer_ && *boundPeer_ != peer)
            refused = true;
        else
            boundPeer_.reset();
    }
    if (refused) return answerError(request, -7);
    answer(request, frameOf(answerIdOf(HidCommandId::Unbind), 6));
}

bool EmulatedVest::refusedByOldFirmware(const Request& request) {
    if (request.link->kind() != LinkKind::Udp) return false;
    std::lock_guard lock(mutex_);
    return oldFirmware_ && boundPeer_ != request.link->peerText();
}

void EmulatedVest::handleIdentity(const Request& request) {
    if (refusedByOldFirmware(request)) return answerError(request, -7);
    std::vector<uint8_t> frame;
    switch (static_cast<HidCommandId>(request.id)) {
    case HidCommandId::GetSerialNumber: {
        frame = frameOf(answerIdOf(HidCommandId::GetSerialNumber), 9);
        std::lock_guard lock(mutex_);
        std::memcpy(frame.data() + 3, serialFields_.data(), 4);
        break;
    }
    case HidCommandId::GetVersion:
        frame = frameOf(answerIdOf(HidCommandId::GetVersion), 105);
        std::memcpy(frame.data() + 3, identity_.version.data(),
                    std::min<std::size_t>(identity_.version.size(), kVersionTextBytes));
        break;
    default:
        frame = frameOf(answerIdOf(HidCommandId::GetDeviceType), 9);
        for (int i = 0; i < 4; ++i) frame[3 + i] = static_cast<uint8_t>(identity_.deviceTypeCode >> (8 * i));
        break;
    }
    answer(request, std::move(frame));
}

} // namespace vestemu
