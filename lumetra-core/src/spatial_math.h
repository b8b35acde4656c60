// Small geometry for spatial weighting: points, quaternions, 3x3 rotations,
// a dense column-major matrix and the normalised distance of an ellipsoid.
//
// Axes: y is vertical, x front-back, z right-left. Quaternions are stored
// x, y, z, w. Nothing here allocates except DenseMatrix growing past the
// capacity it already has.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace lmc {

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

struct Quat {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double w = 1.0;
};

// 3x3 doubles stored column by column.
struct Mat3 {
    double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

    double operator()(int row, int column) const noexcept { return m[column * 3 + row]; }
    double& operator()(int row, int column) noexcept { return m[column * 3 + row]; }
    Vec3 operator*(const Vec3& v) const noexcept {
        return {m[0] * v.x + m[3] * v.y + m[6] * v.z, m[1] * v.x + m[4] * v.y + m[7] * v.z,
                m[2] * v.x + m[5] * v.y + m[8] * v.z};
    }
};

// The rotation matrix of the inverse of q's unit quaternion, conj(q) / |q|
// (a unit quaternion's own inverse, to rounding). The zero quaternion has
// the zero inverse, whose matrix is the identity.
Mat3 inverseRotationMatrix(const Quat& q) noexcept;

// Distances of `positions` from an ellipsoid: for each point p,
// u = rotation * (p - centre) and
// out[i] = sqrt((u.x / scale.x)^2 + (u.y / scale.y)^2 + (u.z / scale.z)^2).
// A scale component of 0 gives infinity, or NaN for a point on that plane.
// Writes min(positions.size(), out.size()) entries.
void normalisedDistances(std::span<const Vec3> positions, const Vec3& centre,
                         const Mat3& rotation, const Vec3& scale,
                         std::span<double> out) noexcept;

// Dense matrix of doubles stored column by column, so that a column is one
// contiguous span. Resizing to the current shape keeps the values; another
// shape zero-fills, allocating only beyond the capacity already reserved.
class DenseMatrix {
public:
    DenseMatrix() = default;
    DenseMatrix(std::size_t rows, std::size_t columns) { resize(rows, columns); }

    std::size_t rows() const noexcept { return rows_; }
    std::size_t columns() const noexcept { return columns_; }

    void resize(std::size_t rows, std::size_t columns) {
        if (rows == rows_ && columns == columns_) return;
        rows_ = rows;
        columns_ = columns;
        values_.assign(rows * columns, 0.0);
    }
    // Makes room for rows x columns values without changing the shape.
    void reserve(std::size_t rows, std::size_t columns) { values_.reserve(rows * columns); }

    double operator()(std::size_t row, std::size_t column) const noexcept {
        return values_[column * rows_ + row];
    }
    double& operator()(std::size_t row, std::size_t column) noexcept {
        return values_[column * rows_ + row];
    }
    // Column `column` (< columns()), rows() entries.
    std::span<double> column(std::size_t column) noexcept {
        return {values_.data() + column * rows_, rows_};
    }
    std::span<const double> column(std::size_t column) const noexcept {
        return {values_.data() + column * rows_, rows_};
    }

private:
    std::size_t rows_ = 0;
    std::size_t columns_ = 0;
    std::vector<double> values_;
};

} // namespace lmc
