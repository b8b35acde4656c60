#include "streaming/osc_packet.h"

#include <bit>
#include <cstring>
#include <limits>

namespace OSCPP::Client {

Packet::Packet(void* buffer, std::size_t capacity) noexcept
    : start_(static_cast<uint8_t*>(buffer)), end_(static_cast<uint8_t*>(buffer) + capacity),
      pos_(static_cast<uint8_t*>(buffer)) {}

void Packet::checkWritable(std::size_t bytes) const {
    const auto left = static_cast<std::size_t>(end_ - pos_);
    if (left < bytes) throw OverflowError(bytes - left);
}

uint8_t* Packet::reserve(std::size_t bytes) {
    checkWritable(bytes);
    uint8_t* at = pos_;
    std::memset(at, 0, bytes);
    pos_ += bytes;
    return at;
}

void Packet::writeUInt32(uint32_t value) {
    checkWritable(4);
    if (reinterpret_cast<std::uintptr_t>(pos_) % 4 != 0) throw std::runtime_error("Unaligned pointer");
    pos_[0] = static_cast<uint8_t>(value >> 24);
    pos_[1] = static_cast<uint8_t>(value >> 16);
    pos_[2] = static_cast<uint8_t>(value >> 8);
    pos_[3] = static_cast<uint8_t>(value);
    pos_ += 4;
}

void Packet::writeInt32(int32_t value) { writeUInt32(static_cast<uint32_t>(value)); }

void Packet::writeString(std::string_view text) {
    const std::size_t bytes = paddedStringBytes(text.size());
    checkWritable(bytes);
    std::memcpy(pos_, text.data(), text.size());
    std::memset(pos_ + text.size(), 0, bytes - text.size());
    pos_ += bytes;
}

void Packet::fillSize(uint8_t* sizeField) {
    const std::ptrdiff_t difference = pos_ - (sizeField + 4);
    if (difference < 0) throw std::logic_error("Calculated size is negative");
    if (difference > std::numeric_limits<int32_t>::max())
        throw std::logic_error("Pointer difference " + std::to_string(difference) +
                               " can't be represented by int32_t");
    uint8_t* const saved = pos_;
    pos_ = sizeField;
    writeInt32(static_cast<int32_t>(difference));
    pos_ = saved;
}

Packet& Packet::openBundle(uint64_t timeTag) {
    if (depth_ >= kMaxDepth) throw std::logic_error("Bundles nested too deeply");
    if (depth_ > 0) {
        checkWritable(4);
        bundleSizeFields_[depth_] = pos_;
        writeInt32(0);
    }
    writeString("#bundle");
    writeUInt32(static_cast<uint32_t>(timeTag >> 32));
    writeUInt32(static_cast<uint32_t>(timeTag));
    ++depth_;
    return *this;
}

Packet& Packet::closeBundle() {
    if (depth_ == 0) throw std::logic_error("closeBundle() without matching openBundle()");
    --depth_;
    if (depth_ > 0) fillSize(bundleSizeFields_[depth_]);
    return *this;
}

Packet& Packet::openMessage(std::string_view address, std::size_t argumentCount) {
    if (depth_ > 0) {
        checkWritable(4);
        messageSizeField_ = pos_;
        writeInt32(0);
    } else {
        messageSizeField_ = nullptr;
    }
    writeString(address);
    const std::size_t tagBytes = typeTagBytes(argumentCount);
    if (tagBytes > static_cast<std::size_t>(end_ - pos_)) throw UnderrunError();
    uint8_t* const tags = reserve(tagBytes);
    tags[0] = ',';
    tagPos_ = tags + 1;
    tagEnd_ = tags + tagBytes;
    return *this;
}

Packet& Packet::float32(float value) {
    // One more tag character, and the NUL that ends the tags must still fit.
    if (tagPos_ == nullptr || tagPos_ + 1 >= tagEnd_) throw OverflowError(1);
    checkWritable(4);
    *tagPos_++ = 'f';
    writeUInt32(std::bit_cast<uint32_t>(value));
    return *this;
}

Packet& Packet::closeMessage() {
    if (messageSizeField_ != nullptr) fillSize(messageSizeField_);
    messageSizeField_ = nullptr;
    tagPos_ = tagEnd_ = nullptr;
    return *this;
}

} // namespace OSCPP::Client
