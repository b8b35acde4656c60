// The legacy backend end to end: the board-command handler drives the
// emulated vest's 20 slots over the WiFi, USB and Bluetooth transports.
// Every case runs in a network namespace of its own.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <sstream>

#include <nlohmann/json.hpp>

#include "board/handler_commands.h"
#include "link/bluetooth/bluetooth_backend.h"
#include "link/hid_api.h"
#include "link/hid_com_udp.h"
#include "link/hid_frame.h"
#include "link/link_timings.h"
#include "sdk/PatternRegistry.h"
#include "sdk/callback_recorder.h"
#include "streaming/streaming_support.h"
#include "support/fresh_network.h"
#include "support/log_capture.h"
#include "support/net_guard.h"
#include "tools/vest-emulator/bluetooth_vest_backend.h"
#include "tools/vest-emulator/board_vest.h"
#include "tools/vest-emulator/hid_vest_adapter.h"
#include "tools/vest-emulator/udp_vest_adapter.h"

namespace {

using trv::test::CallbackRecorder;
using vestemu::BoardCommand;

constexpr uint32_t kSerial = 12345678;
constexpr uint8_t kPlay = 0x01, kStop = 0x02, kStopAll = 0x04, kPause = 0x05, kMute = 0x06;

nlohmann::json golden() {
    std::ifstream in(TRV_BOARD_GOLDEN);
    return nlohmann::json::parse(in);
}

std::string hexOf(const std::vector<uint8_t>& bytes) {
    std::ostringstream out;
    for (uint8_t b : bytes) out << std::hex << (b >> 4) << (b & 15);
    return out.str();
}

// One track of `count` samples, `spacing` seconds apart, each `length` long.
std::string patternOf(int count, double spacing, double length, double duration) {
    std::ostringstream s;
    s << R"({"duration": )" << duration << R"(, "tracks": [{"volume": 100, "samples": [)";
    for (int i = 0; i < count; ++i)
        s << (i ? "," : "") << R"({"timestamp": )" << i * spacing << R"(, "signalIndex": )" << 10 + i
          << R"(, "speed": 1, "repeatCount": 1, "preDelay": 0, "postDelay": 0, "maxDuration": )" << length
          << R"(, "repeatSpat": false, "startCrop": 0, "stopCrop": 0,
             "spatKeyframes": [{"timestamp": 0, "weights": [50]}], "volumeKeyframes": []})";
    s << "]}]}";
    return s.str();
}

class BoardBackend : public ::testing::Test {
protected:
    void SetUp() override {
        TRV_REQUIRE_PRIVATE_NETWORK();
        TRV_ENTER_FRESH_NETWORK();
        trv::test::captureLogs();
        trv::test::useFastTimings();
        // Answers are waited for long enough for a loaded machine; the
        // discovery window is always waited out, so it stays shorter.
        DeviceTimings process = processDeviceTimings();
        process.link.answerTimeoutSeconds = 5.0f;
        process.link.discoveryWindowSeconds = 0.5f;
        setProcessDeviceTimings(process);
        timings.resendSeconds = 5.0f; // a late answer is no reason to send a command twice
        timings.keepAliveSeconds = 0.2f;
        timings.settleSeconds = 0.01f;
        vest = std::make_shared<vestemu::EmulatedVest>();
        slots = std::make_unique<vestemu::BoardVest>(vest);
        registry.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    }

    void TearDown() override {
        IHandler::destroy(handler);
        udp.reset();
        slots.reset();
        vestemu::EmulatedHidBus::instance().removeAll();
        setActiveHidApi(nullptr);
        setActiveBluetoothBackend(nullptr);
    }

    void onWifi() { udp = std::make_unique<vestemu::UdpVestAdapter>(vest, vestemu::UdpVestOptions{}); }
    void onUsb() {
        vestemu::EmulatedHidBus::instance().addDevice(vest, {});
        setActiveHidApi(&vestemu::EmulatedHidBus::instance().api());
    }
    void onBluetooth() {
        BluetoothDeviceRecord record;
        record.address = "00:11:22:33:44:55";
        record.name = "Tarvonel";
        record.authenticated = record.remembered = true;
        bluetooth->addDevice(record, vest);
        setActiveBluetoothBackend(bluetooth);
    }

