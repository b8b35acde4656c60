// The WiFi transport against emulated vests on loopback addresses. Every
// case runs in a network namespace of its own.
#include <chrono>
#include <cstdlib>
#include <future>
#include <set>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "link/hid_com_udp.h"
#include "platform/network_interfaces.h"
#include "platform/udp_socket.h"
#include "support/fresh_network.h"
#include "support/hostile_host.h"
#include "support/link_frames.h"
#include "support/log_capture.h"
#include "support/net_guard.h"
#include "tools/vest-emulator/board_vest.h"
#include "tools/vest-emulator/udp_vest_adapter.h"

namespace {

using trv::test::countLogs;
using trv::test::hasLog;
using trv::test::receiveSoon;
using trv::test::slotStatus;
using trv::test::takeLogs;
using vestemu::EmulatedVest;
using vestemu::Faults;
using vestemu::UdpVestAdapter;
using vestemu::UdpVestOptions;
using vestemu::VestIdentity;

uint32_t ip(const char* text) { return parseIpv4Address(text).value(); }


// Answers are waited for long enough for a loaded machine; the discovery
// window is always waited out, so it stays shorter.
LinkTimings fastTimings() {
    LinkTimings timings;
    timings.answerTimeoutSeconds = 5.0f;
    timings.discoveryWindowSeconds = 0.5f;
    return timings;
}

// For the cases that wait an answer time-out out on purpose.
LinkTimings expiringTimings(float answerTimeoutSeconds) {
    LinkTimings timings = fastTimings();
    timings.answerTimeoutSeconds = answerTimeoutSeconds;
    return timings;
}

struct Scan {
    std::vector<trv_device_info_t> records;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> strings;
    int32_t result = 0;
};

Scan scanWith(HidComUdp& transport) {
    Scan scan;
    scan.result = transport.scan(scan.records, scan.addresses, scan.strings);
    return scan;
}

class WifiLink : public ::testing::Test {
protected:
    void SetUp() override {
        TRV_REQUIRE_PRIVATE_NETWORK();
        TRV_ENTER_FRESH_NETWORK();
        trv::test::captureLogs();
    }

    // A vest at 127.10.0.<host>, answering on port, listening for
    // broadcasts on discoveryPorts.
    std::shared_ptr<EmulatedVest> addVest(int host, VestIdentity identity = {}, uint16_t port = 33624,
                                          std::vector<uint16_t> discoveryPorts = {33624, 42192, 17956, 2601, 555}) {
        auto vest = std::make_shared<EmulatedVest>(std::move(identity));
        UdpVestOptions options;
        options.address = ip("127.10.0.0") + static_cast<uint32_t>(host);
        options.port = port;
        options.discoveryPorts = std::move(discoveryPorts);
        adapters_.push_back(std::make_unique<UdpVestAdapter>(vest, options));
        return vest;
    }

    UdpVestAdapter& adapter(std::size_t index) { return *adapters_.at(index); }

    std::vector<std::unique_ptr<UdpVestAdapter>> adapters_;
};

TEST(WifiAddressText, ParsesOnlyWhatTheTransportWrites) {
    const auto endpoint = HidComUdp::parseAddressText("127.10.0.2:33624");
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->address, ip("127.10.0.2"));
    EXPECT_EQ(endpoint->port, 33624);
    EXPECT_EQ(HidComUdp::addressText(*endpoint), "127.10.0.2:33624");
    for (const char* bad : {"127.10.0.2", "", ":", "127.10.0.2:", "abc:12", "1.2.3.4:99999", "1.2.3.4:-1",
                            "1.2.3.4: 5", "1.2.3:5", "1.2.3.4.5:5", "256.1.1.1:5", "1.2.3.4:5x",
                            "01.2.3.4:5", "1.2.3.4:99999999999999999999"}) {
        EXPECT_FALSE(HidComUdp::parseAddressText(bad)) << bad;
    }
}

