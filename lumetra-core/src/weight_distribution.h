// Weight distributions: from an actuator's normalised distance to a vicinity
// centre to the actuator's weight.
#pragma once

#include <memory>
#include <span>
#include <string>

namespace lmc {

class IWeightDistribution {
public:
    virtual ~IWeightDistribution() = default;
    // Plateau height; clamped to [0, 100], NaN taken as 0.
    virtual void setAmplitude(float amplitude) noexcept = 0;
    // Breakpoints along the distance axis, expected a <= b <= c <= d; stored
    // as given.
    virtual void setBreakpoints(float a, float b, float c, float d) noexcept = 0;
    // Replaces every distance by its weight, in place. Real-time safe: no
    // allocation, no lock, no call beyond arithmetic.
    virtual void apply(std::span<double> distances) const noexcept = 0;
    virtual float amplitude() const noexcept = 0;
};

// A trapezoid with bell-shaped flanks: 0 below a, a rising flank on [a, b),
// the plateau `amplitude` on [b, c), a falling flank on [c, d), 0 from d on.
// A flank is amplitude * (1 - u + u^2/2 - u^3/6), the cubic start of
// amplitude * e^-u, with u growing from 0 at the plateau's edge to
// 0.5 * 1.7858^2 at the outer breakpoint (about a thousandth of the plateau
// there). A NaN distance weighs 0.
class WDFastGaussian final : public IWeightDistribution {
public:
    WDFastGaussian(float amplitude, float a, float b, float c, float d, std::string name);

    void setAmplitude(float amplitude) noexcept override;
    void setBreakpoints(float a, float b, float c, float d) noexcept override;
    void apply(std::span<double> distances) const noexcept override;
    float amplitude() const noexcept override { return amplitude_; }

    const std::string& name() const noexcept { return name_; }
    double weightOf(double distance) const noexcept;

private:
    void updateCoefficients() noexcept;

    std::string name_;
    float amplitude_ = 0.0f;
    float a_ = 0.0f;
    float b_ = 0.0f;
    float c_ = 0.0f;
    float d_ = 0.0f;
    double kRise_ = 0.0;
    double ampOver6_ = 0.0;
    double kFall_ = 0.0;
};

// The distribution every vicinity sphere starts with: amplitude 1, plateau
// below normalised distance 0.6, falling to 0 at 1.
std::shared_ptr<WDFastGaussian> makeNormalizedDistribution();

} // namespace lmc
