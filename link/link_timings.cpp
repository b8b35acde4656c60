#include "link/link_timings.h"

#include <mutex>

namespace {
std::mutex gTimingsMutex; // guards gTimings
LinkTimings gTimings;
} // namespace

LinkTimings processLinkTimings() noexcept {
    std::lock_guard lock(gTimingsMutex);
    return gTimings;
}

void setProcessLinkTimings(const LinkTimings& timings) noexcept {
    std::lock_guard lock(gTimingsMutex);
    gTimings = timings;
}