TEST_F(WifiLink, DiscoverGoesToEveryPortOfEveryBroadcastAddress) {
    // A second subnet on loopback: two broadcast addresses, 2 x 5 Discovers.
    ASSERT_EQ(std::system("ip addr add 127.20.0.1/16 brd + dev lo"), 0);
    EXPECT_EQ(ipv4BroadcastAddresses(), (std::vector<uint32_t>{ip("127.10.255.255"), ip("127.20.255.255")}));
    std::vector<UdpSocket> listeners;
    for (const char* broadcast : {"127.10.255.255", "127.20.255.255"}) {
        for (const uint16_t port : HidComUdp::kDiscoveryPorts) {
            listeners.emplace_back();
            ASSERT_EQ(listeners.back().open(), 0);
            ASSERT_EQ(listeners.back().bind({ip(broadcast), port}), 0);
        }
    }
    HidComUdp transport(fastTimings());
    const Scan scan = scanWith(transport);
    EXPECT_EQ(std::tuple(scan.result, scan.records.size(), scan.strings.size()), std::tuple(0, 0u, 0u));
    for (auto& listener : listeners) {
        uint8_t datagram[64];
        const auto result = listener.receiveFrom(datagram, sizeof datagram);
        ASSERT_EQ(result.status, SocketStatus::Ok);
        EXPECT_EQ(std::vector<uint8_t>(datagram, datagram + result.bytes),
                  (std::vector<uint8_t>{0x10, 0xAD, 0xDE, 0x6E, 0xCE}));
        EXPECT_EQ(listener.receiveFrom(datagram, sizeof datagram).status, SocketStatus::WouldBlock);
    }
}

TEST_F(WifiLink, AFailedDiscoverOnOneAdapterLeavesTheOthersGoingOn) {
    // Sends to the first broadcast address are refused (EACCES); the vest
    // sits on the second subnet.
    ASSERT_EQ(std::system("ip addr add 127.20.0.1/16 brd + dev lo && ip rule add pref 100 lookup local && "
                          "ip rule del pref 0 && ip rule add pref 10 to 127.10.255.255 prohibit"),
              0);
    auto vest = std::make_shared<EmulatedVest>();
    UdpVestOptions options;
    options.address = ip("127.20.0.2");
    options.broadcastAddress = ip("127.20.255.255");
    adapters_.push_back(std::make_unique<UdpVestAdapter>(vest, options));
    HidComUdp transport(fastTimings());
    const Scan scan = scanWith(transport);
    ASSERT_EQ(scan.records.size(), 1u);
    EXPECT_EQ(scan.strings[1], "127.20.0.2:33624");
    EXPECT_EQ(vest->receivedCount(0x10), 5);
    EXPECT_TRUE(hasLog(takeLogs(), "Socket error: 13 ", TRV_LOG_ERROR));
    EXPECT_EQ(transport.connect(12345678, ""), 0);
}
TEST_F(WifiLink, ScanFindsTwoVestsOnTwoLoopbackAddresses) {
    auto first = addVest(2, {12345678, "1.4.0", 0x0122FFFF});
    auto second = addVest(3, {11223344, "2.0.1-beta", 0x01100101}, 555, {555});
    HidComUdp transport(fastTimings());
    const Scan scan = scanWith(transport);
    EXPECT_EQ(scan.result, 0);
    EXPECT_FALSE(transport.connected);
    ASSERT_EQ(scan.records.size(), 2u);
    ASSERT_EQ(scan.strings.size(), 4u);
    // The vests are listed in the order their answers arrived.
    const std::size_t a = scan.records[0].serialNumber == 12345678u ? 0 : 1;
    const std::size_t b = 1 - a;
    const auto fields = [](const trv_device_info_t& d) {
        return std::tuple(d.outputType, d.serialNumber, d.deviceType, d.deviceVersion, d.next);
    };
    EXPECT_EQ(fields(scan.records[a]), std::tuple(TRV_OUTPUT_WIFI, 12345678u, 0x0122FFFFu, nullptr, nullptr));
    EXPECT_EQ(fields(scan.records[b]), std::tuple(TRV_OUTPUT_WIFI, 11223344u, 0x01100101u, nullptr, nullptr));
    EXPECT_EQ(std::vector<std::string>(scan.strings.begin() + 2 * a, scan.strings.begin() + 2 * a + 2),
              (std::vector<std::string>{"1.4.0", "127.10.0.2:33624"}));
    EXPECT_EQ(std::vector<std::string>(scan.strings.begin() + 2 * b, scan.strings.begin() + 2 * b + 2),
              (std::vector<std::string>{"2.0.1-beta", "127.10.0.3:555"}));
    EXPECT_EQ(scan.addresses, (std::map<uint32_t, std::string>{{12345678u, "127.10.0.2:33624"},
                                                               {11223344u, "127.10.0.3:555"}}));
    // Every Discover port reached the first vest; a scan never binds.
    EXPECT_EQ(first->receivedCount(0x10), 5);
    EXPECT_EQ(second->receivedCount(0x10), 1);
    for (const auto& vest : {first, second})
        EXPECT_EQ(std::tuple(vest->receivedCount(0x11), vest->receivedCount(0x08), vest->receivedCount(0x09),
                             vest->receivedCount(0x0A)),
                  std::tuple(0, 1, 1, 1));
    const auto logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "Start Wifi scanning routine.", TRV_LOG_TRACE));
    EXPECT_TRUE(hasLog(logs, "After trim, 2 are remaining."));
    EXPECT_EQ(countLogs(logs, "A device answered on "), 6);
}

