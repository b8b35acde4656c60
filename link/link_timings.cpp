#include "link/link_timings.h"

#include <mutex>

namespace {
std::mutex gTimingsMutex; // guards gTimings
DeviceTimings gTimings;
} // namespace

DeviceTimings processDeviceTimings() noexcept {
    std::lock_guard lock(gTimingsMutex);
    return gTimings;
}

void setProcessDeviceTimings(const DeviceTimings& timings) noexcept {
    std::lock_guard lock(gTimingsMutex);
    gTimings = timings;
}
