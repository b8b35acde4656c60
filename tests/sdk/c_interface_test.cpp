// The C interface from C++: the handle table under concurrency, callbacks
// that call back in, text slots, and the handle counter's end. (The test
// written in C, against the installed library, is tests/install.)
#include <atomic>
#include <cstring>
#include <latch>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "callback_recorder.h"
#include "log_capture.h"
#include "sdk/c_interface_internal.h"
#include "sdk/tarvonel.h"

using trv::test::CallbackRecorder;
using trv::test::LogCapture;
using trv::test::Report;

namespace {

void expectUnknown(int h) {
    EXPECT_EQ(trv_scanDevices(h, TRV_OUTPUT_ANY), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_scanStatus(h), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_getFirstScannedDevice(h), nullptr);
    EXPECT_EQ(trv_connectDevice(h, TRV_OUTPUT_ANY, 0), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_disconnectDevice(h), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_connectionStatus(h), TRV_STATE_DISCONNECTED);
    EXPECT_EQ(trv_getTarvonelSerialNumber(h), 0xFFFFFFFFu);
    EXPECT_EQ(trv_getTarvonelType(h), TRV_DEVICE_TYPE_NONE);
    EXPECT_EQ(trv_setConnectionCallback(h, nullptr, nullptr), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_loadPatternFromJSON(h, "{}"), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_loadPatternFromJSON(h, nullptr), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_unloadPattern(h, 0), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_setAccumulationWindowToPattern(h, 0, 1, 1.0f, 2), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_eraseAccumulationWindowToPattern(h, 0), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_getPatternIntensityBoost(h, 0), 0);
    EXPECT_EQ(trv_getGlobalIntensityBoost(h), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_setGlobalIntensityBoost(h, 10), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_playEffect(h, 0, trv_effect_properties_t()), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_stopEffect(h, 0, 0.0f), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_effectState(h, 0), TRV_EFFECT_ENDED);
    EXPECT_EQ(trv_pauseAll(h), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_resumeAll(h), TRV_ERROR_NO_INSTANCE);
    EXPECT_EQ(trv_stopAll(h), TRV_ERROR_NO_INSTANCE);
}

} // namespace

TEST(CInterface, HandlesCountUpAndAreNeverReused) {
    LogCapture::install();
    for (int h : {-1, 0, 1, 1000}) expectUnknown(h);
    EXPECT_TRUE(LogCapture::lines().empty()); // unknown handles log nothing

    EXPECT_EQ(trv_createSDKInstance(""), 0);
    EXPECT_EQ(trv_createSDKInstance(nullptr), 1);
    EXPECT_EQ(trv_createSDKInstance("ignored.log"), 2);
    trv_freeSDKInstance(0);
    EXPECT_EQ(trv_createSDKInstance(""), 3);
    expectUnknown(0);
    trv_freeSDKInstance(0);
    trv_freeSDKInstance(77);
    EXPECT_EQ(trv_connectionStatus(1), TRV_STATE_DISCONNECTED);
    EXPECT_EQ(trv_scanStatus(1), 0);
    EXPECT_EQ(trv_setGlobalIntensityBoost(1, 50), 0);
    EXPECT_EQ(trv_getGlobalIntensityBoost(1), 50);
    EXPECT_EQ(trv_loadPatternFromJSON(1, nullptr), TRV_ERROR_INVALID_PARAMETER);
    for (int h : {1, 2, 3}) trv_freeSDKInstance(h);
    for (int h : {1, 2, 3}) expectUnknown(h);
}

TEST(CInterface, TextResultsLiveInOneSlotPerFunction) {
    LogCapture::install();
    EXPECT_STREQ(trv_getTarvonelVersion(0), "noDeviceConnected");
    EXPECT_STREQ(trv_getTarvonelSerialNumberAsString(0), "noDeviceConnected");
    EXPECT_STREQ(trv_serialNumberToString(12345678), "12-34-5678");
    EXPECT_STREQ(trv_serialNumberToString(0), "00-00-0000");

    const int h = trv_createSDKInstance("");
    ASSERT_EQ(h, 0);
    EXPECT_STREQ(trv_getTarvonelSerialNumberAsString(h), "19-96-7295");
    EXPECT_STREQ(trv_getTarvonelSerialNumberAsString(5), "19-96-7295"); // the last known text
    trv_freeSDKInstance(h);
    EXPECT_STREQ(trv_getTarvonelSerialNumberAsString(h), "19-96-7295");

    LogCapture::take();
    EXPECT_STREQ(trv_getSDKVersion(), "1.6.5");
    EXPECT_STREQ(trv_getSDKVersion(), "1.6.5");
    EXPECT_EQ(LogCapture::texts("Tarvonel"), std::vector<std::string>{"Command: getSDKVersion()"});
}

