// The instance's hold on its handler: a backend change while calls are
// under way on the old handler.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/PatternRegistry.h"
#include "sdk/handler_holder.h"
#include "sdk/log.h"
#include "test_handler.h"

namespace {

using trv::test::TestHandler;

std::atomic<int> gEnded{0};

struct CountedHandler : TestHandler {
    using TestHandler::TestHandler;
    ~CountedHandler() override { ++gEnded; }
};

IHandler* makeCounted(int32_t kind, PatternRegistry* registry) { return new CountedHandler(registry, kind); }

class HandlerHolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        setApplicationLogCallback(nullptr);
        gEnded = 0;
        IHandler::setFactoryForTesting(&makeCounted);
    }
    void TearDown() override { IHandler::setFactoryForTesting(nullptr); }

    std::shared_ptr<PatternRegistry> registry = std::make_shared<PatternRegistry>();
    const BackendChange change{"Tarvonel", true, true};
};

TEST_F(HandlerHolderTest, AReplacedHandlerAdmitsNothingAndEndsWithItsLastCall) {
    HandlerHolder holder(registry, IHandler::create(kHandlerStreaming, registry.get()));
    HandlerHolder::Use call = holder.use(); // a call under way on the first handler
    auto* first = static_cast<TestHandler*>(call.get());

    HandlerHolder::Use chosen;
    ASSERT_EQ(chooseHandler(holder, kHandlerCommands, change, chosen), 0);
    EXPECT_EQ(chosen->kind(), kHandlerCommands);
    EXPECT_EQ(holder.use().get(), chosen.get());
    EXPECT_EQ(gEnded, 0) << "still used by the call";

    // What the call does next still works on the old handler, but starts
    // nothing there: the request goes to the new one (-11 tells the caller).
    EXPECT_EQ(first->connectionStatus(), TRV_STATE_DISCONNECTED);
    EXPECT_TRUE(first->retired());
    EXPECT_EQ(first->connect(TRV_OUTPUT_WIFI, 1), TRV_ERROR_PROCESS_RUNNING);
    EXPECT_EQ(first->scanDevices(TRV_OUTPUT_WIFI), TRV_ERROR_PROCESS_RUNNING);
    EXPECT_EQ(first->connectionStarts + first->scanStarts, 0);

    call = HandlerHolder::Use();
    EXPECT_EQ(gEnded, 1) << "the last call ended it";
    EXPECT_FALSE(chosen->retired());
}

TEST_F(HandlerHolderTest, AHandlerNotDisconnectedIsKept) {
    HandlerHolder holder(registry, IHandler::create(kHandlerStreaming, registry.get()));
    {
        HandlerHolder::Use current = holder.use();
        auto* handler = static_cast<TestHandler*>(current.get());
        handler->holdConnections(true);
        ASSERT_EQ(handler->connect(TRV_OUTPUT_WIFI, 1), 0);
        HandlerHolder::Use chosen;
        EXPECT_EQ(chooseHandler(holder, kHandlerCommands, change, chosen), TRV_ERROR_ALREADY_CONNECTED);
        EXPECT_FALSE(chosen);
        // Another thread's view of the same handler: replacing it directly
        // is refused as well, since it cannot be retired.
        EXPECT_EQ(holder.replace(current, kHandlerCommands), HandlerHolder::Change::Busy);
        EXPECT_FALSE(handler->retired());
        handler->holdConnections(false);
        ASSERT_TRUE(handler->waitForRoutinesEnded(1));
    }
    EXPECT_EQ(holder.use()->kind(), kHandlerStreaming);
    EXPECT_EQ(gEnded, 1) << "only the handler made and refused";
}

TEST_F(HandlerHolderTest, AChangeSupersededByAnotherThreadsLooksAgain) {
    HandlerHolder holder(registry, IHandler::create(kHandlerStreaming, registry.get()));
    HandlerHolder::Use stale = holder.use();
    HandlerHolder::Use other = holder.use();
    ASSERT_EQ(holder.replace(other, kHandlerVyx), HandlerHolder::Change::Done);
    EXPECT_EQ(holder.replace(stale, kHandlerCommands), HandlerHolder::Change::Superseded);
    EXPECT_EQ(holder.use()->kind(), kHandlerVyx) << "the first change stands";
    HandlerHolder::Use chosen;
    ASSERT_EQ(chooseHandler(holder, kHandlerCommands, change, chosen), 0);
    EXPECT_EQ(holder.use()->kind(), kHandlerCommands);
}

// A replaced handler ends with the last call holding it, however deep
// calls nest on one thread (more than a thread's first set of slots) and
// in whatever order they end, and whichever thread ends last.
TEST_F(HandlerHolderTest, AReplacedHandlerEndsWithTheLastCallOnAnyThread) {
    HandlerHolder holder(registry, IHandler::create(kHandlerStreaming, registry.get()));
    std::vector<HandlerHolder::Use> nested;
    for (int depth = 0; depth < 40; ++depth) nested.push_back(holder.use());
    IHandler* first = nested.front().get();

    std::atomic<bool> holding{false}, letGo{false};
    std::thread other([&] {
        HandlerHolder::Use call = holder.use();
        holding = true;
        while (!letGo) std::this_thread::yield();
        EXPECT_EQ(call.get(), first);
    });
    while (!holding) std::this_thread::yield();

    for (auto& call : nested) ASSERT_EQ(call.get(), first);
    HandlerHolder::Use chosen;
    ASSERT_EQ(chooseHandler(holder, kHandlerCommands, change, chosen), 0);
    letGo = true;
    other.join();
    EXPECT_EQ(gEnded, 0) << "calls on this thread still use it";
    for (std::size_t i = 0; i < nested.size(); i += 2) nested[i] = HandlerHolder::Use(); // out of order
    for (std::size_t i = 1; i + 1 < nested.size(); i += 2) nested[i] = HandlerHolder::Use();
    EXPECT_EQ(gEnded, 0) << "the deepest call still uses it";
    nested.back() = HandlerHolder::Use();
    EXPECT_EQ(gEnded, 1);
    // Threads come and go; each call still finds the current handler.
    for (int i = 0; i < 20; ++i) std::thread([&] { EXPECT_EQ(holder.use()->kind(), kHandlerCommands); }).join();
}

// A callback calling in while the instance ends: the holder joins the
// handler's threads before it is gone, so the call ends first.
struct CallingIn {
    HandlerHolder* holder;
    std::atomic<bool> inside{false};
    std::atomic<bool> done{false};
    static void callback(trv_connection_state_t, trv_error_t, uint32_t, void* userData) {
        auto* self = static_cast<CallingIn*>(userData);
        {
            HandlerHolder::Use call = self->holder->use();
            self->inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            (void)call->connectionStatus();
        }
        self->done = true;
    }
};

TEST_F(HandlerHolderTest, EndingWaitsForACallbackCallingIn) {
    auto holder = std::make_unique<HandlerHolder>(registry, IHandler::create(kHandlerStreaming, registry.get()));
    CallingIn callingIn{holder.get()};
    {
        HandlerHolder::Use current = holder->use();
        current->setConnectionCallback(&CallingIn::callback, &callingIn);
        ASSERT_EQ(current->connect(TRV_OUTPUT_WIFI, 1), 0);
    }
    for (int i = 0; i < 2000 && !callingIn.inside; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(callingIn.inside);
    holder.reset();
    EXPECT_TRUE(callingIn.done);
    EXPECT_EQ(gEnded, 1);
}

} // namespace
