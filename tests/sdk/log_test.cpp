// Logging state is process-wide; each case starts from the initial one (log_capture.cpp).
#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "support/log_capture.h"
#include "lumetra-core/src/lmc_log.h"
#include "sdk/log.h"
#include "support/temp_dir.h"

using trv::test::LogCapture;

namespace {

using trv::test::readFile;
} // namespace

TEST(Log, ApplicationCallbackReceivesWholeLinesAtOrAboveTheLevel) {
    LogCapture::install();
    LogStream(TRV_LOG_TRACE, "Tarvonel") << "before any instance";
    setLogLevel(TRV_LOG_INFO);
    LogStream(TRV_LOG_DEBUG, "Tarvonel") << "dropped";
    LogStream(TRV_LOG_INFO, "Tarvonel") << "Command: connect(" << 3 << ", " << 12345678u << ")";
    LogStream(TRV_LOG_WARNING, "ExperimentalTarvonelSDK") << 0.5f << ' ' << 1e-05 << ' ' << true;
    LogStream(TRV_LOG_OFF, "Handler"); // an empty line still arrives
    { LogStream line(TRV_LOG_ERROR, "HidCom"); line << "a" << "b" << std::endl; }
    // The engine's lines lose their location and are tagged LumetraCore.
    lmc::lmc_log_level_set(lmc::kLogWarning);
    lmc::lmc_log_callback_set(&lumetraLogHook);
    LMC_LOG(lmc::kLogInfo, "lmc", "info %d", 1);
    LMC_LOG(lmc::kLogWarning, "pattern", "bad value %s at %d", "x", 7);
    const auto lines = LogCapture::take();
    std::vector<std::tuple<int, std::string, std::string>> got;
    for (const auto& l : lines) got.emplace_back(l.level, l.tag, l.text);
    EXPECT_EQ(got, (std::vector<std::tuple<int, std::string, std::string>>{
                       {TRV_LOG_TRACE, "Tarvonel", "before any instance"},
                       {TRV_LOG_INFO, "Tarvonel", "Command: connect(3, 12345678)"},
                       {TRV_LOG_WARNING, "ExperimentalTarvonelSDK", "0.5 1e-05 1"},
                       {TRV_LOG_OFF, "Handler", ""},
                       {TRV_LOG_ERROR, "HidCom", "ab\n"},
                       {lmc::kLogWarning, "LumetraCore", "bad value x at 7"}}));

    setApplicationLogCallback(nullptr);
    LogStream(TRV_LOG_ERROR, "Tarvonel") << "silenced";
    lumetraLogHook(TRV_LOG_ERROR, "lmc:1", "silenced too");
    EXPECT_TRUE(LogCapture::take().empty());
}

TEST(Log, ThrowingCallbackDropsTheLineAndNothingEscapes) {
    setApplicationLogCallback([](trv_log_level_t, const char*, const char*) { throw std::runtime_error("bug"); });
    EXPECT_NO_THROW(LogStream(TRV_LOG_ERROR, "Tarvonel") << "thrown away");
    EXPECT_NO_THROW(lumetraLogHook(TRV_LOG_ERROR, "lmc:1", "thrown away"));
}

TEST(Log, EveryLineArrivesOnceAndWholeWhileTheCallbackIsSwapped) {
    static std::atomic<int> counts[2];
    static std::atomic<int> broken{0};
    counts[0] = counts[1] = broken = 0; // as a repeated run left them
    static constexpr auto check = [](const char* m) {
        const std::string text(m);
        if (text.size() != 40 || text.find_first_not_of(text[0]) != std::string::npos) ++broken;
    };
    const trv_log_callback_t callbacks[2] = {[](trv_log_level_t, const char*, const char* m) { ++counts[0]; check(m); },
                                             [](trv_log_level_t, const char*, const char* m) { ++counts[1]; check(m); }};
    setApplicationLogCallback(callbacks[0]);
    setLogLevel(TRV_LOG_INFO);
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 5000;
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (int i = 0; !stop.load(); ++i) {
            setApplicationLogCallback(callbacks[i % 2]);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            const std::string half(20, static_cast<char>('a' + t));
            for (int i = 0; i < kLinesPerThread; ++i) LogStream(TRV_LOG_INFO, "Sequencer") << half << half;
        });
    for (auto& w : writers) w.join();
    stop = true;
    swapper.join();
    EXPECT_EQ(counts[0] + counts[1], kThreads * kLinesPerThread);
    EXPECT_EQ(broken.load(), 0);
}

TEST(Log, FileLoggerRotatesOnOpenClampsLevelsAndASecondCreationFails) {
    trv::test::TempDir dir;
    const auto path = dir.path() / "logs" / "TarvonelSDK.log";
    std::filesystem::create_directories(path.parent_path());
    { std::ofstream(path) << "previous run\n"; }

    setLogLevel(TRV_LOG_INFO);
    initLogger(path.string());
    LogStream(TRV_LOG_INFO, "Tarvonel") << "Command: getSDKVersion()";
    LogStream(TRV_LOG_DEBUG, "Tarvonel") << "below the level";
    EXPECT_NO_THROW(defaultLogCallback(1000, "Tarvonel", "huge level"));
    EXPECT_NO_THROW(defaultLogCallback(-5, "Tarvonel", "negative level")); // trace, below info

    testing::internal::CaptureStdout();
    initLogger((dir.path() / "other.log").string());
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("Log initialization failed: ", 0), 0u) << printed;
    LogStream(TRV_LOG_WARNING, "HidCom") << "second instance line";
    spdlog::get("TarvonelSDK")->flush();

    EXPECT_EQ(readFile(dir.path() / "logs" / "TarvonelSDK.1.log"), "previous run\n");
    const std::string text = readFile(path);
    for (const char* wanted : {"[TarvonelSDK]", "[Tarvonel] Command: getSDKVersion()", "[HidCom] second instance line",
                               "huge level"})
        EXPECT_NE(text.find(wanted), std::string::npos) << wanted << " in " << text;
    EXPECT_EQ(text.find("below the level"), std::string::npos);
    EXPECT_EQ(text.find("negative level"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "other.log"));
}

TEST(Log, WithoutAFileLoggerOrWithAnApplicationCallbackNoFileIsMade) {
    trv::test::TempDir dir;
    std::filesystem::current_path(dir.path());
    LogStream(TRV_LOG_ERROR, "Tarvonel") << "nowhere to go";
    defaultLogCallback(99, "Tarvonel", "out-of-range level is clamped");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "TarvonelLogs"));
    LogCapture::install();
    initLogger((dir.path() / "TarvonelLogs" / "TarvonelSDK.log").string());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "TarvonelLogs"));
    EXPECT_EQ(spdlog::get("TarvonelSDK"), nullptr);
}
