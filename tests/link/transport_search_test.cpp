// The transport search with scripted transports in place of USB, WiFi and
// Bluetooth: which kinds an output tries and in what order, what a scan
// hands the application, which address a connect uses, and cancellation.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "link/hid_com.h"
#include "link/transport_search.h"

namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

// What the scripted transports do, and what they saw. Guarded by `mutex`.
struct Script {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;         // "scan 2", "connect 3 <address>", ...
    std::vector<trv_output_t> opens;        // kinds whose connect succeeds
    std::vector<trv_output_t> cancelledAtStart; // kinds already cancelled when their work began
    bool waitForCancel = false;             // scan and connect wait until cancelled
    int waiting = 0;                        // transports waiting for a cancel now
    // Per scan: {records, texts} appended, the texts short of two per record
    // when asked.
    int recordsPerScan = 1;
    int textsPerRecord = 2;
};
Script* gScript = nullptr;

class ScriptedTransport final : public IHidCom {
public:
    explicit ScriptedTransport(trv_output_t kind) : kind_(kind) {}

    int32_t scan(std::vector<trv_device_info_t>& records, std::map<uint32_t, std::string>& addresses,
                 std::vector<std::string>& strings) override {
        begin("scan " + std::to_string(kind_));
        int records_ = 0, texts = 0;
        {
            std::lock_guard lock(gScript->mutex);
            records_ = gScript->recordsPerScan;
            texts = gScript->textsPerRecord;
        }
        for (int i = 0; i < records_; ++i) {
            const uint32_t serial = static_cast<uint32_t>(100 * kind_ + i);
            const std::string address = "address-" + std::to_string(serial);
            if (texts > 0) strings.push_back("version-" + std::to_string(serial));
            if (texts > 1) strings.push_back(address);
            addresses.emplace(serial, address);
            trv_device_info_t record{};
            record.outputType = kind_;
            record.serialNumber = serial;
            record.deviceType = TRV_DEVICE_TYPE_NONE;
            records.push_back(record);
        }
        return 0;
    }

    int32_t connect(uint32_t, std::string deviceString) override {
        if (!begin("connect " + std::to_string(kind_) + " " + deviceString)) return TRV_ERROR_DEVICE_NOT_REACHABLE;
        std::lock_guard lock(gScript->mutex);
        for (trv_output_t kind : gScript->opens)
            if (kind == kind_) return 0;
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    }

    // Waits until cancelled: true when the cancel came within `seconds`.
    bool waitForCancel(float seconds) { return !pauseUnlessCancelled(seconds); }

    int32_t disconnect() override { return 0; }
    int32_t send(const uint8_t*, int32_t) override { return 0; }
    int32_t receive() override { return 0; }

private:
    // Records the call; false when a cancel ended the wait the script asked for.
    bool begin(const std::string& call) {
        bool wait = false;
        {
            std::lock_guard lock(gScript->mutex);
            gScript->calls.push_back(call);
            if (cancelled()) gScript->cancelledAtStart.push_back(kind_);
            wait = gScript->waitForCancel;
            if (wait) ++gScript->waiting;
        }
        gScript->changed.notify_all();
        if (!wait) return true;
        const bool passed = pauseUnlessCancelled(30.0f);
        std::lock_guard lock(gScript->mutex);
        --gScript->waiting;
        return passed;
    }

    const trv_output_t kind_;
};

std::unique_ptr<IHidCom> makeScripted(trv_output_t kind) {
    if (kind != TRV_OUTPUT_USB && kind != TRV_OUTPUT_WIFI && kind != TRV_OUTPUT_BLUETOOTH) return nullptr;
    return std::make_unique<ScriptedTransport>(kind);
}

class TransportSearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        gScript = &script;
        TransportSearch::setFactoryForTesting(&makeScripted);
    }
    void TearDown() override {
        TransportSearch::setFactoryForTesting(nullptr);
        gScript = nullptr;
    }

    std::vector<std::string> calls() {
        std::lock_guard lock(script.mutex);
        return script.calls;
    }

    // Waits until a transport waits for a cancel.
    bool waitUntilWaiting() {
        std::unique_lock lock(script.mutex);
        return script.changed.wait_for(lock, kDeadline, [this] { return script.waiting > 0; });
    }

    Script script;
    TransportSearch search;
};

