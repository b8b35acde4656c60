// The C-style interface: the factory, the calls on an instance and the last
// error. Every call stores its result in the calling thread's last error, and
// no exception leaves it.
#include "vyx/vyxfx.h"

#include <exception>
#include <new>
#include <type_traits>

#include "vyx/src/base_vyx.h"
#include "vyx/src/presets.h"

namespace {

using vyx::BaseVYX;

// Per thread: the audio callback thread and a control thread each read the
// result of their own last call; a process-wide variable would let one
// overwrite the other's error between a call and its check.
thread_local int32_t lastError = vyx::kOk;

BaseVYX* engineOf(vyxfx_instance* instance) { return reinterpret_cast<BaseVYX*>(instance); }

int32_t store(int32_t code) {
    lastError = code;
    return code;
}

int32_t fromBool(bool ok) { return store(ok ? vyx::kOk : vyx::kInvalid); }

// Runs `call` on a non-null instance; -22 for null, -256 for an exception.
template <typename Call>
int32_t guarded(vyxfx_instance* instance, Call call) noexcept {
    if (instance == nullptr) return store(vyx::kInvalid);
    try {
        return fromBool(call(*engineOf(instance)));
    } catch (...) {
        return store(vyx::kOther);
    }
}

template <typename Op>
bool bySampleType(BaseVYX& engine, int32_t sampleType, Op op) {
    if (sampleType != engine.getSampleType()) return false;
    switch (sampleType) {
        case vyx::kSampleInt16:
            return op(static_cast<int16_t*>(nullptr));
        case vyx::kSampleInt32:
            return op(static_cast<int32_t*>(nullptr));
        case vyx::kSampleFloat:
            return op(static_cast<float*>(nullptr));
        default:
            return op(static_cast<double*>(nullptr));
    }
}

} // namespace

extern "C" {

vyxfx_instance* vyxfx_create(int32_t sampleRate, uint32_t channels, int32_t sampleType,
                             int32_t processType) {
    try {
        int32_t error = vyx::kOther;
        BaseVYX* engine = BaseVYX::create(sampleRate, channels, sampleType, processType, &error);
        store(error);
        return reinterpret_cast<vyxfx_instance*>(engine);
    } catch (...) {
        store(vyx::kOther);
        return nullptr;
    }
}

void vyxfx_destroy(vyxfx_instance* instance) {
    try {
        delete engineOf(instance);
        store(vyx::kOk);
    } catch (...) {
        store(vyx::kOther);
    }
}

uint32_t vyxfx_frame_size(vyxfx_instance* instance) {
    if (instance == nullptr) {
        store(vyx::kInvalid);
        return 0;
    }
    store(vyx::kOk);
    return static_cast<uint32_t>(engineOf(instance)->getFrameSize());
}

uint32_t vyxfx_token_bytes(vyxfx_instance* instance, uint64_t samples) {
    if (instance == nullptr) {
        store(vyx::kInvalid);
        return 0;
    }
    // The amount analysis writes is 64 bits wide; one that 32 bits cannot hold
    // is refused rather than cut to its low bits (which would undersize the
    // caller's buffer).
    const uint64_t bytes = engineOf(instance)->getTokenBytes(samples);
    if (bytes > UINT32_MAX) {
        store(vyx::kInvalid);
        return 0;
    }
    store(vyx::kOk);
    return static_cast<uint32_t>(bytes);
}

int32_t vyxfx_analyse(vyxfx_instance* instance, const float* in, uint8_t* tokens, uint64_t frames) {
    return vyxfx_analyse_typed(instance, vyx::kSampleFloat, in, tokens, frames);
}

int32_t vyxfx_synthesise(vyxfx_instance* instance, const uint8_t* tokens, uint64_t tokenBytes,
                         float* out, uint64_t frames) {
    return vyxfx_synthesise_typed(instance, tokens, tokenBytes, vyx::kSampleFloat, out, frames);
}

int32_t vyxfx_process(vyxfx_instance* instance, const float* in, float* out, uint64_t frames) {
    return vyxfx_process_typed(instance, vyx::kSampleFloat, in, out, frames);
}

int32_t vyxfx_analyse_typed(vyxfx_instance* instance, int32_t sampleType, const void* in,
                            uint8_t* tokens, uint64_t frames) {
    return guarded(instance, [&](BaseVYX& engine) {
        if (engine.getTokenBytes(frames) > UINT32_MAX) return false;
        return bySampleType(engine, sampleType, [&](auto* type) {
            using S = std::remove_pointer_t<decltype(type)>;
            return engine.analyse(static_cast<const S*>(in), tokens, frames);
        });
    });
}

int32_t vyxfx_synthesise_typed(vyxfx_instance* instance, const uint8_t* tokens, uint64_t tokenBytes,
                               int32_t sampleType, void* out, uint64_t frames) {
    return guarded(instance, [&](BaseVYX& engine) {
        return bySampleType(engine, sampleType, [&](auto* type) {
            using S = std::remove_pointer_t<decltype(type)>;
            return engine.synthesise(tokens, tokenBytes, static_cast<S*>(out), frames);
        });
    });
}

int32_t vyxfx_process_typed(vyxfx_instance* instance, int32_t sampleType, const void* in, void* out,
                            uint64_t frames) {
    return guarded(instance, [&](BaseVYX& engine) {
        return bySampleType(engine, sampleType, [&](auto* type) {
            using S = std::remove_pointer_t<decltype(type)>;
            return engine.process(static_cast<const S*>(in), static_cast<S*>(out), frames);
        });
    });
}

int32_t vyxfx_reset(vyxfx_instance* instance) {
    return guarded(instance, [](BaseVYX& engine) { return engine.reset(); });
}

int32_t vyxfx_set_preset(vyxfx_instance* instance, uint32_t preset) {
    return guarded(instance, [&](BaseVYX& engine) {
        if (preset >= vyx::kPresetCount) return false;
        engine.setPreset(preset);
        return true;
    });
}

int32_t vyxfx_get_preset(vyxfx_instance* instance) {
    if (instance == nullptr) return store(vyx::kInvalid);
    store(vyx::kOk);
    return static_cast<int32_t>(engineOf(instance)->getPreset());
}

int32_t vyxfx_last_error(void) { return lastError; }

const char* vyxPresetName(uint32_t index) {
    static constexpr const char* kNames[vyx::kPresetCount] = {"Default", "Sharp", "Crunchy",
                                                              "Smooth"};
    return index < vyx::kPresetCount ? kNames[index] : "Invalid";
}

} // extern "C"
