// Actuator layouts: where the actuators sit, and how a point moves over the
// layout's surface.
//
// Axes: y vertical, x front-back, z right-left; metres and radians.
// Quaternions are stored x, y, z, w. The vest's layout is a capsule (a
// cylinder of radius 0.12 around the vertical segment |y| <= L, closed by
// half-spheres) carrying 20 actuators; its moves are free functions as well,
// for code that needs them without a layout object.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "spatial_math.h"

namespace lmc {

constexpr std::size_t kCapsuleActuatorCount = 20;

// The vest's actuators, row = actuator index.
inline constexpr std::array<Vec3, kCapsuleActuatorCount> kCapsulePositions = {{
    {0.0561, -0.18, -0.0561}, {0.1039, -0.06, -0.06},   {0.1039, 0.06, -0.06},
    {-0.0561, -0.18, -0.0561}, {0.0, 0.06, -0.12},      {-0.0561, 0.18, -0.0561},
    {-0.1039, 0.06, -0.06},   {-0.1039, -0.06, -0.06},  {-0.1039, -0.06, 0.06},
    {-0.0561, 0.18, 0.0561},  {0.1039, -0.06, 0.06},    {0.0, 0.06, 0.12},
    {-0.0561, -0.18, 0.0561}, {-0.1039, 0.06, 0.06},    {0.1039, 0.06, 0.06},
    {0.0561, -0.18, 0.0561},  {0.0561, 0.18, -0.0561},  {0.0561, 0.18, 0.0561},
    {0.0, -0.06, 0.12},       {0.0, -0.06, -0.12},
}};

// Half-length of the capsule's straight part (0.09 in single precision).
constexpr double kCapsuleHalfLength = static_cast<double>(0.09f);

// Moves p by `delta` along the vertical axis, keeping its distance to the
// capsule's axis segment: a point leaving the straight part comes closer to
// the axis over the half-sphere. A point on the axis just moves.
//
// The three moves leave p and q as they are when a distance, an angle or a
// cosine or sine given is not finite (an infinite move has no place to go).
void capsuleMoveVertical(double delta, Vec3& p) noexcept;

// Turns p about the vertical axis by the angle whose cosine and sine are
// given, and q by the half angle's (q becomes r * q, r = (0, sinHalf, 0,
// cosHalf)). Callers that must turn the point with other precision than the
// quaternion pass their own values.
void capsuleRotateHeading(double cosAngle, double sinAngle, double cosHalf, double sinHalf,
                          Vec3& p, Quat& q) noexcept;
void capsuleRotateHeading(double angle, Vec3& p, Quat& q) noexcept;

// Turns q about the z axis by `angle` and moves p in the x-y plane along the
// capsule's outline (sides x = +-d for |y| <= L, half-circles around
// (0, +-L)); p.z never changes. On the straight sides only the sign of p.x is
// set. A huge angle is reduced to its remainder in one step.
void capsuleTilt(double angle, Vec3& p, Quat& q) noexcept;

class ILayout {
public:
    enum Kind : uint32_t { kBasic = 0, kTarvonelCapsule = 1 };

    virtual ~ILayout() = default;

    // Replaces the positions from a JSON text {"position": [[x, y, z], ...]}:
    // 0, or TRV_ERROR_CORE_INVALID_LAYOUT (-98) with the positions unchanged
    // when the text is not such an object (every element an array of exactly
    // three numbers). Sets `changed` on success. Null reads as "".
    virtual int32_t load(const char* json);
    virtual void moveVertical(double delta, Vec3& p) const noexcept = 0;
    virtual void rotateHeading(double angle, Vec3& p, Quat& q) const noexcept = 0;
    virtual void tilt(double angle, Vec3& p, Quat& q) const noexcept = 0;

    uint32_t kind() const noexcept { return kind_; }
    // Set by a successful load; the engine lowers it after each rendered
    // buffer, and vicinities recompute their weights while it is up.
    bool changed() const noexcept { return changed_; }
    void setChanged(bool changed) noexcept { changed_ = changed; }
    std::size_t actuatorCount() const noexcept { return positions_.size(); }
    std::span<const Vec3> positions() const noexcept { return positions_; }

protected:
    // Starts with one actuator at the origin.
    explicit ILayout(uint32_t kind) : kind_(kind), positions_(1) {}

    uint32_t kind_;
    bool changed_ = false;
    std::vector<Vec3> positions_;
};

// A free layout loaded from JSON; its moves leave points unchanged.
class LayoutBasic final : public ILayout {
public:
    LayoutBasic() : ILayout(kBasic) {}
    void moveVertical(double, Vec3&) const noexcept override {}
    void rotateHeading(double, Vec3&, Quat&) const noexcept override {}
    void tilt(double, Vec3&, Quat&) const noexcept override {}
};

// The vest: the 20 fixed positions and the capsule moves.
class LayoutTarvonelCapsule final : public ILayout {
public:
    LayoutTarvonelCapsule();
    // Always TRV_ERROR_CORE_INVALID_OPERATION (-92): the vest's positions are fixed.
    int32_t load(const char* json) override;
    void moveVertical(double delta, Vec3& p) const noexcept override {
        capsuleMoveVertical(delta, p);
    }
    void rotateHeading(double angle, Vec3& p, Quat& q) const noexcept override {
        capsuleRotateHeading(angle, p, q);
    }
    void tilt(double angle, Vec3& p, Quat& q) const noexcept override { capsuleTilt(angle, p, q); }
};

// Kind 0 makes a LayoutBasic, any other kind the vest's capsule.
std::shared_ptr<ILayout> makeLayout(int32_t kind);

} // namespace lmc
