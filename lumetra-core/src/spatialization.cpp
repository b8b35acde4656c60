#include "spatialization.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "spn_values.h"

namespace lmc {
namespace {

using json = nlohmann::json;

// Element i of an array as a saturated float; 0 when absent or not a number.
double arrayFloat(const json& array, std::size_t i) {
    if (!array.is_array() || i >= array.size()) return 0.0;
    return jsonFloatSaturated(array[i]);
}

// Percent to a factor, in single precision like the stored values.
float fromPercent(const json& value) { return jsonFloatSaturated(value) / 100.0f; }

SpatialKeyframe buildKey(const json& element) {
    SpatialKeyframe key(jsonFloatSaturated(jsonMember(element, "timestamp")));
    const json& weights = jsonMember(element, "weights");
    const json& vicinities = jsonMember(element, "vicinities");
    if (weights.is_array()) {
        std::vector<double> values;
        values.reserve(weights.size());
        for (const json& weight : weights) values.push_back(fromPercent(weight));
        auto explicitWeights = std::make_shared<VicinityWeights>();
        explicitWeights->setWeights(std::move(values));
        key.vicinities().push_back(std::move(explicitWeights));
    } else if (vicinities.is_array()) {
        key.vicinities().reserve(vicinities.size());
        for (const json& vicinity : vicinities) {
            const json& position = jsonMember(vicinity, "position");
            const json& orientation = jsonMember(vicinity, "orientation"); // w, x, y, z
            const json& scale = jsonMember(vicinity, "scale");
            auto sphere = std::make_shared<VicinitySphere>(
                Vec3{arrayFloat(position, 0), arrayFloat(position, 1), arrayFloat(position, 2)},
                Quat{arrayFloat(orientation, 1), arrayFloat(orientation, 2),
                     arrayFloat(orientation, 3), arrayFloat(orientation, 0)},
                Vec3{arrayFloat(scale, 0), arrayFloat(scale, 1), arrayFloat(scale, 2)});
            sphere->distributions().front()->setAmplitude(
                fromPercent(jsonMember(vicinity, "amplitude")));
            key.vicinities().push_back(std::move(sphere));
        }
    }
    return key;
}

// Whole passes are skipped arithmetically, so the cost of one call does not
// grow with the number of passes behind t. A pass below the resolution of t
// could still make no progress: after this many wraps in one call the keys
// stay where they are.
constexpr int kMaxWrapsPerCall = 8;
constexpr int64_t kMaxCycle = int64_t{1} << 53;

} // namespace

std::span<const double> SpatialKeyframe::evaluate(const ILayout& layout,
                                                  const Transform& transform, bool recompute) {
    const std::size_t n = layout.actuatorCount();
    const std::size_t v = vicinities_.size();
    matrix_.resize(n, v);
    if (weights_.size() != n) weights_.assign(n, 0.0);
    bool recomputed = false;
    for (std::size_t j = 0; j < v; ++j) {
        IVicinity& vicinity = *vicinities_[j];
        if (recompute || dirty_ || vicinity.changed()) {
            vicinity.computeWeights(layout, transform, matrix_, j);
            recomputed = true;
        }
    }
    if (recomputed) {
        for (std::size_t i = 0; i < n; ++i) {
            double best = matrix_(i, 0);
            for (std::size_t j = 1; j < v; ++j) best = std::max(best, matrix_(i, j));
            weights_[i] = best;
        }
        dirty_ = false;
    }
    return weights_;
}

bool SpatialKeyframe::settled() const noexcept {
    return !dirty_ && std::none_of(vicinities_.begin(), vicinities_.end(),
                                   [](const auto& vicinity) { return vicinity->changed(); });
}

void SpatialKeyframe::reserve(std::size_t actuatorCount) {
    matrix_.reserve(actuatorCount, vicinities_.size());
    weights_.reserve(actuatorCount);
    for (auto& vicinity : vicinities_) vicinity->reserve(actuatorCount);
}

Spatialization::Spatialization(const json& sample, std::size_t actuatorCount) {
    const json& keys = jsonMember(sample, "spatKeyframes");
    if (keys.is_array()) {
        keys_.reserve(keys.size());
        for (const json& element : keys) keys_.push_back(buildKey(element));
    }
    const json& repeat = jsonMember(sample, "repeatSpat");
    repeat_ = repeat.is_boolean() && repeat.get<bool>();
    reserve(actuatorCount);
}

void Spatialization::reserve(std::size_t actuatorCount) {
    weights_.reserve(actuatorCount);
    for (SpatialKeyframe& key : keys_) key.reserve(actuatorCount);
}

void Spatialization::reset() noexcept {
    index_ = 0;
    cycle_ = 0;
    for (SpatialKeyframe& key : keys_) key.markDirty();
}

int32_t Spatialization::computeWeights(const ILayout& layout, const Transform& transform,
                                       double t, double boostTerm) {
    const std::size_t n = layout.actuatorCount();
    // A moved layout or transform makes every key's cache stale, including
    // keys not evaluated now: they must not be reused later as they stand.
    const bool moved = layout.changed() || transform.changed();
    const uint64_t boostBits = std::bit_cast<uint64_t>(boostTerm);
    // One settled key and the same boost term give the weights already held:
    // nothing to evaluate, copy or add.
    if (!moved && !dirty_ && heldKey_ != kNoKey && weights_.size() == n && boostBits == heldBoostBits_ &&
        keys_[heldKey_].settled())
        return 0;
    weights_.resize(n);
    if (moved)
        for (SpatialKeyframe& key : keys_) key.markDirty();
    const bool recompute = moved || dirty_;
    interpolate(layout, transform, t, recompute);
    for (double& weight : weights_) weight += boostTerm;
    dirty_ = false;
    const std::size_t count = keys_.size();
    heldKey_ = count == 1 ? 0 : (count > 1 && index_ >= count ? count - 1 : kNoKey);
    heldBoostBits_ = boostBits;
    ++version_;
    return 0;
}

void Spatialization::evaluateInto(std::size_t key, const ILayout& layout,
                                  const Transform& transform, bool recompute) {
    const std::span<const double> weights = keys_[key].evaluate(layout, transform, recompute);
    std::copy(weights.begin(), weights.end(), weights_.begin());
}

void Spatialization::interpolate(const ILayout& layout, const Transform& transform, double t,
                                 bool recompute) {
    const std::size_t count = keys_.size();
    if (count == 0) {
        std::fill(weights_.begin(), weights_.end(), 0.0);
        return;
    }
    if (count == 1) return evaluateInto(0, layout, transform, recompute);
    if (index_ >= count) return evaluateInto(count - 1, layout, transform, recompute);

    const double pass = keys_[count - 1].timestamp();
    auto keyTime = [&](std::size_t i) {
        return static_cast<double>(cycle_) * pass + keys_[i].timestamp();
    };
    int wraps = 0;
    while (keyTime(index_) <= t) {
        if (index_ == count - 1) {
            if (!repeat_) {
                index_ = count;
                return evaluateInto(count - 1, layout, transform, recompute);
            }
            ++cycle_;
            index_ = 0;
            const double behind = std::floor(t / pass) - 1.0;
            if (behind > static_cast<double>(cycle_))
                cycle_ = behind >= static_cast<double>(kMaxCycle) ? kMaxCycle
                                                                  : static_cast<int64_t>(behind);
            if (++wraps > kMaxWrapsPerCall) break;
        }
        ++index_;
    }
    if (index_ == 0) return evaluateInto(0, layout, transform, recompute);

    const std::size_t i = index_;
    const double before = keys_[i - 1].timestamp();
    const double local = t - static_cast<double>(cycle_) * pass;
    // After a wrap the pass starts before its first key (when that key is not
    // at 0): its weights hold until then, as in the first pass. The segment
    // to the next key, carried back, would leave the keys' range (weights
    // below 0 or above the largest key's).
    if (local < before) return evaluateInto(i - 1, layout, transform, recompute);
    const std::span<const double> earlier = keys_[i - 1].evaluate(layout, transform, recompute);
    const std::span<const double> later = keys_[i].evaluate(layout, transform, recompute);
    const double after = keys_[i].timestamp();
    const double span = after - before;
    if (!(span > 0.0)) { // keys out of order: only an unvalidated sample gets here
        std::copy(later.begin(), later.end(), weights_.begin());
        return;
    }
    const double w = 1.0 / span;
    for (std::size_t a = 0; a < weights_.size(); ++a)
        weights_[a] = w * earlier[a] * (after - local) + w * later[a] * (local - before);
}

} // namespace lmc