TEST_F(WifiLink, DuplicateDiscoverAnswersAreListedOnce) {
    auto vest = addVest(2);
    Faults faults;
    faults.onlyCommand = 0x10;
    faults.duplicate = true;
    vest->setFaults(faults);
    HidComUdp transport(fastTimings());
    const Scan scan = scanWith(transport);
    ASSERT_EQ(scan.records.size(), 1u);
    EXPECT_EQ(scan.strings.size(), 2u);
    const auto logs = takeLogs();
    EXPECT_EQ(countLogs(logs, "A device answered on "), 10);
    EXPECT_TRUE(hasLog(logs, "After trim, 1 are remaining."));
}

TEST_F(WifiLink, DiscoverAnswersWithABadStatusOrLengthAreRefused) {
    const std::pair<int, uint8_t> statuses[] = {{2, 0x02}, {3, 0x01}, {4, 0x03}, {5, 0x80}, {6, 0x00}};
    for (const auto& [host, status] : statuses) {
        addVest(host, {static_cast<uint32_t>(host), "v", 0x0122FFFF})->setDiscoverStatus(status);
    }
    for (const std::size_t length : {9u, 11u}) {
        auto vest = addVest(static_cast<int>(length), {static_cast<uint32_t>(length), "v", 0x0122FFFF});
        vest->setHandler(0x10, [length](EmulatedVest& v, const vestemu::Request& r) {
            std::vector<uint8_t> frame(length, 0);
            frame[0] = 0x90;
            frame[1] = 0xAD;
            frame[2] = 0xDE;
            v.answer(r, frame);
        });
    }
    HidComUdp transport(fastTimings());
    const Scan scan = scanWith(transport);
    std::vector<uint32_t> serials;
    for (const auto& record : scan.records) serials.push_back(record.serialNumber);
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<uint32_t>{2, 6}));
}

