// The flood limit of network-caused log lines, on a manual clock.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/log_throttle.h"
#include "sdk/log.h"
#include "support/log_capture.h"
#include "trv_types.h"

namespace {

using namespace std::chrono_literals;

enum class Op { Event, Flush, FlushAll };

struct Step {
    int atMs;
    Op op;
    int32_t code = 0;       // of an event
    bool admitted = false;  // of an event
    std::vector<std::string> lines{}; // the count lines the step writes
};

struct ThrottleCase {
    const char* name;
    std::vector<Step> steps;
    bool named = false; // the count lines name their code
};
void PrintTo(const ThrottleCase& c, std::ostream* out) { *out << c.name; }

void nameCode(LogStream& line, int32_t code) noexcept { line << "of code " << code; }

class LogThrottleTable : public ::testing::TestWithParam<ThrottleCase> {};

TEST_P(LogThrottleTable, WritesEachCodesFirstAndItsCountWhenTheSecondEnds) {
    trv::test::captureLogs();
    LogThrottle throttle(GetParam().named ? LogCountLine{TRV_LOG_ERROR, "Test", "", " more errors ", &nameCode, "."}
                                          : LogCountLine{TRV_LOG_ERROR, "Test", "", " more errors."});
    const auto start = LogThrottle::Clock::time_point{} + 1h;
    for (const Step& step : GetParam().steps) {
        const auto now = start + std::chrono::milliseconds(step.atMs);
        if (step.op == Op::Event) {
            EXPECT_EQ(throttle.admitLines(step.code, now), step.admitted) << "at " << step.atMs;
        }
        if (step.op == Op::Flush) throttle.flush(now);
        if (step.op == Op::FlushAll) throttle.flushAll();
        std::vector<std::string> lines;
        for (const auto& line : trv::test::takeLogs()) lines.push_back(line.text);
        EXPECT_EQ(lines, step.lines) << "at " << step.atMs;
    }
}

INSTANTIATE_TEST_SUITE_P(
    , LogThrottleTable,
    ::testing::Values(
        ThrottleCase{"EachCodeFirst",
                     {{0, Op::Event, -7, true}, {300, Op::Event, -4, true}, {500, Op::Event, -7, false},
                      {600, Op::Event, -4, false}, {700, Op::Event, -1, true}}},
        ThrottleCase{"CountWhenTheWindowEnds",
                     {{0, Op::Event, -7, true}, {300, Op::Event, -7, false}, {400, Op::Event, -7, false},
                      {999, Op::Flush}, {1000, Op::Flush, 0, false, {"2 more errors."}}, {1001, Op::Flush},
                      {1100, Op::Event, -7, true}}},
        ThrottleCase{"EachCodesCountAtItsWindowsEnd",
                     {{0, Op::Event, -7, true}, {100, Op::Event, -7, false}, {500, Op::Event, -4, true},
                      {600, Op::Event, -4, false}, {1200, Op::Flush, 0, false, {"1 more errors."}},
                      {1400, Op::Flush}, {1500, Op::Flush, 0, false, {"1 more errors."}}}},
        ThrottleCase{"NextEventBeforeTheFlushTellsTheCount",
                     {{0, Op::Event, 3, true}, {100, Op::Event, 3, false},
                      {1100, Op::Event, 3, true, {"1 more errors."}}, {2200, Op::Flush}}},
        ThrottleCase{"FlushAllWhateverTheWindow",
                     {{0, Op::Event, 3, true}, {100, Op::Event, 3, false},
                      {200, Op::FlushAll, 0, false, {"1 more errors."}}, {300, Op::Event, 3, false},
                      {400, Op::FlushAll, 0, false, {"1 more errors."}}, {500, Op::FlushAll}}},
        // Eight codes are told apart; the ninth and later share one entry.
        ThrottleCase{"CodesBeyondTheTableShareOneEntry",
                     {{0, Op::Event, 1, true}, {0, Op::Event, 2, true}, {0, Op::Event, 3, true},
                      {0, Op::Event, 4, true}, {0, Op::Event, 5, true}, {0, Op::Event, 6, true},
                      {0, Op::Event, 7, true}, {0, Op::Event, 8, true}, {0, Op::Event, 9, true},
                      {100, Op::Event, 10, false}, {200, Op::Event, 8, false}, {300, Op::Event, 11, false},
                      {1000, Op::Flush, 0, false, {"1 more errors.", "2 more errors."}}}},
        ThrottleCase{"EachCodesCountNamesIt",
                     {{0, Op::Event, -7, true}, {100, Op::Event, -7, false}, {200, Op::Event, -4, true},
                      {300, Op::Event, -4, false}, {1100, Op::Event, -7, true, {"1 more errors of code -7."}},
                      {1200, Op::Flush, 0, false, {"1 more errors of code -4."}}},
                     true},
        ThrottleCase{"CodesBeyondTheTableAreCountedAsOthers",
                     {{0, Op::Event, 1, true}, {0, Op::Event, 2, true}, {0, Op::Event, 3, true},
                      {0, Op::Event, 4, true}, {0, Op::Event, 5, true}, {0, Op::Event, 6, true},
                      {0, Op::Event, 7, true}, {0, Op::Event, 8, true}, {0, Op::Event, 9, true},
                      {100, Op::Event, 8, false}, {200, Op::Event, 10, false},
                      {300, Op::FlushAll, 0, false, {"1 more errors of code 8.", "1 more errors of other codes."}}},
                     true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
