// Fuzz target: any text through the spn validator; every valid pattern then
// builds the spatial keyframes of each sample and computes their weights on
// the vest, under a transform chosen by the input's own bytes. The text also
// goes to the free layout's loader. Nothing may crash, hang or throw, and
// every weight must be finite.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lumetra-core/src/layout.h"
#include "lumetra-core/src/lmc_log.h"
#include "lumetra-core/src/pattern.h"
#include "lumetra-core/src/spatialization.h"
#include "lumetra-core/src/spn_values.h"
#include "lumetra-core/src/transform.h"

namespace {

// Messages are formatted (the hook is set) and dropped.
void discard(int32_t, const char*, const char*) {}

uint32_t hashOf(const uint8_t* data, std::size_t size) {
    uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
    return h;
}

lmc::Transform transformFrom(uint32_t bits) {
    lmc::Transform transform;
    transform.setTranslation(0, ((bits & 7u) - 3.0) * 0.06, 0);
    transform.setRotation(0, ((bits >> 3) & 15u) * 0.4, (((bits >> 7) & 15u) - 7.0) * 0.3);
    transform.setMirrorX((bits >> 11) & 1u);
    transform.setMirrorY((bits >> 12) & 1u);
    transform.setMirrorZ((bits >> 13) & 1u);
    transform.setAddMirroredX((bits >> 14) & 1u);
    transform.setAddMirroredY((bits >> 15) & 1u);
    transform.setAddMirroredZ((bits >> 16) & 1u);
    return transform;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    lmc::lmc_log_callback_set(&discard);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    lmc::makeLayout(0)->load(text.c_str());

    const lmc::Pattern pattern(text.c_str());
    if (!pattern.valid()) return 0;
    static const auto capsule = lmc::makeLayout(1);
    lmc::Transform transform = transformFrom(hashOf(data, size));
    for (const auto& track : pattern.root()["tracks"]) {
        for (const auto& sample : track["samples"]) {
            (void)lmc::spnRepeatCount(sample);
            lmc::Spatialization spatialization(sample);
            for (double t : {0.0, 0.01, 0.25, 0.5, 1.0, 1.7, 60.0, 1e6}) {
                spatialization.computeWeights(*capsule, transform, t, 0.1);
                for (double weight : spatialization.weights())
                    if (!std::isfinite(weight)) std::abort();
                transform.setChanged(0);
            }
        }
    }
    return 0;
}
