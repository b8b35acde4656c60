// Records every log line of the process (installed as the application's
// log callback) and lets a test wait for one.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "sdk/trv_types.h"

namespace trv::test {

struct LogLine {
    int level;
    std::string tag;
    std::string text;
};

class LogCapture {
public:
    // Installs the recording callback (process-wide, for good).
    static void install();
    static std::vector<LogLine> lines();
    static std::vector<LogLine> take(); // returns the lines and forgets them
    // The texts of the lines with this tag, in order.
    static std::vector<std::string> texts(const std::string& tag);
    static bool contains(const std::string& tag, const std::string& text);
    // Waits (bounded) until a line with this tag and text has arrived.
    static bool waitFor(const std::string& tag, const std::string& text,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
};

} // namespace trv::test
