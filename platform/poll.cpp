#include "platform/poll.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <system_error>
#include <vector>

int pollDescriptors(std::span<PollEntry> entries, float timeoutSeconds) noexcept {
    using Clock = std::chrono::steady_clock;
    pollfd fixed[8];
    std::vector<pollfd> grown;
    pollfd* fds = fixed;
    if (entries.size() > 8) {
        try {
            grown.resize(entries.size());
        } catch (...) {
            return -1;
        }
        fds = grown.data();
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = entries[i].fd;
        fds[i].events = entries[i].wantWrite ? POLLOUT : POLLIN;
        fds[i].revents = 0;
        entries[i].ready = entries[i].hangUp = false;
    }
    const auto deadline = Clock::now() + std::chrono::duration<float>(std::max(0.0f, timeoutSeconds));
    for (;;) {
        int timeoutMs = -1;
        if (timeoutSeconds >= 0) {
            const auto left = std::chrono::duration<double, std::milli>(deadline - Clock::now()).count();
            timeoutMs = left <= 0 ? 0 : static_cast<int>(std::ceil(left));
        }
        const int n = ::poll(fds, entries.size(), timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            entries[i].ready = fds[i].revents != 0;
            entries[i].hangUp = (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        }
        return n;
    }
}

bool waitReadable(int fd, float timeoutSeconds) noexcept {
    PollEntry entry{fd};
    return pollDescriptors({&entry, 1}, timeoutSeconds) > 0;
}

Waker::Waker() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Waker::~Waker() {
    if (fd_ >= 0) ::close(fd_);
}

void Waker::notify() noexcept {
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
}

void Waker::drain() noexcept {
    uint64_t value = 0;
    [[maybe_unused]] const auto read = ::read(fd_, &value, sizeof value);
}
