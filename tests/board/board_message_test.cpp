// The upload message against golden messages written by an independent
// script (golden/sample_messages.py), and the pattern reader's refusals.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "board/board_commands.h"
#include "board/board_pattern.h"
#include "link/hid_frame.h"
#include "support/log_capture.h"

namespace {

using board::Pattern;
using nlohmann::json;

template <typename Bytes>
std::string hexOf(const Bytes& frame) {
    std::ostringstream out;
    for (uint8_t b : frame) out << std::hex << (b >> 4) << (b & 15);
    return out.str();
}

json goldenCases() {
    std::ifstream in(TRV_BOARD_GOLDEN);
    return json::parse(in);
}

class GoldenMessage : public ::testing::TestWithParam<int> {};

TEST_P(GoldenMessage, IsByteIdentical) {
    const json c = goldenCases().at(GetParam());
    SCOPED_TRACE(c.at("name").get<std::string>());
    int32_t error = 0;
    auto pattern = Pattern::create(c.at("spn").get<std::string>(), error);
    ASSERT_TRUE(pattern) << error;
    board::SpatialTransform t;
    t.height = c.at("height").get<float>();
    t.heading = c.at("heading").get<float>();
    t.tilt = c.at("tilt").get<float>();
    t.mirrorX = c.at("mirror")[0];
    t.mirrorY = c.at("mirror")[1];
    t.mirrorZ = c.at("mirror")[2];
    t.addMirroredX = c.at("add")[0];
    t.addMirroredY = c.at("add")[1];
    t.addMirroredZ = c.at("add")[2];
    board::SampleMessage m{};
    pattern->buildSampleMessage(0, 0, c.at("gain"), c.at("speed"), c.at("muted"), c.at("offset"), t,
                                c.at("globalBoost"), c.at("effectBoost"), c.at("usePatternBoost"), m);
    stampFrameCrc(m.data(), m.size());
    EXPECT_EQ(hexOf(m), c.at("hex").get<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Board, GoldenMessage, ::testing::Range(0, static_cast<int>(goldenCases().size())));

// StopSlot and SetMuteStatus against bytes written out by hand (CRC-16
// computed independently of the library).
struct CommandCase {
    const char* name;
    std::string built; // the library's frame, in hex
    const char* hex;
};

class GoldenCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(GoldenCommand, IsByteIdentical) { EXPECT_EQ(GetParam().built, GetParam().hex); }

INSTANTIATE_TEST_SUITE_P(
    Board, GoldenCommand,
    ::testing::Values(CommandCase{"stop_7_fade_50ms", hexOf(board::makeStopSlotFrame(7, 0.05f)), "02adde07cdcc4c3db5a4"},
                      CommandCase{"stop_19_no_fade", hexOf(board::makeStopSlotFrame(19, 0.0f)), "02adde1300000000025f"},
                      CommandCase{"stop_0_fade_1_5s", hexOf(board::makeStopSlotFrame(0, 1.5f)), "02adde000000c03f6264"},
                      CommandCase{"mute_all", hexOf(board::makeSetMuteStatusFrame(0xFFFFFFFF)), "06addeffffffda50"},
                      CommandCase{"mute_some", hexOf(board::makeSetMuteStatusFrame(0x000FFBFE)), "06addefefb0f3144"}),
    [](const auto& info) { return std::string(info.param.name); });

std::string sampleWith(const std::string& spat, const std::string& volume, double start = 0, double length = 0.5) {
    std::ostringstream s;
    s << R"({"timestamp": )" << start << R"(, "signalIndex": 1, "speed": 1, "repeatCount": 1, "preDelay": 0,
        "postDelay": 0, "maxDuration": )" << length << R"(, "repeatSpat": false, "startCrop": 0, "stopCrop": 0,
        "spatKeyframes": )" << spat << R"(, "volumeKeyframes": )" << volume << "}";
    return s.str();
}

std::string patternOf(const std::string& samples) {
    return R"({"duration": 2, "tracks": [{"volume": 100, "samples": [)" + samples + "]}]}";
}

std::string keys(int count, const char* body, double shift = 0) {
    std::ostringstream s;
    s << "[";
    for (int i = 0; i < count; ++i)
        s << (i ? ", " : "") << R"({"timestamp": )" << i * 0.01 + shift << ", " << body << "}";
    s << "]";
    return s.str();
}

