#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "streaming/osc_packet.h"
#include "streaming/visualizer.h"

namespace {

uint32_t beU32(const std::vector<uint8_t>& b, std::size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

VisualizerFrame frameOf(int32_t pattern, int32_t sequence, std::size_t weights, float value = 0.5f) {
    return VisualizerFrame{pattern, sequence, std::vector<float>(weights, value)};
}

} // namespace

TEST(VisualizerDatagram, OneFrameOfTwentyWeights) {
    std::vector<VisualizerFrame> frames{frameOf(3, 7, 20)};
    frames[0].weights[0] = 1.0f;
    std::vector<uint8_t> buffer;
    const std::size_t bytes = visualizer_datagram::encode(frames, buffer);
    ASSERT_EQ(bytes, 144u);
    EXPECT_EQ(std::memcmp(buffer.data(), "#bundle\0", 8), 0);
    EXPECT_EQ(beU32(buffer, 8), 0u);
    EXPECT_EQ(beU32(buffer, 12), 1u);
    EXPECT_EQ(beU32(buffer, 16), 124u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buffer[20])), "/tarvonel_viz/3/7");
    EXPECT_EQ(buffer[37], 0);
    EXPECT_EQ(buffer[39], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buffer[40])), "," + std::string(20, 'f'));
    EXPECT_EQ(buffer[61], 0);
    EXPECT_EQ(buffer[63], 0);
    EXPECT_EQ(beU32(buffer, 64), 0x3F800000u);
    EXPECT_EQ(beU32(buffer, 68), 0x3F000000u);
    EXPECT_EQ(visualizer_datagram::elementBytes(frames[0]), 128u);
}

TEST(VisualizerDatagram, AudioCoreFrameAndFrameOrder) {
    std::vector<VisualizerFrame> frames{frameOf(-1, -1, 1, 1.0f), frameOf(12, 345, 20)};
    std::vector<uint8_t> buffer;
    const std::size_t bytes = visualizer_datagram::encode(frames, buffer);
    // 16 + (4 + 20 + 4 + 4) + (4 + 24 + 24 + 80)
    ASSERT_EQ(bytes, 180u);
    EXPECT_EQ(beU32(buffer, 16), 28u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buffer[20])), "/tarvonel_viz/-1/-1");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buffer[40])), ",f");
    EXPECT_EQ(beU32(buffer, 44), 0x3F800000u);
    EXPECT_EQ(beU32(buffer, 48), 128u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buffer[52])), "/tarvonel_viz/12/345");
}

TEST(VisualizerDatagram, EmptyListSendsNothing) {
    std::vector<uint8_t> buffer;
    EXPECT_EQ(visualizer_datagram::encode({}, buffer), 0u);
}

TEST(VisualizerDatagram, SizedExactlyForLongIdsAndUnequalWeightCounts) {
    // A buffer sized from the first frame with 16 digits per ID would
    // overflow on these; the datagram is sized from every frame.
    std::vector<VisualizerFrame> frames{frameOf(0, 0, 1), frameOf(INT32_MIN, INT32_MIN, 20),
                                        frameOf(INT32_MAX, -2000000000, 40)};
    std::vector<uint8_t> buffer;
    const std::size_t bytes = visualizer_datagram::encode(frames, buffer);
    std::size_t expected = visualizer_datagram::kBundleHeaderBytes;
    for (const auto& f : frames) expected += visualizer_datagram::elementBytes(f);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(bytes % 4, 0u);
    // Walk the elements by their size fields.
    std::size_t at = 16;
    for (const auto& f : frames) {
        const uint32_t size = beU32(buffer, at);
        EXPECT_EQ(size + 4, visualizer_datagram::elementBytes(f));
        at += 4 + size;
    }
    EXPECT_EQ(at, bytes);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buffer[16 + 4 + 20 + 4 + 4 + 4])),
              "/tarvonel_viz/-2147483648/-2147483648");
}

TEST(OscPacket, ReportsMisuseAndLackOfRoom) {
    alignas(4) uint8_t storage[64] = {};
    const auto thrown = [&](std::size_t offset, std::size_t size, auto&& write) -> std::string {
        OSCPP::Client::Packet packet(storage + offset, size);
        try {
            write(packet);
        } catch (const OSCPP::OverflowError& e) {
            return std::string(e.what()) + " " + std::to_string(e.missing());
        } catch (const std::exception& e) {
            return e.what();
        }
        return "nothing";
    };
    using P = OSCPP::Client::Packet;
    EXPECT_EQ(thrown(0, 12, [](P& p) { p.openBundle(1); }), "Buffer overflow 4");
    EXPECT_EQ(thrown(0, 64, [](P& p) { p.closeBundle(); }), "closeBundle() without matching openBundle()");
    // One argument reserves ",f" plus NUL and padding: room for a second tag,
    // not for a third.
    EXPECT_EQ(thrown(0, 64, [](P& p) { p.openMessage("/a", 1).float32(1.0f).float32(2.0f).float32(3.0f); })
                  .rfind("Buffer overflow", 0),
              0u);
    EXPECT_THROW(P(storage, 12).openMessage("/a", 20), OSCPP::UnderrunError);
    EXPECT_EQ(thrown(1, 32, [](P& p) { p.openMessage("/a", 1).float32(1.0f); }), "Unaligned pointer");
    // A bare message (no bundle) has no size field.
    P packet(storage, sizeof storage);
    packet.openMessage("/ab", 1).float32(1.0f).closeMessage();
    EXPECT_EQ(packet.size(), 4u + 4u + 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(storage)), "/ab");
}
TEST(OscPacket, NestedBundleCarriesItsSize) {
    alignas(4) uint8_t storage[128] = {};
    OSCPP::Client::Packet packet(storage, sizeof storage);
    packet.openBundle(1).openBundle(2).openMessage("/x", 0).closeMessage().closeBundle().closeBundle();
    // outer 16, inner: size 4 + 16 + element (4 + 4 + 4)
    EXPECT_EQ(packet.size(), 16u + 4u + 16u + 12u);
    const std::vector<uint8_t> bytes(storage, storage + packet.size());
    EXPECT_EQ(beU32(bytes, 16), 28u);
    EXPECT_EQ(beU32(bytes, 36), 8u);
}
