// Vicinities: the regions of a spatial keyframe that give each actuator its
// weight.
//
// A sphere is an ellipsoid (centre, orientation, scale) whose normalised
// distance to each actuator goes through a weight distribution; explicit
// weights give each actuator its weight directly. Weights are written into
// one column of a caller's matrix, one row per actuator of the layout.
// Computing allocates nothing once reserve() covers the layout's actuators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "layout.h"
#include "spatial_math.h"
#include "transform.h"
#include "weight_distribution.h"

namespace lmc {

// A centre with the transform's mirror flags applied (the orientation is not
// mirrored).
inline Vec3 mirroredCentre(const Vec3& position, bool mirrorX, bool mirrorY,
                           bool mirrorZ) noexcept {
    return {mirrorX ? -position.x : position.x, mirrorY ? -position.y : position.y,
            mirrorZ ? -position.z : position.z};
}

class IVicinity {
public:
    virtual ~IVicinity() = default;

    // Weights for every actuator of `layout` into column `column` of `block`,
    // whose rows must equal the layout's actuator count. For each axis whose
    // add-mirrored flag is set, the vicinity is evaluated both mirrored and
    // not and each actuator keeps the larger weight; other axes use their
    // mirror flag. Clears `changed`.
    virtual void computeWeights(const ILayout& layout, const Transform& transform,
                                DenseMatrix& block, std::size_t column);
    // One evaluation with the given mirror flags (same block contract).
    virtual void evaluate(const ILayout& layout, const Transform& transform, DenseMatrix& block,
                          std::size_t column, bool mirrorX, bool mirrorY, bool mirrorZ) = 0;

    // Makes room for the mirror combinations of `actuatorCount` actuators.
    void reserve(std::size_t actuatorCount) { scratch_.reserve(actuatorCount, 8); }

    bool isSphere() const noexcept { return isSphere_; }
    // True until the first computeWeights (explicit weights stay true).
    bool changed() const noexcept { return changed_; }
    const Vec3& position() const noexcept { return position_; }
    const Quat& orientation() const noexcept { return orientation_; }
    const Vec3& scale() const noexcept { return scale_; }
    // The working centre and orientation of the last evaluation.
    const Vec3& centre() const noexcept { return centre_; }
    const Quat& workOrientation() const noexcept { return workOrientation_; }
    // The first distribution is the one used.
    std::vector<std::shared_ptr<IWeightDistribution>>& distributions() noexcept {
        return distributions_;
    }

protected:
    IVicinity(const Vec3& position, const Quat& orientation, const Vec3& scale)
        : position_(position), centre_(position), orientation_(orientation),
          workOrientation_(orientation), scale_(scale) {}

    bool isSphere_ = false;
    Vec3 position_;
    Vec3 centre_;
    Mat3 rotationMatrix_;
    Quat orientation_;
    Quat workOrientation_;
    Vec3 scale_;
    std::vector<std::shared_ptr<IWeightDistribution>> distributions_;
    DenseMatrix scratch_;
    bool changed_ = true;
};

// An ellipsoidal region. Its centre is mirrored, then tilted, turned by the
// heading and moved in height with the layout's moves (each only when not
// 0); its normalised distance to each actuator goes through the first
// distribution, "Normalized" at construction.
class VicinitySphere final : public IVicinity {
public:
    VicinitySphere(const Vec3& position, const Quat& orientation, const Vec3& scale);
    void evaluate(const ILayout& layout, const Transform& transform, DenseMatrix& block,
                  std::size_t column, bool mirrorX, bool mirrorY, bool mirrorZ) override;
};

// Explicit weights, one per actuator; the transform does not apply. Rows
// beyond the weights given get 0, weights beyond the actuators are unused.
class VicinityWeights final : public IVicinity {
public:
    VicinityWeights();
    void setWeights(std::vector<double> weights) { weights_ = std::move(weights); }
    std::span<const double> weights() const noexcept { return weights_; }

    // Evaluates without mirrors, and stays `changed`.
    void computeWeights(const ILayout& layout, const Transform& transform, DenseMatrix& block,
                        std::size_t column) override;
    void evaluate(const ILayout& layout, const Transform& transform, DenseMatrix& block,
                  std::size_t column, bool mirrorX, bool mirrorY, bool mirrorZ) override;

private:
    std::vector<double> weights_;
};

// Kind 0: VicinityWeights (position, orientation and scale ignored); kind 1:
// VicinitySphere; any other kind: null.
std::shared_ptr<IVicinity> makeVicinity(int32_t kind, const Vec3& position,
                                        const Quat& orientation, const Vec3& scale);

} // namespace lmc
