// The vest-emulator tool: it refuses non-loopback addresses, serves a vest
// that the WiFi transport finds, and traces what its vests receive while
// streaming.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/hid_com_udp.h"
#include "link/hid_frame.h"
#include "platform/udp_socket.h"
#include "streaming/stream_data.h"
#include "support/child_process.h"
#include "support/fresh_network.h"
#include "support/net_guard.h"
#include "support/temp_dir.h"

namespace {

using trv::test::ChildProcess;

// The tool with its standard output and error on one pipe.
std::unique_ptr<ChildProcess> start(std::vector<std::string> args) {
    args.insert(args.begin(), VEST_EMULATOR_PATH);
    return std::make_unique<ChildProcess>(args, ChildProcess::Output::StdoutAndStderr);
}

TEST(VestEmulatorTool, RefusesAddressesOutsideLoopback) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    for (const char* spec : {"address=10.1.2.3", "address=127.10.0.2,broadcast=192.168.1.255", "serial=1"}) {
        auto tool = start({"--duration", "5", "--vest", spec});
        ASSERT_TRUE(tool->started());
        const std::string output = tool->readSome(5000);
        EXPECT_EQ(tool->finish(false), 2) << spec;
        EXPECT_NE(output.find("vest-emulator: "), std::string::npos) << output;
    }
}

TEST(VestEmulatorTool, ServesVestsThatTheWifiTransportFinds) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    auto tool = start({"--duration", "20", "--vest", "address=127.10.0.2,serial=12345678", "--vest",
                       "address=127.10.0.3,serial=11223344,port=555,discovery-ports=555,old-firmware"});
    ASSERT_TRUE(tool->started());
    std::string output;
    for (int i = 0; i < 10 && output.find("127.10.0.3:555") == std::string::npos; ++i) output += tool->readSome(2000);
    ASSERT_NE(output.find("vest 11223344 listening at 127.10.0.3:555"), std::string::npos) << output;
    LinkTimings timings;
    timings.discoveryWindowSeconds = 0.2f;
    {
        HidComUdp transport(timings);
        EXPECT_EQ(transport.connect(11223344, ""), 0);
        EXPECT_EQ(transport.disconnect(), 0);
    }
    EXPECT_EQ(tool->finish(true), 0);
}

TEST(VestEmulatorTool, BoardModePlaysSamplesOnSlotsAndPrintsThem) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    auto tool = start({"--duration", "20", "--board", "--vest", "address=127.10.0.2,serial=12345678"});
    ASSERT_TRUE(tool->started());
    std::string output;
    for (int i = 0; i < 10 && output.find("listening") == std::string::npos; ++i) output += tool->readSome(2000);
    LinkTimings timings;
    timings.discoveryWindowSeconds = 0.2f;
    HidComUdp transport(timings);
    ASSERT_EQ(transport.connect(12345678, ""), 0);
    std::vector<uint8_t> sample(518, 0);
    sample[0] = idOf(HidCommandId::PlaySample);
    sample[1] = kSyncLow;
    sample[2] = kSyncHigh;
    stampFrameCrc(sample.data(), sample.size());
    ASSERT_EQ(transport.send(sample.data(), static_cast<int32_t>(sample.size())), 0);
    int32_t received = 0;
    for (int i = 0; i < 100 && received == 0; ++i) received = transport.receive();
    ASSERT_GT(received, 0);
    EXPECT_EQ(transport.answerBuffer[0], answerIdOf(HidCommandId::PlaySample));
    EXPECT_EQ(transport.answerBuffer[3], 0) << "the first free slot";
    for (int i = 0; i < 10 && output.find("PlaySample") == std::string::npos; ++i) output += tool->readSome(2000);
    EXPECT_NE(output.find("vest 12345678 "), std::string::npos) << output;
    EXPECT_NE(output.find("PlaySample -> slot 0"), std::string::npos) << output;
    transport.disconnect();
    EXPECT_EQ(tool->finish(true), 0);
}

// Reads a trace FIFO line by line, with a bounded wait for each line.
class TraceReader {
public:
    explicit TraceReader(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
    ~TraceReader() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool isOpen() const { return fd_ >= 0; }

    // The next line that starts with prefix (others are skipped), or "" when
    // none comes within timeoutSeconds.
    std::string next(const std::string& prefix, double timeoutSeconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
        for (;;) {
            for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                if (line.rfind(prefix, 0) == 0) return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0) return {};
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n == 0) return {}; // the writer went away
            if (n > 0) pending_.append(buffer, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::string pending_;
};

std::vector<uint8_t> shortFrame(HidCommandId id) {
    std::vector<uint8_t> frame(kFrameOverheadBytes, 0);
    frame[0] = idOf(id);
    frame[1] = kSyncLow;
    frame[2] = kSyncHigh;
    stampFrameCrc(frame.data(), frame.size());
    return frame;
}

// Waits (bounded) for a datagram with the given first byte.
std::vector<uint8_t> receiveFrame(UdpSocket& socket, uint8_t id, double timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    std::vector<uint8_t> buffer(2048);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!socket.waitReadable(0.1f)) continue;
        const auto got = socket.receiveFrom(buffer.data(), buffer.size());
        if (got.status == SocketStatus::Ok && got.bytes > 0 && buffer[0] == id)
            return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got.bytes)};
    }
    return {};
}

