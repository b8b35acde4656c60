#include "support/alsa_test_devices.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace trv::test {

AlsaTestDevices::AlsaTestDevices() = default;

std::vector<std::string> AlsaTestDevices::standardOutputs() {
    return {kVestLikePcm, kSpeakersPcm, kDacPcm, kVestPcm};
}

void AlsaTestDevices::addOutput(const std::string& name, bool recorded) { outputs_.emplace_back(name, recorded); }

void AlsaTestDevices::addOutputTo(const std::string& name, const std::filesystem::path& file) {
    fileOutputs_.emplace_back(name, file);
}

void AlsaTestDevices::addCapture(const std::string& name, const std::filesystem::path& rawFile) {
    captures_.emplace_back(name, rawFile);
}

std::string AlsaTestDevices::slug(const std::string& name) const {
    std::string s;
    for (char c : name) s += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return s;
}

void AlsaTestDevices::install() {
    std::ostringstream conf;
    auto output = [&](const std::string& id, const std::string& name) {
        conf << "pcm." << id << " { type file slave.pcm { type null } file \""
             << (folder() / (slug(name) + "_%c_%r_%f.raw")).string() << "\" format \"raw\" }\n";
    };
    output("default", "default");
    for (const auto& [name, recorded] : outputs_) {
        if (recorded)
            output("\"" + name + "\"", name);
        else
            conf << "pcm.\"" << name << "\" { type null }\n";
    }
    for (const auto& [name, file] : fileOutputs_)
        conf << "pcm.\"" << name << "\" { type file slave.pcm { type null } file \"" << file.string()
             << "\" format \"raw\" }\n";
    for (const auto& [name, file] : captures_)
        conf << "pcm.\"" << name << "\" { type asym capture.pcm { type file slave.pcm { type null } "
             << "file \"/dev/null\" infile \"" << file.string() << "\" format \"raw\" } }\n";
    const std::filesystem::path path = folder() / "alsa.conf";
    std::ofstream(path) << conf.str();
    if (setenv("ALSA_CONFIG_PATH", path.c_str(), 1) != 0) throw std::runtime_error("setenv failed");
}

std::filesystem::path AlsaTestDevices::playedFile(const std::string& name, int channels, int rate) const {
    const std::string prefix = slug(name) + "_" + std::to_string(channels) + "_" + std::to_string(rate) + "_";
    for (const auto& entry : std::filesystem::directory_iterator(folder())) {
        const std::string file = entry.path().filename().string();
        if (file.rfind(prefix, 0) == 0 && entry.path().extension() == ".raw") return entry.path();
    }
    return {};
}

std::vector<float> AlsaTestDevices::played(const std::string& name, int channels, int rate, std::size_t frames) const {
    const std::filesystem::path path = playedFile(name, channels, rate);
    if (path.empty()) return {};
    const std::size_t frameBytes = static_cast<std::size_t>(channels) * sizeof(float);
    // The file may still grow: whole frames up to its size now.
    const std::size_t available = std::filesystem::file_size(path) / frameBytes;
    if (frames == 0 || frames > available) frames = available;
    std::vector<float> samples(frames * channels);
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>((available - frames) * frameBytes));
    in.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(frames * frameBytes));
    return samples;
}

} // namespace trv::test
