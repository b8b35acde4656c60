// Board-side spatial weighting: the weight bytes of vicinity keyframes,
// computed on the host when a sample is uploaded.
//
// The geometry is the engine's (the vest's 20 actuator positions, the
// capsule moves, the ellipsoid distance and the fast-Gaussian distribution
// of lumetra-core); what differs is the calling form: height, heading and
// tilt arrive as three floats (metres, radians), the mirror flags as
// arguments, and a vicinity's amplitude stays in percent, so a full
// vicinity gives weights up to 100, written as bytes directly.
//
// A vicinity's working fields are rewritten by every computeWeights: one
// vicinity is evaluated by one thread at a time (the sequencing thread).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "lumetra-core/src/layout.h"
#include "lumetra-core/src/weight_distribution.h"

namespace board {

inline constexpr std::size_t kActuatorCount = lmc::kCapsuleActuatorCount; // 20

// The vest's actuators, row = actuator index (x front-back, y vertical,
// z right-left, metres).
inline constexpr const std::array<lmc::Vec3, kActuatorCount>& actuatorPositions = lmc::kCapsulePositions;

class IVicinity {
public:
    virtual ~IVicinity() = default;
    // One weight per actuator into out (kActuatorCount entries).
    virtual void computeWeights(float height, float heading, float tilt, bool mirrorX, bool mirrorY,
                                bool mirrorZ, std::span<double, kActuatorCount> out) = 0;

    // The amplitude (percent) of distribution `index`: 0, or -2 (logged,
    // tag "IV") when no distribution has that index.
    int32_t getAmplitude(int32_t index, float& amplitude) const;
    // Sets it (clamped to 0..100 by the distribution): 0, or -2 as above.
    int32_t applyToDistribution(int32_t index, float value);

protected:
    IVicinity(const lmc::Vec3& position, const lmc::Quat& orientation, const lmc::Vec3& scale)
        : position(position), orientation(orientation), scale(scale) {}

    lmc::Vec3 position;
    lmc::Vec3 centre;
    lmc::Mat3 rotationMatrix;
    lmc::Quat orientation;
    lmc::Quat workOrientation;
    lmc::Vec3 scale;
    std::vector<std::shared_ptr<lmc::IWeightDistribution>> distributions;
};

// An ellipsoid whose normalised distance to each actuator goes through the
// "Normalized" distribution (amplitude 1 until a keyframe sets it; plateau
// below 0.6, nothing from 1.0 on).
class VicinitySphere final : public IVicinity {
public:
    VicinitySphere(const lmc::Vec3& position, const lmc::Quat& orientation, const lmc::Vec3& scale);
    void computeWeights(float height, float heading, float tilt, bool mirrorX, bool mirrorY, bool mirrorZ,
                        std::span<double, kActuatorCount> out) override;
};

std::shared_ptr<VicinitySphere> makeVicinitySphere(const lmc::Vec3& position, const lmc::Quat& orientation,
                                                   const lmc::Vec3& scale);

} // namespace board
