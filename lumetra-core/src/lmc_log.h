// The rendering engine's log routine and its render cycle.
//
// Process-wide: the threshold, the hook and the render cycle are atomics and
// the text buffers are per thread, so two engine instances driven from two
// threads never mix their lines. The hook's texts are valid during the call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lmc {

using LmcLogCallback = void (*)(int32_t level, const char* location, const char* message);
// Asked before a line at or above the level is formatted: false drops it.
using LmcLogFilter = bool (*)(int32_t level) noexcept;

constexpr int32_t kLogInfo = 2;
constexpr int32_t kLogWarning = 3;
constexpr int32_t kLogError = 4;

// Size of each of the two text buffers; longer texts are truncated.
constexpr std::size_t kLogBufferBytes = 64 * 1024;

// Lines below the level are dropped without being formatted (2 at load).
void lmc_log_level_set(int32_t level) noexcept;
// Null silences the engine (the initial state).
void lmc_log_callback_set(LmcLogCallback hook) noexcept;
// The hook's own say on which lines it would deliver, so a line it would
// drop is never formatted. Null (the initial state): every line at or above
// the level is formatted and handed to the hook.
void lmc_log_filter_set(LmcLogFilter filter) noexcept;

// Writes one line: location "<source>:<line>" (source taken after its last
// '/' or '\'), message from the printf-style format.
void lmc_log(int32_t level, const char* source, int32_t line, const char* format, ...) noexcept
    __attribute__((format(printf, 4, 5)));

// The number of non-paused renders of any core so far, modulo 2^32.
uint32_t lmc_render_cycle() noexcept;
void lmc_render_cycle_advance() noexcept;

} // namespace lmc

// Logs from an engine source: LMC_LOG(kLogWarning, "lmc", "unknown id %d", id).
#define LMC_LOG(level, source, ...) ::lmc::lmc_log((level), (source), __LINE__, __VA_ARGS__)
