// Both device backends (board commands and host-rendered streaming) search
// through the same transports: scripted ones here, put in place of USB,
// WiFi and Bluetooth through the search's factory seam.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link/hid_com.h"
#include "link/transport_search.h"
#include "sdk/IHandler.h"
#include "sdk/PatternRegistry.h"
#include "support/log_capture.h"

namespace {

constexpr auto kDeadline = std::chrono::seconds(10);
constexpr uint32_t kSerial = 4242;

enum class Behaviour {
    RecordWithoutTexts, // a scan appends a record and neither of its texts
    WaitForCancel,      // scan and connect wait until cancelled
};

std::mutex gMutex; // guards gBehaviour, gWaiting
std::condition_variable gChanged;
Behaviour gBehaviour = Behaviour::RecordWithoutTexts;
int gWaiting = 0; // transports waiting for their cancel

class ScriptedTransport final : public IHidCom {
public:
    explicit ScriptedTransport(trv_output_t kind) : kind_(kind) {}

    int32_t scan(std::vector<trv_device_info_t>& records, std::map<uint32_t, std::string>&,
                 std::vector<std::string>&) override {
        if (behaviour() == Behaviour::WaitForCancel) {
            waitForCancel();
            return 0;
        }
        trv_device_info_t record{};
        record.outputType = kind_;
        record.serialNumber = kSerial;
        record.deviceType = TRV_DEVICE_TYPE_NONE;
        records.push_back(record);
        return 0;
    }
    int32_t connect(uint32_t, std::string) override {
        if (behaviour() == Behaviour::WaitForCancel) waitForCancel();
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    }
    int32_t disconnect() override { return TRV_ERROR_NO_DEVICE_CONNECTED; }
    int32_t send(const uint8_t*, int32_t) override { return TRV_ERROR_NO_DEVICE_CONNECTED; }
    int32_t receive() override { return TRV_ERROR_NO_DEVICE_CONNECTED; }

private:
    static Behaviour behaviour() {
        std::lock_guard lock(gMutex);
        return gBehaviour;
    }
    void waitForCancel() {
        {
            std::lock_guard lock(gMutex);
            ++gWaiting;
        }
        gChanged.notify_all();
        pauseUnlessCancelled(60.0f);
        std::lock_guard lock(gMutex);
        --gWaiting;
    }

    const trv_output_t kind_;
};

std::unique_ptr<IHidCom> makeScripted(trv_output_t kind) { return std::make_unique<ScriptedTransport>(kind); }

class EachBackend : public ::testing::TestWithParam<HandlerKind> {
protected:
    void SetUp() override {
        trv::test::captureLogs();
        TransportSearch::setFactoryForTesting(&makeScripted);
        handler = IHandler::create(GetParam(), &registry);
        ASSERT_NE(handler, nullptr);
    }
    void TearDown() override {
        IHandler::destroy(handler);
        TransportSearch::setFactoryForTesting(nullptr);
        std::lock_guard lock(gMutex);
        gBehaviour = Behaviour::RecordWithoutTexts;
    }

    void behave(Behaviour behaviour) {
        std::lock_guard lock(gMutex);
        gBehaviour = behaviour;
    }
    bool waitForScanEnd() {
        const auto end = std::chrono::steady_clock::now() + kDeadline;
        while (handler->scanStatus() == 1) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    bool waitForAWaitingTransport() {
        std::unique_lock lock(gMutex);
        return gChanged.wait_for(lock, kDeadline, [] { return gWaiting > 0; });
    }
    // Destroys the handler on another thread: true when that ended in time.
    bool destroyInTime() {
        auto destroying = std::async(std::launch::async, [this] { IHandler::destroy(std::exchange(handler, nullptr)); });
        return destroying.wait_for(kDeadline) == std::future_status::ready;
    }

    PatternRegistry registry;
    IHandler* handler = nullptr;
};

TEST_P(EachBackend, AScannedRecordWithoutItsTextsIsListedWithAnEmptyVersion) {
    ASSERT_EQ(handler->scanDevices(TRV_OUTPUT_ANY), 0);
    ASSERT_TRUE(waitForScanEnd());
    std::vector<trv_output_t> kinds;
    for (const trv_device_info_t* record = handler->getScannedDevices(); record != nullptr; record = record->next) {
        ASSERT_NE(record->deviceVersion, nullptr);
        EXPECT_STREQ(record->deviceVersion, "");
        EXPECT_EQ(record->serialNumber, kSerial);
        kinds.push_back(record->outputType);
    }
    EXPECT_EQ(kinds, (std::vector<trv_output_t>{TRV_OUTPUT_USB, TRV_OUTPUT_WIFI, TRV_OUTPUT_BLUETOOTH}));
}

TEST_P(EachBackend, DestroyingTheHandlerCancelsARunningScan) {
    behave(Behaviour::WaitForCancel);
    ASSERT_EQ(handler->scanDevices(TRV_OUTPUT_ANY), 0);
    ASSERT_TRUE(waitForAWaitingTransport());
    EXPECT_TRUE(destroyInTime());
}

TEST_P(EachBackend, DestroyingTheHandlerCancelsARunningConnect) {
    behave(Behaviour::WaitForCancel);
    ASSERT_EQ(handler->connect(TRV_OUTPUT_ANY, kSerial), 0);
    ASSERT_TRUE(waitForAWaitingTransport());
    EXPECT_TRUE(destroyInTime());
}

INSTANTIATE_TEST_SUITE_P(Backends, EachBackend, ::testing::Values(kHandlerCommands, kHandlerStreaming),
                         [](const auto& info) { return info.param == kHandlerCommands ? "Board" : "Streaming"; });

} // namespace
