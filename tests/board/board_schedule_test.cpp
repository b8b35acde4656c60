// Effect timing, slot scheduling and the mute budget on a pure model: the
// schedule and its effects drive a recording board on a test clock.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <sstream>

#include "board/slot_schedule.h"
#include "support/log_capture.h"

namespace {

using board::Sequence;
using board::SlotSchedule;

// The effect properties these tests vary, with the public defaults.
struct Props {
    int32_t priority = 5;
    float speed = 1;
    int32_t repeatCount = 1;
    float repeatDelay = 0;
    float playAtTime = 0;
    float maxDuration = 0;
    int32_t effectBoost = 0;
    float height = 0;
    float heading = 0;
    operator trv_effect_properties_t() const {
        trv_effect_properties_t p;
        p.priority = priority;
        p.speed = speed;
        p.repeatCount = repeatCount;
        p.repeatDelay = repeatDelay;
        p.playAtTime = playAtTime;
        p.maxDuration = maxDuration;
        p.effectBoost = effectBoost;
        p.height = height;
        p.heading = heading;
        return p;
    }
};

// A board that hands out the lowest free slot; a sample ends after its
// maxDuration divided by its speed (on the test clock), when tick() runs.
class ModelBoard final : public board::BoardPort {
public:
    struct Upload {
        double seconds;
        int signal;
        int slot;
        bool muted;
    };

    int32_t sendSample(board::SampleMessage& m) override {
        float length, speed, offset;
        std::memcpy(&length, &m[8], 4);
        std::memcpy(&speed, &m[20], 4);
        std::memcpy(&offset, &m[24], 4);
        for (int k = 0; k < 20; ++k) {
            if (ends[k] >= 0) continue;
            ends[k] = now() + lengthScale * length / speed - offset;
            uploads.push_back({now(), m[3], k, (m[6] & 1) != 0});
            return k;
        }
        return TRV_ERROR_NO_AVAILABLE_SLOT;
    }
    void stopSlot(int32_t slot, float fade) override {
        stops.emplace_back(slot, fade);
        if (fade <= 0) ends[slot] = -1;
    }
    void setMuteStatus(uint32_t mask) override { mutes.push_back(mask); }
    int32_t globalIntensityBoost() override { return 0; }
    void discardPattern(int32_t) override {}
    std::shared_ptr<Sequence> findEffect(int32_t id) override {
        auto found = effects.find(id);
        return found == effects.end() ? nullptr : found->second;
    }
    void forgetEffect(int32_t id) override { effects.erase(id); }
    const board::BoardClock& clock() const override { return clk; }

    double now() const { return static_cast<double>(clk.nowNanos() - kStart) / 1e9; }
    // The board's side of one step of time: samples that ran out free their slot.
    void tick(SlotSchedule& schedule) {
        board::BoardStatus status;
        for (int k = 0; k < 20; ++k) {
            if (ends[k] >= 0 && ends[k] <= now() + 1e-9) ends[k] = -1;
            if (ends[k] >= 0) status.reserved |= 1u << k;
        }
        status.muted = schedule.desiredMuteMask() & board::kSlotMask;
        schedule.setReportedStatus(status);
    }

    std::shared_ptr<Sequence> play(SlotSchedule& schedule, const std::shared_ptr<board::Pattern>& pattern,
                                   Props properties = {}) {
        auto s = Sequence::create(&schedule, pattern, properties);
        s->setID(nextId);
        effects[nextId++] = s;
        return s;
    }

    static constexpr uint64_t kStart = 1'000'000'000;
    board::ManualBoardClock clk{kStart};
    std::array<double, 20> ends = filled();
    std::vector<Upload> uploads;
    std::vector<std::pair<int, float>> stops;
    std::vector<uint32_t> mutes;
    std::map<int32_t, std::shared_ptr<Sequence>> effects;
    int32_t nextId = 0;
    double lengthScale = 1; // the board plays samples this much longer than they say

private:
    static std::array<double, 20> filled() {
        std::array<double, 20> a;
        a.fill(-1);
        return a;
    }
};

// `tracks` tracks, each with samples at the given starts (signal 10 + index).
std::shared_ptr<board::Pattern> patternOf(int tracks, std::vector<double> starts, double length = 0.2,
                                          double duration = 1.0) {
    std::ostringstream s;
    s << R"({"duration": )" << duration << R"(, "tracks": [)";
    for (int t = 0; t < tracks; ++t) {
        s << (t ? "," : "") << R"({"volume": 100, "samples": [)";
        for (std::size_t i = 0; i < starts.size(); ++i)
            s << (i ? "," : "") << R"({"timestamp": )" << starts[i] << R"(, "signalIndex": )" << 10 + i
              << R"(, "speed": 1, "repeatCount": 1, "preDelay": 0, "postDelay": 0, "maxDuration": )" << length
              << R"(, "repeatSpat": false, "startCrop": 0, "stopCrop": 0,
                 "spatKeyframes": [{"timestamp": 0, "weights": [50]}], "volumeKeyframes": []})";
        s << "]}";
    }
    s << "]}";
    int32_t error = 0;
    auto pattern = board::Pattern::create(s.str(), error);
    EXPECT_TRUE(pattern) << s.str();
    return pattern;
}

