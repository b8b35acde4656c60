#include <cmath>
#include <limits>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "alloc_counter.h"
#include "lumetra-core/src/lmc_log.h"
#include "lumetra-core/src/playback_generator.h"
#include "lumetra-core/src/sample_assets.h"
#include "lumetra-core/src/shared_clock.h"

namespace {

using lmc::PlaybackGenerator;

constexpr uint64_t kShared = PlaybackGenerator::kSharedFlag;
constexpr std::size_t kPressure = 0; // Air/pressure-medium-1.csv, 19385 samples, 68..368 Hz
constexpr std::size_t kWind = 8;     // Air/wind-2.csv, 167878 samples, 70..254 Hz
constexpr std::size_t kBullet = 21;  // Avatar/Contacts/bullet-2.csv, 0..145 Hz
constexpr std::size_t kSine = 123;   // Essentials/sine.csv, 3057 samples

const float* wave(std::size_t asset, uint64_t sample = 0) {
    return lmc::sampleAssetData(asset, sample);
}

void expectNear(std::span<const float> a, std::span<const float> b, float tolerance) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], tolerance) << "sample " << i;
}

TEST(PlaybackGenerator, SignalIndexNamesTheWaveformAndTheSharing) {
    const PlaybackGenerator shared(kShared + 123, 0.0, 0.0);
    EXPECT_TRUE(shared.shared());
    EXPECT_EQ(shared.assetIndex(), 123u);
    const PlaybackGenerator alone(123, 0.0, 0.0);
    EXPECT_FALSE(alone.shared());
    EXPECT_EQ(alone.assetIndex(), 123u);
    EXPECT_EQ(alone.cropStop(), 3057u);
    EXPECT_DOUBLE_EQ(alone.duration(), 3057.0 / 8000.0);

    for (uint64_t index : {uint64_t{204}, uint64_t{0xFFFF}, kShared + 300}) {
        PlaybackGenerator empty(index, 0.0, 0.0);
        EXPECT_EQ(empty.duration(), 0.0);
        std::vector<float> out(16, 1.0f);
        EXPECT_EQ(empty.generate(48000.0, 1.0f, out), 0u);
        EXPECT_EQ(empty.generateSynced(48000.0, 1.0f, out, 0.0), 0u);
    }
}

TEST(PlaybackGenerator, CropsAreClampedToTheWaveform) {
    const PlaybackGenerator rest(kPressure, 0.5, 0.0);
    EXPECT_EQ(rest.cropStart(), 4000u);
    EXPECT_EQ(rest.cropStop(), 19385u);
    EXPECT_EQ(rest.position(), 4000u);
    EXPECT_EQ(rest.tail(), 0.0f);

    const PlaybackGenerator backwards(kPressure, 0.5, 0.25);
    EXPECT_EQ(backwards.cropStart(), 4000u);
    EXPECT_EQ(backwards.cropStop(), 4000u);
    EXPECT_EQ(backwards.duration(), 0.0);
    EXPECT_EQ(backwards.tail(), *wave(kPressure, 4000));

    PlaybackGenerator beyond(kSine, 0.5, 0.0);
    EXPECT_EQ(beyond.cropStart(), 3057u);
    EXPECT_EQ(beyond.cropStop(), 3057u);
    std::vector<float> out(64);
    EXPECT_EQ(beyond.generate(48000.0, 1.0f, out), 0u);

    // Out-of-range seconds saturate instead of overflowing.
    constexpr double kHuge = 1e300;
    const PlaybackGenerator huge(kWind, kHuge, kHuge);
    EXPECT_EQ(huge.cropStart(), lmc::sampleAssetLength(kWind));
    EXPECT_EQ(huge.cropStop(), lmc::sampleAssetLength(kWind));
    const PlaybackGenerator open(kWind, 0.5, std::numeric_limits<double>::infinity());
    EXPECT_EQ(open.cropStop(), lmc::sampleAssetLength(kWind));
    const PlaybackGenerator negative(kWind, -3.0, 1.0);
    EXPECT_EQ(negative.cropStart(), 0u);
    EXPECT_EQ(negative.cropStop(), 8000u);
    EXPECT_EQ(negative.tail(), *wave(kWind, 8000));
    const PlaybackGenerator notANumber(kWind, std::nan(""), std::nan(""));
    EXPECT_EQ(notANumber.cropStart(), 0u);
    EXPECT_EQ(notANumber.cropStop(), 0u);
}

