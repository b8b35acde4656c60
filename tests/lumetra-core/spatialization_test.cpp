// Spatial keyframes and vicinities on the vest's layout: interpolation,
// mirrors, moves, golden weights from an independent script, and no
// allocation while weights are computed.
#include <cfloat>
#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "alloc_counter.h" // counts this program's allocations
#include "lumetra-core/src/layout.h"
#include "lumetra-core/src/pattern.h"
#include "lumetra-core/src/spatialization.h"
#include "lumetra-core/src/vicinity.h"

namespace {

using json = nlohmann::json;
using lmc::Spatialization;
using lmc::Transform;

constexpr double kPi = 3.141592653589793;

json weightsSample(std::vector<std::pair<double, std::vector<double>>> keys, bool repeat = false) {
    json sample = {{"repeatSpat", repeat}, {"spatKeyframes", json::array()}};
    for (auto& [time, weights] : keys)
        sample["spatKeyframes"].push_back({{"timestamp", time}, {"weights", weights}});
    return sample;
}

json sphere(const lmc::Vec3& centre, double scale = 0.1, double amplitude = 100,
            std::vector<double> orientation = {1, 0, 0, 0}) {
    return {{"position", {centre.x, centre.y, centre.z}},
            {"orientation", orientation},
            {"scale", {scale, scale, scale}},
            {"amplitude", amplitude}};
}

json sphereSample(std::vector<json> vicinities) {
    return {{"repeatSpat", false},
            {"spatKeyframes", {{{"timestamp", 0}, {"vicinities", vicinities}}}}};
}

std::vector<double> weightsAt(Spatialization& spatialization, const Transform& transform,
                              double t, double boost = 0.0) {
    static const auto layout = lmc::makeLayout(1);
    spatialization.computeWeights(*layout, transform, t, boost);
    return {spatialization.weights().begin(), spatialization.weights().end()};
}

TEST(Spatialization, ExplicitWeightsPlusBoost) {
    Spatialization s(weightsSample({{0.0, {100, 0, 50}}}));
    Transform transform;
    transform.setMirrorX(1); // mirrors do not apply to explicit weights
    for (double t : {0.0, 0.3, 10.0}) {
        const std::vector<double> w = weightsAt(s, transform, t, 0.25);
        ASSERT_EQ(w.size(), 20u);
        EXPECT_DOUBLE_EQ(w[0], 1.25);
        EXPECT_DOUBLE_EQ(w[1], 0.25);
        EXPECT_DOUBLE_EQ(w[2], 0.75);
        for (std::size_t a = 3; a < 20; ++a) EXPECT_EQ(w[a], 0.25) << "rows beyond the weights";
    }
}

TEST(Spatialization, InterpolatesAndRepeats) {
    const json keys = weightsSample({{0.0, {0}}, {1.0, {100}}});
    Transform transform;
    Spatialization once(keys);
    EXPECT_DOUBLE_EQ(weightsAt(once, transform, 0.0)[0], 0.0);
    EXPECT_DOUBLE_EQ(weightsAt(once, transform, 0.25)[0], 0.25);
    EXPECT_DOUBLE_EQ(weightsAt(once, transform, 1.0)[0], 1.0);
    EXPECT_DOUBLE_EQ(weightsAt(once, transform, 1.25)[0], 1.0);
    EXPECT_DOUBLE_EQ(weightsAt(once, transform, 7.0)[0], 1.0);

    json looping = keys;
    looping["repeatSpat"] = true;
    Spatialization again(looping);
    EXPECT_DOUBLE_EQ(weightsAt(again, transform, 0.5)[0], 0.5);
    EXPECT_DOUBLE_EQ(weightsAt(again, transform, 1.25)[0], 0.25);
    EXPECT_DOUBLE_EQ(weightsAt(again, transform, 2.75)[0], 0.75);
    // Far ahead in one step: whole passes are skipped, not walked.
    EXPECT_NEAR(weightsAt(again, transform, 1e6 + 0.5)[0], 0.5, 1e-9);

    // Reset goes back to the first pass.
    again.reset();
    EXPECT_DOUBLE_EQ(weightsAt(again, transform, 0.5)[0], 0.5);

    // Keys after 0: before the first key its weights hold, in every pass (no
    // extrapolation out of the keys' range after a wrap).
    Spatialization late(weightsSample({{0.5, {100}}, {1.0, {0}}}, true));
    EXPECT_DOUBLE_EQ(weightsAt(late, transform, 0.2)[0], 1.0);
    EXPECT_DOUBLE_EQ(weightsAt(late, transform, 0.75)[0], 0.5);
    EXPECT_DOUBLE_EQ(weightsAt(late, transform, 1.25)[0], 1.0);
    EXPECT_DOUBLE_EQ(weightsAt(late, transform, 1.75)[0], 0.5);
}

// Spheres on actuators, mirrored and added: the golden weights below.
TEST(Spatialization, ZeroQuaternionAndTwoVicinities) {
    // A zero quaternion measures along the layout's own axes, like the identity.
    const lmc::Vec3 centre = lmc::kCapsulePositions[11];
    Spatialization zero(sphereSample({sphere(centre, 0.15, 100, {0, 0, 0, 0})}));
    Spatialization identity(sphereSample({sphere(centre, 0.15, 100, {1, 0, 0, 0})}));
    EXPECT_EQ(weightsAt(zero, Transform{}, 0.0), weightsAt(identity, Transform{}, 0.0));
    // One not of unit length turns as its unit one: a round sphere, whatever
    // its turn, weighs as the identity's.
    Spatialization half(sphereSample({sphere(centre, 0.15, 100, {0.5, 0.5, 0, 0})}));
    const std::vector<double> turned = weightsAt(half, Transform{}, 0.0);
    const std::vector<double> straight = weightsAt(identity, Transform{}, 0.0);
    for (std::size_t a = 0; a < 20; ++a) EXPECT_NEAR(turned[a], straight[a], 1e-12) << a;

    // Two vicinities: each actuator takes the larger weight.
    const lmc::Vec3 frontRight = lmc::kCapsulePositions[14];
    Spatialization two(sphereSample({sphere(frontRight, 0.1, 40), sphere(frontRight, 0.3, 100)}));
    Spatialization small(sphereSample({sphere(frontRight, 0.1, 40)}));
    Spatialization large(sphereSample({sphere(frontRight, 0.3, 100)}));
    const std::vector<double> w2 = weightsAt(two, Transform{}, 0.0);
    const std::vector<double> ws = weightsAt(small, Transform{}, 0.0);
    const std::vector<double> wl = weightsAt(large, Transform{}, 0.0);
    for (std::size_t a = 0; a < 20; ++a) EXPECT_EQ(w2[a], std::max(ws[a], wl[a]));
}
// Golden weights written by golden/spatial_golden.py from its own
// implementation of the vest's geometry.
TEST(Spatialization, GoldenWeights) {
    std::ifstream in(TRV_SPATIAL_GOLDEN);
    ASSERT_TRUE(in) << TRV_SPATIAL_GOLDEN;
    const json cases = json::parse(in);
    ASSERT_GE(cases.size(), 6u);
    for (const json& c : cases) {
        const json& tr = c["transform"];
        Transform transform;
        transform.setTranslation(0, tr["height"].get<double>(), 0);
        transform.setRotation(0, tr["heading"].get<double>(), tr["tilt"].get<double>());
        transform.setMirrorX(tr["mirror"][0].get<uint8_t>());
        transform.setMirrorY(tr["mirror"][1].get<uint8_t>());
        transform.setMirrorZ(tr["mirror"][2].get<uint8_t>());
        transform.setAddMirroredX(tr["add"][0].get<uint8_t>());
        transform.setAddMirroredY(tr["add"][1].get<uint8_t>());
        transform.setAddMirroredZ(tr["add"][2].get<uint8_t>());
        Spatialization s(c["sample"]);
        const std::vector<double> w =
            weightsAt(s, transform, c["t"].get<double>(), c["boostTerm"].get<double>());
        const std::vector<double> expected = c["weights"].get<std::vector<double>>();
        ASSERT_EQ(w.size(), expected.size()) << c["name"];
        for (std::size_t a = 0; a < w.size(); ++a)
            EXPECT_NEAR(w[a], expected[a], 1e-12) << c["name"] << " actuator " << a;
    }
}

TEST(Spatialization, KeyWithBothFormsIsBuiltFromItsWeights) {
    // Valid: the validator checks the weights of such a key.
    const lmc::Pattern pattern(R"({"duration": 1, "tracks": [{"volume": 100, "samples": [{
        "maxDuration": 1, "postDelay": 0, "preDelay": 0, "repeatCount": 1, "repeatSpat": false,
        "signalIndex": 0, "speed": 1, "startCrop": 0, "stopCrop": 1, "timestamp": 0,
        "volumeKeyframes": [], "spatKeyframes": [{"timestamp": 0, "weights": [100],
        "vicinities": [{"position": "nowhere"}, 7, {"position": [0, 0, 0], "scale": [0, 0, 0],
        "orientation": [1, 0, 0, 0], "amplitude": 100}]}]}]}]})");
    ASSERT_TRUE(pattern.valid());
    Spatialization s(pattern.root()["tracks"][0]["samples"][0]);
    ASSERT_EQ(s.keys().size(), 1u);
    ASSERT_EQ(s.keys()[0].vicinities().size(), 1u);
    EXPECT_FALSE(s.keys()[0].vicinities()[0]->isSphere());
    const std::vector<double> w = weightsAt(s, Transform{}, 0.0);
    EXPECT_EQ(w[0], 1.0);
    for (std::size_t a = 1; a < 20; ++a) EXPECT_EQ(w[a], 0.0);
}

