// The Bluetooth transport against emulated vests over socketpairs, and the
// real RFCOMM sockets, which this kernel does not have.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "link/bluetooth/bluetooth_exception.h"
#include "link/hid_com_bt.h"
#include "support/link_frames.h"
#include "support/log_capture.h"
#include "tools/vest-emulator/bluetooth_vest_backend.h"

namespace {

using trv::test::countLogs;
using trv::test::hasLog;
using trv::test::receiveSoon;
using trv::test::slotStatus;
using trv::test::takeLogs;
using vestemu::BluetoothVestBackend;
using vestemu::EmulatedVest;
using vestemu::Faults;
using vestemu::StreamWriteMode;
using vestemu::VestIdentity;

LinkTimings fastTimings() {
    LinkTimings timings;
    timings.bluetoothAnswerTimeoutSeconds = 0.2f;
    timings.bluetoothSettleSeconds = 0.0f;
    timings.bluetoothWriteTimeoutSeconds = 0.2f;
    return timings;
}

BluetoothDeviceRecord device(const std::string& address, const std::string& name, bool paired = true) {
    BluetoothDeviceRecord record;
    record.address = address;
    record.name = name;
    record.authenticated = paired;
    record.remembered = paired;
    return record;
}

class BluetoothLink : public ::testing::Test {
protected:
    void SetUp() override { trv::test::captureLogs(); }

    std::shared_ptr<EmulatedVest> addVest(const std::string& address, const std::string& name,
                                          VestIdentity identity = {}, StreamWriteMode mode = {}) {
        auto vest = std::make_shared<EmulatedVest>(std::move(identity));
        backend_->addDevice(device(address, name), vest, mode);
        return vest;
    }

    std::unique_ptr<HidComBT> transport() { return std::make_unique<HidComBT>(fastTimings(), backend_); }

