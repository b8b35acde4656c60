#include "support/pulse_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/sound_server.h"

extern char** environ;

namespace trv::test {
namespace {

pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

template <typename T>
void put(std::ofstream& out, T value) {
    out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

} // namespace

PulseDaemon::PulseDaemon(const std::vector<NullSink>& sinks) {
    const std::string run = (dir_.path() / "run").string();
    std::filesystem::create_directories(run);
    ::setenv("HOME", dir_.path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    ::setenv("PULSE_SERVER", ("unix:" + run + "/native").c_str(), 1);
    std::vector<std::string> args{"/usr/bin/pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
                                  "--disable-shm=yes", "--log-target=stderr"};
    for (const NullSink& s : sinks)
        args.insert(args.end(), {"-L", "module-null-sink sink_name=" + s.name + " channels=" +
                                           std::to_string(s.channels) + " rate=" + std::to_string(s.rateHz) +
                                           " sink_properties=device.description=" + s.description});
    args.insert(args.end(), {"-L", "module-native-protocol-unix auth-anonymous=1 socket=" + run + "/native"});
    pid_ = spawn(args);
    for (int attempt = 0; pid_ > 0 && attempt < 100 && !started_; ++attempt) {
        const SoundServerListing l = listSoundServerMonitors(0.5f);
        started_ = l.reachable && l.monitors.size() == sinks.size();
        if (!started_) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

PulseDaemon::~PulseDaemon() { stop(); }

void PulseDaemon::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!waitPlayer(pid_, 5.0)) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

pid_t PulseDaemon::play(const std::string& sink, const std::vector<float>& mono, int rateHz) {
    const std::string path = (dir_.path() / ("sound" + std::to_string(wavCount_++) + ".wav")).string();
    std::ofstream out(path, std::ios::binary);
    const auto bytes = static_cast<uint32_t>(mono.size() * sizeof(float));
    out.write("RIFF", 4);
    put<uint32_t>(out, 36 + bytes);
    out.write("WAVEfmt ", 8);
    put<uint32_t>(out, 16);
    put<uint16_t>(out, 3); // IEEE float
    put<uint16_t>(out, 1);
    put<uint32_t>(out, static_cast<uint32_t>(rateHz));
    put<uint32_t>(out, static_cast<uint32_t>(rateHz) * 4u);
    put<uint16_t>(out, 4);
    put<uint16_t>(out, 32);
    out.write("data", 4);
    put<uint32_t>(out, bytes);
    out.write(reinterpret_cast<const char*>(mono.data()), bytes);
    out.close();
    // An idle null sink wakes every 2 s; a suspend and resume rearms it at
    // the latency its clients ask for now.
    for (const char* state : {"1", "0"}) waitPlayer(spawn({"/usr/bin/pactl", "suspend-sink", sink, state}), 5.0);
    return spawn({"/usr/bin/pacat", "--latency-msec=10", "--file-format", "-d", sink, path});
}

bool PulseDaemon::waitPlayer(pid_t pid, double timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return false;
}

std::vector<float> clickTrain(int rateHz, double seconds, double periodSeconds) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * rateHz), 0.0f);
    const auto period = static_cast<std::size_t>(periodSeconds * rateHz);
    const auto width = static_cast<std::size_t>(rateHz / 1000);
    for (std::size_t start = 0; start + width < samples.size(); start += period)
        for (std::size_t i = 0; i < width; ++i) samples[start + i] = (i % 2) ? -1.0f : 1.0f;
    return samples;
}

} // namespace trv::test
