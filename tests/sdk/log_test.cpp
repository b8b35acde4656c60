// Logging state is process-wide; every case runs in a process of its own.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "lumetra-core/src/lmc_log.h"
#include "sdk/log.h"
#include "support/temp_dir.h"

namespace {

struct Line {
    int level;
    std::string tag;
    std::string text;
};

std::mutex gLinesMutex; // guards gLines
std::vector<Line> gLines;

void recordLine(trv_log_level_t level, const char* tag, const char* message) {
    std::lock_guard lock(gLinesMutex);
    gLines.push_back({level, tag, message});
}

std::vector<Line> takeLines() {
    std::lock_guard lock(gLinesMutex);
    return std::exchange(gLines, {});
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

TEST(Log, ApplicationCallbackReceivesWholeLinesAtOrAboveTheLevel) {
    setApplicationLogCallback(&recordLine);
    LogStream(TRV_LOG_TRACE, "Tarvonel") << "before any instance";
    setLogLevel(TRV_LOG_INFO);
    LogStream(TRV_LOG_DEBUG, "Tarvonel") << "dropped";
    LogStream(TRV_LOG_INFO, "Tarvonel") << "Command: connect(" << 3 << ", " << 12345678u << ")";
    LogStream(TRV_LOG_WARNING, "ExperimentalTarvonelSDK") << 0.5f << ' ' << 1e-05 << ' ' << true;
    LogStream(TRV_LOG_OFF, "Handler");
    { LogStream line(TRV_LOG_ERROR, "HidCom"); line << "a" << "b" << std::endl; }
    auto lines = takeLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].text, "before any instance");
    EXPECT_EQ(lines[1].text, "Command: connect(3, 12345678)");
    EXPECT_EQ(lines[1].tag, "Tarvonel");
    EXPECT_EQ(lines[1].level, TRV_LOG_INFO);
    EXPECT_EQ(lines[2].text, "0.5 1e-05 1");
    EXPECT_EQ(lines[2].tag, "ExperimentalTarvonelSDK");
    EXPECT_EQ(lines[3].text, ""); // an empty line still arrives
    EXPECT_EQ(lines[3].level, TRV_LOG_OFF);
    EXPECT_EQ(lines[4].text, "ab\n");

    setApplicationLogCallback(nullptr);
    LogStream(TRV_LOG_ERROR, "Tarvonel") << "silenced";
    lumetraLogHook(TRV_LOG_ERROR, "lmc:1", "silenced too");
    EXPECT_TRUE(takeLines().empty());
}

TEST(Log, EngineHookDropsTheLocationAndTagsLumetraCore) {
    setApplicationLogCallback(&recordLine);
    setLogLevel(TRV_LOG_INFO);
    lmc::lmc_log_level_set(lmc::kLogWarning);
    lmc::lmc_log_callback_set(&lumetraLogHook);
    LMC_LOG(lmc::kLogInfo, "lmc", "info %d", 1);
    LMC_LOG(lmc::kLogWarning, "pattern", "bad value %s at %d", "x", 7);
    auto lines = takeLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].tag, "LumetraCore");
    EXPECT_EQ(lines[0].text, "bad value x at 7");
    EXPECT_EQ(lines[0].level, lmc::kLogWarning);
}

TEST(Log, ThrowingCallbackDropsTheLineAndNothingEscapes) {
    setApplicationLogCallback([](trv_log_level_t, const char*, const char*) {
        throw std::runtime_error("application bug");
    });
    EXPECT_NO_THROW(LogStream(TRV_LOG_ERROR, "Tarvonel") << "thrown away");
    EXPECT_NO_THROW(lumetraLogHook(TRV_LOG_ERROR, "lmc:1", "thrown away"));
}