class Schedule : public ::testing::Test {
protected:
    void SetUp() override { trv::test::captureLogs(); }
    // Steps the model by `step` seconds until `seconds` have passed.
    void run(double seconds, double step = 0.01) {
        for (double t = 0; t < seconds - 1e-9; t += step) {
            board.clk.advanceSeconds(step);
            board.tick(schedule);
            schedule.checkFreeSlots();
            schedule.updateEffects();
        }
    }
    ModelBoard board;
    SlotSchedule schedule{board};
};

struct Budget {
    std::vector<int> slotCounts; // played in this order, equal priority
    int audibleUnits;
    std::size_t scheduled;
};

class MuteBudget : public Schedule, public ::testing::WithParamInterface<Budget> {};

TEST_P(MuteBudget, LeadingTenSlotUnitsAreAudible) {
    std::vector<std::shared_ptr<Sequence>> fresh;
    for (int n : GetParam().slotCounts) fresh.push_back(board.play(schedule, patternOf(n, {0})));
    schedule.addEffects(fresh);
    schedule.updateEffects();
    EXPECT_EQ(schedule.activeList().size(), GetParam().scheduled);
    EXPECT_EQ(board.effects.size(), GetParam().scheduled) << "evicted effects are forgotten";
    const uint32_t audible = (1u << GetParam().audibleUnits) - 1;
    EXPECT_EQ(schedule.desiredMuteMask() & board::kSlotMask, board::kSlotMask & ~audible);
    for (const auto& u : board.uploads) EXPECT_EQ(u.muted, ((audible >> u.slot) & 1u) == 0) << u.slot;
}

INSTANTIATE_TEST_SUITE_P(Board, MuteBudget,
                         ::testing::Values(Budget{{5, 5, 1}, 6, 3}, Budget{{3, 3, 3, 2}, 8, 4},
                                           Budget{{5, 5, 5, 5, 5}, 10, 4}, Budget{{1}, 1, 1}));

TEST_F(Schedule, MoreImportantEffectGoesFirstAndMutesTheRest) {
    auto low = board.play(schedule, patternOf(5, {0}), {.priority = 9});
    auto mid = board.play(schedule, patternOf(5, {0}), {.priority = 5});
    schedule.addEffects({low, mid});
    EXPECT_EQ(low->getState(), 2);
    auto top = board.play(schedule, patternOf(2, {0}), {.priority = 1});
    schedule.addEffects({top});
    schedule.updateEffects();
    EXPECT_EQ(schedule.activeList().front(), top);
    EXPECT_EQ(top->getState(), 2);
    EXPECT_EQ(mid->getState(), 2);
    EXPECT_EQ(low->getState(), 1) << "pushed beyond 10 slot-units";
}

TEST_F(Schedule, FreedSlotLetsTheNextSampleGo) {
    board.lengthScale = 2;
    auto effect = board.play(schedule, patternOf(1, {0, 0.25}, 0.2));
    schedule.addEffects({effect});
    run(0.35);
    ASSERT_EQ(board.uploads.size(), 1u) << "the second sample waits for the first's slot";
    run(0.1);
    ASSERT_EQ(board.uploads.size(), 2u);
    EXPECT_NEAR(board.uploads[1].seconds, 0.4, 0.011);
    EXPECT_EQ(board.uploads[1].signal, 11);
}

TEST_F(Schedule, BoardReportingTheDesiredMutesGetsNoMoreMuteCommands) {
    auto effect = board.play(schedule, patternOf(1, {0}));
    schedule.addEffects({effect});
    board::BoardStatus status;
    status.reserved = 1;
    status.muted = schedule.desiredMuteMask() & board::kSlotMask; // slots 10..19 muted, 0 not
    schedule.setReportedStatus(status);
    board.mutes.clear();
    schedule.synchroniseMute();
    EXPECT_TRUE(board.mutes.empty());
    status.muted |= 1; // the board muted slot 0 by itself
    schedule.setReportedStatus(status);
    schedule.synchroniseMute();
    EXPECT_EQ(board.mutes.size(), 1u);
}

TEST_F(Schedule, StraySlotIsStoppedOnceUntilTheBoardReportsItFree) {
    board::BoardStatus held;
    held.reserved = 1u << 5; // a slot the host never asked for
    for (int i = 0; i < 10; ++i) {
        schedule.setReportedStatus(held);
        schedule.checkFreeSlots();
    }
    EXPECT_EQ(board.stops.size(), 1u) << "one StopSlot while the board keeps reporting it held";
    schedule.setReportedStatus({});
    schedule.checkFreeSlots();
    schedule.setReportedStatus(held);
    schedule.checkFreeSlots();
    EXPECT_EQ(board.stops.size(), 2u) << "held again after it was free";
    // Held and free by turns on every slot: no more than a second's budget.
    for (int i = 0; i < 10; ++i) {
        schedule.setReportedStatus(board::BoardStatus{board::kSlotMask, 0});
        schedule.checkFreeSlots();
        schedule.setReportedStatus({});
        schedule.checkFreeSlots();
    }
    EXPECT_EQ(board.stops.size(), static_cast<std::size_t>(board::kStrayStopsPerSecond));
    board.clk.advanceSeconds(1.0);
    schedule.setReportedStatus(board::BoardStatus{board::kSlotMask, 0});
    schedule.checkFreeSlots();
    EXPECT_EQ(board.stops.size(), 2u * board::kStrayStopsPerSecond) << "a second later";
}

