// Actuator layouts: the vest's capsule, free layouts from JSON, and the moves.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lumetra-core/src/layout.h"
#include "sdk/trv_types.h"

namespace {

using lmc::Quat;
using lmc::Vec3;

constexpr double kPi = std::numbers::pi;
constexpr double L = 0.09000000357627869; // the capsule's half-length, as stored

double distanceToAxisSegment(const Vec3& p) {
    const double y = std::clamp(p.y, -L, L);
    return std::sqrt(p.x * p.x + (p.y - y) * (p.y - y) + p.z * p.z);
}

// Distance in the x-y plane to the segment |y| <= L of the y axis.
double outlineDistance(const Vec3& p) {
    const double y = std::clamp(p.y, -L, L);
    return std::hypot(p.x, p.y - y);
}

void expectNear(const Vec3& actual, const Vec3& expected, double tolerance = 1e-12) {
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

TEST(CapsuleLayout, TwentyActuatorsOnTheCapsule) {
    const auto layout = lmc::makeLayout(1);
    EXPECT_EQ(layout->kind(), 1u);
    EXPECT_FALSE(layout->changed());
    ASSERT_EQ(layout->actuatorCount(), 20u);
    int onCylinder = 0;
    for (const Vec3& p : layout->positions()) {
        EXPECT_NEAR(distanceToAxisSegment(p), 0.12, 5e-5);
        const double azimuth = std::atan2(p.z, p.x) * 180 / kPi;
        const double step = std::fabs(p.y) < L ? 60.0 : 90.0; // 30 + 60k or 45 + 90k degrees
        const double offset = std::fabs(p.y) < L ? 30.0 : 45.0;
        const double k = (azimuth - offset) / step;
        EXPECT_NEAR(k, std::round(k), 1e-3) << p.x << " " << p.y << " " << p.z;
        EXPECT_NEAR(std::fabs(p.y), std::fabs(p.y) < L ? 0.06 : 0.18, 1e-15);
        onCylinder += std::fabs(p.y) < L;
    }
    EXPECT_EQ(onCylinder, 12);
    // Actuator 11 is at the right of the upper ring, 4 its left mirror.
    expectNear(layout->positions()[11], {0, 0.06, 0.12}, 0);
    expectNear(layout->positions()[4], {0, 0.06, -0.12}, 0);

    const auto before = std::vector<Vec3>(layout->positions().begin(), layout->positions().end());
    EXPECT_EQ(layout->load(R"({"position": [[0, 0, 0]]})"), TRV_ERROR_CORE_INVALID_OPERATION);
    EXPECT_EQ(layout->actuatorCount(), 20u);
    EXPECT_FALSE(layout->changed());
    EXPECT_EQ(layout->positions()[0].x, before[0].x);

    EXPECT_EQ(lmc::makeLayout(7)->kind(), 1u);
    EXPECT_EQ(lmc::makeLayout(-1)->kind(), 1u);
}

TEST(BasicLayout, LoadsPositionsOrKeepsThem) {
    const auto layout = lmc::makeLayout(0);
    EXPECT_EQ(layout->kind(), 0u);
    ASSERT_EQ(layout->actuatorCount(), 1u);
    expectNear(layout->positions()[0], {0, 0, 0}, 0);
    EXPECT_FALSE(layout->changed());

    ASSERT_EQ(layout->load(R"({"position": [[0, 0, 0], [1, 2.5, -3]]})"), 0);
    EXPECT_TRUE(layout->changed());
    ASSERT_EQ(layout->actuatorCount(), 2u);
    expectNear(layout->positions()[1], {1, 2.5, -3}, 0);

    layout->setChanged(false);
    const char* refused[] = {
        R"({"position": [[0, 0, 0], [1, 2]]})",
        R"({"position": [[0, 0, 0, 0]]})",
        R"({"position": [{"x": 0, "y": 0, "z": 0}]})",
        R"({"position": [[0, "1", 0]]})",
        R"({"position": [[0, true, 0]]})",
        R"({"position": [[0, null, 0]]})",
        R"({"position": {"0": [0, 0, 0]}})",
        R"({"positions": [[0, 0, 0]]})",
        R"([[0, 0, 0]])",
        R"({"position": [[0, 0, 0]]} // comment)",
        R"({"position": [[0, 0, 0]])",
        "",
        nullptr,
    };
    for (const char* text : refused) {
        EXPECT_EQ(layout->load(text), TRV_ERROR_CORE_INVALID_LAYOUT) << (text ? text : "null");
        EXPECT_EQ(layout->actuatorCount(), 2u);
        EXPECT_FALSE(layout->changed());
    }
    expectNear(layout->positions()[1], {1, 2.5, -3}, 0);

    ASSERT_EQ(layout->load(R"({"position": []})"), 0);
    EXPECT_EQ(layout->actuatorCount(), 0u);

    // A free layout has no surface: its moves leave points alone.
    Vec3 p{0.1, 0.2, 0.3};
    Quat q;
    layout->moveVertical(1.0, p);
    layout->rotateHeading(1.0, p, q);
    layout->tilt(1.0, p, q);
    expectNear(p, {0.1, 0.2, 0.3}, 0);
    EXPECT_EQ(q.w, 1.0);
}

TEST(CapsuleMoves, MoveVerticalFollowsTheSurface) {
    Vec3 p{0.12, 0, 0};
    lmc::capsuleMoveVertical(0.05, p);
    expectNear(p, {0.12, 0.05, 0});

    p = {0.12, 0.09, 0};
    lmc::capsuleMoveVertical(0.1, p);
    expectNear(p, {std::sqrt(0.12 * 0.12 - (0.19 - L) * (0.19 - L)), 0.19, 0});
    EXPECT_NEAR(p.x, 0.0663, 1e-4);

    p = {0.12, -0.09, 0};
    lmc::capsuleMoveVertical(-0.1, p);
    EXPECT_NEAR(p.x, 0.0663, 1e-4);
    EXPECT_NEAR(p.y, -0.19, 1e-15);

    p = {0, 0.01, 0};
    lmc::capsuleMoveVertical(0.5, p);
    expectNear(p, {0, 0.51, 0});

    // Every actuator moved by any height that stays on the capsule keeps its
    // distance to the axis segment and its azimuth; beyond the end caps it
    // lands on the axis.
    for (const Vec3& start : lmc::kCapsulePositions) {
        for (double delta : {-0.2, -0.07, -0.01, 0.03, 0.11, 0.2}) {
            Vec3 moved = start;
            lmc::capsuleMoveVertical(delta, moved);
            EXPECT_NEAR(moved.y, start.y + delta, 1e-15);
            if (std::fabs(moved.y) <= L + distanceToAxisSegment(start)) {
                EXPECT_NEAR(distanceToAxisSegment(moved), distanceToAxisSegment(start), 1e-12);
            } else {
                EXPECT_EQ(std::hypot(moved.x, moved.z), 0.0);
            }
            if (moved.x != 0 || moved.z != 0) {
                EXPECT_NEAR(std::atan2(moved.z, moved.x), std::atan2(start.z, start.x), 1e-12);
            }
        }
    }
}

TEST(CapsuleMoves, RotateHeadingTurnsPointAndQuaternion) {
    Vec3 p{1, 0, 0};
    Quat q;
    lmc::capsuleRotateHeading(kPi / 2, p, q);
    expectNear(p, {0, 0, -1});
    EXPECT_NEAR(q.x, 0, 1e-15);
    EXPECT_NEAR(q.y, std::sin(kPi / 4), 1e-15);
    EXPECT_NEAR(q.z, 0, 1e-15);
    EXPECT_NEAR(q.w, std::cos(kPi / 4), 1e-15);

    // A heading of 60 degrees takes the front-right upper actuator to the
    // front-left one; the quaternion turns the same way as the point.
    p = lmc::kCapsulePositions[14];
    q = Quat{};
    lmc::capsuleRotateHeading(kPi / 3, p, q);
    expectNear(p, lmc::kCapsulePositions[2], 1e-4);
    const lmc::Mat3 inverse = lmc::inverseRotationMatrix(q);
    const Vec3 back = inverse * p;
    expectNear(back, lmc::kCapsulePositions[14], 1e-4);
}

TEST(CapsuleMoves, TiltRunsAlongTheOutline) {
    Vec3 p{0, 0.05, 0.12};
    Quat q;
    lmc::capsuleTilt(0.1, p, q);
    expectNear(p, {0, 0.05, 0.12}, 0);
    EXPECT_NEAR(q.z, std::sin(0.05), 1e-15);
    EXPECT_NEAR(q.w, std::cos(0.05), 1e-15);

    // Half a turn takes each actuator of the front column to the one
    // diagonally opposite at the back.
    const std::pair<int, int> opposite[] = {{2, 7}, {1, 6}, {14, 8}, {10, 13}};
    for (auto [from, to] : opposite) {
        p = lmc::kCapsulePositions[from];
        q = Quat{};
        lmc::capsuleTilt(kPi, p, q);
        expectNear(p, lmc::kCapsulePositions[to], 1e-12);
    }

    // Through every angle, a point of the side stays on the outline at its
    // distance and keeps its z; while it stays on the sides, tilting back
    // returns it (over the half-circles the angle is not measured from their
    // centre, so the way back differs).
    const Vec3 start = lmc::kCapsulePositions[2];
    for (int step = -36; step <= 36; ++step) {
        const double angle = step * kPi / 18;
        p = start;
        q = Quat{};
        lmc::capsuleTilt(angle, p, q);
        EXPECT_NEAR(outlineDistance(p), start.x, 1e-12) << angle;
        EXPECT_EQ(p.z, start.z);
        const bool onSide = std::fabs(p.y) <= L;
        lmc::capsuleTilt(-angle, p, q);
        if (onSide) expectNear(p, start, 1e-12);
        EXPECT_NEAR(q.w, 1.0, 1e-12);
    }
}

TEST(CapsuleMoves, ReturnForAnyValue) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    for (double angle : {1e300, -1e300, 1e17}) {
        Vec3 p = lmc::kCapsulePositions[5];
        Quat q;
        lmc::capsuleTilt(angle, p, q); // must return promptly
        EXPECT_EQ(p.z, lmc::kCapsulePositions[5].z);
    }
    // Non-finite moves leave the point and the quaternion as they were.
    for (double value : {kInf, -kInf, std::nan("")})
        for (int move = 0; move < 3; ++move) {
            Vec3 p = lmc::kCapsulePositions[5];
            Quat q{0.1, 0.2, 0.3, 0.9};
            if (move == 0) lmc::capsuleMoveVertical(value, p);
            if (move == 1) lmc::capsuleRotateHeading(value, p, q);
            if (move == 2) lmc::capsuleTilt(value, p, q);
            expectNear(p, lmc::kCapsulePositions[5], 0.0);
            EXPECT_TRUE(q.x == 0.1 && q.y == 0.2 && q.z == 0.3 && q.w == 0.9) << move << " " << value;
        }
    // A far angle lands where its remainder does.
    const double far = 2 * kPi * 1000003 + 0.3;
    Vec3 a = lmc::kCapsulePositions[5], b = a;
    Quat qa, qb;
    lmc::capsuleTilt(far, a, qa);
    lmc::capsuleTilt(std::remainder(far, 2 * kPi), b, qb);
    expectNear(a, b, 1e-9);
}

} // namespace
