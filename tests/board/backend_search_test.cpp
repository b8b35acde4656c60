// Both device backends (board commands and host-rendered streaming) search
// through the same transports: scripted ones here, in place of USB, WiFi
// and Bluetooth.
#include <gtest/gtest.h>

#include <future>
#include <utility>

#include "sdk/IHandler.h"
#include "sdk/PatternRegistry.h"
#include "streaming/streaming_support.h"
#include "support/log_capture.h"
#include "support/scripted_transports.h"

namespace {

using trv::test::TransportScript;
constexpr auto kDeadline = std::chrono::seconds(10);

class EachBackend : public ::testing::TestWithParam<HandlerKind> {
protected:
    void SetUp() override {
        trv::test::captureLogs();
        makeHandler();
    }
    void makeHandler() {
        handler = IHandler::create(GetParam(), &registry);
        ASSERT_NE(handler, nullptr);
    }
    void TearDown() override { IHandler::destroy(handler); }

    // Destroys the handler on another thread: true when that ended in time.
    bool destroyInTime() {
        auto destroying = std::async(std::launch::async, [this] { IHandler::destroy(std::exchange(handler, nullptr)); });
        return destroying.wait_for(kDeadline) == std::future_status::ready;
    }

    trv::test::ScriptedTransports transports;
    PatternRegistry registry;
    IHandler* handler = nullptr;
};

TEST_P(EachBackend, AScannedRecordWithoutItsTextsIsListedWithAnEmptyVersion) {
    transports.with([](TransportScript& s) { s.textsPerRecord = 0; });
    ASSERT_EQ(handler->scanDevices(TRV_OUTPUT_ANY), 0);
    ASSERT_TRUE(trv::test::waitUntil([this] { return handler->scanStatus() != 1; }, 10.0));
    std::vector<uint32_t> serials;
    for (const trv_device_info_t* record = handler->getScannedDevices(); record != nullptr; record = record->next) {
        ASSERT_NE(record->deviceVersion, nullptr);
        EXPECT_STREQ(record->deviceVersion, "");
        serials.push_back(record->serialNumber);
    }
    EXPECT_EQ(serials, (std::vector<uint32_t>{200, 300, 100})) << "USB, WiFi, Bluetooth";
}

TEST_P(EachBackend, DestroyingTheHandlerCancelsARunningScanOrConnect) {
    transports.with([](TransportScript& s) { s.waitForCancel = true; });
    for (bool scan : {true, false}) {
        if (handler == nullptr) makeHandler();
        ASSERT_EQ(scan ? handler->scanDevices(TRV_OUTPUT_ANY) : handler->connect(TRV_OUTPUT_ANY, 300), 0);
        ASSERT_TRUE(transports.waitUntilWaiting());
        EXPECT_TRUE(destroyInTime()) << (scan ? "scan" : "connect");
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, EachBackend, ::testing::Values(kHandlerCommands, kHandlerStreaming),
                         [](const auto& info) { return info.param == kHandlerCommands ? "Board" : "Streaming"; });

} // namespace
