#include "support/hostile_host.h"

#include <stdexcept>

#include "link/hid_frame.h"
#include "platform/poll.h"

namespace trv::test {

namespace {
constexpr uint32_t kFirstAddress = 0x7F0A0009; // 127.10.0.9
constexpr uint16_t kFirstPort = 40000;
} // namespace

HostileHost::HostileHost(int ports, int addresses, uint32_t portsAddress) {
    if (listener_.open() != 0 || listener_.enableAddressReuse() != 0 ||
        listener_.bind({0x7F0AFFFF, 33624}) != 0)
        throw std::runtime_error("cannot listen for Discover");
    auto add = [this](uint32_t address, uint16_t port) {
        fakes_.emplace_back();
        if (fakes_.back().open() != 0 || fakes_.back().bind({address, port}) != 0)
            throw std::runtime_error("cannot bind a fake vest");
    };
    for (int i = 0; i < ports; ++i) add(portsAddress, static_cast<uint16_t>(kFirstPort + i));
    for (int i = 0; i < addresses; ++i) add(kFirstAddress + 1 + static_cast<uint32_t>(i), kFirstPort);
}

bool HostileHost::answerDiscover(float timeoutSeconds) {
    if (!listener_.waitReadable(timeoutSeconds)) return false;
    uint8_t datagram[64];
    const DatagramResult discover = listener_.receiveFrom(datagram, sizeof datagram);
    if (discover.status != SocketStatus::Ok || datagram[0] != idOf(HidCommandId::Discover)) return false;
    std::vector<uint8_t> answer(answerLengthOf(answerIdOf(HidCommandId::Discover)), 0);
    answer[0] = answerIdOf(HidCommandId::Discover);
    answer[1] = kSyncLow;
    answer[2] = kSyncHigh;
    stampFrameCrc(answer.data(), answer.size());
    for (auto& fake : fakes_) fake.sendTo(answer.data(), answer.size(), discover.from);
    return true;
}

bool HostileHost::waitForRequest(float timeoutSeconds) {
    std::vector<PollEntry> entries;
    for (const auto& fake : fakes_) entries.push_back({fake.fd()});
    return pollDescriptors(entries, timeoutSeconds) > 0;
}

std::size_t HostileHost::takeRequests(std::vector<uint32_t>* addressesAsked) {
    std::size_t requests = 0;
    for (auto& fake : fakes_) {
        uint8_t datagram[64];
        bool asked = false;
        while (fake.receiveFrom(datagram, sizeof datagram).status == SocketStatus::Ok) {
            ++requests;
            asked = true;
        }
        if (asked && addressesAsked != nullptr) addressesAsked->push_back(fake.localEndpoint()->address);
    }
    return requests;
}

} // namespace trv::test
