// A program started by a test and stopped by its PID: its output read with
// bounded waits.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace trv::test {

class ChildProcess {
public:
    enum class Output { Discard, Stdout, StdoutAndStderr }; // what reaches output()
    // environment: "NAME=value" entries that the program gets besides (or
    // instead of the same names in) this process's environment.
    ChildProcess(const std::vector<std::string>& args, Output output,
                 const std::vector<std::string>& environment = {});
    ~ChildProcess(); // SIGTERM and wait, unless finished
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // What one read gives within timeoutMs ("" when nothing comes).
    std::string readSome(int timeoutMs);
    // One line without its end, within timeoutMs.
    std::string readLine(int timeoutMs);
    // Waits for the end (after SIGTERM if terminate); the exit status, or -1.
    int finish(bool terminate);
    // Waits up to timeoutMs for the end; the exit status, or -1 (killed by
    // a signal, or still running at the deadline: then it is killed).
    int finishWithin(int timeoutMs);

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

} // namespace trv::test
