#include "lmc.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <utility>

#include "frames.h"
#include "lmc_log.h"
#include "target_clones.h"
#include "trv_types.h"

namespace lmc {
namespace {

// Every line of this file carries the location "lmc:<line>" with the line
// number that identifies it, whatever the line it is written on here.
#define LMC_AT(level, line, ...) ::lmc::lmc_log((level), "lmc", (line), __VA_ARGS__)

constexpr const char* kMapKeyError = "invalid map<K, T> key";

void warnUnknown(int32_t line) noexcept {
    LMC_AT(kLogWarning, line, "entry not allocated (%s)", kMapKeyError);
}

void logFailure(int32_t line, const char* function, const std::exception* e) noexcept {
    LMC_AT(kLogError, line, "%s failed: %s", function, e != nullptr ? e->what() : "unknown error");
}

bool validRate(double rateHz) noexcept { return rateHz > 0.0 && std::isfinite(rateHz); }

// Negative and NaN values store 0 (the properties' rule).
double nonNegative(double value) noexcept { return value > 0.0 ? value : 0.0; }

// sequence_stop's fade step for a duration: 0 stops at once; otherwise one
// step per sample over round(rate x d) samples, infinite (the sequence ends
// at the next render) when that is no sample.
double fadeStep(double rateHz, double seconds) noexcept {
    if (seconds == 0.0) return 0.0;
    const std::size_t samples = secondsToFrames(rateHz, seconds);
    return samples == 0 ? INFINITY : 1.0 / static_cast<double>(samples);
}

// Clamps each sample to [-1, 1]; a NaN becomes 0 (it must not drive an
// actuator at full strength). Selects, no branches: with AVX2 four at a time.
TRV_AVX2_CLONES void clampToUnit(double* samples, std::size_t count) noexcept {
    for (std::size_t k = 0; k < count; ++k) {
        double x = samples[k];
        x = x > 1.0 ? 1.0 : x;
        x = x < -1.0 ? -1.0 : x;
        samples[k] = x != x ? 0.0 : x;
    }
}

} // namespace

struct CoreAccess {
    static IdRegistry<Pattern>& patterns(LumetraCore& core) noexcept { return core.patterns_; }
    static IdRegistry<Sequence>& sequences(LumetraCore& core) noexcept { return core.sequences_; }
    static double& sampleRate(LumetraCore& core) noexcept { return core.sampleRate_; }
    static double& globalBoost(LumetraCore& core) noexcept { return core.globalBoost_; }
    static bool& paused(LumetraCore& core) noexcept { return core.paused_; }
    static bool resize(LumetraCore& core, std::size_t frames) noexcept {
        return core.resizeBuffers(core.actuatorBuffers_.size(), frames);
    }
    static std::size_t actuatorCount(const LumetraCore& core) noexcept {
        return core.actuatorBuffers_.size();
    }
};

namespace {

Sequence* findSequence(LumetraCore& core, int32_t id, int32_t warningLine) noexcept {
    Sequence* sequence = CoreAccess::sequences(core).find(id);
    if (sequence == nullptr) warnUnknown(warningLine);
    return sequence;
}

const Sequence* findSequence(const LumetraCore& core, int32_t id, int32_t warningLine) noexcept {
    const Sequence* sequence = core.sequences().find(id);
    if (sequence == nullptr) warnUnknown(warningLine);
    return sequence;
}

} // namespace

// --- The instance -------------------------------------------------------------

LumetraCore::LumetraCore(std::shared_ptr<ILayout> layout, double sampleRate,
                         std::size_t bufferSize)
    : sampleRate_(sampleRate), layout_(std::move(layout)) {
    if (!layout_) layout_ = makeLayout(ILayout::kTarvonelCapsule);
    LMC_AT(kLogInfo, 27, "LumetraCore(layout=%p, sample_rate=%f, buffer_size=%zu)",
           static_cast<const void*>(layout_.get()), sampleRate, bufferSize);
    if (!validRate(sampleRate_)) {
        LMC_AT(kLogWarning, 51, "invalid sample rate: %f", sampleRate);
        sampleRate_ = kDefaultSampleRate;
    }
    scratch_.assign(kScratchFrames, 0.0f);
    actuatorBuffers_.resize(layout_->actuatorCount());
    if (config_buffer_size_set(*this, bufferSize) != 0) throw std::bad_alloc();
}

LumetraCore::~LumetraCore() {
    sequences_.entries().clear();
    patterns_.entries().clear();
    actuatorBuffers_.clear();
    layout_.reset();
}

bool LumetraCore::resizeBuffers(std::size_t actuators, std::size_t frames) noexcept {
    if (actuators == actuatorBuffers_.size() && frames == bufferFrames_ &&
        channels_.size() == actuators)
        return true;
    try {
        if (actuators == actuatorBuffers_.size()) {
            // The same buffers at another length. Room is made for every
            // buffer before any length changes (a failure leaves the old
            // size), and a shorter length keeps the capacity, so a size that
            // changes between renders (the streams' requests, a
            // fast-forward's chunks) allocates nothing once its largest
            // value has been seen.
            channels_.resize(actuators);
            for (std::vector<double>& buffer : actuatorBuffers_) buffer.reserve(frames);
            for (std::size_t a = 0; a < actuators; ++a) {
                actuatorBuffers_[a].resize(frames, 0.0);
                channels_[a] = actuatorBuffers_[a].data();
            }
            bufferFrames_ = frames;
            return true;
        }
        std::vector<std::vector<double>> buffers(actuators);
        std::vector<double*> channels(actuators);
        for (std::size_t a = 0; a < actuators; ++a) {
            buffers[a].assign(frames, 0.0);
            if (a < actuatorBuffers_.size()) {
                const std::vector<double>& old = actuatorBuffers_[a];
                std::copy_n(old.begin(), std::min(old.size(), frames), buffers[a].begin());
            }
            channels[a] = buffers[a].data();
        }
        actuatorBuffers_.swap(buffers);
        channels_.swap(channels);
        bufferFrames_ = frames;
        return true;
    } catch (...) {
        return false;
    }
}

void LumetraCore::silence() noexcept {
    for (std::vector<double>& buffer : actuatorBuffers_) std::fill(buffer.begin(), buffer.end(), 0.0);
}

void LumetraCore::resetClock() noexcept {
    for (auto& [id, sequence] : sequences_.entries()) {
        std::vector<float>& weights = sequence.visualiserWeights();
        std::fill(weights.begin(), weights.end(), 0.0f);
    }
    time_ = 0.0;
}

void LumetraCore::collectSequenceWeights(std::vector<SequenceWeights>& out) const noexcept {
    try {
        out.resize(sequences_.size());
        std::size_t i = 0;
        for (const auto& [id, sequence] : sequences_.entries()) {
            out[i].sequenceId = id;
            out[i].weights.assign(sequence.visualiserWeights().begin(),
                                  sequence.visualiserWeights().end());
            ++i;
        }
    } catch (...) {
        out.clear();
    }
}

void LumetraCore::process() noexcept {
    try {
        const std::size_t actuators = layout_->actuatorCount();
        if (actuators != actuatorBuffers_.size()) {
            // The layout was reloaded: one buffer per actuator, all of the
            // current length.
            LMC_AT(kLogInfo, 73, "config_buffer_size_set(%zu)", bufferFrames_);
            if (!resizeBuffers(actuators, bufferFrames_)) {
                silence();
                return;
            }
        }
        silence();
        if (paused_) return;

        const SequenceOutput output{*layout_,
                                    channels_.data(),
                                    channels_.size(),
                                    bufferFrames_,
                                    sampleRate_,
                                    globalBoost_,
                                    scratch_,
                                    std::max<std::size_t>(
                                        secondsToFrames(sampleRate_, kSpatialCellSeconds), 1)};
        for (auto& [id, sequence] : sequences_.entries()) sequence.render(output);
        layout_->setChanged(false);

        for (std::vector<double>& buffer : actuatorBuffers_) clampToUnit(buffer.data(), buffer.size());

        auto& entries = sequences_.entries();
        for (auto it = entries.begin(); it != entries.end();)
            it = it->second.shouldErase() ? entries.erase(it) : std::next(it);

        lmc_render_cycle_advance();
        time_ += static_cast<double>(bufferFrames_) / sampleRate_;
    } catch (...) {
        silence(); // only a layout whose actuator count grew can get here
    }
}

std::shared_ptr<ILayout> layout_new_tarvonel_capsule() {
    return makeLayout(ILayout::kTarvonelCapsule);
}

// --- Configuration ------------------------------------------------------------

int32_t config_sample_rate_set(LumetraCore& core, double rateHz) noexcept {
    LMC_AT(kLogInfo, 44, "config_sample_rate_set(%f)", rateHz);
    if (!validRate(rateHz)) {
        LMC_AT(kLogWarning, 51, "invalid sample rate: %f", rateHz);
        return TRV_ERROR_CORE_INVALID_ARGUMENT;
    }
    CoreAccess::sampleRate(core) = rateHz;
    return 0;
}

double config_sample_rate_get(const LumetraCore& core) noexcept { return core.sampleRate(); }

void config_global_boost_set(LumetraCore& core, double boost) noexcept {
    LMC_AT(kLogInfo, 62, "config_global_boost_set(%f)", boost);
    CoreAccess::globalBoost(core) = boost;
}

double config_global_boost_get(const LumetraCore& core) noexcept { return core.globalBoost(); }

int32_t config_buffer_size_set(LumetraCore& core, std::size_t frames) noexcept {
    LMC_AT(kLogInfo, 73, "config_buffer_size_set(%zu)", frames);
    if (frames == 0) {
        LMC_AT(kLogWarning, 78, "invalid buffer size (set to 1 instead)");
        frames = 1;
    } else if (frames > kMaxBufferFrames) {
        LMC_AT(kLogWarning, 79, "invalid buffer size (set to %zu instead)", kMaxBufferFrames);
        frames = kMaxBufferFrames;
    }
    if (!CoreAccess::resize(core, frames)) {
        LMC_AT(kLogError, 84, "config_buffer_size_set: out of memory (the size stays %zu)",
               core.bufferFrames());
        return TRV_ERROR_CORE_INVALID_OPERATION;
    }
    return 0;
}

std::size_t config_buffer_size_get(const LumetraCore& core) noexcept { return core.bufferFrames(); }

// --- Patterns ---------------------------------------------------------------

int32_t pattern_load_from_spn(LumetraCore& core, const char* spn, int32_t id) noexcept {
    LMC_AT(kLogInfo, 106, "pattern_load_from_spn(spn=%p, id=%d)", static_cast<const void*>(spn), id);
    try {
        Pattern pattern(spn);
        if (!pattern.valid()) return TRV_ERROR_CORE_INVALID_SPN;
        return CoreAccess::patterns(core).insert(id, std::move(pattern));
    } catch (const std::exception& e) {
        logFailure(110, "pattern_load_from_spn", &e);
    } catch (...) {
        logFailure(110, "pattern_load_from_spn", nullptr);
    }
    return TRV_ERROR_CORE_INVALID_OPERATION;
}

int32_t pattern_unload(LumetraCore& core, int32_t id) noexcept {
    LMC_AT(kLogInfo, 118, "pattern_unload(%d)", id);
    CoreAccess::patterns(core).erase(id);
    return 0;
}

double pattern_get_boost(const LumetraCore& core, int32_t id) noexcept {
    const Pattern* pattern = core.patterns().find(id);
    if (pattern == nullptr) {
        warnUnknown(143);
        return 0.0;
    }
    return pattern->boost();
}

int32_t pattern_reserve_id_range(LumetraCore& core, int32_t n) noexcept {
    LMC_AT(kLogInfo, 148, "pattern_reserve_id_range(%d)", n);
    IdRegistry<Pattern>& patterns = CoreAccess::patterns(core);
    if (n > patterns.nextId()) patterns.setNextId(n);
    return patterns.nextId();
}

bool pattern_is_allocated(const LumetraCore& core, int32_t id) noexcept {
    LMC_AT(kLogInfo, 160, "pattern_is_allocated(%d)", id);
    return core.patterns().contains(id);
}

int32_t pattern_get_max_simultaneous_effects(const LumetraCore& core, int32_t id) noexcept {
    LMC_AT(kLogInfo, 166, "pattern_get_max_simultaneous_effects(%d)", id);
    const Pattern* pattern = core.patterns().find(id);
    if (pattern == nullptr) {
        warnUnknown(169);
        return 0;
    }
    return pattern->maxSimultaneous();
}

// --- Sequences ----------------------------------------------------------------

int32_t sequence_new(LumetraCore& core, int32_t pattern_id, bool auto_delete,
                     int32_t sequence_id) noexcept {
    LMC_AT(kLogInfo, 175, "sequence_new(pattern_id=%d, auto_delete=%d, sequence_id=%d)",
           pattern_id, auto_delete ? 1 : 0, sequence_id);
    const Pattern* pattern = core.patterns().find(pattern_id);
    if (pattern == nullptr) return TRV_ERROR_CORE_PATTERN_NOT_ALLOCATED;
    IdRegistry<Sequence>& sequences = CoreAccess::sequences(core);
    // Refusals first: building the tree is the expensive part.
    const int32_t id = sequence_id == -1 ? sequences.nextId() : sequence_id;
    if (id < -1 || id == INT32_MAX) return TRV_ERROR_CORE_INVALID_ARGUMENT;
    if (sequences.contains(id)) return TRV_ERROR_CORE_INSTANCE_ALLOCATED;
    try {
        return sequences.insert(
            id, Sequence(pattern_id, auto_delete, *pattern, CoreAccess::actuatorCount(core)));
    } catch (const std::exception& e) {
        logFailure(180, "sequence_new", &e);
    } catch (...) {
        logFailure(180, "sequence_new", nullptr);
    }
    return TRV_ERROR_CORE_INVALID_OPERATION;
}

int32_t sequence_play(LumetraCore& core, int32_t id, double play_at, double latency) noexcept {
    LMC_AT(kLogInfo, 195, "sequence_play(%d, play_at=%f, latency=%f)", id, play_at, latency);
    Sequence* sequence = findSequence(core, id, 198);
    if (sequence == nullptr) return TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED;
    return sequence->play(play_at, latency);
}

int32_t sequence_stop(LumetraCore& core, int32_t id, double fade_out_duration) noexcept {
    LMC_AT(kLogInfo, 204, "sequence_stop(%d, fade_out_duration=%f)", id, fade_out_duration);
    Sequence* sequence = findSequence(core, id, 215);
    if (sequence == nullptr) return TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED;
    return sequence->stop(fadeStep(core.sampleRate(), fade_out_duration));
}

int32_t sequence_get_state(const LumetraCore& core, int32_t id) noexcept {
    const Sequence* sequence = findSequence(core, id, 237);
    return sequence != nullptr ? sequence->state() : 0;
}

int32_t sequence_get_pattern_id(const LumetraCore& core, int32_t id) noexcept {
    const Sequence* sequence = findSequence(core, id, 251);
    return sequence != nullptr ? sequence->patternId() : TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED;
}

Transform* sequence_get_transform(LumetraCore& core, int32_t id) noexcept {
    Sequence* sequence = findSequence(core, id, 264);
    return sequence != nullptr ? &sequence->transform : nullptr;
}

bool sequence_is_muted(const LumetraCore& core, int32_t id) noexcept {
    const Sequence* sequence = findSequence(core, id, 285);
    return sequence != nullptr && sequence->muted;
}

// --- Sequence properties --------------------------------------------------------

int32_t property_volume_set(LumetraCore& core, int32_t id, double volume) noexcept {
    LMC_AT(kLogInfo, 290, "property_volume_set(%d, volume=%f)", id, volume);
    Sequence* sequence = findSequence(core, id, 293);
    if (sequence == nullptr) return TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED;
    if (std::isinf(volume)) {
        LMC_AT(kLogWarning, 296, "invalid volume: %f", volume);
        return TRV_ERROR_CORE_INVALID_ARGUMENT;
    }
    sequence->volume = nonNegative(volume);
    return 0;
}

int32_t property_speed_set(LumetraCore& core, int32_t id, double speed) noexcept {
    LMC_AT(kLogInfo, 305, "property_speed_set(%d, speed=%f)", id, speed);
    Sequence* sequence = findSequence(core, id, 308);
    if (sequence == nullptr) return TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED;
    if (!std::isfinite(speed)) {
        LMC_AT(kLogWarning, 311, "invalid speed: %f", speed);
        return TRV_ERROR_CORE_INVALID_ARGUMENT;
    }
    sequence->speed = nonNegative(speed);
    return 0;
}

int32_t property_repeat_count_set(LumetraCore& core, int32_t id, uint32_t repeat_count) noexcept {
    LMC_AT(kLogInfo, 322, "property_repeat_count_set(%d, repeat_count=%u)", id, repeat_count);
    Sequence* sequence = findSequence(core, id, 325);
    if (sequence == nullptr) return TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED;
    sequence->tracks().repeatCount = repeat_count;
    return 0;
}

int32_t property_repeat_delay_set(LumetraCore& core, int32_t id, double repeat_delay) noexcept {
    LMC_AT(kLogInfo, 339, "property_repeat_delay_set(%d, repeat_delay=%f)", id, repeat_delay);
    Sequence* sequence = findSequence(core, id, 342);
    if (sequence == nullptr) return TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED;
    if (std::isinf(repeat_delay) && repeat_delay > 0.0) {
        LMC_AT(kLogWarning, 345, "invalid repeat delay: %f", repeat_delay);
        return TRV_ERROR_CORE_INVALID_ARGUMENT;
    }
    sequence->tracks().repeatDelay = nonNegative(repeat_delay);
    return 0;
}

int32_t property_max_duration_set(LumetraCore& core, int32_t id, double max_duration) noexcept {
    LMC_AT(kLogInfo, 356, "property_max_duration_set(%d, max_duration=%f)", id, max_duration);
    Sequence* sequence = findSequence(core, id, 359);
    if (sequence == nullptr) return TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED;
    if (std::isinf(max_duration) && max_duration > 0.0) {
        LMC_AT(kLogWarning, 362, "invalid max duration: %f", max_duration);
        return TRV_ERROR_CORE_INVALID_ARGUMENT;
    }
    sequence->tracks().maxDuration = nonNegative(max_duration);
    return 0;
}

int32_t property_boost_set(LumetraCore& core, int32_t id, double boost) noexcept {
    LMC_AT(kLogInfo, 371, "property_boost_set(%d, boost=%f)", id, boost);
    Sequence* sequence = findSequence(core, id, 374);
    if (sequence == nullptr) return TRV_ERROR_CORE_SEQUENCE_NOT_ALLOCATED;
    sequence->boost = boost;
    return 0;
}

// --- Whole instance -------------------------------------------------------------

void set_pause(LumetraCore& core, bool paused) noexcept {
    LMC_AT(kLogInfo, 515, "set_pause(%d)", paused ? 1 : 0);
    CoreAccess::paused(core) = paused;
}

void stop_all(LumetraCore& core, double fade_out_duration) noexcept {
    LMC_AT(kLogInfo, 526, "stop_all(fade_out_duration=%f)", fade_out_duration);
    const double step = fadeStep(core.sampleRate(), fade_out_duration);
    for (auto& [id, sequence] : CoreAccess::sequences(core).entries()) sequence.stop(step);
}

} // namespace lmc
