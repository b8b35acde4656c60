#include "vicinity.h"

#include <algorithm>

namespace lmc {

void IVicinity::computeWeights(const ILayout& layout, const Transform& transform,
                               DenseMatrix& block, std::size_t column) {
    const bool add[3] = {transform.addMirroredX(), transform.addMirroredY(),
                         transform.addMirroredZ()};
    const bool mirror[3] = {transform.mirrorX(), transform.mirrorY(), transform.mirrorZ()};
    const int added = add[0] + add[1] + add[2];
    if (added == 0) {
        evaluate(layout, transform, block, column, mirror[0], mirror[1], mirror[2]);
    } else {
        const std::size_t n = layout.actuatorCount();
        const std::size_t combinations = std::size_t{1} << added;
        scratch_.resize(n, combinations);
        for (std::size_t combination = 0; combination < combinations; ++combination) {
            // Each added axis takes its mirror state from one bit of the
            // combination; the others keep their flag.
            bool flags[3];
            std::size_t bit = 0;
            for (int axis = 0; axis < 3; ++axis)
                flags[axis] = add[axis] ? ((combination >> bit++) & 1u) != 0 : mirror[axis];
            evaluate(layout, transform, scratch_, combination, flags[0], flags[1], flags[2]);
        }
        std::span<double> out = block.column(column);
        for (std::size_t i = 0; i < n; ++i) {
            double best = scratch_(i, 0);
            for (std::size_t combination = 1; combination < combinations; ++combination)
                best = std::max(best, scratch_(i, combination));
            out[i] = best;
        }
    }
    changed_ = false;
}

VicinitySphere::VicinitySphere(const Vec3& position, const Quat& orientation, const Vec3& scale)
    : IVicinity(position, orientation, scale) {
    isSphere_ = true;
    distributions_.push_back(makeNormalizedDistribution());
}

void VicinitySphere::evaluate(const ILayout& layout, const Transform& transform,
                              DenseMatrix& block, std::size_t column, bool mirrorX, bool mirrorY,
                              bool mirrorZ) {
    centre_ = mirroredCentre(position_, mirrorX, mirrorY, mirrorZ);
    workOrientation_ = orientation_;
    if (transform.tilt() != 0.0) layout.tilt(transform.tilt(), centre_, workOrientation_);
    if (transform.heading() != 0.0)
        layout.rotateHeading(transform.heading(), centre_, workOrientation_);
    if (transform.height() != 0.0) layout.moveVertical(transform.height(), centre_);
    rotationMatrix_ = inverseRotationMatrix(workOrientation_);

    std::span<double> out = block.column(column);
    normalisedDistances(layout.positions(), centre_, rotationMatrix_, scale_, out);
    if (!distributions_.empty() && distributions_.front())
        distributions_.front()->apply(out);
    else
        std::fill(out.begin(), out.end(), 0.0);
}

VicinityWeights::VicinityWeights() : IVicinity(Vec3{}, Quat{0.0, 0.0, 0.0, 1.0}, Vec3{}) {}

void VicinityWeights::computeWeights(const ILayout& layout, const Transform& transform,
                                     DenseMatrix& block, std::size_t column) {
    evaluate(layout, transform, block, column, false, false, false);
}

void VicinityWeights::evaluate(const ILayout&, const Transform&, DenseMatrix& block,
                               std::size_t column, bool, bool, bool) {
    std::span<double> out = block.column(column);
    const std::size_t given = std::min(weights_.size(), out.size());
    std::copy_n(weights_.begin(), given, out.begin());
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(given), out.end(), 0.0);
}

std::shared_ptr<IVicinity> makeVicinity(int32_t kind, const Vec3& position,
                                        const Quat& orientation, const Vec3& scale) {
    switch (kind) {
    case 0: return std::make_shared<VicinityWeights>();
    case 1: return std::make_shared<VicinitySphere>(position, orientation, scale);
    default: return nullptr;
    }
}

} // namespace lmc
