// The vest-emulator tool: it refuses non-loopback addresses and serves a
// vest that the WiFi transport finds.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/hid_com_udp.h"
#include "support/fresh_network.h"
#include "support/net_guard.h"

extern char** environ;

namespace {

struct Tool {
    pid_t pid = -1;
    int out = -1; // its standard output
};

Tool start(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string path = VEST_EMULATOR_PATH;
    argv.push_back(path.data());
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    Tool tool;
    if (posix_spawn(&tool.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) tool.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    tool.out = fds[0];
    return tool;
}

std::string readSome(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) <= 0) return {};
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

int finish(Tool& tool, bool terminate) {
    if (terminate) ::kill(tool.pid, SIGTERM);
    int status = 0;
    ::waitpid(tool.pid, &status, 0);
    ::close(tool.out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(VestEmulatorTool, RefusesAddressesOutsideLoopback) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    for (const char* spec : {"address=10.1.2.3", "address=127.10.0.2,broadcast=192.168.1.255", "serial=1"}) {
        Tool tool = start({"--duration", "5", "--vest", spec});
        ASSERT_GT(tool.pid, 0);
        const std::string output = readSome(tool.out, 5000);
        EXPECT_EQ(finish(tool, false), 2) << spec;
        EXPECT_NE(output.find("vest-emulator: "), std::string::npos) << output;
    }
}

TEST(VestEmulatorTool, ServesVestsThatTheWifiTransportFinds) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    Tool tool = start({"--duration", "20", "--vest", "address=127.10.0.2,serial=12345678", "--vest",
                       "address=127.10.0.3,serial=11223344,port=555,discovery-ports=555,old-firmware"});
    ASSERT_GT(tool.pid, 0);
    std::string output;
    for (int i = 0; i < 10 && output.find("127.10.0.3:555") == std::string::npos; ++i) output += readSome(tool.out, 2000);
    ASSERT_NE(output.find("vest 11223344 listening at 127.10.0.3:555"), std::string::npos) << output;
    LinkTimings timings;
    timings.discoveryWindowSeconds = 0.2f;
    {
        HidComUdp transport(timings);
        EXPECT_EQ(transport.connect(11223344, ""), 0);
        EXPECT_EQ(transport.disconnect(), 0);
    }
    EXPECT_EQ(finish(tool, true), 0);
}

} // namespace
