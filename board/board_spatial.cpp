#include "board/board_spatial.h"

#include <cmath>

#include "sdk/errors.h"
#include "sdk/log.h"
#include "lumetra-core/src/vicinity.h"

namespace board {

namespace {

bool invalidIndex(int32_t index, std::size_t count) {
    if (index >= 0 && static_cast<std::size_t>(index) < count) return false;
    LogStream(TRV_LOG_ERROR, "IV") << errorCodeToString(TRV_ERROR_INVALID_PARAMETER) << " ("
                                   << TRV_ERROR_INVALID_PARAMETER << ") -- "
                                   << "The provided index does not correspond to a valid weight distribution.";
    return true;
}

} // namespace

int32_t IVicinity::getAmplitude(int32_t index, float& amplitude) const {
    if (invalidIndex(index, distributions.size())) return TRV_ERROR_INVALID_PARAMETER;
    amplitude = distributions[static_cast<std::size_t>(index)]->amplitude();
    return TRV_NO_ERROR;
}

int32_t IVicinity::applyToDistribution(int32_t index, float value) {
    if (invalidIndex(index, distributions.size())) return TRV_ERROR_INVALID_PARAMETER;
    distributions[static_cast<std::size_t>(index)]->setAmplitude(value);
    return TRV_NO_ERROR;
}

VicinitySphere::VicinitySphere(const lmc::Vec3& position, const lmc::Quat& orientation, const lmc::Vec3& scale)
    : IVicinity(position, orientation, scale) {
    distributions.push_back(lmc::makeNormalizedDistribution());
}

void VicinitySphere::computeWeights(float height, float heading, float tilt, bool mirrorX, bool mirrorY,
                                    bool mirrorZ, std::span<double, kActuatorCount> out) {
    centre = lmc::mirroredCentre(position, mirrorX, mirrorY, mirrorZ);
    workOrientation = orientation;
    if (tilt != 0.0f) lmc::capsuleTilt(static_cast<double>(tilt), centre, workOrientation);
    if (heading != 0.0f) {
        // The point turns by the single-precision sine and cosine of the
        // heading, the orientation by the double-precision half angle.
        const double half = static_cast<double>(heading) / 2;
        lmc::capsuleRotateHeading(static_cast<double>(std::cos(heading)), static_cast<double>(std::sin(heading)),
                                  std::cos(half), std::sin(half), centre, workOrientation);
    }
    if (height != 0.0f) lmc::capsuleMoveVertical(static_cast<double>(height), centre);
    rotationMatrix = lmc::inverseRotationMatrix(workOrientation);
    lmc::normalisedDistances(actuatorPositions, centre, rotationMatrix, scale, out);
    distributions.front()->apply(out);
}

std::shared_ptr<VicinitySphere> makeVicinitySphere(const lmc::Vec3& position, const lmc::Quat& orientation,
                                                   const lmc::Vec3& scale) {
    return std::make_shared<VicinitySphere>(position, orientation, scale);
}

} // namespace board
