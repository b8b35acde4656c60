#include "vyx/src/wave_tables.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <numbers>

namespace vyx {
namespace {

// The pulse shapes are designed, not recorded: each is built from a few
// anchors (extremes and zero crossings) joined by monotone raised-cosine
// segments, so every sample lies between its two anchors and the anchors
// themselves are the table's extremes, exactly at the stated positions and
// values. A transient rises from 0 to its first extreme, swings to the second
// and rings down, halving in steps that reach about 1 % by its last sample,
// which is exactly 0.

constexpr std::size_t kSineCount = 1000;
constexpr std::size_t kDefaultPulseCount = 1000;

struct TransientShape {
    std::size_t count;
    std::size_t firstIndex;
    double firstValue;
    std::size_t secondIndex;
    double secondValue;
};

// Sharp 1..3, Crunchy 1..3, Smooth 1..3, in WaveId order.
constexpr std::array<TransientShape, 9> kTransients{{
    {5848, 213, -0.716636, 428, 1.0},
    {3366, 70, -0.883624, 161, 1.0},
    {1352, 44, -0.82317, 85, 1.0},
    {6108, 640, 0.978524, 970, -1.0},
    {2189, 244, 1.0, 363, -0.871488},
    {2212, 243, -0.762972, 857, 1.0},
    {1782, 964, 1.0, 1273, -0.640214},
    {710, 170, -0.694452, 385, 1.0},
    {390, 152, 1.0, 243, -0.346947},
}};

constexpr std::size_t transientTotal() {
    std::size_t total = 0;
    for (const auto& shape : kTransients) total += shape.count;
    return total;
}

// Fills samples[from..to] with a monotone move from `a` to `b`: the raised
// cosine of u^shapeExponent, u going 0 to 1, so that the slope is 0 at both
// ends when the exponent exceeds 0.5. Both end values are written exactly.
void segment(double* samples, std::size_t from, double a, std::size_t to, double b,
             double shapeExponent = 1.0) {
    const double span = static_cast<double>(to - from);
    for (std::size_t i = from + 1; i < to; ++i) {
        const double u = std::pow(static_cast<double>(i - from) / span, shapeExponent);
        samples[i] = a + (b - a) * (0.5 - 0.5 * std::cos(std::numbers::pi * u));
    }
    samples[from] = a;
    samples[to] = b;
}

// The exponent that makes segment(from, a, to, b) pass through `value` at
// index `at`.
double exponentThrough(std::size_t from, double a, std::size_t to, double b, std::size_t at,
                       double value) {
    const double w = (value - a) / (b - a);
    const double u = std::acos(1.0 - 2.0 * w) / std::numbers::pi;
    return std::log(u) / std::log(static_cast<double>(at - from) / static_cast<double>(to - from));
}

void buildTransient(const TransientShape& shape, double* samples) {
    const std::size_t last = shape.count - 1;
    segment(samples, 0, 0.0, shape.firstIndex, shape.firstValue);
    segment(samples, shape.firstIndex, shape.firstValue, shape.secondIndex, shape.secondValue);
    // The ring-down: one extreme per half period of the main swing, alternating
    // in sign, each smaller than the stated extreme of its sign.
    const std::size_t half = shape.secondIndex - shape.firstIndex;
    std::size_t rings = 0;
    while (shape.secondIndex + (rings + 2) * half <= last) ++rings;
    double ratio = rings > 0 ? std::pow(0.01, 1.0 / static_cast<double>(rings)) : 0.0;
    ratio = std::fmin(ratio, 0.9 * std::fabs(shape.firstValue / shape.secondValue));
    std::size_t at = shape.secondIndex;
    double value = shape.secondValue;
    for (std::size_t k = 0; k < rings; ++k) {
        const double next = -value * ratio;
        segment(samples, at, value, at + half, next);
        at += half;
        value = next;
    }
    segment(samples, at, value, last, 0.0);
}

// A symmetric negative wavelet (sample i equals sample 1000 - i): 0 at 0,
// maxima 0.442561 at 293 and 707, sign changes between 380/381 and 619/620,
// minimum -1 at 500, 0.00007997 at 1 and 999.
void buildDefaultPulse(double* samples) {
    constexpr double kPeak = 0.442561;
    constexpr double kSecond = 0.00007997;
    constexpr std::size_t kPeakAt = 293;
    constexpr std::size_t kCentre = 500;
    const double rise = exponentThrough(0, 0.0, kPeakAt, kPeak, 1, kSecond);
    segment(samples, 0, 0.0, kPeakAt, kPeak, rise);
    // Crosses zero half-way between 380 and 381.
    const double crossing = (380.5 - kPeakAt) / static_cast<double>(kCentre - kPeakAt);
    const double w = kPeak / (kPeak + 1.0);
    const double fall = std::log(std::acos(1.0 - 2.0 * w) / std::numbers::pi) / std::log(crossing);
    segment(samples, kPeakAt, kPeak, kCentre, -1.0, fall);
    samples[1] = kSecond;
    for (std::size_t i = kCentre + 1; i < kDefaultPulseCount; ++i)
        samples[i] = samples[kDefaultPulseCount - i];
}

struct Tables {
    std::array<double, kSineCount> sine{};
    std::array<double, kDefaultPulseCount> defaultPulse{};
    std::array<double, transientTotal()> transients{};
    std::array<double, 1> tail{};
    std::array<WaveTable, kWaveCount> index{};

    Tables() {
        for (std::size_t i = 0; i < kSineCount; ++i)
            sine[i] = std::sin(2.0 * std::numbers::pi * static_cast<double>(i) / 1000.0);
        buildDefaultPulse(defaultPulse.data());
        index[static_cast<std::size_t>(WaveId::Sine)] = {sine.data(), kSineCount};
        index[static_cast<std::size_t>(WaveId::DefaultPulse)] = {defaultPulse.data(),
                                                                 kDefaultPulseCount};
        std::size_t offset = 0;
        for (std::size_t k = 0; k < kTransients.size(); ++k) {
            buildTransient(kTransients[k], transients.data() + offset);
            index[static_cast<std::size_t>(WaveId::SharpPulse1) + k] = {transients.data() + offset,
                                                                        kTransients[k].count};
            offset += kTransients[k].count;
        }
        index[static_cast<std::size_t>(WaveId::Tail)] = {tail.data(), 1};
    }
};

const Tables& tables() {
    static const Tables instance;
    return instance;
}

} // namespace

const WaveTable& waveTable(WaveId id) { return tables().index[static_cast<std::size_t>(id)]; }

void warmWaveTables() { (void)tables(); }

} // namespace vyx