TEST(PlaybackGenerator, SeekingMovesTheReadPosition) {
    PlaybackGenerator g(kWind, 1.0, 2.0);
    g.setTime(0.5);
    EXPECT_EQ(g.position(), 12000u);
    g.setTime(0.50006); // 0.48 of a sample past: rounds to the nearest sample
    EXPECT_EQ(g.position(), 12000u);
    g.setTime(-2.0);
    EXPECT_EQ(g.time(), 0.0);
    EXPECT_EQ(g.position(), 8000u);
    g.setTime(std::nan(""));
    EXPECT_EQ(g.time(), 0.0);
    g.setTime(1e300);
    EXPECT_EQ(g.position(), 16000u);
    std::vector<float> out(8);
    EXPECT_EQ(g.generate(48000.0, 1.0f, out), 0u);
}

TEST(PlaybackGenerator, CropEndsOnItsTailAfter512Then88Samples) {
    // 100 crop samples at 48 kHz (ratio 1/6, no filtering), 512 at a time.
    PlaybackGenerator g(kWind, 1.0, 1.0125);
    ASSERT_EQ(g.cropStop() - g.cropStart(), 100u);
    const float tail = *wave(kWind, 8100);
    EXPECT_EQ(g.tail(), tail);
    std::vector<float> all;
    std::vector<float> out(512);
    const std::size_t expected[] = {512, 88, 0};
    for (std::size_t n : expected) {
        EXPECT_EQ(g.generateSynced(48000.0, 1.0f, out, 0.0), n);
        all.insert(all.end(), out.begin(), out.begin() + static_cast<long>(n));
    }
    ASSERT_EQ(all.size(), 600u);
    EXPECT_DOUBLE_EQ(g.time(), 600.0 / 48000.0);
    for (std::size_t k = 0; k < 100; ++k) EXPECT_EQ(all[6 * k], *wave(kWind, 8000 + k)) << k;
    const float last = *wave(kWind, 8099);
    for (int i = 1; i < 6; ++i)
        EXPECT_NEAR(all[594 + i], static_cast<float>(i) / 6.0f * (tail - last) + last, 1e-6f);
}

