// Ending the process with an instance still connected: the library ends the
// connection at exit while the instance's callbacks call back in, and the
// process ends (a sanitizer's report would change its exit status).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "streaming/streaming_support.h"
#include "support/child_process.h"
#include "support/fresh_network.h"
#include "support/net_guard.h"
#include "support/pulse_daemon.h"
#include "support/temp_dir.h"
#include "tools/vest-emulator/board_vest.h"
#include "tools/vest-emulator/udp_vest_adapter.h"

namespace {

using trv::test::ChildProcess;

// Generous: a loaded machine under a sanitizer; a hang never gets there.
constexpr int kDeadlineMs = 30000;

enum class Backend { Streaming, Board, AudioToHaptics };

struct ExitCase {
    const char* name; // also the program's backend argument
    Backend backend;
};

void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.name; }

// What the program printed and how it ended.
struct Ended {
    int status; // -1: killed at the deadline
    std::string output;
    std::string log; // the log file, when the program wrote one
};

// Runs the program (exit_with_live_instance.c) in one scenario against an
// emulated vest of the backend's kind (and a sound server of its own for
// audio-to-haptics), reading what it prints until it ends. environment:
// what the program gets besides this process's environment.
Ended runProgram(const char* backend, Backend kind, const char* scenario,
                 const std::vector<std::string>& environment = {}) {
    std::unique_ptr<trv::test::VestOnLoopback> streamingVest;
    std::shared_ptr<vestemu::EmulatedVest> emulated;
    std::unique_ptr<vestemu::BoardVest> board;
    std::unique_ptr<vestemu::UdpVestAdapter> udp;
    std::unique_ptr<trv::test::PulseDaemon> server;
    if (kind == Backend::Board) {
        emulated = std::make_shared<vestemu::EmulatedVest>();
        board = std::make_unique<vestemu::BoardVest>(emulated);
        udp = std::make_unique<vestemu::UdpVestAdapter>(emulated, vestemu::UdpVestOptions{});
    } else {
        streamingVest = std::make_unique<trv::test::VestOnLoopback>();
    }
    if (kind == Backend::AudioToHaptics) {
        server = std::make_unique<trv::test::PulseDaemon>(
            std::vector<trv::test::NullSink>{{"speakers", "Speakers", 2, 48000}});
        EXPECT_TRUE(server->started());
    }
    const trv::test::TempDir dir;
    const auto logFile = dir.path() / "sdk.log";
    ChildProcess program({EXIT_PROGRAM_PATH, backend, std::to_string(trv::test::kVestSerial), logFile.string(), scenario},
                         ChildProcess::Output::StdoutAndStderr, environment);
    EXPECT_TRUE(program.started());
    // Read as it comes: the program writes a line of its own before it returns.
    Ended ended{-1, "", ""};
    for (int i = 0; i < 100 && ended.output.find("connected\n") == std::string::npos &&
                    ended.output.find("made: ") == std::string::npos;
         ++i) {
        const std::string line = program.readLine(kDeadlineMs / 100);
        if (!line.empty()) ended.output += line + "\n";
    }
    ended.status = program.finishWithin(kDeadlineMs);
    for (std::string part; !(part = program.readSome(100)).empty();) ended.output += part;
    // The log rotates while application threads write to it: the rotated
    // files first, oldest first.
    for (int index = 10; index >= 0; --index) {
        const auto file = index == 0 ? logFile : dir.path() / ("sdk." + std::to_string(index) + ".log");
        std::ifstream in(file);
        ended.log.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return ended;
}

class ExitWithLiveInstance : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ExitWithLiveInstance, ReturningFromMainEndsTheProcess) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    const Ended ended = runProgram(GetParam().name, GetParam().backend, "live");
    ASSERT_NE(ended.output.find("connected\n"), std::string::npos) << ended.output;
    EXPECT_EQ(ended.status, 0) << "the program hung or failed at exit:\n" << ended.output;
    // The connection was ended at exit, and a call from its report found no
    // instance any more.
    EXPECT_NE(ended.output.find("disconnected, scan status -9\n"), std::string::npos) << ended.output;
}

// Connect, check, quit: the instance is freed in its connection callback
// and main returns at once, while application threads still call in and
// the library's lines go to its log file. The process ends cleanly (a
// sanitizer's report would change its status), and the lines that the
// instance's own thread writes after the callback reach the file.
TEST_P(ExitWithLiveInstance, ConnectCheckQuitLosesNoLine) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    const Ended ended = runProgram(GetParam().name, GetParam().backend, "quit");
    ASSERT_NE(ended.output.find("connected\n"), std::string::npos) << ended.output;
    EXPECT_EQ(ended.status, 0) << "the program hung or failed at exit:\n" << ended.output;
    EXPECT_NE(ended.log.find("Command: getTarvonelSerialNumber()"), std::string::npos);
    if (GetParam().backend != Backend::Board) return;
    for (const char* line : {"SDK Version: ", "Serial Number: 12345678", "Tarvonel Version: ", "Tarvonel Type: "})
        EXPECT_NE(ended.log.find(line), std::string::npos) << line << " in\n" << ended.log;
}

// exit() called in the connection callback, on the library's thread that
// the freed instance's handler ends on: exit cannot wait for that thread,
// so it ends at once (the program fails when it takes a second or more).
TEST_P(ExitWithLiveInstance, ExitInTheConnectionCallbackEndsAtOnce) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    // That thread, which would join the handler's other threads once its
    // routine ends, is ending the process instead: under ThreadSanitizer,
    // one of them that ended meanwhile is reported as never joined.
    std::string options = "report_thread_leaks=0";
    if (const char* tsan = std::getenv("TSAN_OPTIONS")) options = std::string(tsan) + ":" + options;
    const Ended ended = runProgram(GetParam().name, GetParam().backend, "exit", {"TSAN_OPTIONS=" + options});
    ASSERT_NE(ended.output.find("connected\n"), std::string::npos) << ended.output;
    EXPECT_EQ(ended.status, 0) << ended.output;
}

INSTANTIATE_TEST_SUITE_P(Backends, ExitWithLiveInstance,
                         ::testing::Values(ExitCase{"stream", Backend::Streaming}, ExitCase{"board", Backend::Board},
                                           ExitCase{"vyx", Backend::AudioToHaptics}),
                         [](const auto& info) { return std::string(info.param.name); });

// An exit handler registered before the first instance runs after the
// library's own exit work, and makes an instance there, with no log
// callback: the instance is made, or refused with -1; the process ends.
TEST(ExitWithLiveInstanceAtExit, AnInstanceMadeWhileTheProcessEndsIsNoCrash) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    const Ended ended = runProgram("stream", Backend::Streaming, "atexit");
    EXPECT_EQ(ended.status, 0) << ended.output;
    EXPECT_NE(ended.output.find("made: 0\n"), std::string::npos) << ended.output;
    EXPECT_NE(ended.output.find("made at exit: "), std::string::npos) << ended.output;
}

} // namespace
