// TarvonelSDK with the legacy backend: enableLegacyBackend chooses the
// board-command handler for the next connection and back again, and each
// new handler reloads the patterns the application loaded.
#include <gtest/gtest.h>

#include <thread>

#include "board/handler_commands.h"
#include "link/link_timings.h"
#include "sdk/TarvonelSDK.h"
#include "sdk/callback_recorder.h"
#include "streaming/streaming_support.h"
#include "support/fresh_network.h"
#include "support/log_capture.h"
#include "support/net_guard.h"
#include "tools/vest-emulator/board_vest.h"

namespace {

using trv::test::CallbackRecorder;

TEST(BoardSwitch, LegacyAndDefaultBackendsTakeTurnsWithTheSamePatterns) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    trv::test::captureLogs();
    trv::test::useFastTimings();
    // Answers are waited for long enough for a loaded machine; the
    // discovery window is always waited out, so it stays shorter.
    DeviceTimings timings = processDeviceTimings();
    timings.link.answerTimeoutSeconds = 5.0f;
    timings.link.discoveryWindowSeconds = 0.5f;
    timings.stream.answerTimeoutSeconds = 5.0f;
    timings.stream.silenceTimeoutSeconds = 5.0f;
    setProcessDeviceTimings(timings);
    trv::test::VestOnLoopback vest; // the streaming side, on WiFi
    vestemu::BoardVest slots(std::shared_ptr<vestemu::EmulatedVest>(&vest.vest(), [](auto*) {}));
    CallbackRecorder recorder;
    TarvonelSDK sdk;
    sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    const int32_t pattern = sdk.loadPatternFromJSON(
        trv::test::patternOf({1, 0.1, "[]", trv::test::weightsKeys({3})}).c_str());
    ASSERT_GE(pattern, 0);

    std::size_t reports = 0;
    auto session = [&](bool legacy) {
        sdk.ExperimentalAPI().enableLegacyBackend(legacy);
        ASSERT_EQ(sdk.connect(TRV_OUTPUT_WIFI, 12345678), 0);
        ASSERT_TRUE(recorder.waitFor(++reports));
        ASSERT_EQ(recorder.all().back().state, TRV_STATE_CONNECTED);
        const std::size_t uploads = slots.commandsOf(0x01).size();
        EXPECT_GE(sdk.playEffect(pattern, trv_effect_properties_t()), 0) << "the pattern was reloaded";
        if (legacy)
            EXPECT_TRUE(slots.waitForCommands(0x01, uploads + 1, 5.0));
        else
            EXPECT_TRUE(vest.streaming().waitForFrames(3, 5.0));
        EXPECT_EQ(slots.commandsOf(0x01).size(), uploads + (legacy ? 1 : 0));
        ASSERT_EQ(sdk.disconnect(), 0);
        ASSERT_TRUE(recorder.waitFor(++reports));
        ASSERT_EQ(recorder.all().back().state, TRV_STATE_DISCONNECTED);
    };
    session(true);
    session(false);
    session(true);
}

} // namespace
