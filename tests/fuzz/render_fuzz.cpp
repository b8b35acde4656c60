// Fuzz target: the engine's render. The input's bytes build a pattern
// (tracks of samples with crops, delays, repetitions, spatial keyframes of
// weights or vicinities, volume envelopes), the rate, and a plan of buffers
// whose size, speed, volume, transform, pause and fade change between
// renders. Every rendered sample must be finite and within [-1, 1], and once
// warm (each sequence rendered once at the largest buffer size) the renders
// must allocate nothing.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include <nlohmann/json.hpp>

#include "lumetra-core/src/lmc.h"
#include "lumetra-core/src/lmc_log.h"

namespace {

thread_local long long tAllocations = 0; // this thread's operator new calls

// The input, read front to back; zeros once it runs out.
struct Bytes {
    const uint8_t* data;
    std::size_t size;
    uint8_t byte() noexcept {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    uint32_t below(uint32_t n) noexcept { return ((uint32_t{byte()} << 8) | byte()) % n; }
    double unit() noexcept { return ((uint32_t{byte()} << 8) | byte()) / 65535.0; }
    double range(double low, double high) noexcept { return low + (high - low) * unit(); }
};

nlohmann::json spatialKeys(Bytes& in) {
    nlohmann::json keys = nlohmann::json::array();
    double t = in.byte() % 2 == 0 ? 0.0 : in.range(0.0, 0.5);
    const bool explicitWeights = in.byte() % 2 == 0; // one form per sample
    for (uint32_t k = 0, n = 1 + in.below(4); k < n; ++k, t += in.range(0.001, 0.6)) {
        if (explicitWeights) {
            nlohmann::json weights = nlohmann::json::array();
            for (int a = 0; a < 20; ++a) weights.push_back(in.below(101));
            keys.push_back({{"timestamp", t}, {"weights", weights}});
        } else {
            nlohmann::json vicinities = nlohmann::json::array();
            for (uint32_t v = 0, m = 1 + in.below(2); v < m; ++v)
                vicinities.push_back(
                    {{"position", {in.range(-0.2, 0.2), in.range(-0.25, 0.25), in.range(-0.2, 0.2)}},
                     {"orientation", {in.range(-1, 1), in.range(-1, 1), in.range(-1, 1), in.range(-1, 1)}},
                     {"scale", {in.range(0.01, 0.5), in.range(0.01, 0.5), in.range(0.01, 0.5)}},
                     {"amplitude", in.below(101)}});
            keys.push_back({{"timestamp", t}, {"vicinities", vicinities}});
        }
    }
    return keys;
}

std::string pattern(Bytes& in) {
    nlohmann::json tracks = nlohmann::json::array();
    double end = 0.0;
    for (uint32_t s = 0, n = 1 + in.below(3); s < n; ++s) { // one sample per track
        const double start = in.range(0.0, 1.0);
        const double crop = in.range(0.0, 0.5);
        const double stop = in.byte() % 3 == 0 ? 0.0 : crop + in.range(0.001, 1.5);
        nlohmann::json envelope = nlohmann::json::array();
        double t = 0.0;
        for (uint32_t k = 0, m = in.below(6); k < m; ++k, t += in.range(0.001, 0.5))
            envelope.push_back({{"timestamp", t}, {"volume", in.below(201)}});
        const uint64_t index = in.below(204) | (in.byte() % 2 == 0 ? 0u : 0x10000u);
        const double maxDuration = in.byte() % 2 == 0 ? 0.0 : in.range(0.01, 2.0);
        nlohmann::json sample = {
            {"signalIndex", index}, {"timestamp", start}, {"startCrop", crop}, {"stopCrop", stop},
            {"maxDuration", maxDuration}, {"preDelay", in.range(0.0, 0.2)},
            {"postDelay", in.range(0.0, 0.2)}, {"repeatCount", in.below(4)},
            {"repeatSpat", in.byte() % 2 == 0}, {"speed", in.range(0.25, 4.0)},
            {"spatKeyframes", spatialKeys(in)}, {"volumeKeyframes", envelope}};
        tracks.push_back({{"volume", in.below(101)}, {"samples", {sample}}});
        end = std::max(end, start + 2.0);
    }
    return nlohmann::json{{"duration", end}, {"tracks", tracks}}.dump();
}

void checkBuffers(const lmc::LumetraCore& core) {
    for (const auto& buffer : core.actuatorBuffers())
        for (double x : buffer)
            if (!(std::fabs(x) <= 1.0)) std::abort();
}

} // namespace

// Not inlined: at -O3 GCC would otherwise see malloc behind operator new and
// free behind operator delete in one function and call the pair mismatched.
__attribute__((noinline)) void* operator new(std::size_t size) {
    ++tAllocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// The non-throwing form too: it pairs with the delete below.
__attribute__((noinline)) void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++tAllocations;
    return std::malloc(size == 0 ? 1 : size);
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Bytes in{data, size};
    constexpr double kRates[] = {500.0, 1000.0, 2000.0, 44100.0, 48000.0};
    const double rate = in.byte() % 2 == 0 ? kRates[in.below(5)] : in.range(250.0, 96000.0);
    constexpr std::size_t kMaxFrames = 1024;
    lmc::LumetraCore core(lmc::layout_new_tarvonel_capsule(), rate, kMaxFrames);
    const int32_t id = lmc::pattern_load_from_spn(core, pattern(in).c_str(), -1);
    if (id < 0) return 0;
    int32_t sequences[2];
    const uint32_t count = 1 + in.below(2);
    for (uint32_t i = 0; i < count; ++i) {
        sequences[i] = lmc::sequence_new(core, id, in.byte() % 2 == 0, -1);
        lmc::property_repeat_count_set(core, sequences[i], in.below(3));
        lmc::property_repeat_delay_set(core, sequences[i], in.range(0.0, 0.3));
        lmc::property_max_duration_set(core, sequences[i], in.byte() % 2 == 0 ? 0.0 : in.range(0.0, 3.0));
        lmc::sequence_play(core, sequences[i], in.range(0.0, 1.0), in.range(0.0, 0.1));
    }
    core.process(); // warm: the largest buffer, every sequence rendered once
    checkBuffers(core);

    const long long before = tAllocations;
    std::size_t frames = 0;
    for (int step = 0; step < 32 && frames < 8000; ++step) {
        const uint8_t what = in.byte();
        // Sequences may have been erased: the calls then only warn.
        const int32_t target = sequences[in.below(count)];
        if (what & 1u) lmc::config_buffer_size_set(core, 1 + in.below(kMaxFrames));
        if (what & 2u) lmc::property_speed_set(core, target, in.range(0.0, 4.0));
        if (what & 4u) lmc::property_volume_set(core, target, in.range(0.0, 2.5));
        if (what & 8u) {
            if (lmc::Transform* transform = lmc::sequence_get_transform(core, target)) {
                transform->setTranslation(0, in.range(-0.3, 0.3), 0);
                transform->setRotation(0, in.range(-7, 7), in.range(-7, 7));
                const uint8_t flags = in.byte();
                transform->setMirrorX(flags & 1u);
                transform->setAddMirroredY((flags >> 1) & 1u);
                transform->setAddMirroredZ((flags >> 2) & 1u);
            }
        }
        if (what & 16u) lmc::set_pause(core, in.byte() % 4 == 0);
        if ((what & 96u) == 96u) lmc::sequence_stop(core, target, in.range(0.0, 0.5));
        if (what == 255u) lmc::config_sample_rate_set(core, kRates[in.below(5)]);
        core.process();
        checkBuffers(core);
        frames += core.bufferFrames();
    }
    if (tAllocations != before) std::abort();
    return 0;
}
