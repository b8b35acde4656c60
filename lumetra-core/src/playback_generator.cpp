#include "lumetra-core/src/playback_generator.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "lumetra-core/src/lmc_log.h"
#include "lumetra-core/src/sample_assets.h"

namespace lmc {
namespace {

constexpr double kRateHz = kSampleAssetRateHz;
constexpr double kTwoTo64 = 18446744073709551616.0;

// A generator whose clock differs from the shared position by less than this
// is already in phase and keeps its resampler state.
constexpr double kInPhaseSeconds = 1e-9;

// round(8000 x seconds) as a sample count: not positive (NaN included) gives
// 0, beyond the range of uint64 saturates.
uint64_t roundedSamples(double seconds) noexcept {
    const double samples = std::round(kRateHz * seconds);
    if (!(samples > 0.0)) return 0;
    if (samples >= kTwoTo64) return UINT64_MAX;
    return static_cast<uint64_t>(samples);
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) noexcept {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

// 64-bit FNV-1a of the rate's eight bytes, least significant first.
uint64_t hashRate(uint64_t rateBits) noexcept {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (int i = 0; i < 8; ++i) {
        h ^= (rateBits >> (8 * i)) & 0xFF;
        h *= 0x100000001b3ULL;
    }
    return h;
}

} // namespace

ISignalGenerator::ISignalGenerator() noexcept : lastCycle_(lmc_render_cycle() - 1) {}

void ISignalGenerator::setTime(double seconds) noexcept {
    time_ = seconds > 0.0 ? seconds : 0.0;
    applyTime();
}

std::size_t ISignalGenerator::generateSynced(double rateHz, float volume, std::span<float> out,
                                             double offsetSeconds) noexcept {
    const uint32_t cycle = lmc_render_cycle();
    const bool newCycle = cycle != lastCycle_;
    if (newCycle) {
        lastCycle_ = cycle;
        cycleAdvance_ = 0.0;
    }

    SharedClockTable::Entry* entry = nullptr;
    const double period = duration();
    // An empty crop has no period to wrap in (fmod by 0 is NaN), and a rate
    // that cannot play has nothing to keep in step.
    if (shared_ && period > 0.0 && rateHz > 0.0 && std::isfinite(rateHz)) {
        const SharedClockKey id = [&] {
            SharedClockKey k = crop();
            k.rateBits = std::bit_cast<uint64_t>(rateHz + 0.0);
            return k;
        }();
        const uint64_t hash = (key() * 2) ^ hashRate(id.rateBits);
        const SharedClock initial{cycle, std::fmod(time_ - offsetSeconds, period), 0.0, period};
        bool inserted = false;
        entry = SharedClockTable::instance().acquire(id, hash, initial, inserted);
        if (entry != nullptr && newCycle && !inserted) {
            bool follow = false;
            double sharedTime = 0.0;
            entry->update([&](SharedClock& clock) {
                const uint32_t behind = cycle - clock.cycle;
                if (behind > 1) {
                    // Nobody played this crop in the previous cycle: restart
                    // the shared clock from this generator's own.
                    clock = initial;
                    return;
                }
                if (behind == 1) {
                    clock.cycle = cycle;
                    clock.time = std::fmod(clock.time + clock.pendingAdvance, period);
                    clock.pendingAdvance = 0.0;
                }
                follow = true;
                sharedTime = clock.time;
            });
            if (follow) {
                const double target = offsetSeconds + sharedTime;
                const bool inPhase = std::fabs(target - time_) <= kInPhaseSeconds;
                time_ = target;
                if (!inPhase) applyTimeInPhase();
            }
        }
    }

    const std::size_t produced = generate(rateHz, volume, out);
    const double advance = static_cast<double>(produced) / rateHz;
    if (produced > 0) {
        time_ += advance;
        cycleAdvance_ += advance;
    }
    if (entry != nullptr) {
        const double cycleAdvance = cycleAdvance_;
        entry->update([&](SharedClock& clock) {
            if (cycleAdvance > clock.pendingAdvance) clock.pendingAdvance = cycleAdvance;
        });
        SharedClockTable::release(entry);
    }
    return produced;
}

PlaybackGenerator::PlaybackGenerator(uint64_t signalIndex, double startCrop,
                                     double stopCrop) noexcept {
    if ((signalIndex & kSharedFlag) != 0) markShared();
    const uint64_t index = signalIndex & kAssetMask;
    if (index < sampleAssetCount()) {
        const SampleAsset asset = sampleAsset(index);
        assetIndex_ = index;
        data_ = asset.data;
        bandLowHz_ = asset.bandLow;
        bandHighHz_ = asset.bandHigh;
        const uint64_t count = asset.count;
        if (count > 0) {
            start_ = std::min(roundedSamples(startCrop), count);
            stop_ = stopCrop == 0.0 ? count : std::min(roundedSamples(stopCrop), count);
            stop_ = std::max(stop_, start_);
        }
        tail_ = stop_ < count ? data_[stop_] : 0.0f;
    }
    position_ = start_;
    cropDuration_ = static_cast<double>(stop_ - start_) / kRateHz;
}

void PlaybackGenerator::applyTime() noexcept {
    position_ = std::min(saturatingAdd(start_, roundedSamples(time_)), stop_);
    antiAlias_.reset();
}

void PlaybackGenerator::applyTimeInPhase() noexcept {
    const double samples = kRateHz * time_;
    if (!(samples > 0.0)) {
        applyTime();
        return;
    }
    const double whole = std::floor(samples);
    const uint64_t offset = whole >= kTwoTo64 ? UINT64_MAX : static_cast<uint64_t>(whole);
    position_ = saturatingAdd(start_, offset);
    if (position_ >= stop_) {
        position_ = stop_;
        antiAlias_.reset();
        return;
    }
    antiAlias_.resetAt(samples - whole);
}

std::size_t PlaybackGenerator::generate(double rateHz, float volume,
                                        std::span<float> out) noexcept {
    if (position_ >= stop_) return 0;
    request_.setInput(data_ + position_, stop_ - position_, true, tail_);
    request_.setOutput(out.data(), out.size());
    request_.setRatio(kRateHz, rateHz);
    antiAlias_.configure(rateHz, bandLowHz_, bandHighHz_, request_);
    if (antiAlias_.process(request_) != 0) return 0;
    position_ += request_.inputUsed;
    const std::size_t produced = static_cast<std::size_t>(request_.outputProduced);
    for (std::size_t i = 0; i < produced; ++i) out[i] *= volume;
    return produced;
}

uint64_t PlaybackGenerator::key() const noexcept {
    return (((stop_ << 8) ^ start_) << 8) ^ assetIndex_;
}

SharedClockKey PlaybackGenerator::crop() const noexcept {
    return SharedClockKey{assetIndex_, start_, stop_, 0};
}

} // namespace lmc
