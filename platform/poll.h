// Waiting on descriptors without spinning: poll() with a time-out, and an
// eventfd that wakes a waiting thread.
#pragma once

#include <cstddef>
#include <span>

struct PollEntry {
    int fd = -1;
    bool wantWrite = false; // wait for room to write instead of data to read
    bool ready = false;     // out: readable (or writable), or hung up, or failed
    bool hangUp = false;    // out: the peer closed or the descriptor failed
};

// Waits until one entry is ready or timeoutSeconds pass (negative: forever).
// Returns the number of ready entries, 0 on time-out, -1 on failure. EINTR
// is retried with the remaining time.
int pollDescriptors(std::span<PollEntry> entries, float timeoutSeconds) noexcept;

// True when fd has data (or an error or hang-up) within timeoutSeconds.
bool waitReadable(int fd, float timeoutSeconds) noexcept;

// An eventfd: notify() from any thread wakes a poll that includes fd().
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    void notify() noexcept;
    void drain() noexcept;
    int fd() const noexcept { return fd_; }

private:
    int fd_ = -1;
};
