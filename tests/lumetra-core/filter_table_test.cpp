#include <cmath>
#include <complex>
#include <limits>
#include <numbers>

#include <gtest/gtest.h>

#include "lumetra-core/src/filter_table.h"

namespace {

using lmc::BiquadList;
using lmc::FilterTable;

// The cascade's response at f Hz, from its coefficients (sample rate 8000).
std::complex<double> response(const BiquadList& sections, double f) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f / 8000.0);
    const std::complex<double> z2 = z1 * z1;
    std::complex<double> h = 1.0;
    for (const lmc::Biquad& s : sections)
        h *= (s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2);
    return h;
}

bool isSinglePrecision(double v) { return static_cast<double>(static_cast<float>(v)) == v; }

struct Telling {
    std::size_t entry;
    float k;
    float a[4][2];
};

// Reference values, each the shortest decimal of its single-precision number.
const Telling kTelling[] = {
    {0, 3.4944852e-16f,
     {{-1.954287f, 0.95482963f}, {-1.9610298f, 0.96157426f}, {-1.9736121f, 0.97416f},
      {-1.9902968f, 0.9908495f}}},
    {100, 3.575498e-11f,
     {{-1.8087689f, 0.818238f}, {-1.8341458f, 0.84374774f}, {-1.8829595f, 0.89281696f},
      {-1.9507937f, 0.9610064f}}},
    {220, 5.3478706e-09f,
     {{-1.6465222f, 0.6787795f}, {-1.6877911f, 0.7208569f}, {-1.7697535f, 0.80442494f},
      {-1.88965f, 0.9266705f}}},
    {470, 8.8819934e-07f,
     {{-1.343502f, 0.45419616f}, {-1.40174f, 0.51723236f}, {-1.5237899f, 0.64933825f},
      {-1.7193929f, 0.86105746f}}},
    {969, 0.00010719508f,
     {{-0.83599806f, 0.18135233f}, {-0.89155614f, 0.25986168f}, {-1.0163622f, 0.43622568f},
      {-1.2438675f, 0.7577144f}}},
};

TEST(FilterTable, TellingEntriesMatchExactly) {
    for (const Telling& t : kTelling) {
        SCOPED_TRACE(t.entry);
        const BiquadList& e = FilterTable::entry(t.entry);
        ASSERT_EQ(e.size(), 4u);
        EXPECT_EQ(e[0].b0, static_cast<double>(t.k));
        EXPECT_EQ(e[0].b1, 2.0 * static_cast<double>(t.k));
        EXPECT_EQ(e[0].b2, static_cast<double>(t.k));
        for (int s = 0; s < 4; ++s) {
            EXPECT_EQ(e[s].a1, static_cast<double>(t.a[s][0])) << "section " << s;
            EXPECT_EQ(e[s].a2, static_cast<double>(t.a[s][1])) << "section " << s;
        }
    }
}

TEST(FilterTable, EveryEntryIsAStableButterworthLowPass) {
    double previousK = 0.0;
    for (std::size_t i = 0; i < FilterTable::kEntryCount; ++i) {
        SCOPED_TRACE(i);
        const double cutoff = 30.0 + static_cast<double>(i);
        const BiquadList& e = FilterTable::entry(i);
        ASSERT_EQ(e.size(), 4u);

        const double k = e[0].b0;
        EXPECT_GT(k, previousK);
        EXPECT_TRUE(std::isnormal(static_cast<float>(k)));
        previousK = k;
        EXPECT_EQ(e[0].b1, 2.0 * k);
        EXPECT_EQ(e[0].b2, k);
        double previousA2 = 0.0;
        for (int s = 0; s < 4; ++s) {
            if (s > 0) {
                EXPECT_EQ(e[s].b0, 1.0);
                EXPECT_EQ(e[s].b1, 2.0);
                EXPECT_EQ(e[s].b2, 1.0);
            }
            for (double c : {e[s].b0, e[s].b1, e[s].b2, e[s].a1, e[s].a2})
                EXPECT_TRUE(isSinglePrecision(c));
            // Poles inside the unit circle (the stability triangle), radius
            // growing from section 0 to section 3.
            EXPECT_LT(e[s].a1, 0.0);
            EXPECT_GT(e[s].a2, previousA2);
            EXPECT_LT(e[s].a2, 1.0);
            EXPECT_LT(std::fabs(e[s].a1), 1.0 + e[s].a2);
            previousA2 = e[s].a2;
        }

        EXPECT_NEAR(std::abs(response(e, 0.0)), 1.0, 2e-4);
        EXPECT_NEAR(20.0 * std::log10(std::abs(response(e, cutoff))), -3.0103, 1e-4);
        EXPECT_LT(std::abs(response(e, 2.0 * cutoff)), 0.004); // 48 dB per octave
        // All eight zeros at z = -1: the numerators vanish exactly at 4 kHz.
        for (const lmc::Biquad& s : e) EXPECT_EQ(s.b0 - s.b1 + s.b2, 0.0);
    }
    EXPECT_NEAR(previousK, 1.07e-4, 0.01e-4);
    EXPECT_NEAR(FilterTable::entry(0)[0].b0, 3.49e-16, 0.01e-16);
}

TEST(FilterTable, LookupCoversEveryFrequency) {
    const struct {
        double f;
        std::size_t index;
    } cases[] = {{0.0, 0},      {29.9, 0},     {30.0, 0},   {30.99, 0},  {31.0, 1},
                 {250.0, 220},  {300.0, 270},  {419.7, 389}, {999.0, 969}, {999.5, 969},
                 {1000.0, 969}, {2000.0, 969}, {5000.0, 969}, {10.0, 0},   {-5.0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(lmc::filterIndexForCutoff(c.f), c.index) << c.f;
        EXPECT_EQ(&lmc::filterForCutoff(c.f), &FilterTable::entry(c.index)) << c.f;
    }
    constexpr double kInf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(lmc::filterIndexForCutoff(std::numeric_limits<double>::quiet_NaN()), 0u);
    EXPECT_EQ(lmc::filterIndexForCutoff(-kInf), 0u);
    EXPECT_EQ(lmc::filterIndexForCutoff(kInf), 969u);
    EXPECT_EQ(lmc::filterIndexForCutoff(1e300), 969u);
}

} // namespace
