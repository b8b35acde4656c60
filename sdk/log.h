// The library's one logging front end.
//
//   LogStream(TRV_LOG_INFO, "Tarvonel") << "Command: connect(" << output << ")";
//
// The line is handed to the process-wide log callback when the LogStream is
// destroyed (the end of the full expression), if its level reaches the
// minimum level and a callback is set. A line below the minimum level is not
// formatted and allocates nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "trv_types.h"

class LogStream {
public:
    LogStream(int32_t level, std::string_view tag) noexcept;
    ~LogStream();

    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    template <typename T>
    LogStream& operator<<(const T& value) noexcept {
        if (text_) {
            try {
                *text_ << value;
            } catch (...) {
                text_.reset(); // out of memory while formatting: drop the line
            }
        }
        return *this;
    }
    LogStream& operator<<(std::ostream& (*manipulator)(std::ostream&)) noexcept {
        if (text_) {
            try {
                *text_ << manipulator;
            } catch (...) {
                text_.reset();
            }
        }
        return *this;
    }

    // True when a line of this level would be delivered now.
    static bool enabled(int32_t level) noexcept;

private:
    std::optional<std::ostringstream> text_; // engaged only for a line that passes
    std::string tag_;
    int32_t level_;
};

// Process-wide logging state (atomics; read on every line, without a lock).
void setLogLevel(int32_t level) noexcept;
int32_t logLevel() noexcept;

// Creates the rotating file logger "TarvonelSDK" at path unless the
// application installed its own callback. Prints "Log initialization
// failed: ..." on stdout when spdlog refuses, when the logger exists already
// (its lines then go to that one) or when the process is ending; never
// throws. The logger, once made, lives until the process is gone.
void initLogger(const std::string& path) noexcept;

// Writes out what the file logger holds, if there is one.
void flushLogFile() noexcept;

// Installs the application's callback (null silences everything) and marks
// the callback as the application's for the rest of the process.
void setApplicationLogCallback(trv_log_callback_t callback) noexcept;

// Puts the logging state back as the process started it (level, callback,
// no application callback, no file logger): tests run one after another.
void resetLoggingForTesting() noexcept;

// The callback that writes to the file logger (none: the line is dropped);
// the initial callback.
void defaultLogCallback(trv_log_level_t level, const char* tag, const char* message);

// The rendering engine's hook: forwards its lines with the tag "LumetraCore".
void lumetraLogHook(int32_t level, const char* location, const char* message);

// True while the calling thread runs one of the application's callbacks
// (the log callback here, a connection callback through the handler frame).
// Freeing an instance from there must not wait for the library's threads:
// the callback may be running on one of them.
bool insideApplicationCallback() noexcept;

// Marks the calling thread as running an application callback while it
// lives; nests.
class ApplicationCallbackScope {
public:
    ApplicationCallbackScope() noexcept;
    ~ApplicationCallbackScope();
    ApplicationCallbackScope(const ApplicationCallbackScope&) = delete;
    ApplicationCallbackScope& operator=(const ApplicationCallbackScope&) = delete;
};
