#include "platform/rt_semaphore.h"

#include <semaphore.h>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <new>

static_assert(sizeof(sem_t) <= RtSemaphore::kStorageBytes && alignof(sem_t) <= 8);

namespace {
sem_t* semOf(unsigned char* storage) { return std::launder(reinterpret_cast<sem_t*>(storage)); }
} // namespace

RtSemaphore::RtSemaphore() noexcept { sem_init(new (storage_) sem_t, 0, 0); }

RtSemaphore::~RtSemaphore() { sem_destroy(semOf(storage_)); }

void RtSemaphore::post() noexcept { sem_post(semOf(storage_)); }

bool RtSemaphore::tryWait() noexcept { return sem_trywait(semOf(storage_)) == 0; }

bool RtSemaphore::waitFor(double timeoutSeconds) noexcept {
    if (!(timeoutSeconds > 0)) return tryWait();
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const double whole = std::floor(timeoutSeconds);
    deadline.tv_sec += static_cast<time_t>(whole);
    deadline.tv_nsec += static_cast<long>((timeoutSeconds - whole) * 1e9);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (sem_clockwait(semOf(storage_), CLOCK_MONOTONIC, &deadline) == 0) return true;
        if (errno != EINTR) return false;
    }
}
