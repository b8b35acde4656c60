#include "tools/waveforms/synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace waveforms {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// splitmix64: small, fast and the same on every machine.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; } // [0, 1)
    double between(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    double noise() { return 2.0 * uniform() - 1.0; }

private:
    uint64_t state_;
};

uint64_t hashName(const char* name) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (const char* p = name; *p != '\0'; ++p) {
        h ^= static_cast<unsigned char>(*p);
        h *= 0x100000001b3ULL;
    }
    return h;
}

bool nameHas(const WaveformSpec& spec, const char* word) {
    return std::strstr(spec.name, word) != nullptr;
}

// The part of the band the raw components are drawn from, kept away from
// the edges so that the final band-pass leaves them untouched.
struct InnerBand {
    double low;
    double high;
    double at(double fraction) const { return low + (high - low) * fraction; }
    double logAt(double fraction) const { return low * std::pow(high / low, fraction); }
};

InnerBand innerBand(const WaveformSpec& spec) {
    const double lo = spec.bandLowHz;
    const double hi = spec.bandHighHz;
    const double margin = 0.15 * (hi - lo);
    return InnerBand{std::max(lo + margin, 12.0), std::max(hi - margin, lo + margin + 1.0)};
}

// A slowly wandering level in [0, 1]: random points every `stepSeconds`,
// joined by raised-cosine segments.
class Drift {
public:
    Drift(Random& random, double stepSeconds) : random_(random), step_(stepSeconds * kRateHz) {
        from_ = random_.uniform();
        to_ = random_.uniform();
    }
    double next() {
        if (position_ >= step_) {
            position_ -= step_;
            from_ = to_;
            to_ = random_.uniform();
        }
        const double u = 0.5 - 0.5 * std::cos(std::numbers::pi * position_ / step_);
        position_ += 1.0;
        return from_ + (to_ - from_) * u;
    }

private:
    Random& random_;
    double step_;
    double position_ = 0.0;
    double from_;
    double to_;
};

// Tremolo rate in Hz at fraction u of the waveform.
double lfoRate(const WaveformSpec& spec, double steadyRate, double u) {
    switch (spec.glide) {
    case Glide::Up: return 2.0 + 10.0 * u;
    case Glide::Down: return 12.0 - 10.0 * u;
    case Glide::None: break;
    }
    return steadyRate;
}

// One exponentially decaying sinusoid added into out from sample `at`.
void addGrain(std::vector<double>& out, std::size_t at, double frequencyHz, double decaySeconds,
              double amplitude) {
    const std::size_t length = static_cast<std::size_t>(decaySeconds * 7.0 * kRateHz) + 1;
    const std::size_t end = std::min(out.size(), at + length);
    for (std::size_t n = at; n < end; ++n) {
        const double t = static_cast<double>(n - at) / kRateHz;
        out[n] += amplitude * std::exp(-t / decaySeconds) * std::sin(kTwoPi * frequencyHz * t);
    }
}

// A struck body: a few decaying modes over a short noise burst.
void addImpact(std::vector<double>& out, std::size_t at, double lengthSeconds,
               const InnerBand& band, Random& random, double amplitude, bool rough) {
    const int modes = 2 + static_cast<int>(random.uniform() * 2.0);
    for (int m = 0; m < modes; ++m)
        addGrain(out, at, band.logAt(random.uniform()),
                 lengthSeconds * random.between(0.08, 0.2), amplitude / (1.0 + m));
    const double noiseDecay = std::min(0.03, lengthSeconds / 8.0);
    const double noiseLevel = rough ? 1.2 : 0.6;
    const std::size_t end =
        std::min(out.size(), at + static_cast<std::size_t>(noiseDecay * 7.0 * kRateHz) + 1);
    for (std::size_t n = at; n < end; ++n) {
        const double t = static_cast<double>(n - at) / kRateHz;
        out[n] += amplitude * noiseLevel * std::exp(-t / noiseDecay) * random.noise();
    }
}