TEST_F(WifiLink, ConnectsBySerialNumberAndBySerialZero) {
    auto first = addVest(2, {12345678, "1.4.0", 0x0122FFFF});
    auto second = addVest(3, {11223344, "1.4.0", 0x0122FFFF}, 555, {555});
    {
        HidComUdp transport(fastTimings());
        ASSERT_EQ(transport.connect(11223344, ""), 0);
        EXPECT_TRUE(transport.connected);
        EXPECT_TRUE(second->boundPeer());
        EXPECT_FALSE(first->boundPeer());
        EXPECT_EQ(first->receivedCount(0x11), 0);
        EXPECT_TRUE(hasLog(takeLogs(), "Connected to 127.10.0.3:555"));

        // The link works both ways.
        const auto keepAlive = makeShortFrame(HidCommandId::KeepAlive);
        EXPECT_EQ(transport.send(keepAlive.data(), keepAlive.size()), 0);
        EXPECT_EQ(receiveSoon(transport), 10);
        EXPECT_EQ(transport.answerBuffer[0], 0x87);
        ASSERT_TRUE(second->sendUnsolicited(slotStatus()));
        EXPECT_EQ(receiveSoon(transport), 10);
        EXPECT_EQ(transport.answerBuffer[0], 0xA0);

        EXPECT_EQ(transport.disconnect(), 0);
        EXPECT_FALSE(transport.connected);
        EXPECT_EQ(second->receivedCount(0x12), 1);
        EXPECT_FALSE(second->boundPeer());
        EXPECT_EQ(transport.disconnect(), -3);
    }
    first->clearReceived();
    second->clearReceived();
    HidComUdp transport(fastTimings());
    ASSERT_EQ(transport.connect(0, ""), 0);
    // Serial 0 binds the first vest that answered; every candidate is asked
    // its number once, side by side, to tell a vest from a silent host.
    EXPECT_NE(first->boundPeer().has_value(), second->boundPeer().has_value());
    EXPECT_EQ(first->receivedCount(0x11) + second->receivedCount(0x11), 1);
    EXPECT_EQ(std::pair(first->receivedCount(0x08), second->receivedCount(0x08)), std::pair(1, 1));
}

TEST_F(WifiLink, ConnectsDirectlyToAScannedAddress) {
    auto vest = addVest(2);
    Scan scan;
    {
        HidComUdp scanner(fastTimings());
        scan = scanWith(scanner);
    }
    ASSERT_EQ(scan.addresses.count(12345678), 1u);
    vest->clearReceived();
    {
        HidComUdp transport(fastTimings());
        ASSERT_EQ(transport.connect(12345678, scan.addresses[12345678]), 0);
        EXPECT_EQ(vest->receivedIds(), (std::vector<uint8_t>{0x08, 0x11}));
        EXPECT_TRUE(hasLog(takeLogs(), "Connected to 127.10.0.2:33624", TRV_LOG_ERROR));
    }
    EXPECT_EQ(vest->receivedCount(0x12), 1); // the destructor released it
    EXPECT_FALSE(vest->boundPeer());

    // Another serial number at that address: a search follows, and fails.
    HidComUdp wrong(fastTimings());
    EXPECT_EQ(wrong.connect(99, "127.10.0.2:33624"), -6);
    auto logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "Wrong serial number, rescan devices.", TRV_LOG_INFO));
    EXPECT_TRUE(hasLog(logs, "Device 99 is not available over WiFi. If it was expected to connect, make sure "
                             "that: \n\t - the board is turned on.\n\t - it is set to use WiFi.\n\t - the "
                             "WiFi settings are configured on the board.\n\t - it is connected to the "
                             "WiFi and not still trying to connect to it.\n\t - the device is not already "
                             "in use by another application."));
    EXPECT_FALSE(wrong.connected);
    EXPECT_FALSE(vest->boundPeer());

    // An address text no scan made is refused without throwing; the search
    // then finds the vest.
    HidComUdp garbage(fastTimings());
    EXPECT_EQ(garbage.connect(12345678, "no-such-address"), 0);
    EXPECT_TRUE(hasLog(takeLogs(), "Could not connect to no-such-address"));
}

TEST_F(WifiLink, OldFirmwareIsBoundOnceAndThenAnswers) {
    auto vest = addVest(2);
    vest->setOldFirmware(true);
    HidComUdp transport(fastTimings());
    ASSERT_EQ(transport.connect(12345678, ""), 0);
    std::vector<uint8_t> ids = vest->receivedIds();
    ids.erase(std::remove(ids.begin(), ids.end(), 0x10), ids.end());
    EXPECT_EQ(ids, (std::vector<uint8_t>{0x08, 0x11, 0x08})); // no second Bind: already bound
    EXPECT_TRUE(hasLog(takeLogs(), "Firmware prior 1.3.3 detected, an update is advised.", TRV_LOG_WARNING));
    EXPECT_EQ(transport.disconnect(), 0);
    EXPECT_FALSE(vest->boundPeer());
}

