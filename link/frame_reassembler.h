// Cuts a byte stream (an RFCOMM link) back into frames.
//
// A frame starts with a command ID whose length the table gives, followed by
// the sync word; it is whole when that many bytes have arrived and its CRC
// matches. Bytes that start no valid frame are discarded one at a time, so
// the reader resynchronises after garbage, and a false start that waits for
// bytes that will never come gives way to a whole valid frame found behind
// it. Single-threaded: one reader owns it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

class FrameReassembler {
public:
    using LengthOf = uint32_t (*)(uint8_t id); // 0: not a frame's first byte
    static constexpr std::size_t kCapacityBytes = 2048;

    // lengthOf never gives more than maxFrameBytes (at most kCapacityBytes / 2).
    FrameReassembler(LengthOf lengthOf, std::size_t maxFrameBytes) noexcept
        : lengthOf_(lengthOf), maxFrameBytes_(maxFrameBytes) {}

    // Room for the next read; never empty while next() reports no frame.
    std::span<uint8_t> freeSpace() noexcept;
    void commit(std::size_t bytes) noexcept;

    // The next whole, valid frame (valid until the next call of any member),
    // or an empty span when more bytes are needed. discardedBytes counts the
    // bytes dropped before it.
    std::span<const uint8_t> next(std::size_t& discardedBytes) noexcept;

    std::size_t bufferedBytes() const noexcept { return end_ - begin_; }
    void clear() noexcept { begin_ = end_ = 0; }

private:
    // Length of the valid frame at offset, 0 when none is whole there.
    std::size_t wholeFrameAt(std::size_t offset) const noexcept;
    bool couldStartFrame(std::size_t offset) const noexcept;

    LengthOf lengthOf_;
    std::size_t maxFrameBytes_;
    std::array<uint8_t, kCapacityBytes> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};
