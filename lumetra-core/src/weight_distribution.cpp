#include "weight_distribution.h"

#include <cmath>
#include <utility>

namespace lmc {
namespace {

// Chosen so that the cubic stays positive over a whole flank: its zero lies at
// u = 1.5961, just beyond the flank's end at 0.5 * 1.7858^2 = 1.5945.
constexpr double kFlankSpan = 1.7858;

double flankCoefficient(float from, float to) {
    const float width = to - from; // in single precision, like the breakpoints
    if (width == 0.0f) return 0.0;
    const double k = kFlankSpan / static_cast<double>(width);
    return 0.5 * k * k;
}

} // namespace

WDFastGaussian::WDFastGaussian(float amplitude, float a, float b, float c, float d,
                               std::string name)
    : name_(std::move(name)), a_(a), b_(b), c_(c), d_(d) {
    setAmplitude(amplitude);
}

void WDFastGaussian::setAmplitude(float amplitude) noexcept {
    // NaN fails both comparisons: without the explicit test it would pass
    // through as the plateau and poison every weight.
    if (std::isnan(amplitude) || amplitude <= 0.0f)
        amplitude_ = 0.0f;
    else if (amplitude >= 100.0f)
        amplitude_ = 100.0f;
    else
        amplitude_ = amplitude;
    updateCoefficients();
}

void WDFastGaussian::setBreakpoints(float a, float b, float c, float d) noexcept {
    a_ = a;
    b_ = b;
    c_ = c;
    d_ = d;
    updateCoefficients();
}

void WDFastGaussian::updateCoefficients() noexcept {
    kRise_ = flankCoefficient(a_, b_);
    ampOver6_ = static_cast<double>(amplitude_ * 0.16666667f);
    kFall_ = flankCoefficient(c_, d_);
}

double WDFastGaussian::weightOf(double x) const noexcept {
    const double a = a_, b = b_, c = c_, d = d_;
    double u;
    if (x < a) return 0.0;
    if (x < b) {
        u = (x - b) * (x - b) * kRise_;
    } else if (x < c) {
        return amplitude_;
    } else if (x < d) {
        u = (x - c) * (x - c) * kFall_;
    } else {
        return 0.0; // beyond d, and NaN
    }
    return (6.0 - (6.0 - (3.0 - u) * u) * u) * ampOver6_;
}

void WDFastGaussian::apply(std::span<double> distances) const noexcept {
    for (double& x : distances) x = weightOf(x);
}

std::shared_ptr<WDFastGaussian> makeNormalizedDistribution() {
    return std::make_shared<WDFastGaussian>(1.0f, 0.0f, 0.0f, 0.6f, 1.0f, "Normalized");
}

} // namespace lmc
