// The common interface of the nodes of a sequence's effect tree.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "fade.h"

namespace lmc {

class ILayout;
class Transform;

// Everything a render reads or writes that belongs to the sequence or the
// core rather than to one node. Built by the sequence for each buffer.
struct RenderTarget {
    const ILayout& layout;
    const Transform& transform;
    double* const* buffers;         // one buffer per actuator of the layout
    std::size_t actuatorCount;      // number of buffers
    const Fade& fade;               // the sequence's fade, buffer-relative
    std::vector<float>& visualiser; // per actuator: largest weight x peak since the last reset
    std::span<float> scratch;       // the core's work buffer, shared by every effect
    double boost;                   // sequence boost + global boost, within [0, 1]
    std::size_t spatialCellFrames;  // output frames between two spatial weight updates (>= 1)
};

// A renderable of the effect tree. Every node adds its signal into the
// actuator buffers; none allocates while rendering once warm.
class IBufferFiller {
public:
    virtual ~IBufferFiller() = default;

    // Places the node t seconds into its own timeline.
    virtual void seek(double t) = 0;
    // Prepares the node to play again from its start.
    virtual void restartRepetition() = 0;
    // Seconds: -1 endless, 0 unknown or unbounded, otherwise the length.
    virtual double duration() const = 0;
    // Adds this node's signal into buffer positions [offset, offset + count)
    // at `rateHz` output samples per second, with the volume and speed handed
    // down. Returns where it stopped: offset + count while it is still
    // running, less when it finished at that position.
    virtual std::size_t render(const RenderTarget& target, double rateHz, double volume,
                               double speed, std::size_t offset, std::size_t count) = 0;
};

} // namespace lmc