TEST_F(WifiLink, ForcedBindHappensAtMostOncePerRequest) {
    auto vest = addVest(2);
    vest->setHandler(0x08, [](EmulatedVest& v, const vestemu::Request& r) { v.answerError(r, -7); });
    HidComUdp transport(fastTimings());
    EXPECT_EQ(transport.connect(12345678, ""), -6);
    EXPECT_EQ(vest->receivedCount(0x08), 2);
    EXPECT_EQ(vest->receivedCount(0x11), 1);
    EXPECT_EQ(vest->receivedCount(0x12), 1); // the forced bind is released when the vest is left
    EXPECT_FALSE(vest->boundPeer());

    // A vest bound to another host refuses the forced Bind as well.
    UdpSocket otherHost;
    ASSERT_EQ(otherHost.open(), 0);
    const auto bind = makeShortFrame(HidCommandId::Bind);
    otherHost.sendTo(bind.data(), bind.size(), adapter(0).endpoint());
    ASSERT_TRUE(otherHost.waitReadable(10.0f));
    vest->clearReceived();
    HidComUdp refused(fastTimings());
    EXPECT_EQ(refused.connect(12345678, ""), -6);
    EXPECT_EQ(vest->receivedCount(0x11), 1);
    EXPECT_TRUE(hasLog(takeLogs(), "Forced bind failed", TRV_LOG_WARNING));
}

TEST_F(WifiLink, LeavingACandidateReleasesItsForcedBind) {
    auto old = addVest(2, {1111, "1.0", 0x0122FFFF});
    old->setOldFirmware(true);
    auto wanted = addVest(3, {2222, "1.0", 0x0122FFFF}, 555, {555});
    Faults later; // the old vest's answer comes first
    later.onlyCommand = 0x10;
    later.delaySeconds = 0.05;
    wanted->setFaults(later);
    HidComUdp transport(fastTimings());
    ASSERT_EQ(transport.connect(2222, ""), 0);
    EXPECT_EQ(old->receivedCount(0x11), 1);
    EXPECT_EQ(old->receivedCount(0x12), 1);
    EXPECT_FALSE(old->boundPeer());
    EXPECT_TRUE(wanted->boundPeer());
}

TEST_F(WifiLink, AcceptsDatagramsOnlyFromTheBoundVest) {
    auto vest = addVest(2);
    HidComUdp transport(fastTimings());
    ASSERT_EQ(transport.connect(0, ""), 0);
    const auto host = HidComUdp::parseAddressText(vest->boundPeer().value());
    ASSERT_TRUE(host);

    const std::vector<uint8_t> status = slotStatus();
    // Another host, and another port of the vest's own address.
    for (const Ipv4Endpoint from : {Ipv4Endpoint{ip("127.10.0.9"), 4000}, Ipv4Endpoint{ip("127.10.0.2"), 4001}}) {
        UdpSocket attacker;
        ASSERT_EQ(attacker.open(), 0);
        ASSERT_EQ(attacker.bind(from), 0);
        for (int i = 0; i < 3; ++i) attacker.sendTo(status.data(), status.size(), *host);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(transport.receive(), 0);
        // The link still goes to the vest, never to the attacker.
        const auto keepAlive = makeShortFrame(HidCommandId::KeepAlive);
        vest->clearReceived();
        ASSERT_EQ(transport.send(keepAlive.data(), keepAlive.size()), 0);
        EXPECT_EQ(receiveSoon(transport), 10);
        EXPECT_FALSE(attacker.waitReadable(0.0f));
        EXPECT_EQ(vest->receivedCount(0x07), 1);
    }
    ASSERT_TRUE(vest->sendUnsolicited(status));
    EXPECT_EQ(receiveSoon(transport), 10);
}

