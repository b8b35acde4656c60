// The spatial transform of one sequence: how its vicinities are moved and
// mirrored over the layout.
#pragma once

#include <cstdint>

namespace lmc {

// Radians per degree.
constexpr double deg_to_rad() noexcept { return 0.017453292519943295; }

// Height, heading and tilt move every vicinity of a sequence with the
// layout's moves; a mirror flag negates the vicinity centre's coordinate on
// its axis (X front-back, Y vertical, Z right-left); an add-mirrored flag
// drives the vicinity and its mirrored copy together. Every setter raises
// `changed`, which makes the vicinities recompute; the sequence lowers it
// after each rendered buffer.
class Transform {
public:
    void setTranslation(double x, double y, double z) noexcept {
        translation_[0] = x;
        translation_[1] = y;
        translation_[2] = z;
        changed_ = 1;
    }
    // Radians about x, y (heading) and z (tilt).
    void setRotation(double x, double y, double z) noexcept {
        rotation_[0] = x;
        rotation_[1] = y;
        rotation_[2] = z;
        changed_ = 1;
    }
    void setMirrorX(uint8_t on) noexcept { setFlag(mirror_[0], on); }
    void setMirrorY(uint8_t on) noexcept { setFlag(mirror_[1], on); }
    void setMirrorZ(uint8_t on) noexcept { setFlag(mirror_[2], on); }
    void setAddMirroredX(uint8_t on) noexcept { setFlag(addMirrored_[0], on); }
    void setAddMirroredY(uint8_t on) noexcept { setFlag(addMirrored_[1], on); }
    void setAddMirroredZ(uint8_t on) noexcept { setFlag(addMirrored_[2], on); }
    void setChanged(uint8_t changed) noexcept { changed_ = changed; }

    bool changed() const noexcept { return changed_ != 0; }
    // Metres along the vertical axis.
    double height() const noexcept { return translation_[1]; }
    // Radians about the vertical axis.
    double heading() const noexcept { return rotation_[1]; }
    // Radians about the right-left axis.
    double tilt() const noexcept { return rotation_[2]; }
    bool mirrorX() const noexcept { return mirror_[0] != 0; }
    bool mirrorY() const noexcept { return mirror_[1] != 0; }
    bool mirrorZ() const noexcept { return mirror_[2] != 0; }
    bool addMirroredX() const noexcept { return addMirrored_[0] != 0; }
    bool addMirroredY() const noexcept { return addMirrored_[1] != 0; }
    bool addMirroredZ() const noexcept { return addMirrored_[2] != 0; }

private:
    void setFlag(uint8_t& flag, uint8_t on) noexcept {
        flag = on;
        changed_ = 1;
    }

    uint8_t changed_ = 1;
    double translation_[3] = {0.0, 0.0, 0.0};
    double rotation_[3] = {0.0, 0.0, 0.0};
    uint8_t mirror_[3] = {0, 0, 0};
    uint8_t addMirrored_[3] = {0, 0, 0};
};

} // namespace lmc
