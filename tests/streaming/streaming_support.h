// What the end-to-end streaming tests share: spn patterns with a known
// spatial footprint, and an emulated vest on the private loopback network.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/callback_recorder.h"

#include "tools/vest-emulator/streaming_vest.h"
#include "tools/vest-emulator/udp_vest_adapter.h"

namespace trv::test {

// The embedded steady sine (160-180 Hz, 3057 samples at 8 kHz).
inline constexpr int kSineSignal = 123;

struct SampleSpec {
    int repeatCount = 0;       // 0: endless
    double stopCrop = 0;       // 0: the whole waveform
    std::string volumeKeys = "[]";
    std::string spatKeys;      // the spatKeyframes array
};

// One track, one sample of the sine.
std::string patternOf(const SampleSpec& sample, int patternBoost = 0);
// A keyframe that drives exactly these actuators at full weight.
std::string weightsKeys(const std::set<int>& actuators);
// A keyframe with one small sphere (scale 0.05) centred at a point.
std::string sphereKeys(double x, double y, double z);

// The actuators whose energy is above `fraction` of the largest one.
std::set<int> loudActuators(const std::array<double, vestemu::kVestChannels>& energy, double fraction = 0.05);
double totalEnergy(const std::array<double, vestemu::kVestChannels>& energy);

// An emulated vest (serial 12345678) at 127.10.0.2 with its streaming side.
class VestOnLoopback {
public:
    explicit VestOnLoopback(vestemu::StreamingOptions options = {});
    ~VestOnLoopback();

    vestemu::EmulatedVest& vest() { return *vest_; }
    vestemu::StreamingVest& streaming() { return *streaming_; }

    // Clears what was received, then waits for `frames` frames and returns
    // their energy per channel.
    std::array<double, vestemu::kVestChannels> energyOver(uint64_t frames);

private:
    std::shared_ptr<vestemu::EmulatedVest> vest_;
    std::unique_ptr<vestemu::StreamingVest> streaming_;
    std::unique_ptr<vestemu::UdpVestAdapter> adapter_; // last: stopped first
};

// Shortens the device link's and the stream's waits for tests.
void useFastTimings();

// Waits (bounded, in 5 ms steps) until done() holds.
bool waitUntil(const std::function<bool()>& done, double seconds = 5.0);

inline constexpr uint32_t kVestSerial = 12345678;

// What the end-to-end streaming cases share: a network namespace of the
// case's own, the library's lines captured, short waits, an emulated vest on
// loopback and a connection callback that records its reports. A derived
// fixture releases its handler or SDK instance before TearDown() runs.
class LoopbackStreamingTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Waits for the report after reportsBefore and checks that it is (connected, 0, serial)
    // and that the vest streams.
    void expectConnected(std::size_t reportsBefore);

    CallbackRecorder recorder;
    std::unique_ptr<VestOnLoopback> vest;
};

} // namespace trv::test