    // The steady clock unless a case sets its own.
    void makeHandler() {
        std::shared_ptr<const board::BoardClock> boardClock = clock;
        if (!boardClock) boardClock = std::make_shared<board::SteadyBoardClock>();
        handler = new board::HandlerCommands(&registry, boardClock, timings);
    }

    void connect(trv_output_t output = TRV_OUTPUT_WIFI) {
        if (handler == nullptr) makeHandler();
        const std::size_t before = recorder.all().size();
        ASSERT_EQ(handler->connect(output, kSerial), 0);
        ASSERT_TRUE(recorder.waitFor(before + 1));
        const auto report = recorder.all().back();
        ASSERT_EQ(report.state, TRV_STATE_CONNECTED);
        ASSERT_EQ(report.error, 0);
        ASSERT_EQ(report.serialNumber, kSerial);
    }

    int32_t load(const std::string& text) {
        const int32_t id = handler->loadPatternFromJSON(text);
        if (id >= 0) registry.add(id, text);
        return id;
    }

    bool waitForState(int32_t effect, trv_effect_state_t state, double seconds = 10.0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (handler->effectState(effect) == state) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    std::shared_ptr<vestemu::EmulatedVest> vest;
    std::unique_ptr<vestemu::BoardVest> slots;
    std::unique_ptr<vestemu::UdpVestAdapter> udp;
    std::shared_ptr<vestemu::BluetoothVestBackend> bluetooth = std::make_shared<vestemu::BluetoothVestBackend>();
    PatternRegistry registry;
    CallbackRecorder recorder;
    board::BoardTimings timings;
    std::shared_ptr<board::ManualBoardClock> clock; // null: the steady clock
    IHandler* handler = nullptr;
};

class EachTransport : public BoardBackend, public ::testing::WithParamInterface<trv_output_t> {};

TEST_P(EachTransport, ConnectsPlaysAndDisconnects) {
    if (GetParam() == TRV_OUTPUT_WIFI) onWifi();
    if (GetParam() == TRV_OUTPUT_USB) onUsb();
    if (GetParam() == TRV_OUTPUT_BLUETOOTH) onBluetooth();
    makeHandler();
    ASSERT_EQ(handler->scanDevices(GetParam()), 0);
    ASSERT_TRUE(trv::test::waitUntil([&] { return handler->scanStatus() != 1; }, 20.0));
    const trv_device_info_t* found = handler->getScannedDevices();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->serialNumber, kSerial);
    EXPECT_STREQ(found->deviceVersion, "1.4.0");

    connect(GetParam());
    EXPECT_EQ(handler->getTarvonelVersion(), "1.4.0");
    EXPECT_EQ(handler->getTarvonelType(), 0x0122FFFFu);
    const int32_t effect = handler->playEffect(load(patternOf(1, 0, 0.05, 0.05)), trv_effect_properties_t());
    ASSERT_TRUE(slots->waitForCommands(kPlay, 1, 5.0));
    ASSERT_TRUE(waitForState(effect, -1)) << "ends once the board frees its slot";

    ASSERT_EQ(handler->disconnect(), 0);
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(recorder.all().back().state, TRV_STATE_DISCONNECTED);
    EXPECT_EQ(recorder.all().back().error, 0);
    EXPECT_EQ(recorder.all().back().serialNumber, kSerial);
    EXPECT_EQ(handler->getTarvonelSerialNumber(), 0xFFFFFFFFu);
}

INSTANTIATE_TEST_SUITE_P(Board, EachTransport, ::testing::Values(TRV_OUTPUT_WIFI, TRV_OUTPUT_USB, TRV_OUTPUT_BLUETOOTH));

struct UnaskedCase {
    const char* name;
    std::vector<uint8_t> frame; // CRC stamped when sent
    const char* line;           // what the receive thread tells of it
};
void PrintTo(const UnaskedCase& c, std::ostream* out) { *out << c.name; }

class UnaskedFlood : public BoardBackend, public ::testing::WithParamInterface<UnaskedCase> {};