struct Refusal {
    const char* name;
    std::string text;
    int32_t error;
    int32_t slotCount;
};

class PatternLoad : public ::testing::TestWithParam<Refusal> {};

TEST_P(PatternLoad, RefusesWhatNoMessageCanCarry) {
    trv::test::captureLogs();
    int32_t error = 0;
    auto pattern = Pattern::create(GetParam().text, error);
    EXPECT_EQ(error, GetParam().error);
    EXPECT_EQ(pattern != nullptr, GetParam().error == 0);
    if (pattern) {
        EXPECT_EQ(pattern->getSlotCount(), GetParam().slotCount);
    }
}

std::string overlapping(int count) {
    std::string tracks;
    for (int i = 0; i < count; ++i)
        tracks += std::string(i ? ", " : "") + R"({"volume": 100, "samples": [)" +
                  sampleWith(keys(1, R"("weights": [1])"), "[]", 0.1 * i, 1.0) + "]}";
    return R"({"duration": 2, "tracks": [)" + tracks + "]}";
}

INSTANTIATE_TEST_SUITE_P(
    Board, PatternLoad,
    ::testing::Values(
        Refusal{"twenty rows fit", patternOf(sampleWith(keys(10, R"("weights": [1])"), keys(10, R"("volume": 50)", 0.005))), 0, 1},
        Refusal{"twenty-one rows do not", patternOf(sampleWith(keys(11, R"("weights": [1])"), keys(10, R"("volume": 50)", 0.005))), -5, 0},
        Refusal{"five at once", overlapping(5), 0, 5},
        Refusal{"six at once", overlapping(6), -5, 0},
        Refusal{"not json", "{", -5, 0}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(BoardMessage, RowsPastTheRowCountKeepWhatAnEarlierMessageLeft) {
    int32_t error = 0;
    auto pattern = Pattern::create(
        patternOf(sampleWith(keys(5, R"("weights": [7, 7])"), "[]") + ", " +
                  sampleWith(keys(2, R"("weights": [9])"), "[]", 1.0)), error);
    ASSERT_TRUE(pattern);
    board::SampleMessage m{};
    pattern->buildSampleMessage(0, 0, 100, 1, false, 0, {}, 0, 0, true, m);
    const board::SampleMessage first = m;
    EXPECT_EQ(pattern->buildSampleMessage(0, 1, 100, 1, false, 0, {}, 0, 0, true, m), 38 + 24 * 2);
    EXPECT_EQ(m[7], 2);
    EXPECT_TRUE(std::equal(m.begin() + 36 + 48, m.begin() + 36 + 120, first.begin() + 36 + 48));
    EXPECT_FALSE(std::equal(m.begin() + 36, m.begin() + 84, first.begin() + 36));
}

TEST(BoardMessage, DegenerateVicinityWeighsNothingRatherThanGarbage) {
    // A scale of 0 puts actuators on the vicinity's plane at NaN distance.
    int32_t error = 0;
    auto pattern = Pattern::create(
        patternOf(sampleWith(R"([{"timestamp": 0, "vicinities": [{"position": [0, 0.06, 0.12],
            "orientation": [1, 0, 0, 0], "scale": [0, 0, 0], "amplitude": 100}]}])", "[]")), error);
    ASSERT_TRUE(pattern);
    board::SampleMessage m{};
    pattern->buildSampleMessage(0, 0, 100, 1, false, 0, {}, 0, 0, true, m);
    for (std::size_t a = 0; a < board::kActuatorCount; ++a) EXPECT_LE(m[40 + a], 100) << a;
}

TEST(BoardSpatial, DistributionIndexIsChecked) {
    trv::test::captureLogs();
    auto sphere = board::makeVicinitySphere({0, 0.06, 0.12}, {}, {0.1, 0.1, 0.1});
    float amplitude = -1;
    EXPECT_EQ(sphere->applyToDistribution(0, 150.0f), 0);
    EXPECT_EQ(sphere->getAmplitude(0, amplitude), 0);
    EXPECT_EQ(amplitude, 100.0f);
    EXPECT_EQ(sphere->getAmplitude(1, amplitude), -2);
    EXPECT_TRUE(trv::test::hasLog(trv::test::takeLogs(), "does not correspond to a valid weight distribution", 4));
}

} // namespace
