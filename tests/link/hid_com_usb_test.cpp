// The USB transport against emulated HID devices behind its hidapi table,
// and against the real hidapi, which finds no device on these machines.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "link/hid_com_usb.h"
#include "support/link_frames.h"
#include "support/log_capture.h"
#include "tools/vest-emulator/hid_vest_adapter.h"

namespace {

using trv::test::hasLog;
using trv::test::receiveSoon;
using trv::test::takeLogs;
using vestemu::EmulatedHidBus;
using vestemu::EmulatedVest;
using vestemu::Faults;
using vestemu::HidDeviceOptions;
using vestemu::VestIdentity;

LinkTimings fastTimings() {
    LinkTimings timings;
    timings.answerTimeoutSeconds = 0.1f;
    return timings;
}

class UsbLink : public ::testing::Test {
protected:
    void SetUp() override { trv::test::captureLogs(); }
    void TearDown() override { bus().removeAll(); }

    static EmulatedHidBus& bus() { return EmulatedHidBus::instance(); }

    std::shared_ptr<EmulatedVest> addDevice(const std::string& path, VestIdentity identity = {},
                                            HidDeviceOptions options = {}) {
        auto vest = std::make_shared<EmulatedVest>(std::move(identity));
        options.path = path;
        bus().addDevice(vest, options);
        return vest;
    }

    std::unique_ptr<HidComUsb> transport() {
        return std::make_unique<HidComUsb>(fastTimings(), bus().api());
    }
};

TEST_F(UsbLink, SerialZeroTakesTheFirstDeviceThatOpensWithoutAQuery) {
    HidDeviceOptions broken;
    broken.failsToOpen = true;
    addDevice("/emu/a", {1}, broken);
    auto vest = addDevice("/emu/b", {2});
    addDevice("/emu/other-vendor", {3}, HidDeviceOptions{.vendorId = 0x1234});
    auto usb = transport();
    ASSERT_EQ(usb->connect(0, ""), 0);
    EXPECT_TRUE(usb->connected);
    EXPECT_TRUE(vest->receivedIds().empty());
    const auto logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "Could not open port: /emu/a", TRV_LOG_ERROR));
    EXPECT_TRUE(hasLog(logs, "Connected to /emu/b", TRV_LOG_TRACE));
    EXPECT_EQ(bus().openHandleCount(), 1);
}

TEST_F(UsbLink, ConnectsBySerialNumberPastASilentDevice) {
    auto silent = addDevice("/emu/silent", {1});
    Faults faults;
    faults.silent = true;
    silent->setFaults(faults);
    auto other = addDevice("/emu/other", {2});
    auto wanted = addDevice("/emu/wanted", {12345678});
    auto usb = transport();
    ASSERT_EQ(usb->connect(12345678, ""), 0);
    EXPECT_EQ(silent->receivedIds(), std::vector<uint8_t>{0x08});
    EXPECT_EQ(other->receivedIds(), std::vector<uint8_t>{0x08});
    EXPECT_EQ(wanted->receivedIds(), std::vector<uint8_t>{0x08});
    const auto logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "Wrong serial number: /emu/other", TRV_LOG_INFO));
    EXPECT_TRUE(hasLog(logs, "Connected to /emu/wanted"));
    EXPECT_EQ(bus().openHandleCount(), 1); // the others were closed

    // The link carries frames both ways.
    const auto keepAlive = makeShortFrame(HidCommandId::KeepAlive);
    EXPECT_EQ(usb->send(keepAlive.data(), keepAlive.size()), 0);
    EXPECT_EQ(receiveSoon(*usb), 10);
    EXPECT_EQ(usb->answerBuffer[0], 0x87);
}

TEST_F(UsbLink, DirectPathIsTriedFirstThenTheSearch) {
    auto vest = addDevice("/emu/a", {12345678});
    {
        auto usb = transport();
        ASSERT_EQ(usb->connect(12345678, "/emu/a"), 0);
        EXPECT_EQ(vest->receivedIds(), std::vector<uint8_t>{0x08});
        EXPECT_TRUE(hasLog(takeLogs(), "Connected to /emu/a"));
    }
    vest->clearReceived();
    {
        auto usb = transport();
        ASSERT_EQ(usb->connect(12345678, "/emu/unplugged"), 0);
        EXPECT_TRUE(hasLog(takeLogs(),
                           "The scanned devices list is not up-to-date anymore. Targeted device might have "
                           "been unplugged. Search for another one.",
                           TRV_LOG_INFO));
    }
    auto usb = transport();
    EXPECT_EQ(usb->connect(87654321, "/emu/a"), -6);
    const auto logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "Wrong serial number, rescan devices.", TRV_LOG_INFO));
    EXPECT_TRUE(hasLog(logs,
                       "Device 87654321 is not available over USB. If it was expected to connect, make sure "
                       "that: \n\t - the board is turned on.\n\t - it is set to use plug to the "
                       "computer.\n\t - the Operating System is not using the device as the default audio "
                       "output device.\n\t - the device is not already in use by another application.",
                       TRV_LOG_INFO));
    EXPECT_FALSE(usb->connected);
    EXPECT_EQ(bus().openHandleCount(), 0);
}

