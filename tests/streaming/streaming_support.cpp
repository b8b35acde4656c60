#include "streaming_support.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "link/link_timings.h"
#include "streaming/stream_hid.h"
#include "support/fresh_network.h"
#include "support/log_capture.h"
#include "support/net_guard.h"

namespace trv::test {

std::string patternOf(const SampleSpec& sample, int patternBoost) {
    std::ostringstream out;
    out << R"({"patternBoost": )" << patternBoost << R"(, "duration": 1, "tracks": [{"volume": 100, "samples": [{)"
        << R"("maxDuration": 0, "postDelay": 0, "preDelay": 0, "repeatCount": )" << sample.repeatCount
        << R"(, "repeatSpat": false, "signalIndex": )" << kSineSignal << R"(, "spatKeyframes": )" << sample.spatKeys
        << R"(, "speed": 1, "startCrop": 0, "stopCrop": )" << sample.stopCrop
        << R"(, "timestamp": 0, "volumeKeyframes": )" << sample.volumeKeys << "}]}]}";
    return out.str();
}

std::string weightsKeys(const std::set<int>& actuators) {
    std::ostringstream out;
    out << R"([{"timestamp": 0, "weights": [)";
    for (int a = 0; a < static_cast<int>(vestemu::kVestChannels); ++a)
        out << (a ? ", " : "") << (actuators.count(a) ? 100 : 0);
    out << "]}]";
    return out.str();
}

std::string sphereKeys(double x, double y, double z) {
    std::ostringstream out;
    out << R"([{"timestamp": 0, "vicinities": [{"position": [)" << x << ", " << y << ", " << z
        << R"(], "orientation": [1, 0, 0, 0], "scale": [0.05, 0.05, 0.05], "amplitude": 100}]}])";
    return out.str();
}

std::set<int> loudActuators(const std::array<double, vestemu::kVestChannels>& energy, double fraction) {
    const double peak = *std::max_element(energy.begin(), energy.end());
    std::set<int> loud;
    if (peak <= 0) return loud;
    for (std::size_t a = 0; a < energy.size(); ++a)
        if (energy[a] > fraction * peak) loud.insert(static_cast<int>(a));
    return loud;
}

double totalEnergy(const std::array<double, vestemu::kVestChannels>& energy) {
    double sum = 0;
    for (double e : energy) sum += e;
    return sum;
}

VestOnLoopback::VestOnLoopback(vestemu::StreamingOptions options)
    : vest_(std::make_shared<vestemu::EmulatedVest>()),
      streaming_(std::make_unique<vestemu::StreamingVest>(vest_, options)),
      adapter_(std::make_unique<vestemu::UdpVestAdapter>(vest_, vestemu::UdpVestOptions{})) {}

VestOnLoopback::~VestOnLoopback() { adapter_.reset(); }

std::array<double, vestemu::kVestChannels> VestOnLoopback::energyOver(uint64_t frames) {
    streaming_->clearFrames();
    streaming_->waitForFrames(frames, 10.0);
    return streaming_->energy();
}

void useFastTimings() {
    DeviceTimings timings;
    timings.link.answerTimeoutSeconds = 0.25f;
    timings.link.discoveryWindowSeconds = 0.1f;
    timings.stream.answerTimeoutSeconds = 0.25f;
    timings.stream.startDelaySeconds = 0.02f;
    timings.stream.silenceTimeoutSeconds = 0.5f;
    setProcessDeviceTimings(timings);
}

bool waitUntil(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void LoopbackStreamingTest::SetUp() {
    TRV_REQUIRE_PRIVATE_NETWORK();
    TRV_ENTER_FRESH_NETWORK();
    captureLogs(); // the application's callback: no log file
    useFastTimings();
    vest = std::make_unique<VestOnLoopback>();
}

void LoopbackStreamingTest::TearDown() { vest.reset(); }

void LoopbackStreamingTest::expectConnected(std::size_t reportsBefore) {
    ASSERT_TRUE(recorder.waitFor(reportsBefore + 1));
    const auto report = recorder.all().back();
    ASSERT_EQ(std::tuple(report.state, report.error, report.serialNumber),
              std::tuple(TRV_STATE_CONNECTED, 0, kVestSerial));
    ASSERT_TRUE(vest->streaming().waitForStreaming(true, 5.0));
}

} // namespace trv::test