TEST_F(WifiLink, MalformedDatagramsAreInvalidMessagesNotALostLink) {
    auto vest = addVest(2);
    HidComUdp transport(fastTimings());
    ASSERT_EQ(transport.connect(0, ""), 0);
    const auto host = HidComUdp::parseAddressText(vest->boundPeer().value()).value();
    std::vector<uint8_t> serialAnswer = {0x88, 0xAD, 0xDE, 0x2E, 0x16, 34, 12, 0, 0};
    stampFrameCrc(serialAnswer.data(), serialAnswer.size());
    std::vector<uint8_t> oversize(200, 0x88);
    std::vector<uint8_t> shortAnswer(serialAnswer.begin(), serialAnswer.begin() + 7);
    std::vector<uint8_t> longAnswer = serialAnswer;
    longAnswer.push_back(0);
    std::vector<uint8_t> badCrc = serialAnswer;
    badCrc[8] ^= 0x40;
    std::vector<uint8_t> unknown = {0x42, 0xAD, 0xDE, 0, 0};
    stampFrameCrc(unknown.data(), unknown.size());
    for (const auto& datagram : {oversize, shortAnswer, longAnswer, badCrc, unknown}) {
        adapter(0).sendRaw(datagram, host);
        EXPECT_EQ(receiveSoon(transport), -10) << datagram.size();
        EXPECT_TRUE(transport.connected);
    }
    auto logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "Could not process the answer, message is incomplete, waiting for the next message."));
    EXPECT_TRUE(hasLog(logs, "Received an invalid message", TRV_LOG_ERROR));
    EXPECT_FALSE(hasLog(logs, "Could not read data over socket."));

    adapter(0).sendRaw({}, host);
    EXPECT_EQ(transport.receive(), 0);
    adapter(0).sendRaw(serialAnswer, host);
    EXPECT_EQ(receiveSoon(transport), 9);
    EXPECT_EQ(IHidCom::parseSerialNumber(transport.answerBuffer), 12345678u);
}

TEST_F(WifiLink, AFloodOfBadDatagramsIsCountedNotLoggedOneByOne) {
    auto vest = addVest(2);
    HidComUdp transport(fastTimings());
    ASSERT_EQ(transport.connect(0, ""), 0);
    const auto host = HidComUdp::parseAddressText(vest->boundPeer().value()).value();
    UdpSocket foreign;
    ASSERT_EQ(foreign.open(), 0);
    const std::vector<uint8_t> garbage = {0x42, 0xAD, 0xDE, 0, 0};
    takeLogs();
    for (int batch = 0; batch < 8; ++batch) { // small batches: the socket buffer drops nothing
        for (int i = 0; i < 25; ++i) {
            adapter(0).sendRaw(garbage, host);
            foreign.sendTo(garbage.data(), garbage.size(), host);
        }
        const uint64_t sent = 25u * (batch + 1);
        for (int i = 0; i < 100 && (transport.rejectedDatagrams() < sent || transport.foreignDatagrams() < sent); ++i)
            transport.receive();
    }
    EXPECT_EQ(transport.rejectedDatagrams(), 200u);
    EXPECT_EQ(transport.foreignDatagrams(), 200u);
    transport.disconnect(); // writes the counts still held back
    const auto logs = takeLogs();
    EXPECT_LE(countLogs(logs, "Received an invalid message"), 3);
    EXPECT_LE(countLogs(logs, "Dropped a datagram from"), 3);
    EXPECT_TRUE(hasLog(logs, " more datagrams were rejected as invalid.", TRV_LOG_ERROR));
}

