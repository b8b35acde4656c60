#include "support/log_capture.h"

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <utility>

#include <gtest/gtest.h>

#include "sdk/IHandler.h"
#include "sdk/c_interface_internal.h"
#include "sdk/log.h"

namespace trv::test {
namespace {
// Never destroyed: a worker thread an instance left to end on its own (one
// destroyed from its own callback) may still log while the process exits.
std::mutex& gMutex = *new std::mutex; // guards gLines
std::condition_variable& gArrived = *new std::condition_variable;
std::vector<LogLine>& gLines = *new std::vector<LogLine>;

void record(trv_log_level_t level, const char* tag, const char* message) {
    {
        std::lock_guard lock(gMutex);
        gLines.push_back({level, tag, message});
    }
    gArrived.notify_all();
}

bool has(const std::string& tag, const std::string& text) {
    return std::any_of(gLines.begin(), gLines.end(), [&](const LogLine& l) { return l.tag == tag && l.text == text; });
}

// Each case starts from the state a fresh process has, also when a whole
// program runs in one process (shuffled): logging, the backend factory, the
// handle counter, the recorded lines and the working directory.
struct FreshProcessState : testing::EmptyTestEventListener {
    const std::filesystem::path directory = std::filesystem::current_path();
    void OnTestStart(const testing::TestInfo&) override {
        resetLoggingForTesting();
        IHandler::setFactoryForTesting(nullptr);
        setNextSdkHandleForTesting(0);
        LogCapture::take();
        std::filesystem::current_path(directory);
    }
};
const bool gFreshStateListened = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new FreshProcessState);
    return true;
}();
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
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) {
        return l.text.find(needle) != std::string::npos;
    }));
}

bool hasLog(const std::vector<LogLine>& lines, const std::string& needle, int level) {
    return std::any_of(lines.begin(), lines.end(), [&](const LogLine& l) {
        return l.text.find(needle) != std::string::npos && (level < 0 || l.level == level);
    });
}

void LogCapture::install() { setApplicationLogCallback(&record); }

std::vector<LogLine> LogCapture::lines() {
    std::lock_guard lock(gMutex);
    return gLines;
}

std::vector<std::string> LogCapture::texts(const std::string& tag) {
    std::vector<std::string> out;
    for (const LogLine& l : lines())
        if (l.tag == tag) out.push_back(l.text);
    return out;
}

bool LogCapture::contains(const std::string& tag, const std::string& text) {
    std::lock_guard lock(gMutex);
    return has(tag, text);
}

bool LogCapture::waitFor(const std::string& tag, const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock lock(gMutex);
    return gArrived.wait_for(lock, timeout, [&] { return has(tag, text); });
}

} // namespace trv::test
