#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "link/frame_reassembler.h"
#include "link/hid_frame.h"

namespace {

std::vector<uint8_t> frame(uint8_t id, uint8_t fill) {
    std::vector<uint8_t> bytes(answerLengthOf(id), fill);
    bytes[0] = id;
    bytes[1] = kSyncLow;
    bytes[2] = kSyncHigh;
    stampFrameCrc(bytes.data(), bytes.size());
    return bytes;
}

// Feeds bytes in pieces of the given sizes and collects every frame.
void feedInto(const std::vector<uint8_t>& stream, const std::vector<std::size_t>& pieces, std::size_t& discarded,
              std::vector<std::vector<uint8_t>>& frames) {
    FrameReassembler reassembler(&answerLengthOf, kAnswerBufferBytes);
    discarded = 0;
    std::size_t at = 0;
    std::size_t piece = 0;
    while (at < stream.size()) {
        auto room = reassembler.freeSpace();
        ASSERT_GE(room.size(), kAnswerBufferBytes);
        const std::size_t count =
            std::min({pieces[piece++ % pieces.size()], stream.size() - at, room.size()});
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), count, room.begin());
        reassembler.commit(count);
        at += count;
        for (;;) {
            std::size_t dropped = 0;
            auto next = reassembler.next(dropped);
            discarded += dropped;
            if (next.empty()) break;
            frames.emplace_back(next.begin(), next.end());
        }
    }
}

std::vector<std::vector<uint8_t>> feed(const std::vector<uint8_t>& stream, const std::vector<std::size_t>& pieces,
                                       std::size_t& discarded) {
    std::vector<std::vector<uint8_t>> frames;
    feedInto(stream, pieces, discarded, frames);
    return frames;
}

TEST(FrameReassembler, FramesSurviveAnySplitOrCoalescing) {
    std::vector<std::vector<uint8_t>> sent = {frame(0x88, 1), frame(0x89, 'v'), frame(0xA0, 2), frame(0x15, 0),
                                              frame(0x16, 3), frame(0xFF, 0xF9)};
    std::vector<uint8_t> stream;
    for (int round = 0; round < 20; ++round)
        for (const auto& f : sent) stream.insert(stream.end(), f.begin(), f.end());
    for (const std::vector<std::size_t>& pieces :
         {std::vector<std::size_t>{1}, {2, 3}, {7}, {105}, {1000}, {4096}, {13, 1, 200}}) {
        std::size_t discarded = 0;
        const auto frames = feed(stream, pieces, discarded);
        EXPECT_EQ(discarded, 0u);
        ASSERT_EQ(frames.size(), 20 * sent.size());
        for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i], sent[i % sent.size()]);
    }
}

TEST(FrameReassembler, ResynchronisesAfterGarbage) {
    std::mt19937 random(42);
    std::vector<uint8_t> stream;
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < 200; ++i) {
        // Garbage that may look like frame starts, then a real frame.
        const std::size_t noise = random() % 12;
        for (std::size_t n = 0; n < noise; ++n) {
            const uint8_t choices[] = {0x88, 0x89, 0xAD, 0xDE, 0x00, static_cast<uint8_t>(random())};
            stream.push_back(choices[random() % 6]);
        }
        sent.push_back(frame(i % 2 ? 0x88 : 0xA0, static_cast<uint8_t>(i)));
        stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    }
    std::size_t discarded = 0;
    const auto frames = feed(stream, {5, 64, 1}, discarded);
    EXPECT_EQ(frames, sent);
    EXPECT_GT(discarded, 0u);
}

TEST(FrameReassembler, AFalseStartGivesWayToAWholeFrameBehindIt) {
    // 0x89 AD DE announces 105 bytes that never come; a real frame follows.
    std::vector<uint8_t> stream = {0x89, 0xAD, 0xDE};
    const auto real = frame(0x88, 7);
    stream.insert(stream.end(), real.begin(), real.end());
    std::size_t discarded = 0;
    const auto frames = feed(stream, {stream.size()}, discarded);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], real);
    EXPECT_EQ(discarded, 3u);
}

} // namespace
