// The spn validator against a corpus: every file tests/lumetra-core/spn/X.spn
// sits beside X.expected, which holds the verdict, the boost, maxSimultaneous
// and every logged message in order ("log <location> <message>"; "{text}"
// stands for the whole spn text).
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine_test_util.h"
#include "lumetra-core/src/pattern.h"
#include "lumetra-core/src/spn_values.h"
#include "support/temp_dir.h"

namespace {

using trv::test::readFile;

namespace fs = std::filesystem;

// The engine's lines, each as "<location> <message>".
class PatternLog : public ::testing::Test {
protected:
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& line : log.lines()) out.push_back(line.location + " " + line.message);
        return out;
    }
    enginetest::LogCapture log{lmc::kLogInfo};
};

std::vector<std::string> corpusNames() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(TRV_SPN_CORPUS_DIR))
        if (entry.path().extension() == ".spn") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct Expected {
    bool valid = false;
    double boost = 0.0;
    int32_t maxSimultaneous = 0;
    std::vector<std::string> messages;
};

Expected readExpected(const fs::path& path, const std::string& spn) {
    Expected expected;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("valid ", 0) == 0) {
            expected.valid = line.substr(6) == "true";
        } else if (line.rfind("boost ", 0) == 0) {
            expected.boost = std::stod(line.substr(6));
        } else if (line.rfind("maxSimultaneous ", 0) == 0) {
            expected.maxSimultaneous = std::stoi(line.substr(16));
        } else if (line.rfind("log ", 0) == 0) {
            std::string message = line.substr(4);
            const auto at = message.find("{text}");
            if (at != std::string::npos) message.replace(at, 6, spn);
            expected.messages.push_back(message);
        } else if (!line.empty()) {
            ADD_FAILURE() << path << ": unreadable line " << line;
        }
    }
    return expected;
}

class SpnCorpus : public PatternLog, public ::testing::WithParamInterface<std::string> {};

TEST_P(SpnCorpus, VerdictMessagesAndMaxSimultaneous) {
    const fs::path dir(TRV_SPN_CORPUS_DIR);
    const std::string spn = readFile(dir / (GetParam() + ".spn"));
    const Expected expected = readExpected(dir / (GetParam() + ".expected"), spn);

    const lmc::Pattern pattern(spn.c_str());

    EXPECT_EQ(pattern.valid(), expected.valid);
    EXPECT_EQ(GetParam().rfind(expected.valid ? "valid_" : "invalid_", 0), 0u)
        << "file name and verdict disagree";
    EXPECT_NEAR(pattern.boost(), expected.boost, std::fabs(expected.boost) * 1e-15);
    EXPECT_EQ(pattern.maxSimultaneous(), expected.maxSimultaneous);
    for (const auto& line : log.lines()) EXPECT_EQ(line.level, lmc::kLogError) << line.message;
    EXPECT_EQ(texts(), expected.messages);
    if (pattern.valid()) {
        ASSERT_TRUE(pattern.root().is_object());
        EXPECT_TRUE(pattern.root().at("patternBoost").is_number());
    }
}

INSTANTIATE_TEST_SUITE_P(Files, SpnCorpus, ::testing::ValuesIn(corpusNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

TEST_F(PatternLog, MissingBoostIsAddedAsIntegerZero) {
    const char* base = R"({"duration": 1, "tracks": [{"volume": 100, "samples": [{
        "maxDuration": 1, "postDelay": 0, "preDelay": 0, "repeatCount": 1, "repeatSpat": false,
        "signalIndex": 0, "spatKeyframes": [{"timestamp": 0, "weights": [100]}], "speed": 1,
        "startCrop": 0, "stopCrop": 1, "timestamp": 0, "volumeKeyframes": []}]}]})";
    const lmc::Pattern pattern(base);
    ASSERT_TRUE(pattern.valid());
    EXPECT_EQ(pattern.root().at("patternBoost").type(), nlohmann::json::value_t::number_integer);
    EXPECT_EQ(pattern.root().at("patternBoost").get<int64_t>(), 0);
    EXPECT_EQ(pattern.boost(), 0.0);

    // The root keeps the text even when a rule fails.
    const lmc::Pattern nullRoot("null");
    EXPECT_FALSE(nullRoot.valid());
    EXPECT_EQ(nullRoot.root(), nlohmann::json({{"patternBoost", 0}}));
    EXPECT_EQ(nullRoot.boost(), 0.0);
    EXPECT_EQ(nullRoot.maxSimultaneous(), 0);
}