// 40 ports of one address and 40 other addresses answer the Discover, and
// none of them answers a query.
TEST_F(WifiLink, AFloodOfDiscoverAnswersIsBoundedAndACancelEndsTheScan) {
    trv::test::HostileHost hostile(40, 40);
    auto scanAgainst = [&](const LinkTimings& timings, bool cancelAtFirstRequest) {
        HidComUdp transport(timings);
        auto scan = std::async(std::launch::async, [&] { return scanWith(transport); });
        EXPECT_TRUE(hostile.answerDiscover());
        if (cancelAtFirstRequest && hostile.waitForRequest()) transport.cancel();
        // Bounded: a scan that was not cut short would wait out its long time-outs.
        EXPECT_EQ(scan.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_TRUE(scan.get().records.empty());
        return hostile.takeRequests();
    };
    LinkTimings timings = expiringTimings(0.15f); // the silent candidates are waited out
    // Each candidate is asked once, and there are no more candidates than the cap.
    EXPECT_EQ(scanAgainst(timings, false), HidComUdp::kMaxCandidates);
    LinkTimings shortSearch = timings;
    shortSearch.searchSeconds = 0.1f; // over before the discovery is
    EXPECT_EQ(scanAgainst(shortSearch, false), 0u);
    LinkTimings slowAnswers = timings;
    slowAnswers.answerTimeoutSeconds = 60.0f;
    slowAnswers.searchSeconds = 120.0f;
    EXPECT_EQ(scanAgainst(slowAnswers, true), HidComUdp::kMaxCandidates);
}

// Hosts that answer the Discover before the vest and then stay silent, from
// other addresses or from other ports of the vest's own address: the vest is
// listed in every scan, and a connection finds it.
TEST_F(WifiLink, SilentHostsAnsweringTheDiscoverDoNotHideTheVest) {
    // The silent hosts are waited out; the vest's answers come within that.
    LinkTimings timings = expiringTimings(0.5f);
    for (const auto& [ports, addresses] : {std::pair(0, 40), std::pair(40, 0)}) {
        SCOPED_TRACE(testing::Message() << ports << " ports of the vest's address, " << addresses << " addresses");
        adapters_.clear();
        auto vest = addVest(2);
        Faults later; // the silent hosts answer first
        later.onlyCommand = 0x10;
        later.delaySeconds = 0.15;
        vest->setFaults(later);
        trv::test::HostileHost hostile(ports, addresses, ip("127.10.0.2"));
        for (int scan = 0; scan < 3; ++scan) {
            HidComUdp transport(timings);
            auto result = std::async(std::launch::async, [&] { return scanWith(transport); });
            EXPECT_TRUE(hostile.answerDiscover());
            const Scan done = result.get();
            EXPECT_EQ(done.addresses, (std::map<uint32_t, std::string>{{12345678u, "127.10.0.2:33624"}})) << scan;
            EXPECT_EQ(done.records.size(), 1u) << scan;
        }
        HidComUdp transport(timings);
        auto connected = std::async(std::launch::async, [&] { return transport.connect(12345678, ""); });
        EXPECT_TRUE(hostile.answerDiscover());
        EXPECT_EQ(connected.get(), 0);
        EXPECT_TRUE(vest->boundPeer().has_value());
        EXPECT_EQ(transport.disconnect(), 0);
    }
}

TEST_F(WifiLink, StaleAnswersAreDrainedBeforeEachRequest) {
    auto vest = addVest(2);
    HidComUdp transport(fastTimings());
    ASSERT_EQ(transport.connect(0, ""), 0);
    // Messages nobody read are waiting when the transport asks its own
    // question (Unbind): they are not taken for its answer.
    std::vector<uint8_t> stale = {0x88, 0xAD, 0xDE, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(vest->sendUnsolicited(stale));
    EXPECT_EQ(transport.disconnect(), 0);
    EXPECT_FALSE(vest->boundPeer());

    // An answer that arrives after its time-out fails its own query only.
    Faults faults;
    faults.onlyCommand = 0x09;
    faults.delaySeconds = 0.2;
    vest->setFaults(faults);
    HidComUdp late(expiringTimings(0.15f));
    EXPECT_TRUE(scanWith(late).records.empty());
}

TEST_F(WifiLink, WrongOrCorruptAnswersFailTheQuery) {
    auto vest = addVest(2);
    for (const auto apply : {+[](Faults& f) { f.wrongId = true; }, +[](Faults& f) { f.corruptCrc = true; },
                             +[](Faults& f) { f.silent = true; }}) {
        Faults faults;
        faults.onlyCommand = 0x0A;
        apply(faults);
        vest->setFaults(faults);
        HidComUdp transport(expiringTimings(0.15f)); // the unanswered query is waited out
        EXPECT_TRUE(scanWith(transport).records.empty());
        EXPECT_TRUE(hasLog(takeLogs(), "Could not inspect 127.10.0.2:33624 - device does not appear to be available."));
    }
    Faults errorFaults;
    vest->setFaults(errorFaults);
    vest->setHandler(0x11, [](EmulatedVest& v, const vestemu::Request& r) { v.answerError(r, -4); });
    HidComUdp transport(fastTimings());
    EXPECT_EQ(transport.connect(0, ""), -6);
    EXPECT_EQ(vest->receivedCount(0x11), 1); // -4 is no reason for a forced bind
}

TEST_F(WifiLink, AnUnansweredUnbindStillReleasesTheBinding) {
    auto vest = addVest(2);
    // The unbind is waited out; the connection's answers come within that.
    HidComUdp transport(expiringTimings(1.0f));
    ASSERT_EQ(transport.connect(0, ""), 0);
    Faults faults;
    faults.onlyCommand = 0x12;
    faults.silent = true;
    vest->setFaults(faults);
    EXPECT_EQ(transport.disconnect(), -6);
    EXPECT_FALSE(transport.connected);
    const auto logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "Unbind failed, board might not be in correct state.", TRV_LOG_WARNING));
    EXPECT_TRUE(hasLog(logs, "Device could not unbind properly while disconnecting.", TRV_LOG_WARNING));
    EXPECT_EQ(transport.disconnect(), -3);
}