TEST(PlaybackGenerator, RefusedRatesProduceNothingAndKeepTheClock) {
    PlaybackGenerator g(kShared + kWind, 0.0, 0.0);
    std::vector<float> out(32);
    for (double rate : {5.0, 9e6, 0.0, -48000.0, std::nan(""),
                        std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(g.generateSynced(rate, 1.0f, out, 0.0), 0u) << rate;
        EXPECT_EQ(g.time(), 0.0) << rate;
        EXPECT_EQ(g.position(), 0u) << rate;
    }
}

// Renders one engine buffer: every generator that plays in it, in order,
// then the next render cycle.
struct Render {
    double rate;
    std::size_t buffer;
    void generate(PlaybackGenerator& g, std::vector<float>& out, std::size_t offset = 0) const {
        out.assign(buffer, 0.0f);
        const std::span<float> part = std::span<float>(out).subspan(offset);
        ASSERT_EQ(g.generateSynced(rate, 1.0f, part, static_cast<double>(offset) / rate),
                  part.size());
    }
};

TEST(PlaybackGenerator, SharedCropsPlayInPhaseFromTheBufferTheSecondOneStarts) {
    const std::size_t entriesBefore = lmc::SharedClockTable::instance().insertions();
    // 44.1 kHz: read positions fall between samples.
    const Render render{44100.0, 512};
    PlaybackGenerator first(kShared + kWind, 0.25, 0.0);
    PlaybackGenerator second(kShared + kWind, 0.25, 0.0);
    PlaybackGenerator alone(kWind, 0.25, 0.0); // the first one's own course
    std::vector<float> a, b, reference;
    constexpr std::size_t kStartBuffer = 3;
    constexpr std::size_t kStartOffset = 137;
    for (std::size_t buffer = 0; buffer < 12; ++buffer) {
        render.generate(first, a);
        render.generate(alone, reference);
        // Following the shared clock never disturbs the first one.
        expectNear(a, reference, 0.0f);
        if (buffer >= kStartBuffer) {
            const std::size_t offset = buffer == kStartBuffer ? kStartOffset : 0;
            render.generate(second, b, offset);
            expectNear(std::span<const float>(b).subspan(offset),
                       std::span<const float>(a).subspan(offset), 1e-5f);
        }
        lmc::lmc_render_cycle_advance();
    }
    EXPECT_EQ(lmc::SharedClockTable::instance().insertions() - entriesBefore, 1u);
}

TEST(PlaybackGenerator, SharedCropsThroughTheLowPassConverge) {
    // 500 Hz (the HID stream's low rate): the 250 Hz low-pass. The joining
    // generator's filter starts from rest, then both read alike.
    const Render render{500.0, 8};
    PlaybackGenerator first(kShared + kWind, 0.0, 0.0);
    PlaybackGenerator second(kShared + kWind, 0.0, 0.0);
    std::vector<float> a, b;
    for (std::size_t buffer = 0; buffer < 100; ++buffer) {
        render.generate(first, a);
        if (buffer >= 20) {
            render.generate(second, b);
            if (buffer >= 40) expectNear(b, a, 1e-4f);
        }
        lmc::lmc_render_cycle_advance();
    }
}

TEST(PlaybackGenerator, CropsThatOnlyShareADigestKeepTheirOwnClocks) {
    const std::size_t entriesBefore = lmc::SharedClockTable::instance().insertions();
    // [8000, 9001) and [7744, 9000): the 64-bit digests agree, the crops do not.
    PlaybackGenerator a(kShared + kWind, 1.0, 9001.0 / 8000.0);
    PlaybackGenerator b(kShared + kWind, 7744.0 / 8000.0, 1.125);
    PlaybackGenerator alone(kWind, 7744.0 / 8000.0, 1.125);
    ASSERT_EQ(a.cropStart(), 8000u);
    ASSERT_EQ(b.cropStart(), 7744u);
    ASSERT_EQ(a.key(), b.key());
    const Render render{48000.0, 256};
    std::vector<float> outA, outB, reference;
    for (std::size_t buffer = 0; buffer < 6; ++buffer) {
        render.generate(a, outA);
        if (buffer >= 2) {
            render.generate(b, outB);
            render.generate(alone, reference);
            expectNear(outB, reference, 0.0f);
        }
        lmc::lmc_render_cycle_advance();
    }
    // Different rates do not share either.
    PlaybackGenerator c(kShared + kWind, 1.0, 9001.0 / 8000.0);
    PlaybackGenerator cAlone(kWind, 1.0, 9001.0 / 8000.0);
    const Render other{44100.0, 256};
    render.generate(a, outA);
    other.generate(c, outB);
    other.generate(cAlone, reference);
    expectNear(outB, reference, 0.0f);
    EXPECT_EQ(lmc::SharedClockTable::instance().insertions() - entriesBefore, 3u);
}

TEST(PlaybackGenerator, ClockRestartsFromTheFirstSharerAfterAPause) {
    const Render render{48000.0, 128};
    PlaybackGenerator early(kShared + kWind, 0.0, 0.0);
    std::vector<float> a, b, reference;
    for (int buffer = 0; buffer < 3; ++buffer) {
        render.generate(early, a);
        lmc::lmc_render_cycle_advance();
    }
    // A whole cycle without the crop: the newcomer rendered first sets the
    // clock, and the earlier one jumps to it.
    lmc::lmc_render_cycle_advance();
    PlaybackGenerator late(kShared + kWind, 0.0, 0.0);
    PlaybackGenerator alone(kWind, 0.0, 0.0);
    for (int buffer = 0; buffer < 3; ++buffer) {
        render.generate(late, b);
        render.generate(alone, reference);
        render.generate(early, a);
        expectNear(b, reference, 0.0f);
        expectNear(a, b, 1e-6f);
        lmc::lmc_render_cycle_advance();
    }
}

TEST(PlaybackGenerator, EmptySharedCropsStayOutOfTheTable) {
    const std::size_t entriesBefore = lmc::SharedClockTable::instance().insertions();
    PlaybackGenerator empty(kShared + kSine, 0.5, 0.0);
    std::vector<float> out(64);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(empty.generateSynced(48000.0, 1.0f, out, 0.001), 0u);
        EXPECT_EQ(empty.time(), 0.0);
        lmc::lmc_render_cycle_advance();
    }
    EXPECT_EQ(lmc::SharedClockTable::instance().insertions() - entriesBefore, 0u);
}

TEST(PlaybackGenerator, RenderingAllocatesNothingOnceBuilt) {
    std::vector<PlaybackGenerator> generators;
    for (uint64_t asset : {kWind, kPressure, kBullet})
        for (uint64_t flag : {uint64_t{0}, kShared}) generators.emplace_back(flag + asset, 0.0, 0.0);
    std::vector<float> out(512);
    const long long before = allocationCount();
    // Raw, low-pass, zero-fed and refused rates, changing between buffers.
    const double rates[] = {48000.0, 500.0, 100.0, 1000.0, 44100.0, 2.0};
    for (int buffer = 0; buffer < 120; ++buffer) {
        const double rate = rates[buffer % 6];
        for (PlaybackGenerator& g : generators) {
            const std::size_t n = static_cast<std::size_t>(rate / 100.0) + 1;
            g.generateSynced(rate, 1.0f, std::span<float>(out).first(std::min(n, out.size())), 0.0);
        }
        if (buffer % 40 == 39)
            for (PlaybackGenerator& g : generators) g.setTime(0.0);
        lmc::lmc_render_cycle_advance();
    }
    EXPECT_EQ(allocationCount() - before, 0);
}

