// The handler frame: guards, connection reports, the worker thread, the
// factory. Driven through a test backend whose outcomes the test sets.
#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <string_view>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "callback_recorder.h"
#include "support/log_capture.h"
#include "sdk/IHandler.h"
#include "sdk/PatternRegistry.h"
#include "sdk/log.h"
#include "streaming/HandlerStreaming.h"
#include "test_handler.h"

using trv::test::CallbackRecorder;
using trv::test::LogCapture;
using trv::test::Report;
using trv::test::TestHandler;

TEST(HandlerFrame, FactoryMakesOnlyTheBuiltInKinds) {
    PatternRegistry registry;
    for (int32_t kind : {-1, 3}) EXPECT_EQ(IHandler::create(kind, &registry), nullptr) << kind;
    EXPECT_EQ(IHandler::create(kHandlerStreaming, nullptr), nullptr);
    for (HandlerKind kind : {kHandlerCommands, kHandlerStreaming, kHandlerVyx}) {
        IHandler* handler = IHandler::create(kind, &registry);
        ASSERT_NE(handler, nullptr);
        EXPECT_EQ(handler->kind(), kind);
        EXPECT_EQ(handler->connectionStatus(), TRV_STATE_DISCONNECTED);
        EXPECT_EQ(handler->scanStatus(), 0);
        IHandler::destroy(handler);
    }
    IHandler::destroy(nullptr);
    EXPECT_EQ(IHandler::getSDKVersion(), "1.6.5");
}

TEST(HandlerFrame, GuardsRefuseWithTheirCodesAndWarnings) {
    LogCapture::install();
    CallbackRecorder recorder;
    PatternRegistry registry;
    registry.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    TestHandler handler(&registry);
    recorder.status = [&] { return handler.connectionStatus(); };
    // Each refusal: its code and its warning line.
    const auto refuses = [](int32_t result, int32_t code, const std::string& warning) {
        EXPECT_EQ(result, code) << warning;
        std::vector<trv::test::LogLine> lines;
        for (const auto& line : LogCapture::take())
            if (line.level != TRV_LOG_TRACE) lines.push_back(line); // the worker's traces may come any time
        ASSERT_EQ(lines.size(), 1u) << warning;
        EXPECT_EQ(std::tuple(lines[0].level, lines[0].tag, lines[0].text),
                  std::tuple(int{TRV_LOG_WARNING}, std::string("Handler"), warning));
    };
    refuses(handler.disconnect(), TRV_ERROR_NO_DEVICE_CONNECTED, "No device connected.");

    // A running scan.
    handler.holdScans(true);
    EXPECT_EQ(handler.scanDevices(TRV_OUTPUT_ANY), 0);
    EXPECT_EQ(handler.scanStatus(), 1);
    EXPECT_EQ(handler.connectionStatus(), TRV_STATE_DISCONNECTED);
    LogCapture::take();
    refuses(handler.connect(TRV_OUTPUT_USB, 0), TRV_ERROR_PROCESS_RUNNING, "Cannot connect device: scan running.");
    refuses(handler.scanDevices(TRV_OUTPUT_ANY), TRV_ERROR_PROCESS_RUNNING,
            "Cannot scan devices: scanning already running.");
    handler.holdScans(false);
    ASSERT_TRUE(handler.waitForRoutinesEnded(1));
    EXPECT_EQ(handler.scanStatus(), 0);
    EXPECT_EQ(handler.scanStarts, 1);

    // A connection on its way.
    handler.connectSucceeds = true;
    handler.holdConnections(true);
    EXPECT_EQ(handler.connect(TRV_OUTPUT_WIFI, 42), 0);
    EXPECT_EQ(handler.stateSeenAtStart, TRV_STATE_CONNECTING);
    EXPECT_EQ(handler.connectionStatus(), TRV_STATE_CONNECTING);
    LogCapture::take();
    refuses(handler.connect(TRV_OUTPUT_WIFI, 42), TRV_ERROR_PROCESS_RUNNING,
            "Cannot connect device: connection or disconnection ongoing.");
    refuses(handler.scanDevices(TRV_OUTPUT_ANY), TRV_ERROR_PROCESS_RUNNING,
            "Cannot scan devices: Connection or disconnection is already ongoing.");
    refuses(handler.disconnect(), TRV_ERROR_PROCESS_RUNNING,
            "Connection routine ongoing, cannot disconnect until it's done.");
    handler.holdConnections(false);
    ASSERT_TRUE(recorder.waitFor(1));

    // Connected.
    EXPECT_EQ(handler.connectionStatus(), TRV_STATE_CONNECTED);
    LogCapture::take();
    refuses(handler.connect(TRV_OUTPUT_WIFI, 42), TRV_ERROR_ALREADY_CONNECTED,
            "Cannot connect device: a device is already connected.");
    refuses(handler.scanDevices(TRV_OUTPUT_ANY), TRV_ERROR_ALREADY_CONNECTED,
            "Cannot scan devices: a device is already connected.");

    // Disconnecting.
    handler.holdDisconnections(true);
    EXPECT_EQ(handler.disconnect(), 0);
    EXPECT_EQ(handler.connectionStatus(), TRV_STATE_DISCONNECTING);
    LogCapture::take();
    refuses(handler.disconnect(), TRV_ERROR_PROCESS_RUNNING,
            "Disconnection is ongoing, all resources are not released yet..");
    EXPECT_EQ(handler.connect(TRV_OUTPUT_WIFI, 42), TRV_ERROR_PROCESS_RUNNING);
    handler.holdDisconnections(false);
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(handler.connectionStatus(), TRV_STATE_DISCONNECTED);

    // Each report gives the state it was just given when asked from inside.
    const auto reports = recorder.all();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(std::tuple(reports[0].state, reports[0].error, reports[0].serialNumber, reports[0].statusInside),
              std::tuple(TRV_STATE_CONNECTED, 0, 12345678u, TRV_STATE_CONNECTED));
    EXPECT_EQ(std::tuple(reports[1].state, reports[1].statusInside),
              std::tuple(TRV_STATE_DISCONNECTED, TRV_STATE_DISCONNECTED));
    EXPECT_EQ(std::tuple(handler.connectionStarts.load(), handler.disconnectionStarts.load()), std::tuple(1, 1));
}

