// The transport search with scripted transports in place of USB, WiFi and
// Bluetooth: which kinds an output tries and in what order, what a scan
// hands the application, which address a connect uses, and cancellation.
#include <gtest/gtest.h>

#include <future>
#include <utility>

#include "link/hid_com.h"
#include "link/transport_search.h"
#include "support/scripted_transports.h"

namespace {

using trv::test::TransportScript;
constexpr auto kDeadline = std::chrono::seconds(10);

class TransportSearchTest : public ::testing::Test {
protected:
    std::vector<std::string> takeCalls() {
        return transports.with([](TransportScript& s) { return std::exchange(s.calls, {}); });
    }
    std::vector<trv_output_t> cancelledAtStart() {
        return transports.with([](TransportScript& s) { return std::exchange(s.cancelledAtStart, {}); });
    }

    trv::test::ScriptedTransports transports;
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
    transports.with([&](TransportScript& s) { s.opens = c.opens; });
    EXPECT_EQ(search.scan(c.output).size(), c.scans.size());
    EXPECT_EQ(takeCalls(), c.scans);

    std::unique_ptr<IHidCom> transport;
    const auto accept = [&] {
        return c.acceptsUsb || transports.with([](TransportScript& s) { return s.calls.back(); }) != "connect 2 ";
    };
    EXPECT_EQ(search.connect(c.output, 0, {}, transport, accept), c.opened);
    EXPECT_EQ(takeCalls(), c.connects);
    EXPECT_EQ(transport != nullptr, c.opened != TransportSearch::kNone) << "only an opened transport is left";
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

// Record i takes text 2i as its version; past the texts a transport
// appended, the version is empty. Moving the list (as a backend publishes
// it) keeps every link.
TEST_F(TransportSearchTest, ScanLinksTheRecordsToTheirVersionsInScanOrder) {
    const std::vector<std::pair<int, std::vector<std::string>>> cases{
        {2, {"version-200", "version-201", "version-300", "version-301", "version-100", "version-101"}},
        {1, {"version-200", "version-300", "version-100", "", "", ""}},
        {0, {"", "", "", "", "", ""}},
    };
    for (const auto& [textsPerRecord, versions] : cases) {
        const int texts = textsPerRecord; // clang 14 cannot capture a structured binding
        transports.with([texts](TransportScript& s) { s.recordsPerScan = 2, s.textsPerRecord = texts; });
        ScannedDevices found = search.scan(TRV_OUTPUT_ANY);
        ScannedDevices published = std::move(found);
        std::vector<uint32_t> serials;
        std::vector<std::string> seen;
        for (const trv_device_info_t* r = published.first(); r != nullptr; r = r->next) {
            serials.push_back(r->serialNumber);
            seen.emplace_back(r->deviceVersion != nullptr ? r->deviceVersion : "(null)");
        }
        EXPECT_EQ(serials, (std::vector<uint32_t>{200, 201, 300, 301, 100, 101}));
        EXPECT_EQ(seen, versions) << "texts per record " << texts;
    }
}

TEST_F(TransportSearchTest, ConnectUsesTheAddressTheScanRecorded) {
    transports.with([](TransportScript& s) { s.opens = {TRV_OUTPUT_WIFI}; });
    const ScannedDevices found = search.scan(TRV_OUTPUT_ANY);
    takeCalls();
    std::unique_ptr<IHidCom> transport;
    EXPECT_EQ(search.connect(TRV_OUTPUT_ANY, 300, found.addresses(), transport), TRV_OUTPUT_WIFI);
    EXPECT_EQ(takeCalls(), (std::vector<std::string>{"connect 2 ", "connect 3 address-300"}));
}

TEST_F(TransportSearchTest, CancelEndsARunningScanAndEveryLaterTransportUntilRearmed) {
    transports.with([](TransportScript& s) { s.waitForCancel = true; });
    auto scanning = std::async(std::launch::async, [this] { return search.scan(TRV_OUTPUT_ANY); });
    ASSERT_TRUE(transports.waitUntilWaiting());
    search.cancel();
    ASSERT_EQ(scanning.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(takeCalls().size(), 3u) << "each kind still runs, cancelled";
    EXPECT_EQ(cancelledAtStart(), (std::vector<trv_output_t>{TRV_OUTPUT_WIFI, TRV_OUTPUT_BLUETOOTH}));

    transports.with([](TransportScript& s) { s.waitForCancel = false; });
    search.scan(TRV_OUTPUT_ANY);
    EXPECT_EQ(cancelledAtStart().size(), 3u) << "sticky";
    search.rearm();
    search.scan(TRV_OUTPUT_ANY);
    EXPECT_TRUE(cancelledAtStart().empty());
}

TEST_F(TransportSearchTest, CancelReachesTheOpeningCheckOfAConnect) {
    transports.with([](TransportScript& s) { s.opens = {TRV_OUTPUT_USB, TRV_OUTPUT_WIFI, TRV_OUTPUT_BLUETOOTH}; });
    std::promise<void> checking;
    std::unique_ptr<IHidCom> transport;
    bool first = true;
    auto connecting = std::async(std::launch::async, [&] {
        // The check (a handshake) fails once its transport is cancelled.
        return search.connect(TRV_OUTPUT_ANY, 0, {}, transport, [&] {
            if (!std::exchange(first, false)) return !transport->cancelled();
            checking.set_value();
            return !trv::test::ScriptedTransports::waitForCancel(*transport, 30.0f);
        });
    });
    ASSERT_EQ(checking.get_future().wait_for(kDeadline), std::future_status::ready);
    search.cancel();
    ASSERT_EQ(connecting.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(connecting.get(), TransportSearch::kNone);
    EXPECT_EQ(transport, nullptr);
    EXPECT_EQ(cancelledAtStart(), (std::vector<trv_output_t>{TRV_OUTPUT_WIFI, TRV_OUTPUT_BLUETOOTH}));
}

} // namespace
