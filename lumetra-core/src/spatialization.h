// Spatial keyframes of one sample: one weight per actuator at any time.
//
// Each keyframe holds explicit weights or vicinities; between two keyframes
// the weights are interpolated linearly, per actuator; before the first key
// its weights hold, after the last key the last one's. With "repeatSpat" the
// keys loop, one pass lasting the last key's timestamp, and each pass holds
// the first key's weights until that key's time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <nlohmann/json.hpp>

#include "layout.h"
#include "spatial_math.h"
#include "transform.h"
#include "vicinity.h"

namespace lmc {

class SpatialKeyframe {
public:
    // `timestamp`: seconds from the sample's start.
    explicit SpatialKeyframe(double timestamp) : timestamp_(timestamp) {}
    // Move-only: a copy would share its vicinities, whose working state
    // belongs to one key.
    SpatialKeyframe(SpatialKeyframe&&) noexcept = default;
    SpatialKeyframe& operator=(SpatialKeyframe&&) noexcept = default;
    SpatialKeyframe(const SpatialKeyframe&) = delete;
    SpatialKeyframe& operator=(const SpatialKeyframe&) = delete;

    double timestamp() const noexcept { return timestamp_; }
    std::vector<std::shared_ptr<IVicinity>>& vicinities() noexcept { return vicinities_; }
    const std::vector<std::shared_ptr<IVicinity>>& vicinities() const noexcept {
        return vicinities_;
    }

    // The key's weights for `layout`: per actuator, the largest weight of its
    // vicinities (0 without any). Vicinities are recomputed when
    // `recompute`, when the key is dirty or when a vicinity changed;
    // otherwise the cached weights are returned as they stand. The span
    // stays valid until the next evaluate or reserve.
    std::span<const double> evaluate(const ILayout& layout, const Transform& transform,
                                     bool recompute);
    // The cached weights are stale: the next evaluate recomputes them.
    void markDirty() noexcept { dirty_ = true; }
    // True when an evaluate without `recompute` would hand out the cached
    // weights as they stand: the key is not dirty and no vicinity changed
    // (explicit weights never settle: their vicinity stays changed).
    bool settled() const noexcept;
    void reserve(std::size_t actuatorCount);

private:
    double timestamp_;
    std::vector<std::shared_ptr<IVicinity>> vicinities_;
    DenseMatrix matrix_;
    std::vector<double> weights_;
    bool dirty_ = true;
};

class Spatialization {
public:
    // Builds the keys from `sample`'s "spatKeyframes" and reads "repeatSpat".
    // The sample should come from a valid Pattern; anything else builds
    // without throwing (a key that is neither form gives weights 0). A key is
    // built from "weights" when that member is an array, else from
    // "vicinities" (the validator's rule). Values narrow to float with
    // saturation: no weight, amplitude, position or time becomes infinite.
    // Room is reserved for `actuatorCount` actuators.
    explicit Spatialization(const nlohmann::json& sample,
                            std::size_t actuatorCount = kCapsuleActuatorCount);
    Spatialization(Spatialization&&) noexcept = default;
    Spatialization& operator=(Spatialization&&) noexcept = default;

    // Fills weights() for local time `t` (seconds) and adds `boostTerm` to
    // every actuator; always 0. Allocates nothing while the layout's actuator
    // count stays within the reserved one. Not thread-safe.
    int32_t computeWeights(const ILayout& layout, const Transform& transform, double t,
                           double boostTerm);
    // Back to the first key and pass; every key recomputes (after a seek).
    void reset() noexcept;
    void reserve(std::size_t actuatorCount);

    // One weight per actuator of the last computeWeights' layout.
    std::span<const double> weights() const noexcept { return weights_; }
    // Advances whenever computeWeights may have changed weights(); the same
    // number means the same values.
    uint64_t weightsVersion() const noexcept { return version_; }
    const std::vector<SpatialKeyframe>& keys() const noexcept { return keys_; }
    bool repeat() const noexcept { return repeat_; }

private:
    void evaluateInto(std::size_t key, const ILayout& layout, const Transform& transform,
                      bool recompute);
    void interpolate(const ILayout& layout, const Transform& transform, double t, bool recompute);

    std::vector<SpatialKeyframe> keys_;
    int64_t cycle_ = 0;
    std::size_t index_ = 0;
    bool repeat_ = false;
    std::vector<double> weights_;
    bool dirty_ = true;
    uint64_t version_ = 0;
    // When weights_ hold one key's weights plus a boost term (one key, or
    // past the last key without repetition): that key and the term's bits.
    static constexpr std::size_t kNoKey = SIZE_MAX;
    std::size_t heldKey_ = kNoKey;
    uint64_t heldBoostBits_ = 0;
};

} // namespace lmc