TEST_F(Schedule, FadingEffectWithoutASlotEnds) {
    auto effect = board.play(schedule, patternOf(1, {0.5}));
    schedule.addEffects({effect});
    schedule.stopEffects({{effect, 0.3f}});
    run(0.4);
    EXPECT_EQ(effect->getState(), -1);
    EXPECT_TRUE(board.effects.empty());
    EXPECT_TRUE(board.uploads.empty());
}

TEST_F(Schedule, FadeSendsDueSamplesAtTheFadedGainWithTheRemainingFade) {
    auto effect = board.play(schedule, patternOf(1, {0, 0.3}, 0.25));
    schedule.addEffects({effect});
    schedule.stopEffects({{effect, 0.5f}});
    ASSERT_EQ(board.stops.size(), 1u);
    EXPECT_EQ(board.stops[0].second, 0.5f);
    run(0.32);
    ASSERT_EQ(board.uploads.size(), 2u);
    ASSERT_EQ(board.stops.size(), 2u);
    EXPECT_NEAR(board.stops[1].second, 0.2f, 0.011);
}

TEST(BoardSequence, StartPositionsFarAwayOrWithoutPeriodReturnAtOnce) {
    ModelBoard model;
    SlotSchedule schedule(model);
    auto pattern = patternOf(1, {0}, 0.2, 2.0);
    auto far = Sequence::create(&schedule, pattern, Props{.repeatCount = 0, .playAtTime = 1e30f});
    EXPECT_EQ(far->getState(), 0);
    EXPECT_GE(far->position(), 0.0f);
    EXPECT_LE(far->position(), 2.0f);
    auto noPeriod = Sequence::create(&schedule, pattern, Props{.repeatCount = 0, .repeatDelay = -2.0f, .playAtTime = 5});
    EXPECT_EQ(noPeriod->getState(), 0);
    auto skipped = Sequence::create(&schedule, pattern, Props{.repeatCount = 3, .repeatDelay = 0.5f, .playAtTime = 5.5f});
    EXPECT_EQ(skipped->position(), 0.5f);
    EXPECT_EQ(skipped->repeatCount(), 1);
    auto refused = Sequence::create(&schedule, pattern, Props{.repeatCount = 3, .repeatDelay = 0.5f, .playAtTime = 7});
    EXPECT_EQ(refused->getState(), -1);
}

TEST(BoardSequence, PropertiesBecomeBoardUnits) {
    ModelBoard model;
    SlotSchedule schedule(model);
    auto pattern = patternOf(1, {0});
    auto s = Sequence::create(&schedule, pattern, Props{.effectBoost = 50, .height = 1, .heading = 90});
    EXPECT_EQ(s->effectBoost(), 10);
    EXPECT_EQ(s->spatial().height, 0.24f);
    EXPECT_EQ(s->spatial().heading, 1.5707964f);
    EXPECT_EQ(Sequence::create(&schedule, pattern, Props{.effectBoost = -100})->effectBoost(), -100);
}

struct Timeline {
    const char* name;
    Props properties;
    std::vector<double> sends; // seconds after play
};

class SampleTimeline : public Schedule, public ::testing::WithParamInterface<Timeline> {};

TEST_P(SampleTimeline, SamplesGoOutWhenDue) {
    // Samples at 0 and 0.5 s of a 1 s pattern, 0.2 s each.
    auto effect = board.play(schedule, patternOf(1, {0, 0.5}, 0.2), GetParam().properties);
    schedule.addEffects({effect});
    run(3.0, 0.005);
    ASSERT_EQ(board.uploads.size(), GetParam().sends.size());
    for (std::size_t i = 0; i < board.uploads.size(); ++i)
        EXPECT_NEAR(board.uploads[i].seconds, GetParam().sends[i], 0.006) << i;
    EXPECT_EQ(effect->getState(), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Board, SampleTimeline,
    ::testing::Values(
        Timeline{"once", {}, {0, 0.5}},
        Timeline{"twice at double speed with a delay", {.speed = 2, .repeatCount = 2, .repeatDelay = 0.5f},
                 {0, 0.25, 0.85, 1.1}},
        Timeline{"from 0.6 s", {.repeatCount = 2, .playAtTime = 0.6f}, {0, 0.1, 0.6}},
        Timeline{"cut at 1.0 s", {.repeatCount = 3, .repeatDelay = 0.2f, .maxDuration = 1.0f}, {0, 0.5, 0.9}}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

} // namespace