TEST(Log, EveryLineArrivesOnceAndWholeWhileTheCallbackIsSwapped) {
    static std::atomic<int> countA{0};
    static std::atomic<int> countB{0};
    static std::atomic<int> broken{0};
    trv_log_callback_t a = [](trv_log_level_t, const char*, const char* m) {
        ++countA;
        std::string text(m);
        if (text.size() != 40 || text.find_first_not_of(text[0]) != std::string::npos) ++broken;
    };
    trv_log_callback_t b = [](trv_log_level_t, const char*, const char* m) {
        ++countB;
        std::string text(m);
        if (text.size() != 40 || text.find_first_not_of(text[0]) != std::string::npos) ++broken;
    };
    setApplicationLogCallback(a);
    setLogLevel(TRV_LOG_INFO);
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 5000;
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (int i = 0; !stop.load(); ++i) {
            setApplicationLogCallback((i % 2) != 0 ? b : a);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            const char fill = static_cast<char>('a' + t);
            for (int i = 0; i < kLinesPerThread; ++i)
                LogStream(TRV_LOG_INFO, "Sequencer") << std::string(20, fill) << std::string(20, fill);
        });
    }
    for (auto& w : writers) w.join();
    stop = true;
    swapper.join();
    EXPECT_EQ(countA + countB, kThreads * kLinesPerThread);
    EXPECT_EQ(broken.load(), 0);
}

TEST(Log, FileLoggerRotatesOnOpenAndASecondCreationFails) {
    trv::test::TempDir dir;
    const auto path = dir.path() / "logs" / "TarvonelSDK.log";
    std::filesystem::create_directories(path.parent_path());
    { std::ofstream(path) << "previous run\n"; }

    setLogLevel(TRV_LOG_INFO);
    initLogger(path.string());
    LogStream(TRV_LOG_INFO, "Tarvonel") << "Command: getSDKVersion()";
    LogStream(TRV_LOG_DEBUG, "Tarvonel") << "below the level";

    testing::internal::CaptureStdout();
    initLogger((dir.path() / "other.log").string());
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("Log initialization failed: ", 0), 0u) << printed;
    LogStream(TRV_LOG_WARNING, "HidCom") << "second instance line";
    spdlog::get("TarvonelSDK")->flush();

    EXPECT_EQ(readFile(dir.path() / "logs" / "TarvonelSDK.1.log"), "previous run\n");
    const std::string text = readFile(path);
    EXPECT_NE(text.find("[Tarvonel] Command: getSDKVersion()"), std::string::npos) << text;
    EXPECT_NE(text.find("[HidCom] second instance line"), std::string::npos) << text;
    EXPECT_NE(text.find("[TarvonelSDK]"), std::string::npos) << text; // spdlog's prefix
    EXPECT_EQ(text.find("below the level"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "other.log"));
}

TEST(Log, DefaultCallbackWithoutFileLoggerDropsLines) {
    trv::test::TempDir dir;
    std::filesystem::current_path(dir.path());
    LogStream(TRV_LOG_ERROR, "Tarvonel") << "nowhere to go";
    defaultLogCallback(99, "Tarvonel", "out-of-range level is clamped");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "TarvonelLogs"));
}

TEST(Log, ApplicationCallbackSetFirstMeansNoLogFile) {
    trv::test::TempDir dir;
    setApplicationLogCallback(&recordLine);
    initLogger((dir.path() / "TarvonelLogs" / "TarvonelSDK.log").string());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "TarvonelLogs"));
    EXPECT_EQ(spdlog::get("TarvonelSDK"), nullptr);
}

TEST(Log, OutOfRangeLevelsReachTheFileLoggerClamped) {
    trv::test::TempDir dir;
    const auto path = dir.path() / "x.log";
    setLogLevel(TRV_LOG_INFO);
    initLogger(path.string());
    EXPECT_NO_THROW(defaultLogCallback(1000, "Tarvonel", "huge level"));
    EXPECT_NO_THROW(defaultLogCallback(-5, "Tarvonel", "negative level"));
    spdlog::get("TarvonelSDK")->flush();
    const std::string text = readFile(path);
    EXPECT_EQ(text.find("negative level"), std::string::npos); // trace, below info
}