TEST_F(PatternLog, NullTextIsInvalidJson) {
    const lmc::Pattern pattern(nullptr);
    EXPECT_FALSE(pattern.valid());
    EXPECT_EQ(texts(), std::vector<std::string>{"pattern:112 Invalid json format: "});
}

TEST_F(PatternLog, FieldCheckerOrderAndSilence) {
    using Kind = nlohmann::json::value_t;
    const lmc::FieldSpec specs[] = {{"a", Kind::number_float, true}, {"b", Kind::boolean}};
    EXPECT_TRUE(lmc::checkFields(specs, nlohmann::json::parse(R"({"a": 0, "b": true})"), false));
    EXPECT_FALSE(lmc::checkFields(specs, nlohmann::json::parse(R"({"b": 1})"), true));
    EXPECT_FALSE(lmc::checkFields(specs, nlohmann::json::parse("[]"), true));
    EXPECT_TRUE(texts().empty()) << "silent checks log nothing";
    EXPECT_FALSE(lmc::checkFields(specs, nlohmann::json::parse(R"({"a": -1e-300})"), false));
    EXPECT_EQ(texts(), std::vector<std::string>{
                           "pattern:78 Invalid field type: 'a' is expected to be of type 'positive float'."});

    EXPECT_TRUE(lmc::checkNumberRange(nlohmann::json::parse("[]"), 0, 1));
    EXPECT_TRUE(lmc::checkNumberRange(nlohmann::json::parse("[0, 1, 0.5]"), 0, 1));
    EXPECT_FALSE(lmc::checkNumberRange(nlohmann::json::parse("[0, 1.0000001]"), 0, 1));
    EXPECT_FALSE(lmc::checkNumberRange(nlohmann::json::parse("[true]"), 0, 1));
    EXPECT_FALSE(lmc::checkNumberRange(nlohmann::json::parse("{}"), 0, 1));
}

TEST(SpnValues, RepeatCountSaturatesInsteadOfWrapping) {
    auto count = [](const char* literal) {
        return lmc::spnRepeatCount(
            nlohmann::json::parse(std::string(R"({"repeatCount": )") + literal + "}"));
    };
    constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
    EXPECT_EQ(count("0"), 0u);
    EXPECT_EQ(count("3"), 3u);
    EXPECT_EQ(count("4294967295"), kMax);
    EXPECT_EQ(count("4294967296"), kMax); // would wrap to 0, which is endless
    EXPECT_EQ(count("18446744073709551615"), kMax);
    EXPECT_EQ(count("2.9"), 2u);
    EXPECT_EQ(count("1e300"), kMax);
    EXPECT_EQ(count("-4"), 0u);
    EXPECT_EQ(count("\"7\""), 0u);
    EXPECT_EQ(lmc::spnRepeatCount(nlohmann::json::parse("[]")), 0u);
}

TEST(SpnValues, FloatNarrowingAtTheEdges) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(lmc::narrowToFloat(0.1), 0.1f);
    EXPECT_EQ(lmc::narrowToFloat(static_cast<double>(FLT_MAX)), FLT_MAX);
    EXPECT_EQ(lmc::narrowToFloat(static_cast<double>(FLT_MAX) + 0x1p102), FLT_MAX);
    EXPECT_EQ(lmc::narrowToFloat(static_cast<double>(FLT_MAX) + 0x1p103), kInf);
    EXPECT_EQ(lmc::narrowToFloat(-1e300), -kInf);
    EXPECT_EQ(lmc::saturateToFloat(1e300), FLT_MAX);
    EXPECT_EQ(lmc::saturateToFloat(-1e300), -FLT_MAX);
    EXPECT_EQ(lmc::saturateToFloat(std::nan("")), 0.0f);
    EXPECT_EQ(lmc::jsonFloat(nlohmann::json::parse("1e39")), kInf);
    EXPECT_EQ(lmc::jsonFloatSaturated(nlohmann::json::parse("1e39")), FLT_MAX);
    EXPECT_EQ(lmc::jsonFloat(nlohmann::json::parse("16777217")), 16777216.0f);
    EXPECT_EQ(lmc::jsonFloat(nlohmann::json::parse("\"1\"")), 0.0f);
}

} // namespace
