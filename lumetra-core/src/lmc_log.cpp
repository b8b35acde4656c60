#include "lmc_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

namespace lmc {
namespace {

std::atomic<int32_t> gLevel{kLogInfo};
std::atomic<LmcLogCallback> gHook{nullptr};
std::atomic<LmcLogFilter> gFilter{nullptr};
std::atomic<uint32_t> gRenderCycle{0};

struct LogBuffers {
    char location[kLogBufferBytes];
    char message[kLogBufferBytes];
};

// One pair per thread that logs, allocated on its first line (kept off the
// static TLS block, which every thread of the host application would pay).
LogBuffers* threadBuffers() noexcept {
    thread_local std::unique_ptr<LogBuffers> buffers;
    if (!buffers) buffers.reset(new (std::nothrow) LogBuffers);
    return buffers.get();
}

const char* baseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}

} // namespace

void lmc_log_level_set(int32_t level) noexcept { gLevel.store(level, std::memory_order_relaxed); }

void lmc_log_callback_set(LmcLogCallback hook) noexcept {
    gHook.store(hook, std::memory_order_relaxed);
}

void lmc_log_filter_set(LmcLogFilter filter) noexcept { gFilter.store(filter, std::memory_order_relaxed); }

void lmc_log(int32_t level, const char* source, int32_t line, const char* format, ...) noexcept {
    LmcLogCallback hook = gHook.load(std::memory_order_relaxed);
    if (hook == nullptr || level < gLevel.load(std::memory_order_relaxed)) return;
    const LmcLogFilter filter = gFilter.load(std::memory_order_relaxed);
    if (filter != nullptr && !filter(level)) return;
    LogBuffers* buffers = threadBuffers();
    if (buffers == nullptr) return;
    std::snprintf(buffers->location, sizeof buffers->location, "%s:%d",
                  baseName(source != nullptr ? source : ""), static_cast<int>(line));
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffers->message, sizeof buffers->message, format, args);
    va_end(args);
    try {
        hook(level, buffers->location, buffers->message);
    } catch (...) {
    }
}

uint32_t lmc_render_cycle() noexcept { return gRenderCycle.load(std::memory_order_relaxed); }

void lmc_render_cycle_advance() noexcept { gRenderCycle.fetch_add(1, std::memory_order_relaxed); }

} // namespace lmc
