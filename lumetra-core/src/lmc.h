// The rendering engine: one instance (lmc::LumetraCore) renders the loaded
// patterns' playing sequences into one buffer per actuator, and is driven
// through the C-style functions below.
//
// Contracts
// - Thread-safety: an instance is not thread-safe and starts no thread. Its
//   owner calls every function of one instance, renders included, from one
//   thread at a time (the streaming handler holds its state mutex). Instances
//   are independent of each other except for the engine's process-wide state:
//   the log settings and the render cycle (lmc_log.h, atomics with per-thread
//   text buffers) and the shared playback-clock table (see the playback
//   generator).
// - Errors: no exception leaves any function of this header. Results are the
//   engine's codes of trv_error_t: TRV_ERROR_CORE_INVALID_ARGUMENT (-100),
//   _INVALID_SPN (-99), _INSTANCE_ALLOCATED (-97), _SEQUENCE_NOT_ALLOCATED
//   (-96), _PATTERN_NOT_ALLOCATED (-95), _SEQUENCE_PLAYING (-93),
//   _INVALID_OPERATION (-92, an operation that could not be carried out,
//   such as running out of memory).
// - Logging: every call writes its line through lmc_log with the location
//   "lmc:<line>": info (2) for each configuration, pattern, sequence and
//   property call, warning (3) for refused values and unknown identifiers
//   ("entry not allocated (invalid map<K, T> key)"). A line below the log
//   level is not formatted at all.
// - Real time: process() allocates, locks and logs nothing once warm (only
//   the first render after the layout's actuator count changed allocates);
//   nothing else here is meant for a real-time thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "id_registry.h"
#include "layout.h"
#include "pattern.h"
#include "sequence.h"
#include "transform.h"

namespace lmc {

// The largest buffer an instance renders at once: 65536 frames (1.37 s at
// 48 kHz, 10 MiB of doubles for 20 actuators). Larger requests are capped.
constexpr std::size_t kMaxBufferFrames = std::size_t{1} << 16;
// Frames that the effects render per generator call.
constexpr std::size_t kScratchFrames = 2048;
// Time between two evaluations of an effect's spatial weights, counted on
// the effect's own output so that rendering does not depend on buffer sizes.
constexpr double kSpatialCellSeconds = 0.01;
// The rate an instance uses when constructed with an invalid one.
constexpr double kDefaultSampleRate = 48000.0;

// The visualiser weights of one sequence.
struct SequenceWeights {
    int32_t sequenceId;
    std::vector<float> weights; // per actuator: largest weight x peak since the last reset
};

class LumetraCore {
public:
    // `layout`: the actuator layout, shared (null: the vest's capsule).
    // `sampleRate`: Hz; an invalid one (not a positive finite number) is
    // refused as config_sample_rate_set refuses it, and 48000 Hz is used.
    // `bufferSize`: frames, as config_buffer_size_set takes them (0 gives 1,
    // beyond kMaxBufferFrames is capped). Logs "LumetraCore(layout=%p,
    // sample_rate=%f, buffer_size=%zu)". Throws std::bad_alloc only.
    LumetraCore(std::shared_ptr<ILayout> layout, double sampleRate, std::size_t bufferSize);
    ~LumetraCore();
    LumetraCore(const LumetraCore&) = delete;
    LumetraCore& operator=(const LumetraCore&) = delete;

    const std::shared_ptr<ILayout>& layout() const noexcept { return layout_; }
    // One buffer per actuator of the layout, config_buffer_size_get() frames
    // each; after process() every sample lies in [-1, 1]. Valid until the
    // next call that changes the buffer size or the layout's actuator count.
    const std::vector<std::vector<double>>& actuatorBuffers() const noexcept {
        return actuatorBuffers_;
    }
    // Seconds rendered since construction or the last resetClock().
    double time() const noexcept { return time_; }
    // Zeroes every sequence's visualiser weights and the time.
    void resetClock() noexcept;
    // `out` becomes one record per sequence, in ascending identifier order.
    // Reuses the records' storage: allocates only when `out` must grow.
    // On failure to allocate `out` is left empty.
    void collectSequenceWeights(std::vector<SequenceWeights>& out) const noexcept;

    // Renders one buffer: every sequence in ascending identifier order into
    // the actuator buffers, clamped to [-1, 1] (NaN becomes 0); ended
    // auto-delete sequences are erased; the time and the process-wide render
    // cycle advance. While paused: silence, and nothing moves.
    void process() noexcept;

    std::size_t bufferFrames() const noexcept { return bufferFrames_; }
    double sampleRate() const noexcept { return sampleRate_; }
    double globalBoost() const noexcept { return globalBoost_; }
    bool paused() const noexcept { return paused_; }
    const IdRegistry<Pattern>& patterns() const noexcept { return patterns_; }
    const IdRegistry<Sequence>& sequences() const noexcept { return sequences_; }

private:
    friend struct CoreAccess; // the C-style functions, in lmc.cpp

    // Resizes every buffer to `frames` (already within range); strong
    // guarantee. False when out of memory.
    bool resizeBuffers(std::size_t actuators, std::size_t frames) noexcept;
    void silence() noexcept;

