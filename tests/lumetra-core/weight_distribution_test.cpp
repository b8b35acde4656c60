// The fast-Gaussian trapezoid: plateau, flanks and amplitude clamping.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "lumetra-core/src/weight_distribution.h"

namespace {

std::vector<double> applied(const lmc::IWeightDistribution& distribution,
                            std::vector<double> distances) {
    distribution.apply(distances);
    return distances;
}

TEST(WeightDistribution, NormalizedShape) {
    const auto normalized = lmc::makeNormalizedDistribution();
    EXPECT_EQ(normalized->name(), "Normalized");
    EXPECT_EQ(normalized->amplitude(), 1.0f);
    const std::vector<double> w =
        applied(*normalized, {0.0, 0.3, 0.5999, 0.6, 0.7, 0.8, 0.9, 0.99, 1.0, 5.0, -0.1});
    EXPECT_EQ(w[0], 1.0);
    EXPECT_EQ(w[1], 1.0);
    EXPECT_EQ(w[2], 1.0);
    EXPECT_NEAR(w[3], 1.0, 5e-8);
    EXPECT_NEAR(w[4], 0.905142, 1e-6);
    EXPECT_NEAR(w[5], 0.670262, 1e-6);
    EXPECT_NEAR(w[6], 0.385051, 1e-6);
    EXPECT_NEAR(w[7], 0.052555, 1e-6);
    EXPECT_EQ(w[8], 0.0);
    EXPECT_EQ(w[9], 0.0);
    EXPECT_EQ(w[10], 0.0);
}

TEST(WeightDistribution, FlanksFallMonotonicallyToAThousandth) {
    lmc::WDFastGaussian trapezoid(0.8f, 0.1f, 0.3f, 0.5f, 0.9f, "t");
    const double a = 0.1f, b = 0.3f, c = 0.5f, d = 0.9f, amplitude = 0.8f;
    constexpr double kFlankEnd = 0.0010366620557865636; // the cubic at 0.5 * 1.7858^2
    // The edges: a belongs to the rising flank, [b, c) is the plateau, d is out.
    EXPECT_NEAR(trapezoid.weightOf(a), amplitude * kFlankEnd, 2e-7);
    EXPECT_NEAR(trapezoid.weightOf(b), amplitude, 1e-7);
    EXPECT_NEAR(trapezoid.weightOf(c), amplitude, 1e-7);
    EXPECT_EQ(trapezoid.weightOf(d), 0.0);
    EXPECT_EQ(trapezoid.weightOf(std::nextafter(a, 0.0)), 0.0);
    double previous = 0.0;
    for (int i = 0; i <= 1000; ++i) { // rising flank
        const double w = trapezoid.weightOf(a + (b - a) * i / 1000.0);
        EXPECT_GE(w, previous - 1e-7);
        EXPECT_GT(w, 0.0);
        EXPECT_LE(w, amplitude + 1e-7);
        previous = w;
    }
    for (int i = 0; i < 1000; ++i) { // falling flank, staying above zero
        const double w = trapezoid.weightOf(c + (d - c) * i / 1000.0);
        EXPECT_LE(w, previous + 1e-7);
        EXPECT_GT(w, 0.0);
        previous = w;
    }
    EXPECT_NEAR(trapezoid.weightOf(std::nextafter(d, 0.0)), amplitude * kFlankEnd, 2e-7);
}

TEST(WeightDistribution, EmptyFlanksAndUnorderedBreakpoints) {
    lmc::WDFastGaussian box(1.0f, 0.2f, 0.2f, 0.4f, 0.4f, "box");
    EXPECT_EQ(applied(box, {0.19f, 0.2f, 0.39f, 0.4f}), (std::vector<double>{0, 1, 1, 0}));
    // Stored as given; the tests keep their order (x < a first).
    box.setBreakpoints(0.5f, 0.1f, 0.3f, 0.2f);
    EXPECT_EQ(applied(box, {0.4, 0.6, 2.0}), (std::vector<double>{0, 0, 0}));
    std::vector<double> empty;
    box.apply(empty);
    EXPECT_TRUE(empty.empty());
}

TEST(WeightDistribution, AmplitudeIsClampedAndNaNIsZero) {
    const auto distribution = lmc::makeNormalizedDistribution();
    distribution->setAmplitude(-5.0f);
    EXPECT_EQ(distribution->amplitude(), 0.0f);
    EXPECT_EQ(applied(*distribution, {0.0, 0.7}), (std::vector<double>{0, 0}));
    distribution->setAmplitude(250.0f);
    EXPECT_EQ(distribution->amplitude(), 100.0f);
    EXPECT_EQ(applied(*distribution, {0.0})[0], 100.0);
    distribution->setAmplitude(std::numeric_limits<float>::infinity());
    EXPECT_EQ(distribution->amplitude(), 100.0f);
    // NaN passes both comparisons of a plain clamp; here it means nothing.
    distribution->setAmplitude(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(distribution->amplitude(), 0.0f);
    for (double w : applied(*distribution, {0.0, 0.7, 2.0})) EXPECT_EQ(w, 0.0);
    distribution->setAmplitude(0.5f);
    EXPECT_NEAR(applied(*distribution, {0.7})[0], 0.5 * 0.905142, 1e-6);
    // A NaN distance weighs nothing.
    EXPECT_EQ(applied(*distribution, {std::nan("")})[0], 0.0);
}

} // namespace