struct OutputCase {
    trv_output_t output;
    std::vector<trv_output_t> opens;   // kinds whose connect succeeds
    bool acceptsUsb;                   // the opening check keeps a USB transport
    std::vector<std::string> scans;    // the scan calls, in order
    std::vector<std::string> connects; // the connect calls, in order
    trv_output_t opened;               // connect's result
};

class EachOutput : public TransportSearchTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(EachOutput, TriesTheSelectedKindsInOrder) {
    const OutputCase& c = GetParam();
    script.opens = c.opens;

    const ScannedDevices found = search.scan(c.output);
    EXPECT_EQ(calls(), c.scans);
    EXPECT_EQ(found.size(), c.scans.size());

    {
        std::lock_guard lock(script.mutex);
        script.calls.clear();
    }
    std::unique_ptr<IHidCom> transport;
    const auto accept = [&] { return c.acceptsUsb || calls().back() != "connect 2 "; };
    const trv_output_t opened = search.connect(c.output, 0, ScannedDevices::Addresses{}, transport, accept);
    EXPECT_EQ(calls(), c.connects);
    EXPECT_EQ(opened, c.opened);
    EXPECT_EQ(transport != nullptr, opened != TransportSearch::kNone) << "only an opened transport is left";
}

INSTANTIATE_TEST_SUITE_P(
    TransportSearch, EachOutput,
    ::testing::Values(
        OutputCase{TRV_OUTPUT_ANY, {}, true, {"scan 2", "scan 3", "scan 1"}, {"connect 2 ", "connect 3 ", "connect 1 "},
                   TransportSearch::kNone},
        OutputCase{TRV_OUTPUT_ANY, {3, 1}, true, {"scan 2", "scan 3", "scan 1"}, {"connect 2 ", "connect 3 "},
                   TRV_OUTPUT_WIFI},
        OutputCase{TRV_OUTPUT_ANY, {2, 3}, true, {"scan 2", "scan 3", "scan 1"}, {"connect 2 "}, TRV_OUTPUT_USB},
        OutputCase{TRV_OUTPUT_ANY, {2, 1}, false, {"scan 2", "scan 3", "scan 1"},
                   {"connect 2 ", "connect 3 ", "connect 1 "}, TRV_OUTPUT_BLUETOOTH},
        OutputCase{TRV_OUTPUT_USB, {2}, true, {"scan 2"}, {"connect 2 "}, TRV_OUTPUT_USB},
        OutputCase{TRV_OUTPUT_WIFI, {2}, true, {"scan 3"}, {"connect 3 "}, TransportSearch::kNone},
        OutputCase{TRV_OUTPUT_BLUETOOTH, {1}, true, {"scan 1"}, {"connect 1 "}, TRV_OUTPUT_BLUETOOTH},
        OutputCase{4, {1, 2, 3}, true, {}, {}, TransportSearch::kNone},
        OutputCase{-1, {1, 2, 3}, true, {}, {}, TransportSearch::kNone}));

TEST_F(TransportSearchTest, ScanListsEveryDeviceLinkedInScanOrder) {
    script.recordsPerScan = 2;
    ScannedDevices found = search.scan(TRV_OUTPUT_ANY);
    ASSERT_EQ(found.size(), 6u);
    std::vector<uint32_t> serials;
    std::vector<std::string> versions;
    for (const trv_device_info_t* record = found.first(); record != nullptr; record = record->next) {
        serials.push_back(record->serialNumber);
        versions.emplace_back(record->deviceVersion);
    }
    EXPECT_EQ(serials, (std::vector<uint32_t>{200, 201, 300, 301, 100, 101}));
    EXPECT_EQ(versions.front(), "version-200");
    EXPECT_EQ(versions.back(), "version-101");
    EXPECT_EQ(found.addresses().at(TRV_OUTPUT_WIFI).at(301), "address-301");

    // Moving the list (as a backend publishes it) keeps every link valid.
    ScannedDevices published = std::move(found);
    EXPECT_STREQ(published.first()->next->next->deviceVersion, "version-300");
}