TEST(VestEmulatorTool, TracesWhatItsVestReceivesWhileStreaming) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    trv::test::TempDir dir;
    const std::string fifo = (dir.path() / "trace").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto tool = start({"--duration", "20", "--trace", fifo, "--vest", "address=127.10.0.2,serial=12345678"});
    ASSERT_TRUE(tool->started());
    TraceReader trace(fifo); // the tool waits for its reader before it serves
    ASSERT_TRUE(trace.isOpen());
    EXPECT_EQ(trace.next("vest ", 10), "vest 12345678 listening at 127.10.0.2:33624");
    EXPECT_EQ(trace.next("ready", 5), "ready");

    UdpSocket host;
    ASSERT_EQ(host.open(), 0);
    ASSERT_EQ(host.bind({0x7F000001, 0}), 0);
    const Ipv4Endpoint vest{0x7F0A0002, 33624};
    auto config = shortFrame(HidCommandId::GetStreamConfig);
    ASSERT_EQ(host.sendTo(config.data(), config.size(), vest).status, SocketStatus::Ok);
    const auto configAnswer = receiveFrame(host, answerIdOf(HidCommandId::GetStreamConfig), 5);
    ASSERT_EQ(configAnswer.size(), 7u);
    const uint32_t entries = configAnswer[4];
    auto startFrame = shortFrame(HidCommandId::StartStream);
    ASSERT_EQ(host.sendTo(startFrame.data(), startFrame.size(), vest).status, SocketStatus::Ok);
    EXPECT_EQ(trace.next("stream-start", 5), "stream-start 12345678");

    // Answer one data request with channel c at amplitude c / 20 (the vest
    // reads back the centre of each 16-bit step, so three decimals hold).
    const auto request = receiveFrame(host, idOf(HidCommandId::DataRequest), 5);
    ASSERT_EQ(request.size(), streaming::kDataRequestFrameBytes);
    const auto parsed = streaming::parseDataRequest(
        std::span<const uint8_t, streaming::kDataRequestFrameBytes>(request.data(), request.size()));
    std::vector<uint8_t> data(streaming::kStreamDataFrameBytes, 0);
    const streaming::StreamMode mode{streaming::kRateCode2000Hz, streaming::kWidth16Bit, 2000.0f};
    constexpr uint32_t kSteps = 10;
    streaming::writeStreamDataHeader(std::span<uint8_t, streaming::kStreamDataFrameBytes>(data.data(), data.size()),
                                     mode, parsed.timestampMicros, kSteps);
    streaming::encodeStreamSamples(
        std::span<uint8_t, streaming::kStreamDataSampleBytes>(data.data() + streaming::kStreamDataSampleOffset,
                                                              streaming::kStreamDataSampleBytes),
        mode.widthCode, kSteps, entries, 20, [](uint32_t channel, uint32_t step) {
            return (step % 2 == 0 ? 1.0 : -1.0) * channel / 20.0; // the peak counts |sample|
        });
    stampFrameCrc(data.data(), data.size());
    ASSERT_EQ(host.sendTo(data.data(), data.size(), vest).status, SocketStatus::Ok);

    std::ostringstream expected;
    expected << "data 12345678 " << parsed.timestampMicros << " 2000 " << kSteps;
    for (int channel = 0; channel < 20; ++channel) {
        char value[16];
        std::snprintf(value, sizeof value, " %.3f", channel / 20.0);
        expected << value;
    }
    EXPECT_EQ(trace.next("data ", 5), expected.str());

    auto stopFrame = shortFrame(HidCommandId::StopStream);
    ASSERT_EQ(host.sendTo(stopFrame.data(), stopFrame.size(), vest).status, SocketStatus::Ok);
    EXPECT_EQ(trace.next("stream-stop", 5), "stream-stop 12345678");
    EXPECT_EQ(receiveFrame(host, answerIdOf(HidCommandId::StopStream), 5).size(), 6u);
    EXPECT_EQ(tool->finish(true), 0);
}

TEST(VestEmulatorTool, GivesUpOnATraceFifoThatNobodyReads) {
    TRV_REQUIRE_PRIVATE_NETWORK();
    trv::test::TempDir dir;
    const std::string fifo = (dir.path() / "trace").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto tool = start({"--duration", "0.3", "--trace", fifo, "--vest", "address=127.10.0.2,serial=12345678"});
    ASSERT_TRUE(tool->started());
    std::string output;
    for (int i = 0; i < 10 && output.find("no reader") == std::string::npos; ++i) output += tool->readSome(1000);
    EXPECT_EQ(tool->finish(false), 2);
    EXPECT_NE(output.find("vest-emulator: cannot write the trace: " + fifo + ": no reader opened it"),
              std::string::npos)
        << output;
}

} // namespace