void renderKind(const WaveformSpec& spec, std::vector<double>& x, Random& random) {
    const std::size_t count = x.size();
    const double seconds = static_cast<double>(count) / kRateHz;
    const InnerBand band = innerBand(spec);
    auto fraction = [&](std::size_t n) { return static_cast<double>(n) / static_cast<double>(count); };

    switch (spec.kind) {
    case Kind::Tone: {
        const double f0 = band.at(random.between(0.4, 0.6));
        const double depth = std::min(2.0, 0.05 * (band.high - band.low));
        const double rate = random.between(4.0, 6.0);
        double phase = 0.0;
        for (std::size_t n = 0; n < count; ++n) {
            const double t = static_cast<double>(n) / kRateHz;
            x[n] = std::sin(phase);
            phase += kTwoPi * (f0 + depth * std::sin(kTwoPi * rate * t)) / kRateHz;
        }
        break;
    }
    case Kind::Sweep: {
        const bool up = spec.glide != Glide::Down;
        double phase = 0.0;
        for (std::size_t n = 0; n < count; ++n) {
            const double u = fraction(n);
            x[n] = std::sin(phase) + 0.25 * std::sin(1.5 * phase);
            phase += kTwoPi * band.logAt(up ? u : 1.0 - u) / kRateHz;
        }
        break;
    }
    case Kind::LfoTone:
    case Kind::LfoNoise: {
        const double f0 = band.logAt(random.between(0.3, 0.7));
        const double steadyRate = random.between(3.0, 7.0);
        double carrier = 0.0;
        double lfo = 0.0;
        for (std::size_t n = 0; n < count; ++n) {
            const double source = spec.kind == Kind::LfoTone ? std::sin(carrier) : random.noise();
            x[n] = source * (0.55 + 0.45 * std::sin(lfo));
            carrier += kTwoPi * f0 / kRateHz;
            lfo += kTwoPi * lfoRate(spec, steadyRate, fraction(n)) / kRateHz;
        }
        break;
    }
    case Kind::Noise: {
        Drift drift(random, random.between(0.15, 0.4));
        for (std::size_t n = 0; n < count; ++n) x[n] = random.noise() * (0.5 + 0.5 * drift.next());
        break;
    }
    case Kind::Impact:
        addImpact(x, 0, seconds, band, random, 1.0, spec.bandLowHz == 0);
        break;
    case Kind::Click:
        if (spec.bandLowHz == 0)
            addImpact(x, 0, seconds, band, random, 1.0, true);
        else
            addGrain(x, 0, band.at(0.5), seconds / 6.0, 1.0);
        break;
    case Kind::Repeats: {
        const double rate = random.between(4.0, 12.0);
        const double hitSeconds = 0.8 / rate;
        Random modes(random.next());
        for (double t = 0.0; t < seconds - 0.25 * hitSeconds; t += 1.0 / rate) {
            Random hit = modes; // every hit rings the same body
            addImpact(x, static_cast<std::size_t>(t * kRateHz), hitSeconds, band, hit,
                      random.between(0.7, 1.0), false);
        }
        break;
    }
    case Kind::Grains: {
        double density = random.between(15.0, 40.0);
        if (nameHas(spec, "dense")) density = 90.0;
        if (nameHas(spec, "rare")) density = 5.0;
        double t = random.between(0.0, 1.0 / density);
        while (t < seconds) {
            const double u = t / seconds;
            double position = random.uniform();
            if (spec.glide == Glide::Up) position = 0.6 * u + 0.4 * position;
            if (spec.glide == Glide::Down) position = 0.6 * (1.0 - u) + 0.4 * position;
            addGrain(x, static_cast<std::size_t>(t * kRateHz), band.logAt(position),
                     random.between(0.005, 0.02), random.between(0.3, 1.0));
            t += -std::log(1.0 - random.uniform()) / density;
        }
        break;
    }
    case Kind::Pwm: {
        const double f0 = band.at(random.between(0.05, 0.2));
        double phase = 0.0;
        for (std::size_t n = 0; n < count; ++n) {
            const double u = fraction(n);
            const double duty = spec.glide == Glide::Down ? 0.9 - 0.8 * u : 0.1 + 0.8 * u;
            x[n] = (phase < duty ? 1.0 : -1.0) - (2.0 * duty - 1.0);
            phase += f0 / kRateHz;
            if (phase >= 1.0) phase -= 1.0;
        }
        break;
    }
    case Kind::Harmonic: {
        const double f0 = band.low * random.between(1.0, 1.2);
        const double wobbleRate = random.between(0.3, 1.2);
        Drift drift(random, 0.5);
        double phase = 0.0;
        for (std::size_t n = 0; n < count; ++n) {
            const double t = static_cast<double>(n) / kRateHz;
            double sample = 0.0;
            for (int k = 1; k * f0 <= band.high; ++k) sample += std::sin(k * phase) / k;
            x[n] = sample;
            const double f = f0 * (1.0 + 0.03 * std::sin(kTwoPi * wobbleRate * t) +
                                   0.03 * (drift.next() - 0.5));
            phase += kTwoPi * f / kRateHz;
        }
        break;
    }
    case Kind::Heartbeat: {
        const double period = random.between(0.7, 0.95);
        const double lub = band.at(random.between(0.1, 0.3));
        const double dub = band.at(random.between(0.3, 0.5));
        for (double t = 0.05; t < seconds - 0.3; t += period) {
            addGrain(x, static_cast<std::size_t>(t * kRateHz), lub, 0.035, 1.0);
            addGrain(x, static_cast<std::size_t>((t + 0.3 * period) * kRateHz), dub, 0.025, 0.6);
        }
        break;
    }
    case Kind::Breath: {
        const double cycle = random.between(3.0, 4.0);
        for (std::size_t n = 0; n < count; ++n) {
            const double phase = std::fmod(static_cast<double>(n) / kRateHz, cycle) / cycle;
            double level = 0.0;
            if (phase < 0.4)
                level = 0.6 * std::pow(std::sin(std::numbers::pi * phase / 0.4), 2.0);
            else if (phase < 0.9)
                level = std::pow(std::sin(std::numbers::pi * (phase - 0.4) / 0.5), 2.0);
            x[n] = random.noise() * level;
        }
        break;
    }
    case Kind::Beeps: {
        const int notes = 2 + static_cast<int>(random.uniform() * 4.0);
        const double slot = seconds / notes;
        const double fa = band.logAt(random.between(0.1, 0.4));
        const double fb = band.logAt(random.between(0.6, 0.9));
        for (int i = 0; i < notes; ++i) {
            const double u = notes == 1 ? 0.5 : static_cast<double>(i) / (notes - 1);
            double f = (i % 2 == 0) ? fa : fb;
            if (spec.glide == Glide::Up) f = fa * std::pow(fb / fa, u);
            if (spec.glide == Glide::Down) f = fb * std::pow(fa / fb, u);
            const std::size_t begin = static_cast<std::size_t>(i * slot * kRateHz);
            const std::size_t length = static_cast<std::size_t>(0.75 * slot * kRateHz);
            for (std::size_t k = 0; k < length && begin + k < count; ++k) {
                const double t = static_cast<double>(k) / kRateHz;
                const double edge = std::min({1.0, t / 0.005, (length - k) / (0.02 * kRateHz)});
                x[begin + k] += edge * std::sin(kTwoPi * f * t);
            }
        }
        break;
    }
    }
}

