// Records the library's log lines for one test process.
#pragma once

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

} // namespace trv::test
