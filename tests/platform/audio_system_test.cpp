// The PortAudio layer against real ALSA devices of the test's own
// configuration: counted sessions, the audio system's noise kept off
// stderr, and a stream whose every sample arrives in the device's file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "platform/audio_stream.h"
#include "platform/audio_system.h"
#include "platform/rt_semaphore.h"
#include "support/alsa_test_devices.h"

namespace {

using trv::test::AlsaTestDevices;

std::atomic<int> gNoiseLines{0};
void countNoise(const char*) noexcept { gNoiseLines.fetch_add(1); }

int findDevice(const std::string& name) {
    for (int i = 0; i < audio::audioDeviceCount(); ++i)
        if (audio::audioDeviceInfo(i)->name == name) return i;
    return audio::kNoDevice;
}

TEST(AudioSession, NestedSessionsEndOnceEachAndKeepEachOthersInitialisation) {
    AlsaTestDevices devices;
    devices.install();
    {
        audio::AudioSession outer;
        ASSERT_TRUE(outer.ok());
        {
            audio::AudioSession inner;
            EXPECT_EQ(audio::liveAudioSessions(), 2);
            EXPECT_EQ(inner.terminate(), audio::kAudioNoError);
            EXPECT_EQ(inner.terminate(), audio::kAudioNoError); // a second end ends nothing
        }
        EXPECT_EQ(audio::liveAudioSessions(), 1);
        EXPECT_GT(audio::audioDeviceCount(), 0); // still initialised for the outer user
    }
    EXPECT_EQ(audio::liveAudioSessions(), 0);
}

TEST(AudioSession, AlsaAndJackDiagnosticsReachTheSinkNotStderr) {
    AlsaTestDevices devices;
    devices.install();
    std::ofstream(devices.folder() / "alsa.conf", std::ios::app) << "pcm.broken { type no_such_plugin }\n";
    const std::string errPath = (devices.folder() / "stderr.txt").string();
    const int saved = dup(2);
    const int err = open(errPath.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    dup2(err, 2);
    {
        audio::AudioSession session(&countNoise);
        EXPECT_TRUE(session.ok());
    }
    dup2(saved, 2);
    close(err);
    close(saved);
    EXPECT_GT(gNoiseLines.load(), 0);
    EXPECT_EQ(std::filesystem::file_size(errPath), 0u);
}

struct Ramp {
    int channels = 20;
    std::atomic<uint32_t> callbacks{0};
    RtSemaphore done;
};

void rampCallback(void* user, const void*, void* output, unsigned long frames, uint32_t) noexcept {
    auto* ramp = static_cast<Ramp*>(user);
    auto* const* channels = static_cast<float* const*>(output);
    const uint32_t n = ramp->callbacks.fetch_add(1);
    for (int c = 0; c < ramp->channels; ++c)
        for (unsigned long f = 0; f < frames; ++f)
            channels[c][f] = static_cast<float>(c) + static_cast<float>(n * frames + f) * 1e-6f;
    if (n + 1 == 40) ramp->done.post();
}

TEST(AudioStream, NonInterleavedFloatsArriveBitExactAndTheStreamCloses) {
    AlsaTestDevices devices;
    devices.addOutput(trv::test::kVestPcm);
    devices.install();
    audio::AudioSession session;
    ASSERT_TRUE(session.ok());
    Ramp ramp;
    {
        audio::AudioStream stream;
        const audio::StreamParameters out{findDevice(trv::test::kVestPcm), 20, audio::SampleFormat::Float32, false,
                                          0.0};
        ASSERT_EQ(stream.open(nullptr, &out, 48000, 256, &rampCallback, &ramp), audio::kAudioNoError);
        EXPECT_EQ(audio::openAudioStreams(), 1);
        ASSERT_EQ(stream.start(), audio::kAudioNoError);
        ASSERT_TRUE(ramp.done.waitFor(10.0));
        EXPECT_EQ(stream.abort(), audio::kAudioNoError);
    }
    EXPECT_EQ(audio::openAudioStreams(), 0);
    const std::vector<float> played = devices.played(trv::test::kVestPcm, 20, 48000);
    ASSERT_GE(played.size(), 20u * 256 * 30);
    // After PortAudio's leading silence, frame k of the ramp is at k - lead.
    std::size_t lead = 0;
    while (lead * 20 < played.size() && played[lead * 20 + 1] == 0.0f) ++lead;
    for (std::size_t k = 0; k < 256 * 30; ++k)
        for (int c = 0; c < 20; ++c)
            ASSERT_EQ(played[(lead + k) * 20 + c], static_cast<float>(c) + static_cast<float>(k) * 1e-6f)
                << "frame " << k << " channel " << c;
}

} // namespace
