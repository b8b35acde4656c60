// A PulseAudio server of the test's own: user mode, a private runtime
// directory and socket, null sinks the test names, anonymous access on its
// unix socket. Clients of this process find it through PULSE_SERVER. Stopped
// by its PID when the object goes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace trv::test {

struct NullSink {
    std::string name;        // "speakers"
    std::string description; // "Speakers"; may hold spaces
    int channels = 2;
    int rateHz = 48000;
};

class PulseDaemon {
public:
    // Starts the server with these sinks (the first is the default) and
    // waits, at most 10 s, until it lists them. started() tells.
    explicit PulseDaemon(const std::vector<NullSink>& sinks);
    ~PulseDaemon();
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    bool started() const { return started_; }
    // Stops the server now (a test of the server going away).
    void stop();
    // Kills the server at once (SIGKILL: no goodbye to its clients).
    void kill();
    // Starts the server again on the same socket with the sinks it was
    // first given, and waits as the constructor does. True once it lists
    // them.
    bool restart();
    // Removes a sink (unloads its module), or adds one, as a desktop does
    // when a sound card goes or comes. True when pactl succeeded.
    bool unloadSink(const std::string& name);
    bool loadSink(const NullSink& sink);

    // Plays mono float samples at rateHz into a sink with pacat, from a
    // WAV file written here. Returns the player's PID; waitPlayer waits for
    // it, at most timeoutSeconds, and kills it after that.
    pid_t play(const std::string& sink, const std::vector<float>& mono, int rateHz);
    static bool waitPlayer(pid_t pid, double timeoutSeconds);

private:
    bool launch();

    TempDir dir_;
    std::vector<std::string> args_; // the server's command line
    std::size_t sinkCount_ = 0;
    pid_t pid_ = -1;
    bool started_ = false;
    int wavCount_ = 0;
};

// Silence with a kick drum every periodSeconds, seconds long: 30 ms of a
// 60 Hz sine at full scale fading out. Its energy lies low in the band, so
// it survives an output that resamples, as music does.
std::vector<float> kickTrain(int rateHz, double seconds, double periodSeconds);

} // namespace trv::test