TEST(Spatialization, ValuesBeyondFloatRangeSaturate) {
    // Weights and amplitudes that a float cannot hold, and key times beyond
    // the float range: every weight stays finite.
    Spatialization heavy(weightsSample({{0.0, {1e300, 0}}, {1e39, {0, 1e300}}}, true));
    for (double t : {0.0, 0.5, 1e38, 1e300}) {
        for (double w : weightsAt(heavy, Transform{}, t)) EXPECT_TRUE(std::isfinite(w)) << t;
    }
    EXPECT_EQ(weightsAt(heavy, Transform{}, 0.0)[0], static_cast<double>(FLT_MAX / 100.0f));

    json vicinities = sphereSample({sphere({0, 0.06, 0.12}, 0.1, 1e300),
                                    sphere({1e300, -1e300, 1e300}, 1e-300, 1e300)});
    Spatialization loud(vicinities);
    Transform moved;
    moved.setTranslation(0, 1e300, 0);
    moved.setRotation(0, 1e300, 1e300);
    moved.setAddMirroredY(1);
    for (double w : weightsAt(loud, Transform{}, 0.0)) EXPECT_TRUE(std::isfinite(w));
    EXPECT_EQ(weightsAt(loud, Transform{}, 0.0)[11], 100.0); // the clamped plateau
    for (double w : weightsAt(loud, moved, 0.0)) EXPECT_TRUE(std::isfinite(w));
}

