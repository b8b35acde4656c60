#include "support/log_capture.h"

#include <mutex>
#include <utility>

#include "sdk/log.h"

namespace trv::test {
namespace {
std::mutex gMutex; // guards gLines
std::vector<LogLine> gLines;

void record(trv_log_level_t level, const char* tag, const char* message) {
    std::lock_guard lock(gMutex);
    gLines.push_back({level, tag, message});
}
} // namespace

void captureLogs() {
    {
        std::lock_guard lock(gMutex);
        gLines.clear(); // a test sees its own lines only, whatever ran before it
    }
    setApplicationLogCallback(&record);
    setLogLevel(TRV_LOG_TRACE);
}

std::vector<LogLine> takeLogs() {
    std::lock_guard lock(gMutex);
    return std::exchange(gLines, {});
}

int countLogs(const std::vector<LogLine>& lines, const std::string& needle) {
    int count = 0;
    for (const auto& line : lines) count += line.text.find(needle) != std::string::npos ? 1 : 0;
    return count;
}

bool hasLog(const std::vector<LogLine>& lines, const std::string& needle, int level) {
    for (const auto& line : lines) {
        if (line.text.find(needle) != std::string::npos && (level < 0 || line.level == level))
            return true;
    }
    return false;
}

} // namespace trv::test
