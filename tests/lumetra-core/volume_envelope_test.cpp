// The volume envelope: points, segments, and the buffer-wide apply giving
// exactly the per-time values.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "lumetra-core/src/volume_envelope.h"

using lmc::VolumeEnvelope;

namespace {
nlohmann::json key(double t, double volume) { return {{"timestamp", t}, {"volume", volume}}; }
} // namespace

TEST(VolumeEnvelope, PointsAndValues) {
    EXPECT_EQ(VolumeEnvelope(nlohmann::json::array()).valueAt(3.0), 1.0);
    EXPECT_EQ(VolumeEnvelope(nlohmann::json::object()).valueAt(0.0), 1.0);
    EXPECT_EQ(VolumeEnvelope(nullptr).valueAt(-1.0), 1.0);
    EXPECT_TRUE(VolumeEnvelope(nullptr).unity());

    // A key not after the last accepted one is skipped.
    const VolumeEnvelope e(nlohmann::json::array({key(0.5, 50), key(0.5, 80), key(0.25, 10), key(1.5, 150)}));
    ASSERT_EQ(e.points().size(), 2u);
    EXPECT_FALSE(e.unity());
    EXPECT_EQ(e.valueAt(0.0), 0.5);   // before the first point
    EXPECT_EQ(e.valueAt(0.5), 0.5);
    EXPECT_DOUBLE_EQ(e.valueAt(1.0), 1.0);
    EXPECT_EQ(e.valueAt(1.5), 1.5);
    EXPECT_EQ(e.valueAt(9.0), 1.5);   // after the last
}

TEST(VolumeEnvelope, ApplyGivesTheValueAtEverySampleTime) {
    const VolumeEnvelope e(nlohmann::json::array(
        {key(0.01, 0), key(0.0105, 100), key(0.02, 40), key(0.02001, 90), key(0.05, 0), key(0.051, 250)}));
    for (const double dt : {1.0 / 48000, 1.0 / 2000, 1.0 / 500, 1.0 / 7777}) {
        for (const double t0 : {0.0, 0.009, 0.0104999, 0.02, 0.03, 0.06}) {
            for (const std::size_t count : {1u, 2u, 7u, 100u, 2048u}) {
                std::vector<float> samples(count);
                for (std::size_t k = 0; k < count; ++k) samples[k] = std::sin(0.37 * static_cast<double>(k)) * 0.9f;
                std::vector<float> expected = samples;
                for (std::size_t k = 0; k < count; ++k)
                    expected[k] = static_cast<float>(static_cast<double>(expected[k]) *
                                                     e.valueAt(t0 + static_cast<double>(k) * dt));
                e.apply(t0, dt, samples.data(), count);
                for (std::size_t k = 0; k < count; ++k)
                    ASSERT_EQ(samples[k], expected[k]) << "dt " << dt << " t0 " << t0 << " k " << k;
            }
        }
    }
}

TEST(VolumeEnvelope, ValuesDoNotDependOnTheOrderOfTheCalls) {
    nlohmann::json keys = nlohmann::json::array();
    for (int k = 0; k < 1000; ++k) keys.push_back(key(0.001 * k, (k * 37) % 101));
    const VolumeEnvelope used(keys);
    // Back and forth, as the render asks: each value as a fresh envelope gives it.
    for (double t : {0.5, 0.0005, 0.9995, 0.0015, 0.001, 0.3337, 0.3336, 0.999, 0.0001, 0.7}) {
        const VolumeEnvelope fresh(keys);
        EXPECT_EQ(used.valueAt(t), fresh.valueAt(t)) << t;
    }
}
