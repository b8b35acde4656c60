// What the experimental interface's calls share: the guard that keeps every
// exception inside the call.
#pragma once

#include <exception>

#include "log.h"

namespace experimental {

inline constexpr const char* kTag = "ExperimentalTarvonelSDK";

// body's result, or failure (logged) when body throws.
template <typename T, typename Body>
T guarded(T failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        LogStream(TRV_LOG_ERROR, kTag) << "Unexpected failure: " << e.what();
    } catch (...) {
        LogStream(TRV_LOG_ERROR, kTag) << "Unexpected failure: unknown exception";
    }
    return failure;
}

} // namespace experimental