TEST_F(TransportSearchTest, ARecordWithoutItsTextsGetsAnEmptyVersion) {
    // Record i takes text 2i; past the texts a transport appended, the
    // version is empty.
    const std::vector<std::pair<int, std::vector<std::string>>> cases{
        {0, {"", "", "", "", "", ""}},
        {1, {"version-200", "version-300", "version-100", "", "", ""}},
    };
    for (const auto& [texts, versions] : cases) {
        script.textsPerRecord = texts;
        script.recordsPerScan = 2;
        ScannedDevices found = search.scan(TRV_OUTPUT_ANY);
        std::vector<std::string> seen;
        for (const trv_device_info_t* record = found.first(); record != nullptr; record = record->next) {
            ASSERT_NE(record->deviceVersion, nullptr);
            seen.emplace_back(record->deviceVersion);
        }
        EXPECT_EQ(seen, versions) << "texts per record " << texts;
    }
}

TEST_F(TransportSearchTest, ConnectUsesTheAddressTheScanRecorded) {
    script.opens = {TRV_OUTPUT_WIFI};
    const ScannedDevices found = search.scan(TRV_OUTPUT_ANY);
    {
        std::lock_guard lock(script.mutex);
        script.calls.clear();
    }
    std::unique_ptr<IHidCom> transport;
    EXPECT_EQ(search.connect(TRV_OUTPUT_ANY, 300, found.addresses(), transport), TRV_OUTPUT_WIFI);
    EXPECT_EQ(calls(), (std::vector<std::string>{"connect 2 ", "connect 3 address-300"}));
}

TEST_F(TransportSearchTest, CancelEndsARunningScanAndEveryLaterTransport) {
    script.waitForCancel = true;
    auto scanning = std::async(std::launch::async, [this] { return search.scan(TRV_OUTPUT_ANY); });
    ASSERT_TRUE(waitUntilWaiting());
    search.cancel();
    ASSERT_EQ(scanning.wait_for(kDeadline), std::future_status::ready);
    scanning.get();
    std::lock_guard lock(script.mutex);
    EXPECT_EQ(script.calls.size(), 3u) << "each kind still runs, cancelled";
    EXPECT_EQ(script.cancelledAtStart, (std::vector<trv_output_t>{TRV_OUTPUT_WIFI, TRV_OUTPUT_BLUETOOTH}));
}

TEST_F(TransportSearchTest, CancelEndsARunningConnectAndItsOpeningCheck) {
    script.opens = {TRV_OUTPUT_USB, TRV_OUTPUT_WIFI, TRV_OUTPUT_BLUETOOTH};
    std::promise<void> checking;
    std::unique_ptr<IHidCom> transport;
    bool first = true;
    auto connecting = std::async(std::launch::async, [&] {
        // The check (a handshake) fails once its transport is cancelled.
        return search.connect(TRV_OUTPUT_ANY, 0, {}, transport, [&] {
            if (!std::exchange(first, false)) return !transport->cancelled();
            checking.set_value();
            return !static_cast<ScriptedTransport&>(*transport).waitForCancel(30.0f);
        });
    });
    ASSERT_EQ(checking.get_future().wait_for(kDeadline), std::future_status::ready);
    search.cancel();
    ASSERT_EQ(connecting.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(connecting.get(), TransportSearch::kNone);
    EXPECT_EQ(transport, nullptr);
    std::lock_guard lock(script.mutex);
    EXPECT_EQ(script.cancelledAtStart, (std::vector<trv_output_t>{TRV_OUTPUT_WIFI, TRV_OUTPUT_BLUETOOTH}));
}

TEST_F(TransportSearchTest, RearmLetsTheNextSearchRun) {
    search.cancel();
    search.scan(TRV_OUTPUT_ANY);
    {
        std::lock_guard lock(script.mutex);
        EXPECT_EQ(script.cancelledAtStart.size(), 3u);
        script.cancelledAtStart.clear();
    }
    search.rearm();
    search.scan(TRV_OUTPUT_ANY);
    std::lock_guard lock(script.mutex);
    EXPECT_TRUE(script.cancelledAtStart.empty());
}

} // namespace
