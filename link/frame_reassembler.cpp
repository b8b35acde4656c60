#include "link/frame_reassembler.h"

#include <cstring>

#include "link/hid_frame.h"

std::span<uint8_t> FrameReassembler::freeSpace() noexcept {
    if (begin_ > 0 && (end_ == kCapacityBytes || begin_ >= kCapacityBytes / 2)) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    return {buffer_.data() + end_, kCapacityBytes - end_};
}

void FrameReassembler::commit(std::size_t bytes) noexcept { end_ += bytes; }

bool FrameReassembler::couldStartFrame(std::size_t offset) const noexcept {
    const std::size_t available = end_ - offset;
    const std::size_t length = lengthOf_(buffer_[offset]);
    if (length == 0 || length > maxFrameBytes_) return false;
    if (available >= 2 && buffer_[offset + 1] != kSyncLow) return false;
    if (available >= 3 && buffer_[offset + 2] != kSyncHigh) return false;
    return true;
}

std::size_t FrameReassembler::wholeFrameAt(std::size_t offset) const noexcept {
    const std::size_t length = lengthOf_(buffer_[offset]);
    if (length < kFrameOverheadBytes || end_ - offset < length) return 0;
    const uint8_t* frame = buffer_.data() + offset;
    return frameSyncMatches(frame) && frameCrcMatches(frame, length) ? length : 0;
}

std::span<const uint8_t> FrameReassembler::next(std::size_t& discardedBytes) noexcept {
    discardedBytes = 0;
    while (begin_ < end_) {
        if (!couldStartFrame(begin_)) {
            ++begin_;
            ++discardedBytes;
            continue;
        }
        if (const std::size_t length = wholeFrameAt(begin_); length != 0) {
            const std::span<const uint8_t> frame(buffer_.data() + begin_, length);
            begin_ += length;
            return frame;
        }
        const std::size_t length = lengthOf_(buffer_[begin_]);
        if (end_ - begin_ >= length) { // whole but invalid: a false start
            ++begin_;
            ++discardedBytes;
            continue;
        }
        // Waiting for more bytes. If a whole valid frame already stands
        // behind this start, the start was garbage: skip to that frame.
        std::size_t found = 0;
        for (std::size_t at = begin_ + 1; at < end_ && found == 0; ++at) {
            if (couldStartFrame(at) && wholeFrameAt(at) != 0) found = at;
        }
        if (found == 0) return {};
        discardedBytes += found - begin_;
        begin_ = found;
    }
    begin_ = end_ = 0;
    return {};
}
