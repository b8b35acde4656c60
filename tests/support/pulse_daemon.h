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
    std::string description; // "Speakers"
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

    // Plays mono float samples at rateHz into a sink with pacat, from a
    // WAV file written here. Returns the player's PID; waitPlayer waits for
    // it, at most timeoutSeconds, and kills it after that.
    pid_t play(const std::string& sink, const std::vector<float>& mono, int rateHz);
    static bool waitPlayer(pid_t pid, double timeoutSeconds);

private:
    TempDir dir_;
    pid_t pid_ = -1;
    bool started_ = false;
    int wavCount_ = 0;
};

// Silence with a full-scale 1 ms click every periodSeconds, seconds long.
std::vector<float> clickTrain(int rateHz, double seconds, double periodSeconds);

} // namespace trv::test