TEST(HandlerFrame, OfTwoConcurrentRequestsExactlyOneStarts) {
    setApplicationLogCallback(nullptr);
    PatternRegistry registry;
    for (int round = 0; round < 300; ++round) {
        TestHandler handler(&registry);
        handler.holdConnections(true);
        handler.holdScans(true);
        std::latch go(2);
        std::atomic<int> admitted{0};
        // Even rounds: two connects; odd rounds: a connect against a scan.
        auto request = [&](bool scan) {
            go.arrive_and_wait();
            const int32_t result =
                scan ? handler.scanDevices(TRV_OUTPUT_ANY) : handler.connect(TRV_OUTPUT_ANY, 0);
            if (result == 0) {
                ++admitted;
            } else {
                EXPECT_EQ(result, TRV_ERROR_PROCESS_RUNNING);
            }
        };
        std::thread a(request, false);
        std::thread b(request, round % 2 == 1);
        a.join();
        b.join();
        ASSERT_EQ(admitted, 1) << "round " << round;
        ASSERT_EQ(handler.connectionStarts + handler.scanStarts, 1) << "round " << round;
    }
}

TEST(HandlerFrame, EndOfRoutineWithoutCallbackChangesTheStateAndTraces) {
    LogCapture::install(); // before any SDK instance the minimum level lets traces through
    CallbackRecorder recorder; // outlives the handler and its threads
    PatternRegistry registry;
    TestHandler handler(&registry);
    EXPECT_EQ(handler.connect(TRV_OUTPUT_USB, 7), 0);
    ASSERT_TRUE(handler.waitForRoutinesEnded(1));
    EXPECT_EQ(handler.connectionStatus(), TRV_STATE_DISCONNECTED);
    EXPECT_TRUE(LogCapture::contains("Handler", "Connection routine terminated: no connectionCallback set."));

    EXPECT_EQ(handler.setConnectionCallback(&CallbackRecorder::callback, &recorder), 0);
    EXPECT_EQ(handler.connect(TRV_OUTPUT_USB, 7), 0);
    ASSERT_TRUE(recorder.waitFor(1));
    const Report report = recorder.all()[0];
    EXPECT_EQ(std::tuple(report.state, report.error, report.serialNumber),
              std::tuple(TRV_STATE_DISCONNECTED, TRV_ERROR_DEVICE_NOT_REACHABLE, 7u));
    ASSERT_TRUE(handler.waitForRoutinesEnded(2));
    EXPECT_TRUE(LogCapture::contains("Handler", "Connection routine terminated: connectionCallback called."));
    for (const auto& line : LogCapture::lines())
        if (line.text.rfind("Connection routine terminated", 0) == 0) {
            EXPECT_EQ(line.level, TRV_LOG_TRACE);
        }
}

