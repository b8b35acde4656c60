#include "log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include "never_destroyed.h"

namespace {

constexpr const char* kLoggerName = "TarvonelSDK";
constexpr std::size_t kMaxFileBytes = 5u * 1024u * 1024u;
constexpr std::size_t kMaxRotatedFiles = 10;

// Process-wide state: written by the SDK constructor and setLogCallback,
// read on every line. Atomics, so a change made while others log is seen
// whole; constant-initialised, so no static-initialisation order applies.
std::atomic<int32_t> gMinLogLevel{TRV_LOG_TRACE};
std::atomic<trv_log_callback_t> gLogCallback{&defaultLogCallback};
std::atomic<bool> gUserLogCallbackSet{false};

// How many application callbacks the calling thread is inside.
thread_local int tCallbackDepth = 0;

// The file logger, once made, held for the rest of the process: exit
// destroys spdlog's registry in its own time, while the library's threads
// (an instance ending on its own thread, an application thread still
// calling in) may still write. Lines reach it without the registry.
struct FileLogger {
    std::mutex mutex; // guards owner and reset; taken only to make or reset the logger
    std::shared_ptr<spdlog::logger> owner;
    // Loggers a test's reset let go of: a thread may be writing to one still.
    std::vector<std::shared_ptr<spdlog::logger>> reset;
};
FileLogger& fileLogger() {
    static NeverDestroyed<FileLogger> held;
    return *held;
}
std::atomic<spdlog::logger*> gFileLogger{nullptr}; // owner's logger, read on every line

// Set when exit destroys spdlog's registry: from then on nothing here asks
// the registry for anything (an instance made while the process ends finds
// no file logger to make, and logs to the one held, if any).
std::atomic<bool> gSpdlogEnded{false};
struct SpdlogEndWatch {
    // The registry is made first, so exit destroys this before it.
    SpdlogEndWatch() { spdlog::details::registry::instance(); }
    ~SpdlogEndWatch() { gSpdlogEnded.store(true); }
    SpdlogEndWatch(const SpdlogEndWatch&) = delete;
    SpdlogEndWatch& operator=(const SpdlogEndWatch&) = delete;
};
bool spdlogEnded() {
    static const SpdlogEndWatch watch;
    return gSpdlogEnded.load();
}

// Calls the callback; an exception thrown by it drops the line.
void deliver(trv_log_callback_t callback, int32_t level, const char* tag,
             const char* message) noexcept {
    try {
        const ApplicationCallbackScope inCallback;
        callback(level, tag, message);
    } catch (...) {
    }
}

spdlog::level::level_enum toSpdlogLevel(int32_t level) noexcept {
    return static_cast<spdlog::level::level_enum>(
        std::clamp<int32_t>(level, TRV_LOG_TRACE, TRV_LOG_OFF));
}

} // namespace

ApplicationCallbackScope::ApplicationCallbackScope() noexcept { ++tCallbackDepth; }
ApplicationCallbackScope::~ApplicationCallbackScope() { --tCallbackDepth; }
bool insideApplicationCallback() noexcept { return tCallbackDepth > 0; }

LogStream::LogStream(int32_t level, std::string_view tag) noexcept : level_(level) {
    if (!enabled(level)) return;
    try {
        tag_.assign(tag);
        text_.emplace();
    } catch (...) {
        text_.reset();
    }
}

LogStream::~LogStream() {
    if (!text_) return;
    // The callback is read once; a line is dropped when it was unset meanwhile.
    trv_log_callback_t callback = gLogCallback.load(std::memory_order_relaxed);
    if (callback == nullptr || level_ < gMinLogLevel.load(std::memory_order_relaxed)) return;
    try {
        const std::string line = std::move(*text_).str();
        deliver(callback, level_, tag_.c_str(), line.c_str());
    } catch (...) {
    }
}

bool LogStream::enabled(int32_t level) noexcept {
    return level >= gMinLogLevel.load(std::memory_order_relaxed) &&
           gLogCallback.load(std::memory_order_relaxed) != nullptr;
}

void setLogLevel(int32_t level) noexcept { gMinLogLevel.store(level, std::memory_order_relaxed); }

int32_t logLevel() noexcept { return gMinLogLevel.load(std::memory_order_relaxed); }

void initLogger(const std::string& path) noexcept {
    if (gUserLogCallbackSet.load(std::memory_order_relaxed)) return;
    try {
        FileLogger& held = fileLogger();
        std::lock_guard lock(held.mutex);
        // Refuse before touching any file: a second creation must not rotate
        // (and so shift away) the files of another path.
        const auto exists = [] {
            return spdlog::spdlog_ex(std::string("logger with name '") + kLoggerName + "' already exists");
        };
        if (held.owner) throw exists();
        if (spdlogEnded()) throw spdlog::spdlog_ex("the process is ending");
        if (spdlog::get(kLoggerName)) throw exists();
        auto logger = spdlog::rotating_logger_mt(kLoggerName, path, kMaxFileBytes,
                                                 kMaxRotatedFiles, /*rotate_on_open=*/true);
        spdlog::flush_every(std::chrono::seconds(1));
        logger->set_level(toSpdlogLevel(gMinLogLevel.load(std::memory_order_relaxed)));
        held.owner = logger;
        gFileLogger.store(logger.get(), std::memory_order_release);
    } catch (const spdlog::spdlog_ex& e) {
        std::printf("Log initialization failed: %s\n", e.what());
    } catch (const std::exception& e) {
        std::printf("Log initialization failed: %s\n", e.what());
    } catch (...) {
        std::printf("Log initialization failed: %s\n", "unknown error");
    }
}

void flushLogFile() noexcept {
    try {
        if (spdlog::logger* logger = gFileLogger.load(std::memory_order_acquire)) logger->flush();
    } catch (...) {
    }
}

void setApplicationLogCallback(trv_log_callback_t callback) noexcept {
    gUserLogCallbackSet.store(true, std::memory_order_relaxed);
    gLogCallback.store(callback, std::memory_order_relaxed);
}

void resetLoggingForTesting() noexcept {
    gMinLogLevel.store(TRV_LOG_TRACE, std::memory_order_relaxed);
    gLogCallback.store(&defaultLogCallback, std::memory_order_relaxed);
    gUserLogCallbackSet.store(false, std::memory_order_relaxed);
    try {
        FileLogger& held = fileLogger();
        std::lock_guard lock(held.mutex);
        gFileLogger.store(nullptr, std::memory_order_release);
        if (held.owner) held.reset.push_back(std::move(held.owner));
        if (!spdlogEnded()) spdlog::drop(kLoggerName);
    } catch (...) {
    }
}

void defaultLogCallback(trv_log_level_t level, const char* tag, const char* message) {
    try {
        spdlog::logger* logger = gFileLogger.load(std::memory_order_acquire);
        if (logger == nullptr) return;
        logger->log(toSpdlogLevel(level), "[{}] {}", tag, message);
    } catch (...) {
    }
}

void lumetraLogHook(int32_t level, const char* /*location*/, const char* message) {
    trv_log_callback_t callback = gLogCallback.load(std::memory_order_relaxed);
    if (callback == nullptr || level < gMinLogLevel.load(std::memory_order_relaxed)) return;
    deliver(callback, level, "LumetraCore", message);
}
