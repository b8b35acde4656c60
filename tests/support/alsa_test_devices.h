// Real ALSA devices for audio tests, defined by the test's own ALSA
// configuration: each output is a `file` PCM over a `null` slave, so what
// PortAudio plays lands, bit for bit, in a raw file that the test decodes
// afterwards; each capture device reads a raw file the test wrote.
//
// install() writes the configuration into a temporary folder and points
// ALSA_CONFIG_PATH at it; do it before the first use of PortAudio in the
// process (each test case runs in a process of its own). Such devices are
// not paced: they run much faster than real time, so stop streams by frame
// count, never by wall time. They report 128 channels at most and accept
// every standard rate.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace trv::test {

// The vest's sound card as these tests name it, and the decoys listed
// before it: none of them may be taken for the vest.
inline constexpr const char* kVestPcm = "TARVONEL Vest";
inline constexpr const char* kSpeakersPcm = "Speakers";
inline constexpr const char* kDacPcm = "USB Audio DAC";
inline constexpr const char* kVestLikePcm = "RVD MKII"; // close to the vest's names, matches none

class AlsaTestDevices {
public:
    AlsaTestDevices();
    AlsaTestDevices(const AlsaTestDevices&) = delete;
    AlsaTestDevices& operator=(const AlsaTestDevices&) = delete;

    // The standard set: the vest-like decoy, the speakers, the DAC, the
    // vest, in that order, and "default" (also a file output).
    static std::vector<std::string> standardOutputs();

    // An output whose samples land in a file; unrecorded, a plain `null`
    // PCM (cheaper to probe: ALSA's file plugin allocates a buffer of the
    // largest size a format test may pick, which is slow under sanitizers).
    void addOutput(const std::string& name, bool recorded = true);
    // An output whose samples go to `file` as they are (for instance a file
    // that cannot be written, to make the device fail).
    void addOutputTo(const std::string& name, const std::filesystem::path& file);
    // A capture-only device that reads `rawFile` (interleaved samples in the
    // format the stream opens; pad it with zeros: past its end ALSA repeats
    // stale data).
    void addCapture(const std::string& name, const std::filesystem::path& rawFile);
    // Writes the configuration (with pcm.default, which PortAudio needs)
    // and sets ALSA_CONFIG_PATH. Again after adding a device: a fresh start
    // of the audio system then finds it.
    void install();

    // The raw file an output wrote at this channel count and rate (float32
    // little-endian), or an empty path when it wrote none.
    std::filesystem::path playedFile(const std::string& name, int channels, int rate) const;
    // Its last `frames` frames (all when 0), interleaved.
    std::vector<float> played(const std::string& name, int channels, int rate, std::size_t frames = 0) const;

    const std::filesystem::path& folder() const { return dir_.path(); }

private:
    std::string slug(const std::string& name) const;

    TempDir dir_;
    std::vector<std::pair<std::string, bool>> outputs_; // name, recorded
    std::vector<std::pair<std::string, std::filesystem::path>> fileOutputs_;
    std::vector<std::pair<std::string, std::filesystem::path>> captures_;
};

} // namespace trv::test
