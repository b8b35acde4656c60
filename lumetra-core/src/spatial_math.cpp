#include "spatial_math.h"

#include <algorithm>
#include <cmath>

namespace lmc {

Mat3 inverseRotationMatrix(const Quat& q) noexcept {
    // The matrix below is a rotation only for a unit quaternion: q is
    // normalised first, so a quaternion of any length turns as its unit one
    // does (the validator accepts any components in [-1, 1]).
    const double norm2 = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
    double a = 0.0, b = 0.0, c = 0.0, d = 0.0;
    if (norm2 > 0.0) {
        const double norm = std::sqrt(norm2);
        a = -q.x / norm;
        b = -q.y / norm;
        c = -q.z / norm;
        d = q.w / norm;
    }
    Mat3 r;
    r(0, 0) = 1 - 2 * b * b - 2 * c * c;
    r(0, 1) = 2 * a * b - 2 * c * d;
    r(0, 2) = 2 * a * c + 2 * b * d;
    r(1, 0) = 2 * a * b + 2 * c * d;
    r(1, 1) = 1 - 2 * a * a - 2 * c * c;
    r(1, 2) = 2 * b * c - 2 * a * d;
    r(2, 0) = 2 * a * c - 2 * b * d;
    r(2, 1) = 2 * b * c + 2 * a * d;
    r(2, 2) = 1 - 2 * a * a - 2 * b * b;
    return r;
}

void normalisedDistances(std::span<const Vec3> positions, const Vec3& centre,
                         const Mat3& rotation, const Vec3& scale,
                         std::span<double> out) noexcept {
    const std::size_t n = std::min(positions.size(), out.size());
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3& p = positions[i];
        const Vec3 u = rotation * Vec3{p.x - centre.x, p.y - centre.y, p.z - centre.z};
        const double dx = u.x / scale.x;
        const double dy = u.y / scale.y;
        const double dz = u.z / scale.z;
        out[i] = std::sqrt(dx * dx + dy * dy + dz * dz);
    }
}

} // namespace lmc
