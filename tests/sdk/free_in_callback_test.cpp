// Freeing an instance from inside a callback, on each thread of the library
// that runs one: the board's receive and sequencing threads, the HID
// stream, the WiFi discovery's collector, the audio output's stream, the
// audio-to-haptics connection and its capture's watcher. The free returns at once, the instance's own
// thread finishes the teardown, and (under ASan) nothing touches freed
// memory. A free that hangs fails the case at its deadline.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "sdk/log.h"
#include "sdk/tarvonel.h"
#include "streaming/streaming_support.h"
#include "support/alsa_test_devices.h"
#include "support/fresh_network.h"
#include "support/net_guard.h"
#include "support/pulse_daemon.h"
#include "tools/vest-emulator/board_vest.h"
#include "tools/vest-emulator/udp_vest_adapter.h"

namespace {

constexpr uint32_t kSerial = trv::test::kVestSerial;
constexpr const char* kDestroyed = "Handler destroyed by its own worker thread.";
// Generous: a loaded machine under a sanitizer; a hang never gets there.
constexpr double kDeadlineSeconds = 30;

// What the callbacks do: free `handle` when the trigger comes, once.
struct Freer {
    std::atomic<int> handle{-1};
    std::atomic<const char*> logTrigger{nullptr}; // a log line containing this; null: the connected report
    std::atomic<bool> freed{false};     // trv_freeSDKInstance came back
    std::atomic<bool> destroyed{false}; // the worker deleted the handler
    std::atomic<bool> reportAfterFree{false};

    void freeNow() {
        const int h = handle.exchange(-1);
        if (h < 0) return;
        trv_freeSDKInstance(h);
        freed = true;
    }
};

Freer gFreer;

void freeingLog(trv_log_level_t, const char*, const char* message) {
    if (std::strstr(message, kDestroyed) != nullptr) gFreer.destroyed = true;
    const char* trigger = gFreer.logTrigger;
    if (trigger != nullptr && std::strstr(message, trigger) != nullptr) gFreer.freeNow();
}

void freeingConnectionCallback(trv_connection_state_t state, trv_error_t, uint32_t, void*) {
    if (gFreer.freed) gFreer.reportAfterFree = true;
    if (gFreer.logTrigger == nullptr && state == TRV_STATE_CONNECTED) gFreer.freeNow();
}

bool waitFor(const std::atomic<bool>& flag) {
    return trv::test::waitUntil([&flag] { return flag.load(); }, kDeadlineSeconds);
}

enum class Setup {
    BoardPlaysRefused,
    BoardConnects,
    StreamConnects,
    StreamScans,
    AudioConnects,
    VyxConnects,
    VyxLosesCapture
};

struct FreeCase {
    const char* name;
    Setup setup;
    const char* logTrigger; // null: the connection callback's connected report
};

void PrintTo(const FreeCase& c, std::ostream* out) { *out << c.name; }

class FreeInCallback : public ::testing::TestWithParam<FreeCase> {
protected:
    void SetUp() override {
        TRV_REQUIRE_PRIVATE_NETWORK();
        TRV_ENTER_FRESH_NETWORK();
        trv::test::useFastTimings();
        gFreer.handle = -1;
        gFreer.logTrigger = GetParam().logTrigger;
        gFreer.freed = gFreer.destroyed = gFreer.reportAfterFree = false;
        trv_setLogCallback(&freeingLog);
    }

    void TearDown() override {
        // A case that failed leaves its instance: freed here, off any callback.
        const int left = gFreer.handle.exchange(-1);
        if (left >= 0) trv_freeSDKInstance(left);
        trv_setLogCallback(nullptr);
        board.reset();
        udp.reset();
        vest.reset();
    }

