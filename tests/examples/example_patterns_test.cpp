// The patterns shipped with the examples: valid spn, and their vicinities
// really travel over the vest, as the demo means to show.
#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lumetra-core/src/layout.h"
#include "lumetra-core/src/pattern.h"
#include "lumetra-core/src/spatialization.h"
#include "lumetra-core/src/transform.h"
#include "support/temp_dir.h"

namespace {

constexpr std::size_t kActuators = 20;
constexpr double kStepSeconds = 0.05;

using trv::test::readFile;

// The strongest actuator of a sample at each step of its play time.
std::vector<std::size_t> strongestOverTime(const nlohmann::json& sample, double seconds,
                                           std::array<double, kActuators>& peaks) {
    lmc::LayoutTarvonelCapsule layout;
    lmc::Transform transform;
    lmc::Spatialization spatialization(sample);
    std::vector<std::size_t> strongest;
    for (double t = 0.0; t < seconds; t += kStepSeconds) {
        spatialization.computeWeights(layout, transform, t, 0.0);
        const auto weights = spatialization.weights();
        EXPECT_EQ(weights.size(), kActuators);
        for (std::size_t a = 0; a < kActuators && a < weights.size(); ++a) peaks[a] = std::max(peaks[a], weights[a]);
        strongest.push_back(static_cast<std::size_t>(std::max_element(weights.begin(), weights.end()) -
                                                     weights.begin()));
    }
    return strongest;
}

TEST(ExamplePatterns, AreValidSpn) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(TRV_EXAMPLE_PATTERN_DIR)) {
        if (entry.path().extension() != ".spn") continue;
        ++count;
        const std::string text = readFile(entry.path());
        const lmc::Pattern pattern(text.c_str());
        EXPECT_TRUE(pattern.valid()) << entry.path();
        EXPECT_GE(pattern.maxSimultaneous(), 1) << entry.path();
    }
    EXPECT_GE(count, 1);
}

TEST(ExamplePatterns, TheVestTourMovesRoundAndUpTheVestAndReachesEveryActuator) {
    const std::string text = readFile(std::filesystem::path(TRV_EXAMPLE_PATTERN_DIR) / "vest-tour.spn");
    const lmc::Pattern pattern(text.c_str());
    ASSERT_TRUE(pattern.valid());
    const auto& tracks = pattern.root()["tracks"];
    ASSERT_EQ(tracks.size(), 3u);
    std::array<double, kActuators> peaks{};

    // The orbit: the strongest actuator goes round the two middle rings
    // (one of each pair above the other, the pair standing at one azimuth).
    lmc::LayoutTarvonelCapsule layout;
    const auto& orbit = tracks[0]["samples"][0];
    const auto round = strongestOverTime(orbit, orbit["maxDuration"].get<double>(), peaks);
    std::set<long> azimuths;
    for (const auto a : round) {
        const auto& p = layout.positions()[a];
        EXPECT_NEAR(std::fabs(p.y), 0.06, 1e-9) << "actuator " << a << " is not on a middle ring";
        azimuths.insert(std::lround(std::atan2(p.z, p.x) * 180.0 / std::numbers::pi));
    }
    EXPECT_EQ(azimuths, (std::set<long>{-150, -90, -30, 30, 90, 150}));

    // The rise: the strongest actuator climbs the back, bottom to top.
    const auto& rise = tracks[1]["samples"][0];
    const auto climb = strongestOverTime(rise, rise["maxDuration"].get<double>(), peaks);
    ASSERT_FALSE(climb.empty());
    const auto heightOf = [&](std::size_t a) { return layout.positions()[a].y; };
    const auto backOf = [&](std::size_t a) { return layout.positions()[a].x < 0; };
    EXPECT_DOUBLE_EQ(heightOf(climb.front()), -0.18);
    EXPECT_DOUBLE_EQ(heightOf(climb.back()), 0.18);
    for (std::size_t i = 0; i < climb.size(); ++i) {
        EXPECT_TRUE(backOf(climb[i])) << "step " << i << ": actuator " << climb[i];
        if (i > 0) {
            EXPECT_GE(heightOf(climb[i]), heightOf(climb[i - 1])) << "step " << i;
        }
    }

    // The hits, the last one over the whole vest.
    for (const auto& hit : tracks[2]["samples"]) strongestOverTime(hit, hit["maxDuration"].get<double>(), peaks);
    for (std::size_t a = 0; a < kActuators; ++a) EXPECT_GE(peaks[a], 0.5) << "actuator " << a;
}

} // namespace