TEST(CInterface, DefaultPropertiesOverwriteEveryField) {
    trv_effect_properties_t p;
    std::memset(static_cast<void*>(&p), 0xA5, sizeof p);
    trv_defaultEffectProperties(&p);
    const trv_effect_properties_t d;
    EXPECT_EQ(p.priority, d.priority);
    EXPECT_EQ(p.volume, d.volume);
    EXPECT_EQ(p.speed, d.speed);
    EXPECT_EQ(p.repeatCount, d.repeatCount);
    EXPECT_EQ(p.maxDuration, d.maxDuration);
    EXPECT_EQ(p.effectBoost, d.effectBoost);
    EXPECT_EQ(p.overridePatternBoost, false);
    EXPECT_EQ(p.tilting, 0.0f);
    EXPECT_EQ(p.rightLeftAddition, false);
    trv_defaultEffectProperties(nullptr);
}

TEST(CInterface, TheLastHandleIsIssuedOnceAndThenCreationFails) {
    trv_setLogCallback(nullptr);
    setNextSdkHandleForTesting(std::numeric_limits<int32_t>::max());
    const int last = trv_createSDKInstance("");
    EXPECT_EQ(last, std::numeric_limits<int32_t>::max());
    EXPECT_EQ(trv_createSDKInstance(""), TRV_ERROR_OTHER);
    EXPECT_EQ(trv_createSDKInstance(""), TRV_ERROR_OTHER);
    EXPECT_EQ(trv_connectionStatus(last), TRV_STATE_DISCONNECTED);
    trv_freeSDKInstance(last);
    EXPECT_EQ(trv_scanStatus(last), TRV_ERROR_NO_INSTANCE);
}

// Creations and frees rewrite the table (rehashing it) while other threads
// look handles up. The callers use only handles that stay live and handles
// never issued: freeing a handle while a call on it runs is the caller's
// fault, as the header says.
TEST(CInterface, TableChangesWhileOtherThreadsCallIn) {
    trv_setLogCallback(nullptr);
    constexpr int kLive = 4;
    constexpr int kCreators = 3;
    constexpr int kPerCreator = 40;
    constexpr int kCallers = 3;
    for (int i = 0; i < kLive; ++i) ASSERT_EQ(trv_createSDKInstance(""), i);
    std::atomic<bool> done{false};
    std::vector<std::thread> creators;
    std::vector<std::thread> callers;
    std::latch start(kCreators + kCallers);
    for (int c = 0; c < kCreators; ++c) {
        creators.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < kPerCreator; ++i) {
                const int h = trv_createSDKInstance("");
                ASSERT_GE(h, kLive);
                EXPECT_EQ(trv_scanStatus(h), 0);
                trv_freeSDKInstance(h);
            }
        });
    }
    for (int c = 0; c < kCallers; ++c) {
        callers.emplace_back([&] {
            start.arrive_and_wait();
            for (int round = 0; !done; ++round) {
                EXPECT_EQ(trv_scanStatus(round % kLive), 0);
                EXPECT_EQ(trv_effectState(round % kLive, 0), TRV_EFFECT_ENDED);
                EXPECT_EQ(trv_scanStatus(1'000'000 + round), TRV_ERROR_NO_INSTANCE);
            }
        });
    }
    for (auto& t : creators) t.join();
    done = true;
    for (auto& t : callers) t.join();
    const int next = trv_createSDKInstance("");
    EXPECT_EQ(next, kLive + kCreators * kPerCreator);
    trv_freeSDKInstance(next);
    for (int i = 0; i < kLive; ++i) trv_freeSDKInstance(i);
}

struct Reentry {
    int self = -1;
    std::atomic<int> reports{0};
    std::mutex mutex; // guards the three lists: a retired worker may still be writing
    std::vector<int> statuses;
    std::vector<int> others;
    std::vector<int> reconnects;
    CallbackRecorder recorder;
};

