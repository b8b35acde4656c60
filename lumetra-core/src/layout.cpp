#include "layout.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "sdk/trv_types.h"
#include "spn_values.h"

namespace lmc {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double L = kCapsuleHalfLength;

// Squared distance of a point at height y and squared radius r2 from the
// axis segment |y| <= L.
double squaredDistanceToSegment(double y, double r2) {
    if (y > L) return r2 + (y - L) * (y - L);
    if (y < -L) return r2 + (y + L) * (y + L);
    return r2;
}

// Brings a finite angle into [-pi, pi] by whole turns. Far-off angles are
// first reduced with an exact remainder, so a huge angle costs no more than
// a near one (turn by turn it would take forever).
double wrapAngle(double theta) {
    if (!(std::fabs(theta) <= 4 * kPi)) theta = std::remainder(theta, kTwoPi);
    while (theta > kPi) theta -= kTwoPi;
    while (theta < -kPi) theta += kTwoPi;
    return theta;
}

} // namespace

void capsuleMoveVertical(double delta, Vec3& p) noexcept {
    if (!std::isfinite(delta)) return;
    const double y = p.y + delta;
    const double r2 = p.x * p.x + p.z * p.z;
    if (r2 == 0.0) {
        p.y = y;
        return;
    }
    const double distance2 = squaredDistanceToSegment(p.y, r2);
    double h2 = distance2;
    if (y > L)
        h2 = std::max(0.0, distance2 - (y - L) * (y - L));
    else if (y < -L)
        h2 = std::max(0.0, distance2 - (y + L) * (y + L));
    const double k = std::sqrt(h2) / std::sqrt(r2);
    p.x *= k;
    p.z *= k;
    p.y = y;
}

void capsuleRotateHeading(double cosAngle, double sinAngle, double c, double s, Vec3& p,
                          Quat& q) noexcept {
    if (!std::isfinite(cosAngle) || !std::isfinite(sinAngle) || !std::isfinite(c) ||
        !std::isfinite(s))
        return;
    const Quat in = q;
    q.x = c * in.x + s * in.z;
    q.y = c * in.y + s * in.w;
    q.z = c * in.z - s * in.x;
    q.w = c * in.w - s * in.y;
    const double x = p.x;
    p.x = cosAngle * x + sinAngle * p.z;
    p.z = cosAngle * p.z - sinAngle * x;
}

void capsuleRotateHeading(double angle, Vec3& p, Quat& q) noexcept {
    capsuleRotateHeading(std::cos(angle), std::sin(angle), std::cos(angle / 2),
                         std::sin(angle / 2), p, q);
}

void capsuleTilt(double angle, Vec3& p, Quat& q) noexcept {
    if (!std::isfinite(angle)) return;
    const double c = std::cos(angle / 2);
    const double s = std::sin(angle / 2);
    const Quat in = q;
    q.x = c * in.x - s * in.y;
    q.y = c * in.y + s * in.x;
    q.z = c * in.z + s * in.w;
    q.w = c * in.w - s * in.z;

    double d;
    if (std::fabs(p.y) <= L) {
        d = std::fabs(p.x);
        if (d == 0.0) return;
    } else if (p.y > L) {
        d = std::sqrt((p.y - L) * (p.y - L) + p.x * p.x);
    } else {
        d = std::sqrt((p.y + L) * (p.y + L) + p.x * p.x);
    }
    const double phi = std::atan(L / d);
    const double theta = wrapAngle(std::atan2(p.y, p.x) + angle);
    if (theta > kPi - phi) {
        p.y = d * std::tan(kPi - theta);
        if (p.x > 0) p.x = -p.x;
    } else if (theta > phi) {
        const double t = (theta - phi) * kPi / (kPi - 2 * phi);
        p.x = d * std::cos(t);
        p.y = d * std::sin(t) + L;
    } else if (theta > -phi) {
        p.y = d * std::tan(theta);
        if (p.x < 0) p.x = -p.x;
    } else if (theta > phi - kPi) {
        const double t = (theta + phi) * kPi / (kPi - 2 * phi);
        p.x = d * std::cos(t);
        p.y = d * std::sin(t) - L;
    } else {
        p.y = d * std::tan(kPi - theta);
        if (p.x > 0) p.x = -p.x;
    }
}

int32_t ILayout::load(const char* text) {
    using json = nlohmann::json;
    const json document =
        json::parse(text != nullptr ? text : "", nullptr, /*allow_exceptions=*/false,
                    /*ignore_comments=*/false);
    if (!document.is_object()) return TRV_ERROR_CORE_INVALID_LAYOUT;
    const json& list = jsonMember(document, "position");
    if (!list.is_array()) return TRV_ERROR_CORE_INVALID_LAYOUT;
    std::vector<Vec3> positions;
    positions.reserve(list.size());
    for (const json& row : list) {
        if (!row.is_array() || row.size() != 3) return TRV_ERROR_CORE_INVALID_LAYOUT;
        for (const json& value : row)
            if (!value.is_number()) return TRV_ERROR_CORE_INVALID_LAYOUT;
        positions.push_back({jsonNumber(row[0]), jsonNumber(row[1]), jsonNumber(row[2])});
    }
    positions_ = std::move(positions);
    changed_ = true;
    return 0;
}

LayoutTarvonelCapsule::LayoutTarvonelCapsule() : ILayout(kTarvonelCapsule) {
    positions_.assign(kCapsulePositions.begin(), kCapsulePositions.end());
}

int32_t LayoutTarvonelCapsule::load(const char*) { return TRV_ERROR_CORE_INVALID_OPERATION; }

std::shared_ptr<ILayout> makeLayout(int32_t kind) {
    if (kind == ILayout::kBasic) return std::make_shared<LayoutBasic>();
    return std::make_shared<LayoutTarvonelCapsule>();
}

} // namespace lmc