TEST_F(UsbLink, ScanListsEveryDeviceThatAnswersAllThreeQueries) {
    addDevice("/emu/a", {12345678, "1.4.0", 0x0122FFFF});
    auto silent = addDevice("/emu/silent", {4});
    Faults faults;
    faults.onlyCommand = 0x0A;
    faults.silent = true;
    silent->setFaults(faults);
    addDevice("/emu/closed", {5}, HidDeviceOptions{.failsToOpen = true});
    addDevice("/emu/twin", {12345678, "1.5.0", 0x12345678}, HidDeviceOptions{.reportBytes = 64});
    auto usb = transport();
    std::vector<trv_device_info_t> records;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> strings;
    EXPECT_EQ(usb->scan(records, addresses, strings), 0);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].outputType, TRV_OUTPUT_USB);
    EXPECT_EQ(records[0].serialNumber, 12345678u);
    EXPECT_EQ(records[0].deviceType, 0x0122FFFFu);
    EXPECT_EQ(records[1].deviceType, TRV_DEVICE_TYPE_NONE); // an unknown type reads as none
    EXPECT_EQ(strings, (std::vector<std::string>{"1.4.0", "/emu/a", "1.5.0", "/emu/twin"}));
    EXPECT_EQ(addresses, (std::map<uint32_t, std::string>{{12345678u, "/emu/a"}}));
    EXPECT_FALSE(usb->connected);
    EXPECT_EQ(bus().openHandleCount(), 0);

    ASSERT_EQ(usb->connect(0, ""), 0);
    EXPECT_EQ(usb->scan(records, addresses, strings), -11);
}

TEST_F(UsbLink, ReceiveChecksEveryReport) {
    addDevice("/emu/a");
    auto usb = transport();
    ASSERT_EQ(usb->connect(0, ""), 0);
    std::vector<uint8_t> errorAnswer = {0xFF, 0xAD, 0xDE, 0xF9, 0, 0};
    stampFrameCrc(errorAnswer.data(), errorAnswer.size());
    std::vector<uint8_t> unknown = {0x42, 0xAD, 0xDE, 0, 0};
    stampFrameCrc(unknown.data(), unknown.size());
    std::vector<uint8_t> serial = {0x88, 0xAD, 0xDE, 0x2E, 0x16, 34, 12, 0, 0};
    stampFrameCrc(serial.data(), serial.size());
    std::vector<uint8_t> badCrc = serial;
    badCrc[8] ^= 1;
    std::vector<uint8_t> truncated(serial.begin(), serial.begin() + 6);

    bus().injectInputReport("/emu/a", errorAnswer);
    EXPECT_EQ(receiveSoon(*usb), 6);
    EXPECT_EQ(usb->answerBuffer[3], 0xF9);
    bus().injectInputReport("/emu/a", serial);
    EXPECT_EQ(receiveSoon(*usb), 9);
    // A report shorter than its frame is invalid, whatever the buffer held before.
    bus().injectInputReport("/emu/a", truncated);
    EXPECT_EQ(receiveSoon(*usb), -10);
    for (const auto& report : {unknown, badCrc}) {
        bus().injectInputReport("/emu/a", report);
        EXPECT_EQ(receiveSoon(*usb), -10);
    }
    EXPECT_TRUE(usb->connected);
    const auto logs = takeLogs();
    EXPECT_TRUE(hasLog(logs, "Received an invalid message", TRV_LOG_ERROR));
    EXPECT_TRUE(hasLog(logs, "Could not process the answer, waiting for the next message.", TRV_LOG_ERROR));
    EXPECT_EQ(usb->receive(), 0); // nothing within 10 ms
}

