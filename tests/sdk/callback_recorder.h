// A connection callback for tests: records each report and lets the test
// wait for them; an optional reaction runs inside the callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "sdk/IHandler.h"

namespace trv::test {

struct Report {
    trv_connection_state_t state;
    trv_error_t error;
    uint32_t serialNumber;
    trv_connection_state_t statusInside; // connectionStatus() asked from inside the callback
};

class CallbackRecorder {
public:
    // Asked from inside the callback, when set.
    std::function<trv_connection_state_t()> status;
    // Runs inside the callback, after the report is recorded.
    std::function<void(const Report&)> onReport;

    static void callback(trv_connection_state_t state, trv_error_t error, uint32_t serialNumber,
                         void* userData) {
        auto* self = static_cast<CallbackRecorder*>(userData);
        Report report{state, error, serialNumber, self->status ? self->status() : -99};
        {
            std::lock_guard lock(self->mutex);
            self->reports.push_back(report);
        }
        self->arrived.notify_all();
        if (self->onReport) self->onReport(report);
    }

    bool waitFor(std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return reports.size() >= count; });
    }

    std::vector<Report> all() {
        std::lock_guard lock(mutex);
        return reports;
    }

private:
    std::mutex mutex; // guards reports
    std::condition_variable arrived;
    std::vector<Report> reports;
};

} // namespace trv::test