void reenteringCallback(trv_connection_state_t state, trv_error_t error, uint32_t serial,
                        void* userData) {
    auto* r = static_cast<Reentry*>(userData);
    const int status = trv_connectionStatus(r->self);
    const int other = trv_createSDKInstance("");
    trv_freeSDKInstance(other);
    {
        std::lock_guard lock(r->mutex);
        r->statuses.push_back(status);
        r->others.push_back(other >= 0 ? 0 : other);
    }
    if (r->reports++ < 2) {
        const int result = trv_connectDevice(r->self, TRV_OUTPUT_USB, serial);
        std::lock_guard lock(r->mutex);
        r->reconnects.push_back(result);
    }
    CallbackRecorder::callback(state, error, serial, &r->recorder);
}

TEST(CInterface, CallbacksCallBackInWithoutDeadlock) {
    trv_setLogCallback(nullptr);
    Reentry r;
    r.self = trv_createSDKInstance("");
    ASSERT_EQ(trv_setConnectionCallback(r.self, &reenteringCallback, &r), 0);
    ASSERT_EQ(trv_connectDevice(r.self, TRV_OUTPUT_USB, 4242), 0);
    ASSERT_TRUE(r.recorder.waitFor(3));
    trv_freeSDKInstance(r.self); // joins every thread that ran the callback
    // Each report: the status seen inside, another instance made and freed;
    // the first two reconnect.
    EXPECT_EQ(r.statuses, (std::vector<int>{-1, -1, -1}));
    EXPECT_EQ(r.others, (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(r.reconnects, (std::vector<int>{0, 0}));
    for (const Report& report : r.recorder.all()) {
        EXPECT_EQ(report.error, TRV_ERROR_DEVICE_NOT_REACHABLE);
        EXPECT_EQ(report.serialNumber, 4242u);
    }
}

// The handle is freed while its callback calls in: the freeing thread never
// holds the table's lock while it joins the instance's thread.
TEST(CInterface, FreeingWhileTheCallbackCallsIn) {
    trv_setLogCallback(nullptr);
    struct Gate {
        int handle = -1;
        std::latch inCallback{1};
        std::latch freeing{1};
        std::atomic<int> statusSeen{99};
    } gate;
    gate.handle = trv_createSDKInstance("");
    trv_setConnectionCallback(
        gate.handle,
        [](trv_connection_state_t, trv_error_t, uint32_t, void* userData) {
            auto* g = static_cast<Gate*>(userData);
            g->inCallback.count_down();
            g->freeing.wait();
            // The handle is on its way out: unknown (-1), or its
            // instance answers while it shuts down (-1 or 2).
            g->statusSeen = trv_connectionStatus(g->handle);
        },
        &gate);
    ASSERT_EQ(trv_connectDevice(gate.handle, TRV_OUTPUT_ANY, 0), 0);
    gate.inCallback.wait();
    std::thread freer([&] { trv_freeSDKInstance(gate.handle); });
    gate.freeing.count_down();
    freer.join();
    EXPECT_TRUE(gate.statusSeen == TRV_STATE_DISCONNECTED ||
                gate.statusSeen == TRV_STATE_DISCONNECTING)
        << gate.statusSeen;
    EXPECT_EQ(trv_connectionStatus(gate.handle), TRV_STATE_DISCONNECTED);
    EXPECT_EQ(trv_scanStatus(gate.handle), TRV_ERROR_NO_INSTANCE);
}

namespace {
std::atomic<int> gLogReentryHandle{-1};
std::atomic<int> gLogReentries{0};

void reenteringLog(trv_log_level_t, const char*, const char*) {
    const int h = gLogReentryHandle;
    if (h < 0) return;
    trv_connectionStatus(h);
    trv_scanStatus(h);
    ++gLogReentries;
}
} // namespace

// No line is logged under a lock of the library: a log callback that calls
// back in never deadlocks, whichever thread logs.
TEST(CInterface, LogCallbackMayCallBackIn) {
    trv_setLogCallback(&reenteringLog);
    const int h = trv_createSDKInstance("");
    gLogReentryHandle = h;
    EXPECT_EQ(trv_disconnectDevice(h), TRV_ERROR_NO_DEVICE_CONNECTED); // a frame warning
    EXPECT_EQ(trv_scanDevices(h, TRV_OUTPUT_USB), 0);                  // logged on the worker too
    trv_connectDevice(h, TRV_OUTPUT_USB, 0);
    trv_getTarvonelVersion(h);
    trv_playEffect(h, 0, trv_effect_properties_t());
    setNextSdkHandleForTesting(int64_t{std::numeric_limits<int32_t>::max()} + 1);
    EXPECT_EQ(trv_createSDKInstance(""), TRV_ERROR_OTHER); // logs "no handle left"
    trv_freeSDKInstance(h);
    EXPECT_GE(gLogReentries.load(), 8);
}
