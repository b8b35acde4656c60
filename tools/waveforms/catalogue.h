// The catalogue of the 204 embedded waveforms: names in table order, what
// each one sounds like, its band and its length. The synthesiser renders the
// shipped set from it; the recording importer takes its names and, where a
// recording gives none, its bands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace waveforms {

// How a waveform is synthesised.
enum class Kind {
    Tone,      // steady sine with a little vibrato
    Sweep,     // sine gliding across the band
    LfoTone,   // sine under a tremolo whose rate may glide
    LfoNoise,  // noise under a tremolo whose rate may glide
    Noise,     // band-limited noise texture with a slow amplitude drift
    Impact,    // decaying resonances over a noise burst
    Repeats,   // a train of impacts
    Click,     // one very short impact
    Grains,    // scattered short grains
    Pwm,       // pulse train whose duty cycle glides
    Harmonic,  // periodic tone with harmonics and a wobble (buzz, engine)
    Heartbeat, // lub-dub pairs
    Breath,    // slow noise cycles of breathing in and out
    Beeps,     // a short melody of tones
};

// The overall envelope laid over the synthesised signal.
enum class Shape { Steady, FadeIn, FadeOut, Swell, Decay };

// Direction of the glide, for the kinds that have one.
enum class Glide { None, Up, Down };

struct WaveformSpec {
    const char* name;
    Kind kind;
    Shape shape;
    Glide glide;
    double seconds;      // intended length, before the catalogue fits the total
    int bandLowHz;
    int bandHighHz;
    uint64_t fixedCount; // 0: derived from seconds
};

constexpr std::size_t kWaveformCount = 204;
constexpr uint64_t kTotalSamples = 4'465'169;
constexpr double kRateHz = 8000.0;

const std::vector<WaveformSpec>& catalogue();

// The sample count of every waveform: the fixed counts as given, the others
// from their intended lengths, scaled so that the whole table holds exactly
// kTotalSamples samples. Every derived count lies strictly between the
// shortest and the longest fixed counts.
std::vector<uint64_t> catalogueCounts();

} // namespace waveforms
