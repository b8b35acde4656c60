#include "platform/termination_signal.h"

#include <signal.h>

#include <cerrno>
#include <cmath>
#include <ctime>

namespace {
sigset_t terminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
} // namespace

void blockTerminationSignals() noexcept {
    const sigset_t set = terminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool waitForTerminationSignal(double timeoutSeconds) noexcept {
    const sigset_t set = terminationSet();
    for (;;) {
        int result = 0;
        if (timeoutSeconds < 0) {
            int signal = 0;
            result = sigwait(&set, &signal) == 0 ? signal : -1;
        } else {
            timespec timeout{};
            timeout.tv_sec = static_cast<time_t>(timeoutSeconds);
            timeout.tv_nsec = static_cast<long>((timeoutSeconds - std::floor(timeoutSeconds)) * 1e9);
            result = sigtimedwait(&set, nullptr, &timeout);
        }
        if (result > 0) return true;
        if (result < 0 && errno == EINTR) continue;
        return false;
    }
}
