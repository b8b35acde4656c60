// The list of known Bluetooth devices against a mocked BlueZ (python3-dbusmock's
// bluez5 template) on a private D-Bus daemon reached through
// DBUS_SYSTEM_BUS_ADDRESS. Nothing touches the machine's own buses.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/bluetooth/bluetooth_backend.h"
#include "link/hid_com_bt.h"
#include "platform/bluez_devices.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using trv::test::ChildProcess;

int onNameOwnerChanged(sd_bus_message*, void* userdata, sd_bus_error*) {
    *static_cast<bool*>(userdata) = true;
    return 0;
}

// Waits until org.bluez has an owner on the bus, for at most timeoutSeconds.
bool waitForBluez(sd_bus* bus, double timeoutSeconds) {
    bool changed = false;
    sd_bus_slot* slot = nullptr;
    sd_bus_match_signal(bus, &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "NameOwnerChanged", &onNameOwnerChanged, &changed);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    bool owned = false;
    while (!owned && std::chrono::steady_clock::now() < deadline) {
        sd_bus_message* reply = nullptr;
        int has = 0;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", "org.bluez") >= 0) {
            sd_bus_message_read(reply, "b", &has);
            sd_bus_message_unref(reply);
        }
        owned = has != 0;
        if (owned) break;
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        if (!changed) sd_bus_wait(bus, 100000); // wakes on the owner's arrival
        changed = false;
    }
    sd_bus_slot_unref(slot);
    return owned;
}

bool callMock(sd_bus* bus, const char* method, const char* types, const char* a, const char* b,
              const char* c = nullptr, int32_t number = 0) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = 0;
    if (std::string(types) == "ss")
        r = sd_bus_call_method(bus, "org.bluez", "/", "org.bluez.Mock", method, &error, &reply, types, a, b);
    else if (std::string(types) == "sss")
        r = sd_bus_call_method(bus, "org.bluez", "/", "org.bluez.Mock", method, &error, &reply, types, a, b, c);
    else
        r = sd_bus_call_method(bus, "org.bluez", "/", "org.bluez.Mock", method, &error, &reply, types, a, b,
                               number);
    if (r < 0) ADD_FAILURE() << method << ": " << (error.message ? error.message : "failed");
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return r >= 0;
}

class MockedBluez : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string socketPath = (dir_.path() / "bus").string();
        daemon_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                     "--address=unix:path=" + socketPath, "--print-address=1"},
            ChildProcess::Output::Stdout);
        ASSERT_TRUE(daemon_->started());
        address_ = daemon_->readLine(10000);
        ASSERT_FALSE(address_.empty()) << "the private dbus-daemon did not start";
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    }

    void startMock() {
        mock_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "bluez5"},
            ChildProcess::Output::Discard);
        ASSERT_TRUE(mock_->started());
        ASSERT_GE(sd_bus_open_system(&bus_), 0);
        ASSERT_TRUE(waitForBluez(bus_, 20.0)) << "dbusmock's bluez5 did not come up";
    }

    void TearDown() override {
        if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
        mock_.reset();
        daemon_.reset();
    }

    trv::test::TempDir dir_;
    std::string address_;
    std::unique_ptr<ChildProcess> daemon_;
    std::unique_ptr<ChildProcess> mock_;
    sd_bus* bus_ = nullptr;
};

TEST_F(MockedBluez, ABusWithoutBluezKnowsNoDevice) {
    const BluezDeviceList list = listBluezDevices();
    EXPECT_TRUE(list.ok) << list.error;
    EXPECT_TRUE(list.devices.empty());
}

TEST_F(MockedBluez, ListsTheKnownDevicesAndTheTransportTriesOnlyPairedVests) {
    startMock();
    ASSERT_TRUE(callMock(bus_, "AddAdapter", "ss", "hci0", "workstation"));
    ASSERT_TRUE(callMock(bus_, "AddDevice", "sss", "hci0", "11:22:33:44:55:66", "Tarvonel-0042"));
    ASSERT_TRUE(callMock(bus_, "PairDevice", "ssi", "hci0", "11:22:33:44:55:66", nullptr, 0x240704));
    ASSERT_TRUE(callMock(bus_, "AddDevice", "sss", "hci0", "AA:BB:CC:DD:EE:FF", "Tarvonel-unpaired"));
    // The template leaves a device's class at 0: set it through the mock.
    ASSERT_GE(sd_bus_call_method(bus_, "org.bluez", "/org/bluez/hci0/dev_11_22_33_44_55_66",
                                 "org.freedesktop.DBus.Mock", "UpdateProperties", nullptr, nullptr, "sa{sv}",
                                 "org.bluez.Device1", 1, "Class", "u", 0x240704u),
              0);

    const BluezDeviceList list = listBluezDevices();
    ASSERT_TRUE(list.ok) << list.error;
    ASSERT_EQ(list.devices.size(), 2u);
    const BluezDevice* vest = nullptr;
    const BluezDevice* other = nullptr;
    for (const auto& device : list.devices) (device.address == "11:22:33:44:55:66" ? vest : other) = &device;
    ASSERT_NE(vest, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(vest->name, "Tarvonel-0042");
    EXPECT_TRUE(vest->paired);
    EXPECT_EQ(vest->deviceClass, 0x240704u);
    EXPECT_EQ(other->name, "Tarvonel-unpaired");
    EXPECT_FALSE(other->paired);

    const auto records = activeBluetoothBackend()->knownDevices();
    ASSERT_EQ(records.size(), 2u);
    for (const auto& record : records) {
        if (record.address != "11:22:33:44:55:66") continue;
        EXPECT_TRUE(record.authenticated);
        EXPECT_TRUE(record.remembered);
        EXPECT_EQ(record.deviceClass, 0x0704u);
        EXPECT_EQ(record.majorDeviceClass, 0x0700u);
        EXPECT_EQ(record.serviceClass, 0x240704u >> 13);
    }

    // The whole real path: the paired vest is tried over RFCOMM, which this
    // kernel lacks; the unpaired one is not tried at all.
    trv::test::captureLogs();
    LinkTimings timings;
    timings.bluetoothSettleSeconds = 0.0f;
    HidComBT bt(timings, activeBluetoothBackend());
    std::vector<trv_device_info_t> found;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> strings;
    EXPECT_EQ(bt.scan(found, addresses, strings), 0);
    EXPECT_TRUE(found.empty());
    const auto logs = trv::test::takeLogs();
    EXPECT_TRUE(trv::test::hasLog(logs, "Failed to scan device Tarvonel-0042: Cannot connect: (", TRV_LOG_WARNING));
    EXPECT_FALSE(trv::test::hasLog(logs, "Tarvonel-unpaired"));
    EXPECT_EQ(bt.connect(0, ""), -6);
}

} // namespace
