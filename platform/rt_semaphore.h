// A counting semaphore that a real-time thread may post: posting neither
// allocates nor takes a lock (a POSIX semaphore; sem_post is even
// async-signal-safe). Waits are bounded and measured on the monotonic clock.
#pragma once

#include <cstddef>

class RtSemaphore {
public:
    RtSemaphore() noexcept;
    ~RtSemaphore();
    RtSemaphore(const RtSemaphore&) = delete;
    RtSemaphore& operator=(const RtSemaphore&) = delete;

    void post() noexcept;
    // Waits until a post is available or timeoutSeconds pass; true when a
    // post was taken. Real-time safe: no allocation, no lock.
    bool waitFor(double timeoutSeconds) noexcept;
    // Takes a post when one is available, without waiting.
    bool tryWait() noexcept;

    static constexpr std::size_t kStorageBytes = 32;

private:
    alignas(8) unsigned char storage_[kStorageBytes]; // the sem_t
};