// The callback runs on the worker thread: asking for a new routine from
// there must neither throw nor make the thread join itself.
TEST(HandlerFrame, CallbacksConnectScanAndDisconnectFromInside) {
    setApplicationLogCallback(nullptr);
    CallbackRecorder recorder;
    PatternRegistry registry;
    registry.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    std::mutex resultsMutex; // guards results: a retired worker may still be writing
    std::vector<int32_t> results;
    std::atomic<int> step{0};
    auto handler = std::make_unique<TestHandler>(&registry);
    auto keep = [&](int32_t result) {
        std::lock_guard lock(resultsMutex);
        results.push_back(result);
    };
    recorder.onReport = [&](const Report& report) {
        const int n = step++;
        if (n < 4) {
            // Failed connections: try again, four times.
            if (n == 3) handler->connectSucceeds = true;
            keep(handler->connect(TRV_OUTPUT_ANY, 0));
        } else if (n == 4) {
            EXPECT_EQ(report.state, TRV_STATE_CONNECTED);
            keep(handler->disconnect());
        } else if (n == 5) {
            EXPECT_EQ(report.state, TRV_STATE_DISCONNECTED);
            keep(handler->scanDevices(TRV_OUTPUT_ANY));
        }
    };
    ASSERT_EQ(handler->connect(TRV_OUTPUT_ANY, 0), 0);
    ASSERT_TRUE(recorder.waitFor(6));
    // The scan started from the last callback ends too.
    ASSERT_TRUE(handler->waitForRoutinesEnded(6));
    handler.reset(); // joins every worker, the retired ones included
    EXPECT_EQ(results, (std::vector<int32_t>{0, 0, 0, 0, 0, 0}));
}

TEST(HandlerFrame, DestroyingWhileTheCallbackReconnectsEndsEveryThread) {
    setApplicationLogCallback(nullptr);
    for (int round = 0; round < 50; ++round) {
        CallbackRecorder recorder;
        PatternRegistry registry;
        registry.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        auto handler = std::make_unique<TestHandler>(&registry);
        handler->connectSucceeds = true;
        TestHandler* raw = handler.get();
        recorder.onReport = [raw](const Report& report) {
            if (report.state == TRV_STATE_DISCONNECTED) raw->connect(TRV_OUTPUT_ANY, 0);
        };
        ASSERT_EQ(handler->connect(TRV_OUTPUT_ANY, 0), 0);
        ASSERT_TRUE(recorder.waitFor(1));
        handler.reset(); // the end of the connection reports -1 and reconnects
    }
}