    double sampleRate_;
    double globalBoost_ = 0.0;
    bool paused_ = false;
    std::shared_ptr<ILayout> layout_;
    std::vector<std::vector<double>> actuatorBuffers_;
    IdRegistry<Pattern> patterns_;
    IdRegistry<Sequence> sequences_;
    double time_ = 0.0;
    std::size_t bufferFrames_ = 0;
    std::vector<double*> channels_; // actuatorBuffers_[a].data(), refreshed on resize
    std::vector<float> scratch_;    // kScratchFrames samples, shared by every effect
};

// A new vest layout (the 20-actuator capsule), shared.
std::shared_ptr<ILayout> layout_new_tarvonel_capsule();

// --- Configuration --------------------------------------------------------
// Output rate in Hz, picked up by every sequence at the next render. A rate
// that is not a positive finite number is refused: warning "invalid sample
// rate: %f", the old rate stays, -100. Else 0.
int32_t config_sample_rate_set(LumetraCore& core, double rateHz) noexcept;
double config_sample_rate_get(const LumetraCore& core) noexcept;
// Added to every sequence's boost (their sum is clamped to [0, 1]); stored
// unchanged.
void config_global_boost_set(LumetraCore& core, double boost) noexcept;
double config_global_boost_get(const LumetraCore& core) noexcept;
// Frames per rendered buffer: 0 becomes 1 ("invalid buffer size (set to 1
// instead)"), more than kMaxBufferFrames becomes kMaxBufferFrames ("invalid
// buffer size (set to 65536 instead)"). Read the size back with
// config_buffer_size_get. The buffers keep their capacity: a size no larger
// than the largest one set before allocates nothing. 0, or -92 when the
// buffers could not be allocated (the old size stays).
int32_t config_buffer_size_set(LumetraCore& core, std::size_t frames) noexcept;
std::size_t config_buffer_size_get(const LumetraCore& core) noexcept;

// --- Patterns -------------------------------------------------------------
// Validates `spn` (a zero-terminated text, read during the call) and stores
// it under `id` (-1: the next free identifier). The identifier, or -99
// (invalid text, whatever the id), -100 (id < -1, or INT32_MAX), -97 (taken).
int32_t pattern_load_from_spn(LumetraCore& core, const char* spn, int32_t id) noexcept;
// Removes the pattern if loaded; sequences made from it play on. Always 0.
int32_t pattern_unload(LumetraCore& core, int32_t id) noexcept;
// The pattern's boost (its patternBoost / 100); unknown: warning, 0.
double pattern_get_boost(const LumetraCore& core, int32_t id) noexcept;
// Moves the next automatic identifier up to n when n is larger; returns the
// next automatic identifier.
int32_t pattern_reserve_id_range(LumetraCore& core, int32_t n) noexcept;
bool pattern_is_allocated(const LumetraCore& core, int32_t id) noexcept;
// Unknown: warning, 0.
int32_t pattern_get_max_simultaneous_effects(const LumetraCore& core, int32_t id) noexcept;

// --- Sequences ------------------------------------------------------------
// A new stopped sequence of the pattern, stored under `sequence_id` (-1: the
// next free identifier). The identifier, or -95 (no such pattern), -100,
// -97, or -92 (out of memory).
int32_t sequence_new(LumetraCore& core, int32_t pattern_id, bool auto_delete,
                     int32_t sequence_id) noexcept;
// Plays after `latency` seconds of rendered silence, from `play_at` seconds
// into the pattern. -96 unknown, -100 a time negative or not finite, -93
// already playing, else 0.
int32_t sequence_play(LumetraCore& core, int32_t id, double play_at, double latency) noexcept;
// 0 s stops at once; any other duration fades out over round(rate x d)
// samples (none: the sequence ends at the next render). -96 unknown, else 0.
int32_t sequence_stop(LumetraCore& core, int32_t id, double fade_out_duration) noexcept;
// 1 playing, 2 fading out, 3 not playing; unknown: warning, 0.
int32_t sequence_get_state(const LumetraCore& core, int32_t id) noexcept;
// Unknown: warning, -96.
int32_t sequence_get_pattern_id(const LumetraCore& core, int32_t id) noexcept;
// Unknown: warning, false.
bool sequence_is_muted(const LumetraCore& core, int32_t id) noexcept;
// The sequence's spatial transform, to be written before or while it plays;
// valid until the sequence is erased. Unknown: warning, null.
Transform* sequence_get_transform(LumetraCore& core, int32_t id) noexcept;

// --- Sequence properties ----------------------------------------------------
// Each returns 0, -96 for an unknown sequence (warning, nothing changes), or
// -100 for a refused value (warning, nothing changes).
// Volume factor: negative and NaN store 0; infinite is refused.
int32_t property_volume_set(LumetraCore& core, int32_t id, double volume) noexcept;
// Speed factor: negative stores 0 (silence: the samples' time stands still);
// NaN and infinite are refused.
int32_t property_speed_set(LumetraCore& core, int32_t id, double speed) noexcept;
// Plays of the whole pattern; 0 = endless.
int32_t property_repeat_count_set(LumetraCore& core, int32_t id, uint32_t repeat_count) noexcept;
// Seconds between plays: negative and NaN store 0; infinite is refused.
int32_t property_repeat_delay_set(LumetraCore& core, int32_t id, double repeat_delay) noexcept;
// Seconds the sequence may last, 0 = no limit: negative and NaN store 0;
// infinite is refused.
int32_t property_max_duration_set(LumetraCore& core, int32_t id, double max_duration) noexcept;
// Replaces the pattern's boost for this sequence; stored unchanged.
int32_t property_boost_set(LumetraCore& core, int32_t id, double boost) noexcept;

// --- Whole instance ---------------------------------------------------------
// While paused, renders are silent and nothing moves.
void set_pause(LumetraCore& core, bool paused) noexcept;
// sequence_stop's rule applied to every sequence in ascending identifier order.
void stop_all(LumetraCore& core, double fade_out_duration) noexcept;

} // namespace lmc
