#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>

extern char** environ;

namespace trv::test {

ChildProcess::ChildProcess(const std::vector<std::string>& args, Output output,
                           const std::vector<std::string>& environment) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view name(*entry, std::strcspn(*entry, "="));
        const bool replaced = std::any_of(environment.begin(), environment.end(), [&](const std::string& e) {
            return e.size() > name.size() && e.compare(0, name.size(), name) == 0 && e[name.size()] == '=';
        });
        if (!replaced) envp.push_back(*entry);
    }
    for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    int fds[2] = {-1, -1};
    if (output != Output::Discard && ::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (int fd : {1, 2}) {
        if (fds[1] >= 0 && (fd == 1 || output == Output::StdoutAndStderr))
            posix_spawn_file_actions_adddup2(&actions, fds[1], fd);
        else
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_WRONLY, 0);
    }
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (fds[1] >= 0) ::close(fds[1]);
    out_ = fds[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) finish(true);
    if (out_ >= 0) ::close(out_);
}

std::string ChildProcess::readSome(int timeoutMs) {
    pollfd entry{out_, POLLIN, 0};
    if (out_ < 0 || ::poll(&entry, 1, timeoutMs) <= 0) return {};
    char buffer[512];
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string ChildProcess::readLine(int timeoutMs) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (line.empty() || line.back() != '\n') {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd entry{out_, POLLIN, 0};
        char c = 0;
        if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0 || ::read(out_, &c, 1) != 1) break;
        line.push_back(c);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

int ChildProcess::finish(bool terminate) {
    if (pid_ <= 0) return -1;
    if (terminate) ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ChildProcess::finishWithin(int timeoutMs) {
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
        if (ended == pid_) break;
        if (ended < 0 || std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        ::usleep(20 * 1000);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace trv::test
