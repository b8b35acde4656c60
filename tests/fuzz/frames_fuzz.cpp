// Fuzz target: any byte stream, cut into reads of sizes the input chooses,
// through both frame reassemblers (the host's, of answers; the vest's, of
// requests up to a StreamData frame). Every frame handed out must be whole
// and valid, every byte must be accounted for (in a frame, discarded, or
// still buffered), and there must always be room for the next read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "link/frame_reassembler.h"
#include "link/hid_frame.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void feed(FrameReassembler& reassembler, FrameReassembler::LengthOf lengthOf, const uint8_t* data,
          std::size_t size) {
    if (size == 0) return;
    uint32_t chunkState = data[0]; // the read sizes come from the input's first byte
    std::size_t fed = 0, framed = 0, discarded = 0;
    for (std::size_t at = 1; at < size;) {
        const std::span<uint8_t> room = reassembler.freeSpace();
        check(!room.empty());
        chunkState = chunkState * 1103515245u + 12345u;
        const std::size_t chunk = 1 + (chunkState >> 16) % 300;
        const std::size_t n = std::min({chunk, room.size(), size - at});
        std::memcpy(room.data(), data + at, n);
        reassembler.commit(n);
        at += n;
        fed += n;
        for (;;) {
            std::size_t dropped = 0;
            const std::span<const uint8_t> frame = reassembler.next(dropped);
            discarded += dropped;
            if (frame.empty()) break;
            check(frame.size() == lengthOf(frame[0]));
            check(frameSyncMatches(frame.data()) && frameCrcMatches(frame.data(), frame.size()));
            framed += frame.size();
        }
        check(reassembler.bufferedBytes() <= FrameReassembler::kCapacityBytes);
        check(framed + discarded + reassembler.bufferedBytes() == fed);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FrameReassembler answers(&answerLengthOf, kAnswerBufferBytes);
    feed(answers, &answerLengthOf, data, size);
    FrameReassembler requests(&requestLengthOf, kStreamDataFrameBytes);
    feed(requests, &requestLengthOf, data, size);
    return 0;
}