TEST(PlaybackGenerator, EnginesOnTwoThreadsShareTheTableSafely) {
    const std::size_t entriesBefore = lmc::SharedClockTable::instance().insertions();
    auto engine = [](std::vector<float>* peaks) {
        std::vector<PlaybackGenerator> generators;
        for (int i = 0; i < 4; ++i) generators.emplace_back(kShared + kWind, 0.0, 0.0);
        generators.emplace_back(kShared + kPressure, 0.0, 0.0);
        std::vector<float> out(64);
        float peak = 0.0f;
        for (int buffer = 0; buffer < 400; ++buffer) {
            for (PlaybackGenerator& g : generators) {
                const std::size_t n = g.generateSynced(8000.0, 1.0f, out, 0.0);
                for (std::size_t i = 0; i < n; ++i) {
                    if (!std::isfinite(out[i])) peak = 100.0f;
                    peak = std::max(peak, std::fabs(out[i]));
                }
                if (n == 0) g.setTime(0.0);
            }
            lmc::lmc_render_cycle_advance();
        }
        peaks->push_back(peak);
    };
    std::vector<float> peaksA, peaksB;
    std::thread a(engine, &peaksA);
    std::thread b(engine, &peaksB);
    a.join();
    b.join();
    EXPECT_LE(peaksA.at(0), 1.0f);
    EXPECT_LE(peaksB.at(0), 1.0f);
    EXPECT_EQ(lmc::SharedClockTable::instance().insertions() - entriesBefore, 2u);
}

TEST(PlaybackGenerator, ClocksNoLongerPlayedMakeRoomForNewOnes) {
    // An effect whose speed varies without end: a new rate every buffer.
    const std::size_t overflows = lmc::SharedClockTable::instance().overflowCount();
    PlaybackGenerator g(kShared + kWind, 0.0, 0.0);
    std::vector<float> out(4);
    for (std::size_t i = 0; i < 2 * lmc::SharedClockTable::kCapacity; ++i) {
        g.generateSynced(8000.0 + static_cast<double>(i), 1.0f, out, 0.0);
        lmc::lmc_render_cycle_advance();
    }
    EXPECT_EQ(lmc::SharedClockTable::instance().overflowCount(), overflows);
}

TEST(SharedClockTable, OneEntryPerKeyAcrossThreadsAndIdleEntriesAreReclaimed) {
    auto table = std::make_unique<lmc::SharedClockTable>();
    constexpr int kKeys = lmc::SharedClockTable::kProbeLimit;
    std::vector<std::vector<lmc::SharedClockTable::Entry*>> found(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < kKeys; ++k) {
                const lmc::SharedClockKey key{static_cast<uint64_t>(k), 1, 2, 3};
                bool inserted = false;
                // A poor hash: every key starts on the same slot.
                found[t].push_back(table->acquire(key, 42, lmc::SharedClock{}, inserted));
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(table->insertions(), static_cast<std::size_t>(kKeys));
    for (int t = 1; t < 8; ++t) EXPECT_EQ(found[t], found[0]);

    // Every slot within reach is taken: turned away while the entries are
    // held, or were used in the cycle before; reclaimed once idle.
    const auto place = [&](uint32_t cycle, bool& inserted) {
        return table->acquire({99999, 1, 2, 3}, 42, lmc::SharedClock{cycle}, inserted);
    };
    bool inserted = true;
    EXPECT_EQ(place(5, inserted), nullptr);
    EXPECT_FALSE(inserted);
    for (auto& entries : found)
        for (auto* entry : entries) lmc::SharedClockTable::release(entry);
    EXPECT_EQ(place(1, inserted), nullptr);
    EXPECT_EQ(table->overflowCount(), 2u);
    lmc::SharedClockTable::Entry* reclaimed = place(2, inserted);
    ASSERT_NE(reclaimed, nullptr);
    EXPECT_TRUE(inserted);
    EXPECT_EQ(table->reclaims(), 1u);
    EXPECT_EQ(table->acquire({5, 1, 2, 3}, 42, lmc::SharedClock{2}, inserted), found[0][5]);
    EXPECT_FALSE(inserted);
}

} // namespace
