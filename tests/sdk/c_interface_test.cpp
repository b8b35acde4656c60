// The C interface from C++: the handle table under concurrency, callbacks
// that call back in, text slots, and the handle counter's end. (The test
// written in C, against the installed library, is tests/install.)
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <latch>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "callback_recorder.h"
#include "support/log_capture.h"
#include "sdk/c_interface_internal.h"
#include "sdk/tarvonel.h"

using trv::test::CallbackRecorder;
using trv::test::LogCapture;
using trv::test::Report;

// Handles, unknown-handle results, text slots and default properties are
// checked from C against the installed library (tests/install).
TEST(CInterface, TheVersionIsAskedOnce) {
    static bool askedBefore = false; // by a repeated run of this case (--gtest_repeat)
    LogCapture::install();
    EXPECT_STREQ(trv_getSDKVersion(), "1.6.5");
    EXPECT_STREQ(trv_getSDKVersion(), "1.6.5");
    const std::vector<std::string> once{"Command: getSDKVersion()"};
    EXPECT_EQ(LogCapture::texts("Tarvonel"), std::exchange(askedBefore, true) ? std::vector<std::string>{} : once);
    EXPECT_STREQ(trv_serialNumberToString(12345678), "12-34-5678");
}

namespace {
std::mutex gHeldMutex; // guards gInside and gFreed
std::condition_variable gHeldChanged;
bool gInside = false;
bool gFreed = false;

// Holds the call that logs "Command: pauseAll()" until its handle is freed.
void holdPauseAll(trv_log_level_t, const char*, const char* text) {
    if (std::string(text) != "Command: pauseAll()") return;
    std::unique_lock lock(gHeldMutex);
    gInside = true;
    gHeldChanged.notify_all();
    gHeldChanged.wait_for(lock, std::chrono::seconds(5), [] { return gFreed; });
}
} // namespace

TEST(CInterface, AHandleFreedDuringACallIsDestroyedWhenTheCallReturns) {
    gInside = gFreed = false; // as a repeated run left them
    trv_setLogCallback(&holdPauseAll);
    const int handle = trv_createSDKInstance("");
    std::thread caller([handle] { EXPECT_EQ(trv_pauseAll(handle), 0); });
    {
        std::unique_lock lock(gHeldMutex);
        ASSERT_TRUE(gHeldChanged.wait_for(lock, std::chrono::seconds(5), [] { return gInside; }));
    }
    trv_freeSDKInstance(handle); // waits for nothing: the call is still inside
    EXPECT_EQ(trv_scanStatus(handle), TRV_ERROR_NO_INSTANCE);
    {
        std::lock_guard lock(gHeldMutex);
        gFreed = true;
    }
    gHeldChanged.notify_all();
    caller.join(); // the call went on with its instance, then destroyed it
    trv_setLogCallback(nullptr);
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
