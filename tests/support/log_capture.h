// Records the library's log lines for one test process (installed as the
// application's log callback) and lets a test wait for one.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace trv::test {

struct LogLine {
    int level;
    std::string tag;
    std::string text;
};

// Forgets the lines recorded so far, installs the recording callback and
// sets the minimum level to trace.
void captureLogs();
// The lines logged since captureLogs() or the last takeLogs().
std::vector<LogLine> takeLogs();
// Every line logged so far whose text contains needle.
int countLogs(const std::vector<LogLine>& lines, const std::string& needle);
bool hasLog(const std::vector<LogLine>& lines, const std::string& needle, int level = -1);

// The same record, by tag and whole text; install() keeps the level.
struct LogCapture {
    static void install();
    static std::vector<LogLine> lines();
    static std::vector<LogLine> take() { return takeLogs(); }
    static std::vector<std::string> texts(const std::string& tag);
    static bool contains(const std::string& tag, const std::string& text);
    // Waits (bounded) until a line with this tag and text has arrived.
    static bool waitFor(const std::string& tag, const std::string& text,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
};

} // namespace trv::test