    // Starts what the case needs; the callbacks free the instance from then on.
    void start(int h) {
        std::function<int32_t()> begin = [h] { return trv_connectDevice(h, TRV_OUTPUT_WIFI, kSerial); };
        switch (GetParam().setup) {
        case Setup::BoardPlaysRefused:
        case Setup::BoardConnects: {
            auto emulated = std::make_shared<vestemu::EmulatedVest>();
            board = std::make_unique<vestemu::BoardVest>(emulated);
            udp = std::make_unique<vestemu::UdpVestAdapter>(emulated, vestemu::UdpVestOptions{});
            trv_exp_enableLegacyBackend(h, true);
            if (GetParam().setup == Setup::BoardConnects) break;
            // Every sample is refused: the receive thread logs the board's error answer.
            board->setOptions({.refuseSamples = true});
            const std::string json = trv::test::patternOf({.repeatCount = 1, .spatKeys = trv::test::weightsKeys({0})});
            const int pattern = trv_loadPatternFromJSON(h, json.c_str());
            ASSERT_GE(pattern, 0);
            connectedThen = [h, pattern] { trv_playEffect(h, pattern, trv_effect_properties_t()); };
            break;
        }
        case Setup::StreamConnects:
        case Setup::StreamScans:
            vest = std::make_unique<trv::test::VestOnLoopback>();
            if (GetParam().setup == Setup::StreamScans) begin = [h] { return trv_scanDevices(h, TRV_OUTPUT_WIFI); };
            break;
        case Setup::AudioConnects:
            devices = std::make_unique<trv::test::AlsaTestDevices>();
            devices->addOutput(trv::test::kVestPcm, false);
            devices->install();
            begin = [h] {
                trv_audio_settings_t settings;
                trv_exp_defaultAudioSettings(&settings);
                return trv_exp_connectAudio(h, eTarvonelDevice, &settings);
            };
            break;
        case Setup::VyxConnects:
        case Setup::VyxLosesCapture:
            server = std::make_unique<trv::test::PulseDaemon>(
                std::vector<trv::test::NullSink>{{"speakers", "Speakers", 2, 48000}});
            ASSERT_TRUE(server->started());
            vest = std::make_unique<trv::test::VestOnLoopback>();
            // The sound server goes: the capture's watcher logs the loss.
            if (GetParam().setup == Setup::VyxLosesCapture) connectedThen = [this] { server->kill(); };
            begin = [h] { return trv_exp_connectVyx(h, TRV_OUTPUT_WIFI, kSerial, "Speakers"); };
            break;
        }
        trv_setConnectionCallback(h, &freeingConnectionCallback, nullptr);
        setLogLevel(TRV_LOG_TRACE); // the instance set info
        gFreer.handle = h;
        ASSERT_EQ(begin(), 0);
        if (connectedThen) {
            ASSERT_TRUE(trv::test::waitUntil([h] { return trv_connectionStatus(h) == TRV_STATE_CONNECTED; },
                                             kDeadlineSeconds));
            connectedThen();
        }
    }

    std::function<void()> connectedThen;
    std::unique_ptr<vestemu::BoardVest> board;
    std::unique_ptr<vestemu::UdpVestAdapter> udp;
    std::unique_ptr<trv::test::VestOnLoopback> vest;
    std::unique_ptr<trv::test::AlsaTestDevices> devices;
    std::unique_ptr<trv::test::PulseDaemon> server;
};

TEST_P(FreeInCallback, ReturnsAtOnceAndTheInstanceEndsOnItsOwnThread) {
    const int h = trv_createSDKInstance(nullptr);
    ASSERT_GE(h, 0);
    start(h);
    ASSERT_TRUE(waitFor(gFreer.freed)) << "the free inside the callback never came back";
    EXPECT_EQ(trv_scanStatus(h), TRV_ERROR_NO_INSTANCE) << "the handle is unknown at once";
    ASSERT_TRUE(waitFor(gFreer.destroyed)) << "the instance was never torn down";
    EXPECT_FALSE(gFreer.reportAfterFree) << "the freed instance reported to its callback";
}

INSTANTIATE_TEST_SUITE_P(
    EachThread, FreeInCallback,
    ::testing::Values(
        FreeCase{"board_receive_thread", Setup::BoardPlaysRefused, "Tarvonel was not able to process the last command."},
        FreeCase{"board_sequencing_thread", Setup::BoardConnects, "Tarvonel Version:"},
        FreeCase{"hid_stream_thread", Setup::StreamConnects, "##### Data requested"},
        FreeCase{"wifi_discovery_thread", Setup::StreamScans, "After trim"},
        FreeCase{"audio_output_stream", Setup::AudioConnects, nullptr},
        FreeCase{"audio_to_haptics_connection", Setup::VyxConnects, nullptr},
        FreeCase{"capture_watcher_thread", Setup::VyxLosesCapture, "Lost the capture"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