    std::shared_ptr<BluetoothVestBackend> backend_ = std::make_shared<BluetoothVestBackend>();
};

TEST_F(BluetoothLink, OnlyPairedDevicesWithAVestNameAreCandidates) {
    auto bt = transport();
    for (const char* name : {"Tarvonel-0042", "RVD MK II", "rvd-mk-x", "my rvd_mk.v", "TARVONEL", "rvdmk-v"})
        EXPECT_TRUE(bt->isVestCandidate(device("00:00:00:00:00:01", name))) << name;
    for (const char* name : {"rvdmkv", "rvd mk", "mk ii", "Tarvon", ""})
        EXPECT_FALSE(bt->isVestCandidate(device("00:00:00:00:00:01", name))) << name;
    EXPECT_FALSE(bt->isVestCandidate(device("00:00:00:00:00:01", "Tarvonel", false)));

    backend_->addDevice(device("00:00:00:00:00:02", "Tarvonel", false), std::make_shared<EmulatedVest>());
    backend_->addDevice(device("00:00:00:00:00:03", "Headphones"), std::make_shared<EmulatedVest>());
    EXPECT_EQ(bt->connect(0, ""), -6);
    EXPECT_EQ(backend_->openCount("00:00:00:00:00:02"), 0); // no link is made to them
    EXPECT_EQ(backend_->openCount("00:00:00:00:00:03"), 0);
    EXPECT_TRUE(hasLog(takeLogs(),
                       "No device is available over Bluetooth. If it was expected to connect to one, make "
                       "sure that: \n\t - Bluetooth is enabled on your system.\n\t - the board is already "
                       "paired with your system.\n\t - the board is turned on.\n\t - the board is set to use "
                       "Bluetooth.\n\t - the board is not already in use by another application.",
                       TRV_LOG_INFO));
}

TEST_F(BluetoothLink, ConnectsToTheFirstAnsweringVestOrByItsSerialNumber) {
    backend_->addDevice(device("00:00:00:00:00:01", "Tarvonel-dead"), nullptr); // cannot be reached
    auto first = addVest("00:00:00:00:00:02", "Tarvonel-0001", {1111});
    auto second = addVest("00:00:00:00:00:03", "RVD MK II", {2222});
    {
        auto bt = transport();
        ASSERT_EQ(bt->connect(0, ""), 0);
        EXPECT_TRUE(bt->connected);
        const auto logs = takeLogs();
        EXPECT_TRUE(hasLog(logs, "Failed to connect to Tarvonel-dead: Cannot connect: ", TRV_LOG_WARNING));
        EXPECT_TRUE(hasLog(logs, "Connected to 00:00:00:00:00:02", TRV_LOG_INFO));
        EXPECT_EQ(bt->disconnect(), 0);
        EXPECT_EQ(bt->disconnect(), -3);
    }
    auto bt = transport();
    ASSERT_EQ(bt->connect(2222, ""), 0);
    EXPECT_TRUE(hasLog(takeLogs(), "Connected to 2222 at address 00:00:00:00:00:03", TRV_LOG_INFO));
    EXPECT_EQ(bt->connect(1111, ""), 0); // already connected: nothing changes
    EXPECT_EQ(backend_->openCount("00:00:00:00:00:03"), 1);

    const auto keepAlive = makeShortFrame(HidCommandId::KeepAlive);
    EXPECT_EQ(bt->send(keepAlive.data(), keepAlive.size()), 0);
    EXPECT_EQ(receiveSoon(*bt), 10);
    EXPECT_EQ(bt->answerBuffer[0], 0x87);
}

TEST_F(BluetoothLink, DirectAddressIsTriedBeforeTheDeviceList) {
    auto vest = addVest("00:00:00:00:00:02", "Tarvonel", {12345678});
    {
        auto bt = transport();
        ASSERT_EQ(bt->connect(12345678, "00:00:00:00:00:02"), 0);
        EXPECT_TRUE(hasLog(takeLogs(), "Connected to 00:00:00:00:00:02", TRV_LOG_TRACE));
    }
    // Another serial number at that address: the list is searched and the
    // first answering vest taken for serial 0.
    auto bt = transport();
    ASSERT_EQ(bt->connect(0, "00:00:00:00:00:02"), 0);
    EXPECT_TRUE(hasLog(takeLogs(), "Wrong Serial Number, rescan devices.", TRV_LOG_TRACE));
    EXPECT_EQ(backend_->openCount("00:00:00:00:00:02"), 3);
}

TEST_F(BluetoothLink, ScanReassemblesSplitAndCoalescedAnswers) {
    StreamWriteMode split;
    split.splitBytes = 7;
    split.splitPauseSeconds = 0.001;
    addVest("00:00:00:00:00:02", "Tarvonel-A", {12345678, "1.4.0", 0x0122FFFF}, split);
    StreamWriteMode coalesced;
    coalesced.coalesce = true;
    auto twin = addVest("00:00:00:00:00:03", "Tarvonel-B", {12345678, "2.0.0", 0x0123FFFF}, coalesced);
    Faults duplicate; // two answers in one write
    duplicate.onlyCommand = 0x0A;
    duplicate.duplicate = true;
    twin->setFaults(duplicate);
    auto bt = transport();
    std::vector<trv_device_info_t> records;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> strings;
    EXPECT_EQ(bt->scan(records, addresses, strings), 0);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].outputType, TRV_OUTPUT_BLUETOOTH);
    EXPECT_EQ(records[0].deviceType, 0x0122FFFFu);
    EXPECT_EQ(records[1].deviceType, 0x0123FFFFu);
    EXPECT_EQ(strings, (std::vector<std::string>{"1.4.0", "00:00:00:00:00:02", "2.0.0", "00:00:00:00:00:03"}));
    EXPECT_EQ(addresses, (std::map<uint32_t, std::string>{{12345678u, "00:00:00:00:00:02"}}));
    EXPECT_FALSE(bt->connected);
    EXPECT_EQ(countLogs(takeLogs(), "Device found - Serial number: 12345678"), 2);
}

TEST_F(BluetoothLink, ReceiveHandsOutEachFrameOfAWrite) {
    addVest("00:00:00:00:00:02", "Tarvonel");
    auto bt = transport();
    ASSERT_EQ(bt->connect(0, ""), 0);
    auto* vestEnd = backend_->lastLink("00:00:00:00:00:02");
    ASSERT_NE(vestEnd, nullptr);

    // Two frames in one write: the second is kept for the next receive.
    // (Splits, garbage and false starts: the reassembler's own tests.)
    std::vector<uint8_t> two = slotStatus();
    std::vector<uint8_t> stop = {0x15, 0xAD, 0xDE, 0, 0};
    stampFrameCrc(stop.data(), stop.size());
    two.insert(two.end(), stop.begin(), stop.end());
    vestEnd->sendRaw(two);
    EXPECT_EQ(receiveSoon(*bt), 10);
    EXPECT_EQ(receiveSoon(*bt), 5);
    EXPECT_EQ(bt->answerBuffer[0], 0x15);
    EXPECT_EQ(bt->receive(), 0); // nothing left over
    EXPECT_TRUE(bt->connected);
    // An ID the host never receives is no message.
    std::vector<uint8_t> request = {0x08, 0xAD, 0xDE, 0xAC, 0x24};
    vestEnd->sendRaw(request);
    EXPECT_EQ(receiveSoon(*bt), -10);
}

