// What the experimental interface's calls share: the guard that keeps every
// exception inside the call, and the change of backend of its connections.
#pragma once

#include <exception>

#include "handler_holder.h"
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

// Makes the instance's handler one of kind for an experimental connection
// (chooseHandler; the refusals are those of the experimental calls).
inline int32_t useHandlerKind(HandlerHolder& handlers, HandlerKind kind, HandlerHolder::Use& chosen) noexcept {
    return chooseHandler(handlers, kind, BackendChange{kTag, false, false}, chosen);
}

} // namespace experimental