TEST(Spatialization, UnvalidatedSamplesBuildWithoutThrowing) {
    const char* samples[] = {
        "null",
        "[]",
        R"({"spatKeyframes": 5, "repeatSpat": "yes"})",
        R"({"spatKeyframes": [7, null, {"timestamp": "x"}]})",
        R"({"spatKeyframes": [{"timestamp": 0, "vicinities": ["a", {"position": [1]}, {}]}]})",
        R"({"spatKeyframes": [{"timestamp": 2, "weights": [1]}, {"timestamp": 1, "weights": [2]}],
            "repeatSpat": true})",
        R"({"spatKeyframes": [{"timestamp": 1, "weights": [1]}, {"timestamp": 1, "weights": [2]}],
            "repeatSpat": true})",
        R"({"spatKeyframes": [{"timestamp": 0, "weights": [1, "x", null]}]})",
    };
    Transform transform;
    transform.setAddMirroredX(1);
    for (const char* text : samples) {
        Spatialization s(json::parse(text));
        for (double t : {0.0, 0.5, 1.5, 3.0, 1e9})
            for (double w : weightsAt(s, transform, t)) EXPECT_TRUE(std::isfinite(w)) << text;
    }
}

TEST(Spatialization, TinyRepeatingPassesDoNotStall) {
    // A pass of 1e-40 s: time moves in steps of millions of passes.
    json sample = weightsSample({{0.0, {0}}, {1e-40, {100}}}, true);
    Spatialization s(sample);
    const auto start = std::chrono::steady_clock::now();
    for (double t = 0.0; t < 1.0; t += 0.01) weightsAt(s, Transform{}, t);
    weightsAt(s, Transform{}, 1e300);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(Spatialization, MovedTransformRefreshesEveryKey) {
    // Three keys, repeating. The transform turns while the keys 1 and 2 are
    // in use; key 0, computed before, must not come back with the old heading.
    const lmc::Vec3 front = lmc::kCapsulePositions[14];
    json sample = {{"repeatSpat", true}, {"spatKeyframes", json::array()}};
    for (int k = 0; k < 3; ++k)
        sample["spatKeyframes"].push_back(
            {{"timestamp", k}, {"vicinities", {sphere(front, 0.1 + 0.05 * k)}}});
    Transform transform;
    Spatialization turned(sample);
    weightsAt(turned, transform, 0.5);
    transform.setChanged(0); // as the sequence does after each buffer
    transform.setRotation(0, kPi / 3, 0);
    weightsAt(turned, transform, 1.5);
    transform.setChanged(0);
    const std::vector<double> w = weightsAt(turned, transform, 2.5);

    Spatialization fresh(sample);
    Transform same;
    same.setRotation(0, kPi / 3, 0);
    EXPECT_EQ(w, weightsAt(fresh, same, 2.5));
}

TEST(Spatialization, FollowsTheLayoutsActuatorCount) {
    Spatialization s(sphereSample({sphere({0, 0, 0}, 1.0)}));
    EXPECT_EQ(weightsAt(s, Transform{}, 0.0).size(), 20u);
    const auto free = lmc::makeLayout(0);
    ASSERT_EQ(free->load(R"({"position": [[0, 0, 0], [0.7, 0, 0], [5, 0, 0]]})"), 0);
    Transform transform;
    s.computeWeights(*free, transform, 0.0, 0.0);
    ASSERT_EQ(s.weights().size(), 3u);
    EXPECT_EQ(s.weights()[0], 1.0);
    EXPECT_NEAR(s.weights()[1], 0.905142, 1e-6);
    EXPECT_EQ(s.weights()[2], 0.0);
}

TEST(Spatialization, ComputingAllocatesNothing) {
    const lmc::Vec3 front = lmc::kCapsulePositions[14];
    json sample = {{"repeatSpat", true}, {"spatKeyframes", json::array()}};
    for (int k = 0; k < 4; ++k)
        sample["spatKeyframes"].push_back(
            {{"timestamp", 0.1 * k}, {"vicinities", {sphere(front, 0.1), sphere(front, 0.2, 50)}}});
    sample["spatKeyframes"].push_back({{"timestamp", 0.5}, {"vicinities", {sphere(front)}}});
    const auto layout = lmc::makeLayout(1);
    Spatialization vicinities(sample);
    Spatialization weights(weightsSample({{0.0, std::vector<double>(20, 50)}, {0.2, {100}}}, true));
    Transform transform;
    transform.setTranslation(0, 0.05, 0);
    transform.setRotation(0, 0.3, 0.2);
    transform.setMirrorZ(1);
    transform.setAddMirroredX(1);
    transform.setAddMirroredY(1);
    transform.setAddMirroredZ(1);

    const long long before = allocationCount();
    for (int buffer = 0; buffer < 200; ++buffer) {
        const double t = buffer * 512 / 48000.0;
        vicinities.computeWeights(*layout, transform, t, 0.1);
        weights.computeWeights(*layout, transform, t, 0.1);
        transform.setChanged(buffer % 7 == 0);
    }
    vicinities.reset();
    vicinities.computeWeights(*layout, transform, 0.0, 0.0);
    EXPECT_EQ(allocationCount() - before, 0);
}

} // namespace