namespace {
std::atomic<IHandler*> gDestroyFromLog{nullptr};
std::atomic<bool> gDestroyReturned{false};
std::atomic<bool> gDeletedByWorker{false};

void destroyingLog(trv_log_level_t, const char*, const char* message) {
    const std::string_view text(message);
    if (text == "Handler destroyed by its own worker thread.") gDeletedByWorker = true;
    if (text != "a line from the connection's own thread") return;
    if (IHandler* handler = gDestroyFromLog.exchange(nullptr)) {
        IHandler::destroy(handler);
        gDestroyReturned = true;
    }
}

bool waitForFlag(const std::atomic<bool>& flag) {
    for (int i = 0; i < 3000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return flag;
}
} // namespace

// Destroyed from the log callback on a thread that the worker joins: the
// worker deletes the handler once that thread has ended, and nobody joins
// itself. The callback pair is dropped at once.
TEST(HandlerFrame, DestroyedInACallbackOnAThreadTheWorkerJoinsIsDeletedByTheWorker) {
    auto registry = std::make_unique<PatternRegistry>(); // outlives the handler: waited for below
    CallbackRecorder recorder;
    registry->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    auto* handler = new TestHandler(registry.get());
    handler->connectSucceeds = true;
    handler->whileConnected = [] { LogStream(TRV_LOG_INFO, "Test") << "a line from the connection's own thread"; };
    gDestroyReturned = gDeletedByWorker = false;
    gDestroyFromLog = handler;
    setApplicationLogCallback(&destroyingLog);
    setLogLevel(TRV_LOG_TRACE);
    ASSERT_EQ(handler->connect(TRV_OUTPUT_ANY, 0), 0);
    const bool returned = waitForFlag(gDestroyReturned);
    const bool deleted = returned && waitForFlag(gDeletedByWorker);
    setApplicationLogCallback(nullptr);
    ASSERT_TRUE(returned) << "the destroy inside the callback never came back";
    ASSERT_TRUE(deleted);
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(recorder.all().size(), 1u) << "only the connected report: the end is not reported";
}

TEST(HandlerFrame, ARoutineThatCannotStartLeavesNoStateBehind) {
    setApplicationLogCallback(nullptr);
    CallbackRecorder recorder; // outlives the handler and its threads
    PatternRegistry registry;
    TestHandler handler(&registry);

    handler.startResult = TRV_ERROR_OTHER;
    EXPECT_EQ(handler.connect(TRV_OUTPUT_ANY, 0), TRV_ERROR_OTHER);
    EXPECT_EQ(handler.connectionStatus(), TRV_STATE_DISCONNECTED);
    EXPECT_EQ(handler.scanDevices(TRV_OUTPUT_ANY), TRV_ERROR_OTHER);
    EXPECT_EQ(handler.scanStatus(), 0);

    handler.startResult = 0;
    handler.throwOnStart = true;
    EXPECT_EQ(handler.connect(TRV_OUTPUT_ANY, 0), TRV_ERROR_OTHER);
    EXPECT_EQ(handler.connectionStatus(), TRV_STATE_DISCONNECTED);
    EXPECT_EQ(handler.scanDevices(TRV_OUTPUT_ANY), TRV_ERROR_OTHER);
    EXPECT_EQ(handler.scanStatus(), 0);

    // A connection that cannot start its disconnection stays connected.
    handler.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    handler.throwOnStart = false;
    handler.connectSucceeds = true;
    ASSERT_EQ(handler.connect(TRV_OUTPUT_ANY, 0), 0);
    ASSERT_TRUE(recorder.waitFor(1));
    handler.throwOnStart = true;
    EXPECT_EQ(handler.disconnect(), TRV_ERROR_OTHER);
    EXPECT_EQ(handler.connectionStatus(), TRV_STATE_CONNECTED);
    handler.throwOnStart = false;
    EXPECT_EQ(handler.disconnect(), 0);
    ASSERT_TRUE(recorder.waitFor(2));
}

TEST(HandlerFrame, AnExceptionOnTheWorkerThreadEndsTheRoutineAsAFailure) {
    LogCapture::install();
    CallbackRecorder recorder;
    PatternRegistry registry;
    registry.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    TestHandler handler(&registry);
    handler.throwInRoutine = true;
    ASSERT_EQ(handler.connect(TRV_OUTPUT_ANY, 3), 0);
    ASSERT_TRUE(recorder.waitFor(1));
    const Report report = recorder.all()[0];
    EXPECT_EQ(report.state, TRV_STATE_DISCONNECTED);
    EXPECT_EQ(report.error, TRV_ERROR_OTHER);
    EXPECT_EQ(report.serialNumber, 0xFFFFFFFFu);
    EXPECT_EQ(handler.connectionStatus(), TRV_STATE_DISCONNECTED);

    // The failed scan clears its flag (before it logs): a scan is admitted again.
    ASSERT_EQ(handler.scanDevices(TRV_OUTPUT_ANY), 0);
    ASSERT_TRUE(LogCapture::waitFor("Handler", "Worker routine failed: scanning routine failure"));
    EXPECT_EQ(handler.scanStatus(), 0);
    handler.throwInRoutine = false;
    EXPECT_EQ(handler.scanDevices(TRV_OUTPUT_ANY), 0);
    ASSERT_TRUE(handler.waitForRoutinesEnded(1));
}

TEST(HandlerFrame, EveryConnectionReloadsTheRegistryAsItIsThen) {
    setApplicationLogCallback(nullptr);
    CallbackRecorder recorder;
    PatternRegistry registry;
    registry.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    registry.add(0, "zero");
    registry.add(3, "three");
    TestHandler handler(&registry);
    handler.connectSucceeds = true;

    ASSERT_EQ(handler.connect(TRV_OUTPUT_ANY, 0), 0);
    ASSERT_TRUE(recorder.waitFor(1));
    registry.remove(0);
    registry.add(4, "four");
    ASSERT_EQ(handler.disconnect(), 0);
    ASSERT_TRUE(recorder.waitFor(2));
    ASSERT_EQ(handler.connect(TRV_OUTPUT_ANY, 0), 0);
    ASSERT_TRUE(recorder.waitFor(3));

    const auto reloads = handler.reloads();
    ASSERT_EQ(reloads.size(), 2u);
    EXPECT_EQ(reloads[0], (PatternRegistry::PatternMap{{0, "zero"}, {3, "three"}}));
    EXPECT_EQ(reloads[1], (PatternRegistry::PatternMap{{3, "three"}, {4, "four"}}));
}