TEST_F(BluetoothLink, ErrorAnswersAndStrayMessagesFailTheQuery) {
    auto refusing = addVest("00:00:00:00:00:02", "Tarvonel-1", {1});
    refusing->setHandler(0x08, [](EmulatedVest& v, const vestemu::Request& r) { v.answerError(r, -5); });
    auto chatty = addVest("00:00:00:00:00:03", "Tarvonel-2", {2});
    chatty->setHandler(0x08, [](EmulatedVest& v, const vestemu::Request&) { v.sendUnsolicited(slotStatus()); });
    auto silent = addVest("00:00:00:00:00:04", "Tarvonel-3", {3});
    Faults faults;
    faults.silent = true;
    silent->setFaults(faults);
    auto bt = transport();
    EXPECT_EQ(bt->connect(0, ""), -6);
    const auto logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "The command is not available on this type of connection.", TRV_LOG_ERROR));
    EXPECT_TRUE(hasLog(logs, "Timeout, no answer from remote BT device.", TRV_LOG_WARNING));
    EXPECT_FALSE(bt->connected);
}

TEST_F(BluetoothLink, AClosedPeerEndsTheLinkWithoutASignal) {
    auto vest = addVest("00:00:00:00:00:02", "Tarvonel");
    auto bt = transport();
    ASSERT_EQ(bt->connect(0, ""), 0);
    backend_->lastLink("00:00:00:00:00:02")->closeLink();
    EXPECT_EQ(receiveSoon(*bt), -6);
    EXPECT_FALSE(bt->connected);
    EXPECT_TRUE(hasLog(takeLogs(), "Unable to get next command: connection has been closed by the peer"));
    EXPECT_EQ(bt->send(slotStatus().data(), 10), -3);
    EXPECT_EQ(bt->receive(), -3);
    EXPECT_EQ(bt->disconnect(), -3);

    // Writing into a closed stream fails with -6 instead of killing the process.
    auto second = transport();
    ASSERT_EQ(second->connect(0, ""), 0);
    backend_->lastLink("00:00:00:00:00:02")->closeLink();
    std::vector<uint8_t> data(kStreamDataFrameBytes, 0);
    data[0] = 0x96;
    int32_t sent = 0;
    for (int i = 0; i < 100 && sent == 0; ++i) sent = second->send(data.data(), static_cast<int32_t>(data.size()));
    EXPECT_EQ(sent, -6);
    EXPECT_TRUE(hasLog(takeLogs(), "Cannot send BT message: Writing attempt was unsuccessful", TRV_LOG_WARNING));
}

TEST_F(BluetoothLink, LargeFramesArriveWhole) {
    auto vest = addVest("00:00:00:00:00:02", "Tarvonel");
    std::atomic<int> frames{0};
    vest->setHandler(0x96, [&](EmulatedVest&, const vestemu::Request& r) {
        if (r.frame.size() == kStreamDataFrameBytes) ++frames;
    });
    auto bt = transport();
    ASSERT_EQ(bt->connect(0, ""), 0);
    std::vector<uint8_t> data(kStreamDataFrameBytes, 0x11);
    data[0] = 0x96;
    data[1] = 0xAD;
    data[2] = 0xDE;
    stampFrameCrc(data.data(), data.size());
    constexpr int kFrames = 300; // more than the socket buffers hold at once
    for (int i = 0; i < kFrames; ++i) ASSERT_EQ(bt->send(data.data(), static_cast<int32_t>(data.size())), 0);
    for (int i = 0; i < 500 && frames < kFrames; ++i) bt->receive();
    EXPECT_EQ(frames, kFrames);
}

