#include "streaming/engine_lock.h"

#include <string>
#include <vector>

#include "lumetra-core/src/lmc_log.h"
#include "sdk/log.h"

namespace {

struct EngineLine {
    int32_t level;
    std::string message;
};
// Per thread: how many EngineLocks it holds, and the lines kept meanwhile.
thread_local int tEngineLocks = 0;
thread_local std::vector<EngineLine> tDeferredEngineLines;

void engineLogHook(int32_t level, const char* location, const char* message) {
    if (tEngineLocks == 0) return lumetraLogHook(level, location, message);
    try {
        tDeferredEngineLines.push_back({level, message});
    } catch (...) {
        // Out of memory: the line is dropped.
    }
}

void flushEngineLines() {
    std::vector<EngineLine> lines;
    lines.swap(tDeferredEngineLines);
    for (const EngineLine& line : lines) lumetraLogHook(line.level, "lmc", line.message.c_str());
}

} // namespace

EngineLock::EngineLock(std::mutex& stateMutex) : lock_(stateMutex) { ++tEngineLocks; }

EngineLock::~EngineLock() {
    --tEngineLocks;
    lock_.unlock();
    if (tEngineLocks == 0) flushEngineLines();
}

void installEngineLogHook() noexcept {
    lmc::lmc_log_callback_set(&engineLogHook);
    // A line the SDK's log would drop (below its level, or no callback) is
    // not formatted by the engine at all.
    lmc::lmc_log_filter_set(&LogStream::enabled);
}