TEST_F(WifiLink, AnUnaskedSlotStatusIsNoAnswerAndIsKeptForTheReader) {
    auto vest = addVest(2);
    vestemu::BoardOptions options;
    options.statusBefore = 0x11; // Bind
    vestemu::BoardVest board(vest, options);
    HidComUdp transport(fastTimings());
    ASSERT_EQ(transport.connect(0, ""), 0);
    ASSERT_GT(transport.receive(), 0);
    EXPECT_EQ(transport.answerBuffer[0], 0xA0);
    options.statusBefore = 0x12; // Unbind
    board.setOptions(options);
    EXPECT_EQ(transport.disconnect(), 0);
}

TEST_F(WifiLink, RefusesWhatTheStateForbids) {
    auto vest = addVest(2);
    HidComUdp transport(fastTimings());
    const auto keepAlive = makeShortFrame(HidCommandId::KeepAlive);
    EXPECT_EQ(transport.send(keepAlive.data(), keepAlive.size()), -3);
    EXPECT_EQ(transport.receive(), -3);
    EXPECT_EQ(transport.disconnect(), -3);
    ASSERT_EQ(transport.connect(0, ""), 0);
    vest->clearReceived();
    EXPECT_EQ(transport.connect(555, "127.10.0.3:1"), 0); // already connected: nothing sent
    Scan scan;
    EXPECT_EQ(transport.scan(scan.records, scan.addresses, scan.strings), -11);
    std::vector<uint8_t> huge(kSendBufferBytes + 1, 0);
    EXPECT_EQ(transport.send(huge.data(), static_cast<int32_t>(huge.size())), -2);
    EXPECT_EQ(transport.send(nullptr, 5), -2);
    EXPECT_TRUE(vest->receivedIds().empty());
}

TEST_F(WifiLink, NoVestAtAllGivesTheNoDeviceText) {
    auto vest = addVest(2);
    Faults faults;
    faults.silent = true;
    vest->setFaults(faults);
    HidComUdp transport(fastTimings());
    EXPECT_EQ(transport.connect(0, ""), -6);
    EXPECT_TRUE(hasLog(takeLogs(),
                       "No device is available over WiFi. If it was expected to connect to one, make sure "
                       "that: \n\t - the board is turned on.\n\t - it is set to use WiFi.\n\t - the WiFi "
                       "settings are configured on the board.\n\t - it is connected to the WiFi and not "
                       "still trying to connect to it.\n\t - the device is not already in use by another "
                       "application.",
                       TRV_LOG_INFO));
}

// The protocol's own time-outs: a search waits out one discovery window of
// 1.0 s per attempt.
TEST_F(WifiLink, RealTimeoutsConnectAndGiveUp) {
    auto vest = addVest(2);
    {
        HidComUdp transport;
        ASSERT_EQ(transport.connect(12345678, ""), 0);
        EXPECT_TRUE(vest->boundPeer());
    }
    HidComUdp absent;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(absent.connect(87654321, ""), -6);
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
}
} // namespace
