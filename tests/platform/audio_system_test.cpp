// The PortAudio layer against real ALSA devices of the test's own
// configuration: counted sessions and the audio system's noise kept off
// stderr. Its streams are tested through the audio output (streaming/).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>

#include "platform/audio_system.h"
#include "support/alsa_test_devices.h"

namespace {

using trv::test::AlsaTestDevices;

std::atomic<int> gNoiseLines{0};
void countNoise(const char*) noexcept { gNoiseLines.fetch_add(1); }

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

} // namespace