// Well-formed frames from the vest's address that nothing asked for, 1000
// of them: each kind of line at most once a second, and one line a second
// with the count of the rest.
TEST_P(UnaskedFlood, IsCountedNotLoggedFrameByFrame) {
    onWifi();
    connect();
    const Ipv4Endpoint host = HidComUdp::parseAddressText(vest->boundPeer().value()).value();
    std::vector<uint8_t> frame = GetParam().frame;
    stampFrameCrc(frame.data(), frame.size());
    trv::test::takeLogs();
    const auto start = std::chrono::steady_clock::now();
    for (int batch = 0; batch < 20; ++batch) {
        for (int i = 0; i < 50; ++i) udp->sendRaw(frame, host);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // A keep-alive asked after the flood is answered after it, and the next
    // one is asked only once that answer was read.
    const int keepAlives = vest->receivedCount(0x07);
    ASSERT_TRUE(trv::test::waitUntil([&] { return vest->receivedCount(0x07) >= keepAlives + 2; }, 10.0));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto logs = trv::test::takeLogs();
    EXPECT_TRUE(trv::test::hasLog(logs, GetParam().line, TRV_LOG_ERROR));
    int lines = 0, received = 0;
    std::ostringstream receivedLine;
    receivedLine << "Message received: " << std::hex << static_cast<int>(frame[0]) << " ";
    for (const auto& line : logs) {
        lines += line.level >= TRV_LOG_DEBUG;
        received += line.text.rfind(receivedLine.str(), 0) == 0;
    }
    const int windows = static_cast<int>(seconds) + 2;
    EXPECT_LE(lines, 3 * windows);
    EXPECT_LE(received, windows) << "trace lines too";
}

INSTANTIATE_TEST_SUITE_P(
    , UnaskedFlood,
    ::testing::Values(UnaskedCase{"ErrorAnswer", {0xFF, 0xAD, 0xDE, 0xFC, 0, 0}, "Tarvonel was not able to process"},
                      UnaskedCase{"SerialNumberAnswer", {0x88, 0xAD, 0xDE, 0x2E, 0x16, 34, 12, 0, 0},
                                  "Unexpected message from remote device:88"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BoardBackend, SilentVestEndsTheConnectionAfterTenSends) {
    onWifi();
    // The ten sends and the unbind are waited out: short waits, long
    // enough for the answers that do come.
    timings.resendSeconds = 0.15f;
    DeviceTimings process = processDeviceTimings();
    process.link.answerTimeoutSeconds = 1.0f;
    setProcessDeviceTimings(process);
    // On a clock that stands still the loop sends nothing after the first
    // cycle's SetMuteStatus (the fourth transaction, after the three
    // queries), until the clock makes a keep-alive due.
    clock = std::make_shared<board::ManualBoardClock>();
    connect();
    ASSERT_TRUE(trv::test::waitUntil([] {
        return trv::test::countLogs(trv::test::LogCapture::lines(), "Transaction time") >= 4;
    }));
    vestemu::Faults silent;
    silent.silent = true;
    vest->clearReceived();
    vest->setFaults(silent);
    // Moved again should the last transaction end just after a move: it is
    // stamped with the new time.
    for (int i = 0; i < 100 && vest->receivedCount(0x07) == 0; ++i) {
        clock->advanceSeconds(2 * timings.keepAliveSeconds);
        trv::test::waitUntil([&] { return vest->receivedCount(0x07) > 0; }, 0.1);
    }
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(recorder.all().back().state, TRV_STATE_DISCONNECTED);
    EXPECT_EQ(recorder.all().back().error, TRV_ERROR_DEVICE_NOT_REACHABLE) << "the unbind went unanswered too";
    // The keep-alive sent ten times, then the unbind (after a command of
    // the connection, sent before the clock moved, that a late answer had
    // sent twice).
    const auto ids = vest->receivedIds();
    EXPECT_EQ(vest->receivedCount(0x07), 10) << ::testing::PrintToString(ids);
    std::vector<uint8_t> sends(10, 0x07);
    sends.push_back(0x12);
    EXPECT_EQ(std::vector<uint8_t>(std::find(ids.begin(), ids.end(), 0x07), ids.end()), sends);
    EXPECT_EQ(handler->connectionStatus(), TRV_STATE_DISCONNECTED);

    // Silent from the start: the first query fails the connection.
    ASSERT_EQ(handler->connect(TRV_OUTPUT_WIFI, kSerial), 0);
    ASSERT_TRUE(recorder.waitFor(3));
    EXPECT_EQ(recorder.all().back().state, TRV_STATE_DISCONNECTED);
    EXPECT_NE(recorder.all().back().error, 0);
}

TEST_F(BoardBackend, MessagesAreTheGoldenOnesAndMutesFollowTheBudget) {
    onWifi();
    clock = std::make_shared<board::ManualBoardClock>();
    slots->setOptions({.endSamples = false});
    connect();
    // Golden cases: vicinity on actuator 11, mirrored right-left, at height
    // 0.24, turned by 90 degrees, tilted by 30 degrees.
    const auto cases = golden();
    struct Play {
        int golden;
        int priority;
        void (*set)(trv_effect_properties_t&);
    };
    const Play plays[] = {
        {5, 9, [](trv_effect_properties_t&) {}},
        {6, 1, [](trv_effect_properties_t& p) { p.rightLeftInversion = true; }},
        {8, 5, [](trv_effect_properties_t& p) { p.height = 1; }},
        {9, 5, [](trv_effect_properties_t& p) { p.heading = 90; }},
        {10, 5, [](trv_effect_properties_t& p) { p.tilting = 30; }},
    };
    std::size_t sent = 0;
    for (const Play& play : plays) {
        trv_effect_properties_t p;
        p.priority = play.priority;
        play.set(p);
        ASSERT_GE(handler->playEffect(load(cases[play.golden]["spn"]), p), 0);
        ASSERT_TRUE(slots->waitForCommands(kPlay, ++sent, 5.0));
        EXPECT_EQ(hexOf(slots->commandsOf(kPlay).back().frame), cases[play.golden]["hex"]) << play.golden;
    }
    // Six one-slot effects more: 11 slot-units; the least important is muted.
    trv_effect_properties_t lowest;
    lowest.priority = 10;
    const int32_t pattern = load(patternOf(1, 0, 0, 1));
    std::vector<int32_t> effects;
    for (int i = 0; i < 6; ++i) effects.push_back(handler->playEffect(pattern, lowest));
    ASSERT_TRUE(slots->waitForCommands(kPlay, 11, 5.0));
    ASSERT_TRUE(waitForState(effects.front(), 1)) << "of equal priority, the one played first goes last";
    const uint32_t audible = ~slots->muteMask() & slots->reservedMask();
    EXPECT_EQ(std::popcount(slots->reservedMask()), 11);
    EXPECT_EQ(std::popcount(audible), 10);
    // The mask the board holds is the host's: no SetMuteStatus every cycle
    // (a keep-alive shows the loop has run meanwhile).
    slots->clearTimeline();
    clock->advanceSeconds(2 * timings.keepAliveSeconds);
    ASSERT_TRUE(slots->waitForCommands(0x07, 1, 5.0));
    EXPECT_LE(slots->commandsOf(kMute).size(), 1u);

    // A stop with a fade carries it; the slot ends when the board says so.
    ASSERT_EQ(handler->stopEffect(effects[0], 0.05f), 0);
    ASSERT_TRUE(slots->waitForCommands(kStop, 1, 5.0));
    EXPECT_EQ(slots->commandsOf(kStop)[0].fadeSeconds, 0.05f);
    ASSERT_TRUE(waitForState(effects[0], -1));
    EXPECT_EQ(handler->effectState(effects[0]), -1);
    EXPECT_EQ(handler->effectState(12345), -1);
}

TEST_F(BoardBackend, FreedSlotIsFollowedByTheNextSampleAndTimelinesMatch) {
    onWifi();
    // The handler's clock moves only when the case moves it (a keep-alive
    // is due at every move), and the case ends each sample on the board.
    clock = std::make_shared<board::ManualBoardClock>();
    timings.keepAliveSeconds = 0.0f;
    slots->setOptions({.endSamples = false});
    connect();
    double now = 0; // seconds since the first sample was played
    auto moveTo = [&](double seconds) {
        clock->advanceSeconds(seconds - now);
        now = seconds;
    };
    // Moves on by a microsecond at a time until two moves in a row caused a
    // keep-alive alone: the loop has taken in all that the board sent. (A
    // transaction that ends just after a move is stamped with the new time:
    // no keep-alive is due then, until the next move.)
    auto settle = [&] {
        for (int quiet = 0, i = 0; quiet < 2; ++i) {
            ASSERT_LT(i, 1000);
            const std::size_t before = slots->timeline().size();
            moveTo(now + 1e-6);
            trv::test::waitUntil([&] { return slots->timeline().size() > before; }, 0.1);
            const auto timeline = slots->timeline();
            quiet = timeline.size() == before + 1 && timeline.back().id == 0x07 ? quiet + 1 : 0;
        }
    };
    // Samples at 0, 0.2 and 0.4 s of a 0.6 s pattern, 0.1 s each; twice,
    // 0.4 s apart, at double speed.
    trv_effect_properties_t p;
    p.speed = 2;
    p.repeatCount = 2;
    p.repeatDelay = 0.4f;
    const int32_t effect = handler->playEffect(load(patternOf(3, 0.2, 0.1, 0.6)), p);
    ASSERT_TRUE(slots->waitForCommands(kPlay, 1, 5.0));
    const double expected[] = {0, 0.1, 0.2, 0.65, 0.75, 0.85};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        if (i > 0) {
            moveTo(expected[i] - 0.002);
            ASSERT_NO_FATAL_FAILURE(settle());
            EXPECT_EQ(slots->commandsOf(kPlay).size(), i) << "too early: " << i;
            moveTo(expected[i] + 0.001);
            ASSERT_TRUE(slots->waitForCommands(kPlay, i + 1, 5.0)) << "too late: " << i;
        }
        moveTo(expected[i] + 0.05); // the sample has played out
        slots->finishSlot(static_cast<std::size_t>(slots->commandsOf(kPlay).back().slot));
        ASSERT_NO_FATAL_FAILURE(settle());
    }
    ASSERT_TRUE(waitForState(effect, -1));
    const auto plays = slots->commandsOf(kPlay);
    ASSERT_EQ(plays.size(), 6u);
    EXPECT_EQ(plays[3].frame[3], 10) << "the repetition starts from the first sample";
}

TEST_F(BoardBackend, PauseResumeAndStopAll) {
    onWifi();
    // The board holds its stop-all answer until the test lets it go, so the
    // stop-all is still pending when the pause is asked for.
    std::promise<void> releaseStopAll;
    const std::shared_future<void> stopAllReleased = releaseStopAll.get_future().share();
    slots->setOptions({.endSamples = false, .observer = [stopAllReleased](const BoardCommand& c) {
                           if (c.id == kStopAll) stopAllReleased.wait_for(std::chrono::seconds(5));
                       }});
    connect();
    const int32_t pattern = load(patternOf(2, 0.2, 0, 1));
    const int32_t effect = handler->playEffect(pattern, trv_effect_properties_t());
    ASSERT_TRUE(slots->waitForCommands(kPlay, 1, 5.0));
    // A resume right after a pause cancels it: the board ends up playing.
    // A new effect starts only in a cycle with neither request pending.
    EXPECT_EQ(handler->pauseAll(), 0);
    EXPECT_EQ(handler->resumeAll(), 0);
    const int32_t later = handler->playEffect(pattern, trv_effect_properties_t());
    ASSERT_TRUE(waitForState(later, 2));
    EXPECT_FALSE(slots->paused());
    const std::size_t pauses = slots->commandsOf(kPause).size();
    EXPECT_EQ(handler->pauseAll(), 0);
    ASSERT_TRUE(slots->waitForCommands(kPause, pauses + 1, 5.0));
    EXPECT_TRUE(slots->paused());
    EXPECT_EQ(handler->stopAll(), 0);
    EXPECT_EQ(handler->pauseAll(), TRV_ERROR_PRIORITY_COMMAND_WAITING);
    releaseStopAll.set_value();
    ASSERT_TRUE(slots->waitForCommands(kStopAll, 1, 5.0));
    ASSERT_TRUE(waitForState(effect, -1));
    ASSERT_TRUE(waitForState(later, -1));
    EXPECT_EQ(slots->reservedMask(), 0u);

    // Paused at the end of a connection: the next one starts unpaused, so
    // a pause goes out again.
    ASSERT_EQ(handler->disconnect(), 0);
    ASSERT_TRUE(recorder.waitFor(2));
    slots->clearTimeline();
    connect();
    EXPECT_EQ(handler->pauseAll(), 0);
    EXPECT_TRUE(slots->waitForCommands(kPause, 1, 5.0));
}

struct BoardFault {
    const char* name;
    vestemu::BoardOptions options;
    trv_error_t replay; // playing the pattern again afterwards
};

class BoardFaults : public BoardBackend, public ::testing::WithParamInterface<BoardFault> {};

TEST_P(BoardFaults, BadAnswersNeverRegisterASlot) {
    onWifi();
    connect();
    slots->setOptions(GetParam().options);
    const int32_t pattern = load(patternOf(1, 0, 0.05, 0.05));
    const int32_t effect = handler->playEffect(pattern, trv_effect_properties_t());
    ASSERT_TRUE(slots->waitForCommands(kPlay, GetParam().replay < 0 ? 1 : 2, 5.0)) << "tried again later, or refused";
    EXPECT_EQ(handler->connectionStatus(), TRV_STATE_CONNECTED);
    if (GetParam().replay < 0) {
        ASSERT_TRUE(waitForState(effect, -1));
        EXPECT_EQ(handler->playEffect(pattern, trv_effect_properties_t()), GetParam().replay) << "pattern discarded";
    }
    slots->setOptions({});
    ASSERT_TRUE(waitForState(effect, -1)) << "plays once the board answers well";
}

INSTANTIATE_TEST_SUITE_P(
    Board, BoardFaults,
    ::testing::Values(BoardFault{"board_full", {.usableSlots = 0}, 0},
                      BoardFault{"refused", {.refuseSamples = true}, TRV_ERROR_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

class ImpossibleSlot : public BoardBackend, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(ImpossibleSlot, EndsTheEffectWithOneWarning) {
    onWifi();
    connect();
    slots->setOptions({.forcedSlotValue = GetParam()});
    const int32_t pattern = load(patternOf(1, 0, 0, 1));
    trv::test::takeLogs();
    const int32_t effect = handler->playEffect(pattern, trv_effect_properties_t());
    ASSERT_TRUE(waitForState(effect, -1, 5.0)) << "nothing plays: the effect may not read as playing";
    EXPECT_EQ(slots->commandsOf(kPlay).size(), 1u);
    const auto logs = trv::test::takeLogs();
    int warnings = 0;
    for (const auto& line : logs) warnings += line.level == TRV_LOG_WARNING ? 1 : 0;
    EXPECT_EQ(warnings, 1) << "one warning for the answer";
    EXPECT_TRUE(trv::test::hasLog(logs, "which does not exist", TRV_LOG_WARNING));
    EXPECT_EQ(handler->connectionStatus(), TRV_STATE_CONNECTED);

    // The pattern is not to blame: it plays once the board answers well.
    slots->setOptions({});
    const int32_t again = handler->playEffect(pattern, trv_effect_properties_t());
    ASSERT_GE(again, 0);
    ASSERT_TRUE(waitForState(again, 2));
    EXPECT_EQ(slots->commandsOf(kPlay).back().slot, 0);
}

INSTANTIATE_TEST_SUITE_P(Board, ImpossibleSlot, ::testing::Values(20, 253));

// The board answers "no slot free". The handler's clock is a manual one,
// so the only time that passes is the one the case gives; a short
// keep-alive shows that the loop ran at a given time.
struct FullBoardRetry {
    const char* name;
    bool slotStatus;     // the board sends a slot-status message
    double clockSeconds; // the handler's clock moves on this long
};

class FullBoard : public BoardBackend, public ::testing::WithParamInterface<FullBoardRetry> {};

TEST_P(FullBoard, AsksAgainOnlyAfterASlotStatusOrFiftyMilliseconds) {
    onWifi();
    clock = std::make_shared<board::ManualBoardClock>();
    timings.keepAliveSeconds = 0.02f;
    connect();
    slots->setOptions({.usableSlots = 0});
    const int32_t effect = handler->playEffect(load(patternOf(1, 0, 0, 1)), trv_effect_properties_t());
    ASSERT_TRUE(waitForState(effect, 2)) << "started: its upload has been answered";
    ASSERT_EQ(slots->commandsOf(kPlay).size(), 1u);
    // 30 ms later (a keep-alive is due, so the loop has run then): still
    // no second upload.
    const std::size_t keepAlives = slots->commandsOf(0x07).size();
    clock->advanceSeconds(0.03);
    ASSERT_TRUE(slots->waitForCommands(0x07, keepAlives + 1, 5.0));
    EXPECT_EQ(slots->commandsOf(kPlay).size(), 1u) << "asked again while the board is full";

    if (GetParam().slotStatus) {
        std::vector<uint8_t> status = {0xA0, kSyncLow, kSyncHigh, 0, 0, 0, 0, 0, 0, 0};
        ASSERT_TRUE(vest->sendUnsolicited(status));
    }
    clock->advanceSeconds(GetParam().clockSeconds);
    ASSERT_TRUE(slots->waitForCommands(kPlay, 2, 5.0)) << "asked again";
}

INSTANTIATE_TEST_SUITE_P(Board, FullBoard,
                         ::testing::Values(FullBoardRetry{"slot_status", true, 0.0},
                                           FullBoardRetry{"fifty_ms", false, 0.03}),
                         [](const auto& info) { return std::string(info.param.name); });

// Slot-status messages forged from the vest's address report every slot
// reserved, none of which the host asked for. A forged status that arrives
// while a transaction waits is overwritten by the board's answer before
// the loop reads it, so the stops it causes are waited for, not assumed.
// Only those stops are counted: when the board is slow to free its slots,
// effects also end (and stop their slots) because the order is full.
TEST_F(BoardBackend, ForgedStatusesCauseAtMostOneSecondsBudgetOfStopSlots) {
    onWifi();
    clock = std::make_shared<board::ManualBoardClock>();
    connect();
    const std::vector<uint8_t> forged = {0xA0, kSyncLow, kSyncHigh, 0x55, 0x55, 0x55, 0x55, 0x55, 0, 0};
    auto strayStops = [] {
        return static_cast<std::size_t>(
            trv::test::countLogs(trv::test::LogCapture::lines(), "should be free. Stop called."));
    };
    // Forges until the stray stops reach `count` (bounded).
    auto forgeUntil = [&](std::size_t count) {
        for (int i = 0; i < 50 && strayStops() < count; ++i) {
            ASSERT_TRUE(vest->sendUnsolicited(forged));
            trv::test::waitUntil([&] { return strayStops() >= count; }, 0.2);
        }
    };
    // Forges `count` statuses, each once the handler has read the one
    // before: an upload sent after it has been answered (or the effect was
    // ended at once), and what it caused was sent before that upload.
    const int32_t pattern = load(patternOf(1, 0, 0.01, 0.01));
    auto forge = [&](int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(vest->sendUnsolicited(forged));
            const int32_t effect = handler->playEffect(pattern, trv_effect_properties_t());
            ASSERT_TRUE(trv::test::waitUntil([&] { return handler->effectState(effect) != TRV_EFFECT_CREATED; }, 10.0));
        }
    };
    const std::size_t budget = board::kStrayStopsPerSecond;
    forgeUntil(budget);
    EXPECT_GE(strayStops(), budget);
    EXPECT_TRUE(slots->waitForCommands(kStop, budget, 5.0)) << "stray slots are stopped";
    forge(20);
    const std::size_t stops = strayStops();
    EXPECT_LE(stops, budget);
    // A second later the budget is there again, and bounded again.
    clock->advanceSeconds(1.0);
    forgeUntil(stops + 1);
    EXPECT_GT(strayStops(), stops);
    forge(20);
    EXPECT_LE(strayStops(), 2 * budget);
    EXPECT_EQ(handler->connectionStatus(), TRV_STATE_CONNECTED);
}

TEST_F(BoardBackend, OperationsWithoutABoardOnlyRecord) {
    clock = std::make_shared<board::ManualBoardClock>();
    makeHandler();
    EXPECT_EQ(handler->setGlobalIntensityBoost(-5), 0);
    EXPECT_EQ(handler->getGlobalIntensityBoost(), 0);
    EXPECT_EQ(handler->setGlobalIntensityBoost(250), 0);
    EXPECT_EQ(handler->getGlobalIntensityBoost(), 100);
    const std::string a = patternOf(1, 0, 0.1, 0.1);
    const int32_t main = load(a);
    const int32_t boosted = load(a.substr(0, a.size() - 1) + R"(, "patternBoost": 20})");
    EXPECT_EQ(handler->getPatternIntensityBoost(boosted), 65);
    EXPECT_EQ(handler->getPatternIntensityBoost(99), 0);
    // A window of 0.3 s, at most 2 fallback plays.
    ASSERT_EQ(handler->setAccumulationWindowToPattern(main, main, 0.3f, 2), 0);
    trv_effect_properties_t p;
    const int32_t first = handler->playEffect(main, p);
    EXPECT_GE(handler->playEffect(main, p), 0);
    EXPECT_GE(handler->playEffect(main, p), 0);
    EXPECT_EQ(handler->playEffect(main, p), TRV_ERROR_PLAY_IGNORED);
    clock->advanceSeconds(0.35);
    EXPECT_GE(handler->playEffect(main, p), 0) << "the window has passed";
    EXPECT_EQ(handler->effectState(first), 0) << "waits for a connection";
    EXPECT_EQ(handler->stopEffect(first, -1.0f), 0);
    EXPECT_EQ(handler->stopEffect(first, 0.5f), TRV_ERROR_INVALID_PARAMETER) << "already set to stop";
    EXPECT_EQ(handler->stopEffect(4321, 0), TRV_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(handler->stopAll(), 0);
    EXPECT_EQ(handler->pauseAll(), TRV_ERROR_PRIORITY_COMMAND_WAITING);
    EXPECT_EQ(handler->unloadPattern(main), 0) << "its window names itself: nothing may keep it alive";
    EXPECT_EQ(handler->unloadPattern(main), TRV_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(handler->disconnect(), TRV_ERROR_NO_DEVICE_CONNECTED);
}

TEST_F(BoardBackend, LinkLostDuringAnUploadIsNoAnswer) {
    onBluetooth();
    connect(TRV_OUTPUT_BLUETOOTH);
    const int32_t pattern = load(patternOf(1, 0, 0, 1));
    handler->playEffect(pattern, trv_effect_properties_t());
    ASSERT_TRUE(slots->waitForCommands(kPlay, 1, 5.0));
    trv::test::takeLogs();
    // The vest closes the link instead of answering the next upload: no
    // slot may be taken from the earlier answer.
    vestemu::Faults faults;
    faults.onlyCommand = kPlay;
    faults.closeLink = true;
    vest->setFaults(faults);
    const int32_t effect = handler->playEffect(pattern, trv_effect_properties_t());
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(recorder.all().back().state, TRV_STATE_DISCONNECTED);
    EXPECT_EQ(recorder.all().back().error, TRV_ERROR_DEVICE_NOT_REACHABLE);
    EXPECT_EQ(handler->effectState(effect), -1);
    const auto logs = trv::test::takeLogs();
    EXPECT_TRUE(trv::test::hasLog(logs, "Send play msg failed: device not reachable"));
    EXPECT_FALSE(trv::test::hasLog(logs, "already registered"));
}

// An error answer forged from the vest's address does not hide an error
// answer of another code that comes within the same second.
TEST_F(BoardBackend, ErrorAnswerOfAnotherCodeIsLoggedWithinTheSecond) {
    onWifi();
    connect();
    ASSERT_TRUE(vest->sendUnsolicited({0xFF, kSyncLow, kSyncHigh, 0xF9, 0, 0})); // -7
    ASSERT_TRUE(trv::test::LogCapture::waitFor("Sequencer", deviceErrorText(-7)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(vest->sendUnsolicited({0xFF, kSyncLow, kSyncHigh, 0xFC, 0, 0})); // -4
    EXPECT_TRUE(trv::test::LogCapture::waitFor("Sequencer", deviceErrorText(-4), std::chrono::seconds(5)));
}

// Each count of held-back error answers names their code.
TEST_F(BoardBackend, CountOfErrorAnswersNamesTheirCode) {
    onWifi();
    connect();
    for (const uint8_t code : {0xF9, 0xF9, 0xFC, 0xFC, 0xFF}) // -7, -7, -4, -4, -1
        ASSERT_TRUE(vest->sendUnsolicited({0xFF, kSyncLow, kSyncHigh, code, 0, 0}));
    ASSERT_TRUE(trv::test::LogCapture::waitFor("Sequencer", deviceErrorText(-1), std::chrono::seconds(5)));
    ASSERT_EQ(handler->disconnect(), 0); // the counts are written by the second's end or the link's
    for (const char* count : {"1 more error answers -7 (Invalid internal state.) were received.",
                              "1 more error answers -4 (The received message had invalid parameters.) were received."})
        EXPECT_TRUE(trv::test::LogCapture::waitFor("Sequencer", count, std::chrono::seconds(5))) << count;
}

} // namespace