void applyShape(Shape shape, std::vector<double>& x) {
    const std::size_t count = x.size();
    const double edge = std::max(1.0, std::min(0.015 * kRateHz, 0.1 * count));
    for (std::size_t n = 0; n < count; ++n) {
        const double u = static_cast<double>(n) / static_cast<double>(count);
        const double fromStart = static_cast<double>(n) / edge;
        const double toEnd = static_cast<double>(count - n) / edge;
        double level = 1.0;
        switch (shape) {
        case Shape::Steady: level = std::min({1.0, fromStart, toEnd}); break;
        case Shape::FadeIn: level = std::min(std::pow(u, 1.5), toEnd); break;
        case Shape::FadeOut: level = std::min(std::pow(1.0 - u, 1.5), fromStart); break;
        case Shape::Swell: level = std::sin(std::numbers::pi * u); break;
        case Shape::Decay: level = std::min(1.0, (1.0 - u) * 10.0); break; // sharp attack kept
        }
        x[n] *= level;
    }
}

// Fourth-order Butterworth as two biquads (audio-EQ cookbook forms).
struct Section {
    double b0, b1, b2, a1, a2;
};

void butterworth(double cutoffHz, bool highPass, Section out[2]) {
    static constexpr double kQ[2] = {0.54119610014619698, 1.3065629648763766};
    const double w0 = kTwoPi * cutoffHz / kRateHz;
    const double c = std::cos(w0);
    for (int i = 0; i < 2; ++i) {
        const double alpha = std::sin(w0) / (2.0 * kQ[i]);
        const double a0 = 1.0 + alpha;
        const double b0 = highPass ? (1.0 + c) / 2.0 : (1.0 - c) / 2.0;
        const double b1 = highPass ? -(1.0 + c) : 1.0 - c;
        out[i] = Section{b0 / a0, b1 / a0, b0 / a0, -2.0 * c / a0, (1.0 - alpha) / a0};
    }
}

void runForward(const Section sections[2], std::vector<double>& x) {
    for (int i = 0; i < 2; ++i) {
        const Section& s = sections[i];
        double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
        for (double& v : x) {
            const double y = s.b0 * v + s.b1 * x1 + s.b2 * x2 - s.a1 * y1 - s.a2 * y2;
            x2 = x1;
            x1 = v;
            y2 = y1;
            y1 = y;
            v = y;
        }
    }
}

// Zero-phase: forward, then backward through the same sections.
void filtFilt(const Section sections[2], std::vector<double>& x) {
    runForward(sections, x);
    std::reverse(x.begin(), x.end());
    runForward(sections, x);
    std::reverse(x.begin(), x.end());
}

// Two zero-phase passes of each edge: 16th order, so that next to nothing
// of the raw signal's spectrum outside the band survives.
void bandLimit(const WaveformSpec& spec, std::vector<double>& x) {
    Section lowPass[2];
    butterworth(0.94 * spec.bandHighHz, false, lowPass);
    Section highPass[2];
    butterworth(1.06 * spec.bandLowHz + 1.0, true, highPass);
    for (int pass = 0; pass < 2; ++pass) {
        filtFilt(lowPass, x);
        if (spec.bandLowHz > 0) filtFilt(highPass, x);
    }
}

} // namespace

std::vector<float> synthesise(const WaveformSpec& spec, uint64_t count) {
    Random random(hashName(spec.name));
    std::vector<double> x(count, 0.0);
    renderKind(spec, x, random);
    applyShape(spec.shape, x);
    bandLimit(spec, x);

    double peak = 0.0;
    for (double v : x) peak = std::max(peak, std::fabs(v));
    const double level = random.between(0.8, 0.98);
    const double scale = peak > 0.0 ? level / peak : 0.0;
    std::vector<float> samples(count);
    for (std::size_t n = 0; n < count; ++n)
        samples[n] = std::clamp(static_cast<float>(x[n] * scale), -1.0f, 1.0f);
    return samples;
}

} // namespace waveforms