TEST_F(UsbLink, FailedReadsAndWritesEndTheLinkButNotTheDevice) {
    auto vest = addDevice("/emu/a");
    auto usb = transport();
    ASSERT_EQ(usb->connect(0, ""), 0);
    Faults faults;
    faults.closeLink = true;
    vest->setFaults(faults);
    const auto keepAlive = makeShortFrame(HidCommandId::KeepAlive);
    EXPECT_EQ(usb->send(keepAlive.data(), keepAlive.size()), 0); // the vest drops the link
    EXPECT_EQ(usb->receive(), -6);
    EXPECT_FALSE(usb->connected);
    EXPECT_TRUE(hasLog(takeLogs(), "read error: device disconnected", TRV_LOG_ERROR));
    EXPECT_EQ(usb->receive(), -3);
    EXPECT_EQ(usb->send(keepAlive.data(), keepAlive.size()), -3);
    EXPECT_EQ(usb->disconnect(), -3);
    EXPECT_EQ(bus().openHandleCount(), 1); // closed by the destructor
    usb.reset();
    EXPECT_EQ(bus().openHandleCount(), 0);

    addDevice("/emu/b", {}, HidDeviceOptions{.failWrites = true});
    bus().removeDevice("/emu/a");
    auto second = transport();
    ASSERT_EQ(second->connect(0, ""), 0);
    EXPECT_EQ(second->send(keepAlive.data(), keepAlive.size()), -6);
    EXPECT_FALSE(second->connected);
    EXPECT_TRUE(hasLog(takeLogs(), "write error: device disconnected", TRV_LOG_ERROR));
    EXPECT_EQ(second->lastErrorText(), "write error: device disconnected");
}

TEST_F(UsbLink, DisconnectKeepsTheDeviceOpenUntilTheDestructor) {
    addDevice("/emu/a");
    auto usb = transport();
    const auto keepAlive = makeShortFrame(HidCommandId::KeepAlive);
    EXPECT_EQ(usb->send(keepAlive.data(), keepAlive.size()), -3);
    EXPECT_EQ(usb->lastErrorText(), "No Error Reported");
    EXPECT_FALSE(usb->logHidError());
    ASSERT_EQ(usb->connect(0, ""), 0);
    EXPECT_EQ(usb->connect(5, "/nowhere"), 0); // already connected: nothing happens
    EXPECT_EQ(usb->disconnect(), 0);
    EXPECT_EQ(usb->disconnect(), -3);
    EXPECT_EQ(bus().openHandleCount(), 1);
    usb.reset();
    EXPECT_EQ(bus().openHandleCount(), 0);
}

TEST_F(UsbLink, HidapiIsInitialisedWhileAnyTransportLives) {
    const int inits = bus().initCount();
    const int exits = bus().exitCount();
    auto first = transport();
    auto second = transport();
    EXPECT_EQ(bus().initCount(), inits + 1);
    first.reset();
    EXPECT_EQ(bus().exitCount(), exits);
    second.reset();
    EXPECT_EQ(bus().exitCount(), exits + 1);
}

TEST_F(UsbLink, SendAndReceiveOnTwoThreadsNeverOverlapInsideHidapi) {
    addDevice("/emu/a");
    auto usb = transport();
    ASSERT_EQ(usb->connect(0, ""), 0);
    constexpr int kFrames = 200;
    std::atomic<int> answers{0};
    std::atomic<bool> sending{true};
    std::thread reader([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((sending || answers < kFrames) && std::chrono::steady_clock::now() < deadline) {
            if (usb->receive() == 10) ++answers;
        }
    });
    const auto keepAlive = makeShortFrame(HidCommandId::KeepAlive);
    for (int i = 0; i < kFrames; ++i) ASSERT_EQ(usb->send(keepAlive.data(), keepAlive.size()), 0);
    sending = false;
    reader.join();
    EXPECT_EQ(answers, kFrames);
    EXPECT_EQ(bus().overlappingCalls(), 0);
}

TEST_F(UsbLink, ActiveTableServesTransportsBuiltWithoutArguments) {
    addDevice("/emu/a");
    setActiveHidApi(&bus().api());
    {
        HidComUsb usb;
        EXPECT_EQ(usb.connect(0, ""), 0);
    }
    setActiveHidApi(nullptr);
    EXPECT_EQ(&activeHidApi(), &systemHidApi());
}

// The protocol's own wait: 0.5 s for a device that never answers.
TEST_F(UsbLink, RealTimeoutSkipsASilentDevice) {
    auto silent = addDevice("/emu/silent", {1});
    Faults faults;
    faults.silent = true;
    silent->setFaults(faults);
    addDevice("/emu/wanted", {2});
    HidComUsb usb(LinkTimings{}, bus().api());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(usb.connect(2, ""), 0);
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.5);
}

// The real hidapi: these machines have no HID device at all.
TEST(UsbSystemHidapi, FindsNothingAndConnectFails) {
    trv::test::captureLogs();
    HidComUsb usb;
    std::vector<trv_device_info_t> records;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> strings;
    EXPECT_EQ(usb.scan(records, addresses, strings), 0);
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(usb.connect(0, ""), -6);
    EXPECT_TRUE(hasLog(takeLogs(),
                       "No device is available over USB. If it was expected to connect to one, make sure "
                       "that: \n\t - the board is turned on.\n\t - it is set to use plug to the "
                       "computer.\n\t - the Operating System is not using the device as the default audio "
                       "output device.\n\t - the device is not already in use by another application.",
                       TRV_LOG_INFO));
    EXPECT_EQ(usb.connect(12345678, "/dev/hidraw-none"), -6);
}

} // namespace
