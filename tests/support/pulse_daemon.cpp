#include "support/pulse_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/sound_server.h"

extern char** environ;

namespace trv::test {
namespace {

// Starts a program, its standard output into outPath (nothing else of it
// kept); -1 when it could not start.
pid_t spawn(const std::vector<std::string>& args, const char* outPath = "/dev/null") {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The module arguments of a null sink; the description quoted, so that it
// may hold spaces.
std::string sinkArguments(const NullSink& s) {
    return "sink_name=" + s.name + " channels=" + std::to_string(s.channels) + " rate=" + std::to_string(s.rateHz) +
           " sink_properties=\"device.description='" + s.description + "'\"";
}

// Waits for a started program's end, its wait status into `status`; past
// the timeout it is killed and false returned.
bool reap(pid_t pid, double timeoutSeconds, int* status) {
    if (pid <= 0) return false; // never started: -1 would wait for and kill every process
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid, status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return false;
}

// Runs a command to its end (at most 5 s), its standard output into a file.
// True when it exited with 0.
bool runTo(const std::vector<std::string>& args, const std::string& outPath) {
    int status = 0;
    return reap(spawn(args, outPath.c_str()), 5.0, &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <typename T>
void put(std::ofstream& out, T value) {
    out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

} // namespace

PulseDaemon::PulseDaemon(const std::vector<NullSink>& sinks) : sinkCount_(sinks.size()) {
    const std::string run = (dir_.path() / "run").string();
    std::filesystem::create_directories(run);
    ::setenv("HOME", dir_.path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    ::setenv("PULSE_SERVER", ("unix:" + run + "/native").c_str(), 1);
    args_ = {"/usr/bin/pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--disable-shm=yes",
             "--log-target=stderr"};
    for (const NullSink& s : sinks) args_.insert(args_.end(), {"-L", "module-null-sink " + sinkArguments(s)});
    args_.insert(args_.end(), {"-L", "module-native-protocol-unix auth-anonymous=1 socket=" + run + "/native"});
    started_ = launch();
}

bool PulseDaemon::launch() {
    pid_ = spawn(args_);
    bool listed = false;
    for (int attempt = 0; pid_ > 0 && attempt < 100 && !listed; ++attempt) {
        const SoundServerListing l = listSoundServerMonitors(0.5f);
        listed = l.reachable && l.monitors.size() == sinkCount_;
        if (!listed) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return listed;
}

PulseDaemon::~PulseDaemon() { stop(); }

void PulseDaemon::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!waitPlayer(pid_, 5.0)) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void PulseDaemon::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool PulseDaemon::restart() {
    kill();
    started_ = launch();
    return started_;
}

bool PulseDaemon::unloadSink(const std::string& name) {
    const std::string listing = (dir_.path() / "modules.txt").string();
    if (!runTo({"/usr/bin/pactl", "list", "short", "modules"}, listing)) return false;
    std::ifstream in(listing);
    std::string line;
    const std::string key = "sink_name=" + name + " ";
    while (std::getline(in, line)) {
        if (line.find("module-null-sink") == std::string::npos || line.find(key) == std::string::npos) continue;
        if (!runTo({"/usr/bin/pactl", "unload-module", line.substr(0, line.find('\t'))}, "/dev/null")) return false;
        --sinkCount_;
        return true;
    }
    return false;
}

bool PulseDaemon::loadSink(const NullSink& sink) {
    // pactl joins the words after the module's name into its arguments.
    if (!runTo({"/usr/bin/pactl", "load-module", "module-null-sink", sinkArguments(sink)}, "/dev/null")) return false;
    ++sinkCount_;
    return true;
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

bool PulseDaemon::waitPlayer(pid_t pid, double timeoutSeconds) { return reap(pid, timeoutSeconds, nullptr); }

std::vector<float> kickTrain(int rateHz, double seconds, double periodSeconds) {
    constexpr double kPi = 3.14159265358979323846;
    constexpr double kKickHz = 60.0;
    constexpr double kKickSeconds = 0.03;
    std::vector<float> samples(static_cast<std::size_t>(seconds * rateHz), 0.0f);
    const auto period = static_cast<std::size_t>(periodSeconds * rateHz);
    const auto width = static_cast<std::size_t>(kKickSeconds * rateHz);
    for (std::size_t start = 0; start + width < samples.size(); start += period)
        for (std::size_t i = 0; i < width; ++i) {
            const double t = static_cast<double>(i) / rateHz;
            const double fade = 1.0 - t / kKickSeconds;
            samples[start + i] = static_cast<float>(std::sin(2.0 * kPi * kKickHz * t) * fade);
        }
    return samples;
}

} // namespace trv::test
