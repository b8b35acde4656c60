// Ending the process with an instance still connected: the library ends the
// connection at exit while the instance's callbacks call back in, and the
// process ends (a sanitizer's report would change its exit status).
#include <gtest/gtest.h>

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

class ExitWithLiveInstance : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ExitWithLiveInstance, ReturningFromMainEndsTheProcess) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    std::unique_ptr<trv::test::VestOnLoopback> streamingVest;
    std::shared_ptr<vestemu::EmulatedVest> emulated;
    std::unique_ptr<vestemu::BoardVest> board;
    std::unique_ptr<vestemu::UdpVestAdapter> udp;
    std::unique_ptr<trv::test::PulseDaemon> server;
    if (GetParam().backend == Backend::Board) {
        emulated = std::make_shared<vestemu::EmulatedVest>();
        board = std::make_unique<vestemu::BoardVest>(emulated);
        udp = std::make_unique<vestemu::UdpVestAdapter>(emulated, vestemu::UdpVestOptions{});
    } else {
        streamingVest = std::make_unique<trv::test::VestOnLoopback>();
    }
    if (GetParam().backend == Backend::AudioToHaptics) {
        server = std::make_unique<trv::test::PulseDaemon>(
            std::vector<trv::test::NullSink>{{"speakers", "Speakers", 2, 48000}});
        ASSERT_TRUE(server->started());
    }
    const trv::test::TempDir dir;
    ChildProcess program({EXIT_PROGRAM_PATH, GetParam().name,
                          std::to_string(trv::test::kVestSerial), (dir.path() / "sdk.log").string()},
                         ChildProcess::Output::StdoutAndStderr);
    ASSERT_TRUE(program.started());
    // Read as it comes: the program writes a line of its own before it returns.
    std::string output;
    for (int i = 0; i < 100 && output.find("connected\n") == std::string::npos; ++i) {
        const std::string line = program.readLine(kDeadlineMs / 100);
        if (!line.empty()) output += line + "\n";
    }
    const int status = program.finishWithin(kDeadlineMs);
    for (std::string part; !(part = program.readSome(100)).empty();) output += part;
    ASSERT_NE(output.find("connected\n"), std::string::npos) << output;
    EXPECT_EQ(status, 0) << "the program hung or failed at exit:\n" << output;
    // The connection was ended at exit, and a call from its report found no
    // instance any more.
    EXPECT_NE(output.find("disconnected, scan status -9\n"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Backends, ExitWithLiveInstance,
                         ::testing::Values(ExitCase{"stream", Backend::Streaming}, ExitCase{"board", Backend::Board},
                                           ExitCase{"vyx", Backend::AudioToHaptics}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