TEST_F(BluetoothLink, AFailedDeviceListIsReported) {
    addVest("00:00:00:00:00:02", "Tarvonel");
    backend_->failInquiry("org.bluez.Error.Failed: broken");
    auto bt = transport();
    std::vector<trv_device_info_t> records;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> strings;
    EXPECT_EQ(bt->scan(records, addresses, strings), -1);
    EXPECT_EQ(bt->connect(0, ""), -6);
    EXPECT_EQ(countLogs(takeLogs(), "Failed to inquire bluetooth devices: org.bluez.Error.Failed: broken"), 2);

    HidComBT noSystem(fastTimings(), nullptr);
    EXPECT_TRUE(hasLog(takeLogs(), "Failed to initialize Bluetooth: Unable to initialize socket library",
                       TRV_LOG_ERROR));
    EXPECT_EQ(noSystem.scan(records, addresses, strings), -1);
    EXPECT_EQ(noSystem.connect(0, ""), -1);
    EXPECT_TRUE(records.empty());
}

// The text of the BluetoothException that body throws ("" when none).
template <typename Body>
std::string thrownText(Body&& body) {
    try {
        body();
    } catch (const BluetoothException& error) {
        return error.what();
    }
    return "";
}

TEST(BluetoothRfcommLinkTest, RefusesWhatItCannotDo) {
    EXPECT_THROW(BluetoothRfcommLink::create("00:11:22:33:44:55", 0), BluetoothException);
    EXPECT_THROW(BluetoothRfcommLink::create("00:11:22:33:44:55", -3), BluetoothException);
    auto link = BluetoothRfcommLink::create("00:11:22:33:44:55", 1);
    uint8_t byte = 0;
    EXPECT_EQ(thrownText([&] { link->read(&byte, 1); }), "connection has been closed");
    EXPECT_EQ(thrownText([&] { link->write(nullptr, 0); }), "buffer cannot be null");
    EXPECT_EQ(thrownText([&] { link->write(&byte, 0); }), ""); // nothing to write, even when closed
    EXPECT_EQ(thrownText([&] { link->write(&byte, 1); }), "Attempting to write to a closed connection");
    auto longAddress = BluetoothRfcommLink::create(std::string(40, 'A'), 1);
    EXPECT_EQ(thrownText([&] { longAddress->connect(); }), "Address length is invalid");
}
// This kernel has no Bluetooth sockets: the real link fails cleanly.
TEST(BluetoothSystem, RealRfcommFailsCleanly) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/trv-test-bus", 1);
    trv::test::captureLogs();
    auto link = BluetoothRfcommLink::create("00:11:22:33:44:55", 1);
    EXPECT_EQ(thrownText([&] { link->connect(); }).rfind("Cannot connect: (", 0), 0u) << "an RFCOMM socket opened";
    EXPECT_FALSE(link->isOpen());
    uint8_t byte = 0;
    EXPECT_THROW(link->read(&byte, 1), BluetoothException);

    HidComBT bt;
    EXPECT_EQ(bt.connect(0, "00:11:22:33:44:55"), -6); // no system bus: no device known either
    EXPECT_TRUE(hasLog(takeLogs(), "Failed to connect to 00:11:22:33:44:55: Cannot connect: ", TRV_LOG_WARNING));
    std::vector<trv_device_info_t> records;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> strings;
    EXPECT_EQ(bt.scan(records, addresses, strings), 0);
    EXPECT_TRUE(records.empty());
}

} // namespace

namespace {

// The protocol's own waits: a 1.0 s pause after each link opens and 1.5 s
// for an answer that never comes.
TEST(BluetoothRealTimings, PauseAndTimeOutKeepTheirLength) {
    trv::test::captureLogs();
    auto backend = std::make_shared<vestemu::BluetoothVestBackend>();
    auto silent = std::make_shared<EmulatedVest>(VestIdentity{1});
    Faults faults;
    faults.silent = true;
    silent->setFaults(faults);
    backend->addDevice(device("00:00:00:00:00:01", "Tarvonel-silent"), silent);
    backend->addDevice(device("00:00:00:00:00:02", "Tarvonel"), std::make_shared<EmulatedVest>(VestIdentity{2}));
    HidComBT bt(LinkTimings{}, backend);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(bt.connect(2, ""), 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 1.0 + 1.5 + 1.0);
    EXPECT_TRUE(hasLog(takeLogs(), "Timeout, no answer from remote BT device."));
}

} // namespace
